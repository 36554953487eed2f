#include "backproj/shape.h"

#include <cstdio>

namespace cbrecon {

std::string shape_name(const BackprojShape& shape) {
  char name[64];
  std::snprintf(name, sizeof name, "t%d-c%d-p%d-%s", shape.tile_rows, shape.pair_chunk, shape.prefetch,
                shape.gathers ? "gathers" : "rows");
  return name;
}

bool parse_shape(const std::string& name, BackprojShape& shape) {
  int t = 0, c = 0, p = 0, used = 0;
  char kind[8] = {};
  if (name.size() > 40 || std::sscanf(name.c_str(), "t%d-c%d-p%d-%7[a-z]%n", &t, &c, &p, kind, &used) != 4 ||
      used != static_cast<int>(name.size()))
    return false;
  const std::string k = kind;
  if (t < 1 || t > 64 || c < 1 || c > 64 || p < 0 || p > 64 || (k != "rows" && k != "gathers")) return false;
  const BackprojShape parsed{t, c, p, k == "gathers"};
  if (shape_name(parsed) != name) return false;  // no leading zeros, signs or spaces
  shape = parsed;
  return true;
}

}  // namespace cbrecon
