#include "output/plan.h"

namespace cbrecon {

std::string output_name(const std::string& fn_proj, const std::string& ext) {
  return fn_proj + "_" + (ext != "NULL" ? ext : std::string("bp4d.seq"));
}

}  // namespace cbrecon
