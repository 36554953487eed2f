#include "geometry/fov.h"

#include <cmath>

namespace cbrecon {

FovExtents build_fov_extents(int32_t npxls, float dx, float fov) {
  FovExtents e;
  e.fov_start.resize(npxls);
  e.fov_end.resize(npxls);
  const int32_t half = npxls / 2;
  const double radius = static_cast<double>(fov) / 2;
  for (int32_t r = 0; r < npxls; ++r) {
    const float a = static_cast<float>((r - half + 0.5) * static_cast<double>(dx));
    int32_t start = (npxls + 1) / 2;  // empty unless a voxel centre is inside
    for (int32_t q = 0; q < npxls; ++q) {
      const float b = static_cast<float>((q - half + 0.5) * static_cast<double>(dx));
      if (std::sqrt(static_cast<double>(a) * a + static_cast<double>(b) * b) <= radius) {
        start = q;
        break;
      }
    }
    e.fov_start[r] = static_cast<uint16_t>(start);
    e.fov_end[r] = static_cast<uint16_t>(npxls - start);
  }
  return e;
}

}  // namespace cbrecon
