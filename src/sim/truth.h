// Ground truth: the phantom's mu sampled at the voxel centres of the
// reconstruction grid, for comparison with a reconstructed volume.
//
// Voxel [slice j][row r][column c] stands for the world point
//   x = (c + 1.5 - npxls/2) * dx,  y = (npxls/2 - 0.5 - r) * dx,
//   z = (j + 0.5 - nz/2) * pxlz
// (VoxelGrid::centre_*, geometry/grid.h), with dx = fov/npxls as a float
// and nz the slice count the reconstruction derives from the detector rows
// and pxlz.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "geometry/grid.h"
#include "sim/phantom.h"

namespace cbrecon::sim {

struct TruthGrid {
  int32_t npxls = 512;   // voxels per row and column
  float fov = 500.0f;    // mm
  float pxlz = 2.5f;     // slice thickness, mm
  int32_t rows = 768;    // detector rows of the scan (fixes nz)
};

struct TruthVolume {
  int32_t nz = 0, npxls = 0;
  float dx = 0;
  VoxelGrid grid;         // the reconstruction's grid (nz, npxls and dx above)
  std::vector<float> mu;  // [slice][row][column], 1/mm
};

// The world point of voxel (j, r, c).
Vec3 voxel_centre(const TruthVolume& t, long j, long r, long c);

// Samples `ph` (shapes where they stand) on the grid.  RunError for a grid
// the reconstruction would refuse.
TruthVolume truth_volume(const Phantom& ph, const TruthGrid& g, int threads = 0);

// The truth of a moving phantom seen over several instants: the static part
// plus the moving shapes averaged over `shifts` (z shifts in mm, one per
// view, as ViewInfo::shift).  Each voxel holds, rounded once to float,
//   mu_static + sum over moving shapes k of mu_k * n_k / shifts.size(),
// n_k the number of shifts at which shape k covers the voxel.  No shifts:
// the static part.  RunError as truth_volume.
TruthVolume averaged_truth(const Phantom& ph, const TruthGrid& g, const std::vector<double>& shifts,
                           int threads = 0);

// Raw little-endian float32, slice after slice.  RunError on failure.
void write_truth(const std::string& path, const TruthVolume& t);

}  // namespace cbrecon::sim
