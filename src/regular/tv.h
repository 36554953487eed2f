// Total variation of a volume in the iterative layout (project/matched.h:
// voxel column (r, c) is a z-profile of lz = nz + 2 floats at
// (r * npxls + c) * lz, slice j at element j + 1), and steepest-descent
// steps that lower it.
//
//   TV(x) = sum over voxels of sqrt(dx^2 + dy^2 + (wz dz)^2 + eps^2)
//
// with forward differences dx, dy, dz to the next column, row and slice
// (0 where the neighbour lies outside the field of view or the slab) and
// wz = in-plane voxel size / slice thickness: a difference between slices
// spans a longer distance than one within a slice, and counts that much
// less.  Each step moves the volume by `step` (Euclidean norm over the
// volume) along -grad TV / |grad TV|.  Rows are independent tasks and the
// norm is summed in row order: the same bytes for every thread count.
#pragma once

#include <cstdint>
#include <vector>

#include "numeric/parallel.h"

namespace cbrecon {

struct TvGrid {
  int32_t npxls = 0;
  long nz = 0, lz = 0;
  float wz = 1.0f;                  // weight of a difference along z
  float eps = 1.0f;                 // smoothing of |grad| near 0, volume units
  const std::vector<uint8_t>* inside = nullptr;  // npxls x npxls: column inside the field of view
};

// Total variation of x (for tests and reports).
double total_variation(const float* x, const TvGrid& g);

// `steps` steps of length `step` down the TV gradient.  `work` holds two
// volumes' floats (2 * npxls^2 * lz), overwritten.  A flat volume (zero
// gradient) is left as it is.
void tv_descent(float* x, const TvGrid& g, double step, int steps, float* work, ThreadPool& pool);

}  // namespace cbrecon
