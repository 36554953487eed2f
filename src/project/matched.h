// A matched projector pair for iterative reconstruction: a forward
// projector S onto a binned detector and its exact transpose S^T, in single
// precision, with results that do not depend on the thread count.
//
// Volume layout (the iterative working layout, not the backprojection's):
// voxel column (r, c) of the grid (geometry/grid.h: stored row r, stored
// column c) is a z-profile of lz = nz + 2 floats at (r * npxls + c) * lz;
// element 0 and element nz + 1 are zero padding, slice j is element j + 1.
// Only the columns inside the circular field of view take part.
//
// Binned detector: B x B real detector pixels are one binned pixel.  Binned
// column iu covers real columns 8 + iu B .. 8 + iu B + B - 1 (the 8-pixel
// frame the preprocessing zeroes is left out); binned row iv covers real
// rows row0 + iv B ..  Only the rows whose rays stay inside the
// reconstructed slab across the whole field of view are used: the object
// beyond the slab (a patient is longer than the slab) is in every other
// ray, and the volume cannot represent it.  A view image is stored column
// by column: binned column iu is the vpitch floats at (iu + 1) * vpitch,
// row iv at offset iv, at (iu + kPadColumns) * vpitch; kPadColumns columns
// of padding on each side let a voxel column's footprint reach past the
// detector's edges without a test.
//
// The model (voxel columns in the plane, rays along z): at angle theta the
// voxel column at (x, y) projects to binned column coordinate ub, at
// distance U from the source along the central ray.  Its footprint is a box
// of width W binned columns centred on ub: the square column seen along the
// ray is a trapezoid, and the box of the same area is dx max(|cos|, |sin|)
// of the ray's angle to the grid wide, magnified onto the flat detector.
// Each binned column takes the fraction of the box it overlaps (at most
// kTaps columns: a binning so fine that a voxel's shadow spans more than
// kTaps - 1 binned columns is refused).  Each binned
// row's ray crosses the column at height z(iv), linear in iv; the column's
// z-profile is interpolated there linearly (in the outer half of the first
// or last slice: that slice's value).  The column contributes
//   w = dx^2 / (B tanstep U)
// times the overlap fraction times that value: the in-plane path length a
// ray of a B-column-wide fan element takes through a dx x dx column, on
// average.  (A footprint narrower than the spacing of the voxels' shadows,
// such as linear interpolation between two columns, leaves a ripple in the
// projection of a flat object.)  The forward
// projector returns S x; the line integral model is A x = D (S x), with D
// the distance factor sqrt(1 + tan^2 u + tan^2 v) of each binned pixel
// (rdist(), zero on the padding columns), which turns in-plane path length
// into ray length.  Units: a volume of 10000 mu (mu in 1/mm) projects to
// 10000 times the line integral, as a preprocessed view before weighting.
//
// Determinism: the forward sums every detector column's contributions in
// one fixed order (voxel columns sorted by their left binned column, then by
// their index), whichever thread takes the column; the transpose runs one
// voxel column per task, views in the order given.  Single kernel, compiled
// without fused multiply-add: the same bytes on every CPU and thread count.
#pragma once

#include <span>
#include <vector>

#include "geometry/fov.h"
#include "geometry/grid.h"
#include "numeric/arrays.h"
#include "numeric/parallel.h"

namespace cbrecon {

// Binned columns a voxel column's footprint may cover, and the padding
// columns on each side of a view image.
inline constexpr int kTaps = 3;
inline constexpr long kPadColumns = kTaps;

// Where one voxel column lands in one view.
struct ColumnProjection {
  float wt[kTaps] = {};  // path-length weight (mm) of binned columns iu .. iu + kTaps - 1
  float a = 0, b = 0;    // padded-profile coordinate of binned row iv: a + iv b - 1 is the slice index
  int32_t iu = kMissed;  // first binned column of the footprint
  int32_t lo = 0, hi = 0;  // binned rows whose rays cross the slab (between its outer faces) at this column
  static constexpr int32_t kMissed = -1000000;  // the column misses the detector in this view
};

// The per-view table of every field-of-view voxel column, and the columns in
// the forward projector's order.
struct ViewTable {
  double theta = 0;
  std::vector<ColumnProjection> col;  // per field-of-view column
  std::vector<int32_t> order;         // columns sorted by iu (stable)
  // columns with iu = u lie at order[start[u + kTaps - 1] .. start[u + kTaps])
  std::vector<int32_t> start;
};

class MatchedProjector {
 public:
  // `binning` >= 1.  `fov_radius` (mm): the rows kept are those whose rays
  // stay inside the slab up to this distance behind the axis.  RunError when
  // the binned detector would be empty, or its columns so fine that a
  // voxel's shadow spans more than kTaps - 1 of them.
  MatchedProjector(const ScanGeometry& bg, const FovExtents& fov, int32_t ndets, int binning, double fov_radius);

  long nu() const { return nu_; }        // binned columns
  long nv() const { return nv_; }        // binned rows
  long vpitch() const { return vpitch_; }
  long image_floats() const { return (nu_ + 2 * kPadColumns) * vpitch_; }
  long lz() const { return lz_; }
  long volume_floats() const { return static_cast<long>(npxls_) * npxls_ * lz_; }
  long columns() const { return static_cast<long>(cols_.size()); }
  long column_offset(long k) const { return cols_[k]; }  // floats from the volume start
  int binning() const { return bin_; }
  // The first real detector row of binned row 0.
  long row0() const { return row0_; }
  // Floats from an image's start to binned column iu.
  long column_start(long iu) const { return (iu + kPadColumns) * vpitch_; }

  // The distance factors D of the binned pixels, in image layout.
  const std::vector<float>& rdist() const { return rdist_; }

  // The table of one view (theta in radians, the backprojection's angle).
  void make_table(double theta, ViewTable& t) const;

  // image = S vol for each view (image_floats() each, padding columns
  // left zero).  Views and detector-column bands run in parallel.
  void forward(const float* vol, std::span<const ViewTable* const> views, std::span<float* const> images,
               ThreadPool& pool) const;
  // For voxel column k: num[i] = sum over views, in order, of (S^T image)
  // at element i of its profile, and in the same sweep den[i] the same for
  // the one image `same` at every view (lz floats each, set here): the SART
  // update's numerator and normaliser.  Images must hold zeros on their
  // padding columns.
  void back_column2(long k, std::span<const ViewTable* const> views, std::span<const float* const> images,
                    const float* same, float* num, float* den) const;

  // Averages a preprocessed view (processed layout: nrows rows of `pitch`
  // floats, real column c at c + ishift) onto the binned detector (image
  // layout, padding columns zero).
  void bin_view(const float* proj, long pitch, float* image) const;

 private:
  int bin_ = 1;
  int32_t npxls_ = 0;
  long nz_ = 0, lz_ = 0, nu_ = 0, nv_ = 0, vpitch_ = 0, row0_ = 0, col0_ = 8;
  long nrows_ = 0, ishift_ = 0;
  double dx_ = 0, pxlz_ = 0, zhalf_ = 0, ucenter_ = 0;
  std::vector<double> cx_, cy_;  // centre x of stored column c, y of stored row r
  std::vector<int32_t> cr_, cc_;  // row and column of each field-of-view voxel column
  std::vector<long> cols_;        // its offset in the volume
  std::vector<float> rdist_;
};

}  // namespace cbrecon
