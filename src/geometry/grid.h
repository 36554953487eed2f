// The reconstruction's voxel grid and the layout of a processed detector
// image: what the backprojection, the projector, the writers and the
// simulator's truth share.
//
// The volume is [slice][row][column] floats, nz x npxls x npxls.  Loop
// column q of row r stands for the in-plane point x = x0 - (q - 1) dx,
// y = y0 - r dx and is stored in volume column npxls - 1 - q; slice j sits
// at z = pxlz/2 - zhalf + j pxlz.  So stored voxel (j, r, c) is the point
// origin + (c dx, -r dx, j pxlz).
#pragma once

#include <cstdint>

#include "geometry/geometry.h"
#include "geometry/params.h"

namespace cbrecon {

// Floats of padding after every processed detector row of a view's image:
// one cache line, so that rows a power of two apart do not share a cache set.
inline constexpr long kRowPad = 16;

struct VoxelGrid {
  int32_t npxls = 0;
  float dx = 0;          // voxel size within a slice, mm
  float x0 = 0, y0 = 0;  // loop column 1 / row 0 (see above), mm, as floats
  float pxlz = 0;        // slice thickness, mm
  double zhalf = 0;      // half the extent along z, mm
  uint16_t nz = 0;

  // Centre of stored voxel (0, 0, 0), mm, from the float corner the
  // backprojection walks from.
  double origin_x() const { return static_cast<double>(x0) - (npxls - 2) * static_cast<double>(dx); }
  double origin_y() const { return y0; }
  double origin_z() const { return static_cast<double>(pxlz) / 2 - zhalf; }

  // Centre of column c, row r and slice j, mm, in exact halves of a voxel
  // (dx and pxlz the only rounded quantities).  These agree with the origin
  // above to a rounding of x0.
  double centre_x(long c) const { return (static_cast<double>(c) + 1.5 - npxls / 2.0) * static_cast<double>(dx); }
  double centre_y(long r) const { return (npxls / 2.0 - 0.5 - static_cast<double>(r)) * static_cast<double>(dx); }
  double centre_z(long j) const { return (static_cast<double>(j) + 0.5 - nz / 2.0) * static_cast<double>(pxlz); }
};

// Processed detector images: nrows rows of ncols_ext columns, rows
// proj_pitch floats apart; real detector column c at processed column
// c + ishift, the central ray at ucenter.
struct DetectorLayout {
  uint16_t nrows = 0, ncols_ext = 0;
  float ucenter = 0;
  int32_t ishift = 0;
  const float* fanw = nullptr;  // half-fan weight per processed column (Geometry::fanw)
  long proj_pitch = 0;          // ncols_ext, plus kRowPad when padded
};

// How the rows of a processed image lie: padded as a run keeps its views,
// or packed (ncols_ext floats apart) as a plain matrix.
enum class RowLayout { padded, packed };

// Both, as the backprojection and the projector see a run.
struct ScanGeometry : VoxelGrid, DetectorLayout {};

VoxelGrid make_voxel_grid(const RunParams& p, const Geometry& g);
// `g` must outlive the layout (fanw points into it).
DetectorLayout make_detector_layout(const Geometry& g, RowLayout rows = RowLayout::padded);
ScanGeometry make_scan_geometry(const RunParams& p, const Geometry& g, RowLayout rows = RowLayout::padded);

}  // namespace cbrecon
