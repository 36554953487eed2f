// The names of a run's outputs, and of the volume formats: plain string
// rules, free of the writers (the command line's parser uses them too).
#pragma once

#include <string>

#include "geometry/params.h"

namespace cbrecon {

// The trace file of a 4-D run's trigger selection (in the working folder
// unless --trace-file names another).
inline constexpr const char* kTraceFile = "4dcbctrpm.out";
std::string trace_file_name(const RunParams& p);

// The prefix of the run's output names: fn_proj, or with --output-dir DIR,
// DIR/ and fn_proj's last component ("scan/PROJ_" gives "DIR/PROJ_").
std::string output_prefix(const RunParams& p);

// The name a volume is written under: fn_proj + "_" + ext, or
// fn_proj + "_bp4d.seq" when ext is "NULL" (none given).
std::string output_name(const std::string& fn_proj, const std::string& ext);

// `name` inside the folder `dir` (non-empty).
std::string in_folder(const std::string& dir, const std::string& name);

// Whether `name` is a standard volume format: "mha", "nrrd", "nii" or
// "nii.gz" (parse_volume_format, formats.h).
bool is_volume_format(const std::string& name);

}  // namespace cbrecon
