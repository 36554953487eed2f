// Every file a run will write, known before the run reads its first view,
// and the checks that make a run fail early instead of after the whole
// reconstruction: each output's folder exists and takes new files, nothing
// that is not a regular file stands under an output name, no output
// replaces an input of the run or another output of the same run.
#pragma once

#include <string>
#include <vector>

#include "geometry/params.h"

namespace cbrecon {

// One volume the run writes: its output suffix (".seq" name ending).
struct PlannedVolume {
  std::string ext;
};

struct PlannedOutput {
  std::string path;
  std::string what;  // "volume", "NRRD file", "preview", "trace file", ...
};

// The trace file of a 4-D run's trigger selection (in the working folder).
inline constexpr const char* kTraceFile = "4dcbctrpm.out";
// The `what` of the trace file (only a warning when it cannot be written:
// not checked for writability) and of a DICOM series folder.
inline constexpr const char* kTraceWhat = "trace file";
inline constexpr const char* kSeriesFolder = "DICOM series";

// The files written for `volumes` (each volume's .seq file, then its
// standard formats and preview), their DICOM series folders, and the trace
// of a 4-D run.
std::vector<PlannedOutput> planned_outputs(const RunParams& p, const std::vector<PlannedVolume>& volumes);

// RunError (one line naming the file and the reason) unless every output can
// be written: see the top of this file.  Inputs are the mask, the
// respiratory file and every name the projection prefix can form.
// Also: each name with its temporary suffix fits the folder's name length,
// and no existing output belongs to another user in a sticky folder; no
// input lies inside a series folder (replacing it deletes what it holds).
void check_outputs(const RunParams& p, const std::vector<PlannedOutput>& outputs);

// The folders the outputs are written into (for OutputLock).
std::vector<std::string> output_folders(const std::vector<PlannedOutput>& outputs);

}  // namespace cbrecon
