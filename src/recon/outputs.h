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
void check_outputs(const RunParams& p, const std::vector<PlannedFile>& outputs);

}  // namespace cbrecon
