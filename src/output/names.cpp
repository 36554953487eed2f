#include "output/names.h"

namespace cbrecon {

std::string output_name(const std::string& fn_proj, const std::string& ext) {
  return fn_proj + "_" + (ext != "NULL" ? ext : std::string("bp4d.seq"));
}

std::string trace_file_name(const RunParams& p) {
  return p.extras.trace_file.empty() ? std::string(kTraceFile) : p.extras.trace_file;
}

std::string in_folder(const std::string& dir, const std::string& name) {
  return dir + (dir.back() == '/' ? "" : "/") + name;
}

std::string output_prefix(const RunParams& p) {
  const std::string& dir = p.extras.output_dir;
  if (dir.empty()) return p.fn_proj;
  const size_t slash = p.fn_proj.find_last_of('/');
  return in_folder(dir, slash == std::string::npos ? p.fn_proj : p.fn_proj.substr(slash + 1));
}

bool is_volume_format(const std::string& name) {
  return name == "mha" || name == "nrrd" || name == "nii" || name == "nii.gz";
}

}  // namespace cbrecon
