// The checks of the output plan (output/plan.h) that make a run fail early
// instead of after the whole reconstruction: each output's folder exists
// and takes new files, nothing that is not a regular file stands under an
// output name, no output replaces an input of the run or another output of
// the same run.
#pragma once

#include <string>
#include <vector>

#include "geometry/params.h"
#include "output/plan.h"

namespace cbrecon {

// RunError (one line naming the file and the reason) unless every output can
// be written: see the top of this file.  Inputs are the mask, the
// respiratory file and every name the projection prefix can form.
// Also: each name with its temporary suffix fits the folder's name length,
// and no existing output belongs to another user in a sticky folder; no
// input lies inside a series folder (replacing it deletes what it holds).
// The trace file is only checked for collisions: failing to write it is a
// warning.
void check_outputs(const RunParams& p, const std::vector<PlannedFile>& outputs);

// The folders the outputs are written into (for OutputLock).
std::vector<std::string> output_folders(const std::vector<PlannedFile>& outputs);

}  // namespace cbrecon
