// Voxel-driven FDK backprojection over the grid of geometry/grid.h.
// Slices j and nz - 1 - j mirror each other about z = 0 and are computed
// together.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "numeric/arrays.h"
#include "geometry/fov.h"
#include "geometry/geometry.h"
#include "geometry/grid.h"
#include "backproj/shape.h"

namespace cbrecon {

// Per-view constants: grid corner rotated into the view frame and the steps
// from one column and one row to the next (floats, as the loop carries them).
struct ViewConstants {
  float sr, tr, dsc, dtc, dsr, dtr;
  float dbeta;
  // Row bases (sr, tr) of every voxel row, carried from row 0 as the row
  // loop carries them, so that any range of rows can start anywhere.
  std::vector<float> row_s, row_t;
};
ViewConstants view_constants(const ScanGeometry& bg, double theta, float dbeta);

// Column quantities of one voxel column: where it lands on the detector and
// with which weights.  `valid` is false when the column adds nothing (left
// of ishift + 8, at or beyond the last column pair, behind the source, or
// not finite).
struct ColumnQuantities {
  bool valid;
  float U, wv, dv, u, fu, a, b;
  double v;  // row coordinate of slice 0
  uint16_t iu;
};
ColumnQuantities column_quantities(const ScanGeometry& bg, float s, float t, float dbeta);

// One filtered view of a batch: its constants and its detector image (nrows
// rows of ncols_ext columns, rows bg.proj_pitch floats apart).
struct BackprojView {
  const ViewConstants* vc;
  const float* proj;
};

// Adds the views, in the order given, to rows [r0, r1) of the volume with
// the kernel chosen by set_backproject_isa, walking them in `shape`.  Every
// voxel receives the views in order; the kernels and shapes differ only in
// how they walk the voxels.
void backproject_batch(const ScanGeometry& bg, const FovExtents& fov,
                       std::span<const BackprojView> views, Tensor3<float>& volume, long r0, long r1,
                       const BackprojShape& shape = {});

// The same for one view.
void backproject_rows(const ScanGeometry& bg, const FovExtents& fov, const ViewConstants& vc,
                      const float* proj, Tensor3<float>& volume, long r0, long r1);

// Chooses the kernel: "auto" (the widest this CPU runs), "scalar", "avx2" or
// "avx512".  RunError for an unknown name or one this CPU cannot run.
void set_backproject_isa(const std::string& name);
const char* backproject_isa();
std::vector<std::string> backproject_isas();  // runnable here, scalar first

// In-plane coordinates (s, t) of every voxel column of row r inside the
// field of view, carried from column to column as the loop carries them
// (float sums), stored by volume column c = npxls - 1 - q in S and T.
void row_coordinates(const ViewConstants& vc, const FovExtents& fov, int32_t npxls, long r,
                     float* S, float* T);

// The scalar slice loop of one voxel column: stored column c of the row
// starting at `row_base` (slice 0), whose loop column sits at (s, t).
// `pitch`: floats from one slice to the next.
void backproject_column(const ScanGeometry& bg, const ViewConstants& vc, const float* proj,
                        float* row_base, size_t pitch, long c, float s, float t);

namespace detail {
using BackprojectKernel = void (*)(const ScanGeometry&, const FovExtents&,
                                   const BackprojView*, long nviews, float* vol, size_t pitch,
                                   long r0, long r1, const BackprojShape& shape);
struct BackprojectImpl {
  const char* name;
  BackprojectKernel run;
};
}  // namespace detail

}  // namespace cbrecon
