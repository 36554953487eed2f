// The circular field of view of the reconstructed grid.
#pragma once

#include <cstdint>
#include <vector>

namespace cbrecon {

// Per-row extents of the circular field of view: voxels fov_start[r] ..
// fov_end[r] - 1 are inside.  A row with no voxel centre inside (odd npxls)
// gets empty extents.
struct FovExtents {
  std::vector<uint16_t> fov_start, fov_end;
};
FovExtents build_fov_extents(int32_t npxls, float dx, float fov);

}  // namespace cbrecon
