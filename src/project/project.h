// Ray-driven forward projection of a reconstructed volume onto the
// processed detector, in the geometry of the backprojection.
//
// The ray of processed detector element (u, v) at angle theta leaves the
// source S = sad (sin theta, cos theta, 0) along d = -t + a s + b z with
// s = (cos theta, -sin theta, 0), t = (sin theta, cos theta, 0),
// a = (u - ucenter) tanstep and b = (v - nrows/2) / sdd_px (nrows/2 an
// integer division): exactly the point-to-detector map the backprojection
// inverts.  The voxel grid is the backprojection's
// (geometry/grid.h): stored column c of row r is the in-plane point
// x = x0 - (npxls - 2 - c) dx, y = y0 - r dx, and slice j lies at
// z = (j + 0.5) pxlz - zhalf.  Only voxels inside the circular field of
// view count; everything outside the grid is zero.  (With an odd row count
// the backprojection reads the upper half of the slices at row nrows - v of
// their mirror, one row above this map; the projector keeps the one map,
// which is the simulator's.)
//
// Method (Joseph): the in-plane part of the ray steps from one voxel row
// (or column, whichever the ray crosses more of) to the next; at each step
// the two neighbouring voxels are interpolated linearly in the plane and
// the two neighbouring slices linearly in z.  Each sample stands for the
// ray length of one step, so a ray's value is the sum of its samples times
// that length, in mm: projecting a volume of 10000 mu gives 10000 times
// the line integral, the units of a preprocessed view before weighting.
//
// The rays of one detector column share their in-plane path; a column
// first interpolates the in-plane pairs of every step into a "sheet" of
// z-profiles, then every sampled row of the column walks the sheet.  Only
// every col_step-th column and row_step-th row (plus the last of each) are
// traced; the rest of the detector is filled by bilinear interpolation.
//
// Numbers: every expression in double, rounded to float where a value is
// stored (the sheet, the traced samples, the interpolated detector).  Each
// ray's samples are summed source to detector.  The vector kernels put
// adjacent sampled rows of one column into lanes and repeat the scalar
// sequence, so every kernel gives the scalar kernel's bytes.
#pragma once

#include <string>
#include <vector>

#include "geometry/fov.h"
#include "geometry/grid.h"
#include "numeric/arrays.h"

namespace cbrecon {

struct ProjectorOptions {
  int col_step = 4;  // trace every col_step-th processed column (>= 1)
  int row_step = 4;  // and every row_step-th detector row (>= 1)
};

namespace detail {
// Per-run tables of a projector (see ForwardProjector).
struct ProjectorTables {
  long npxls = 0, nz = 0;
  long lz = 0;   // floats of a sheet's z-profile: nz + 2 and room for a 16-float window
  long lzv = 0;  // floats of a volume z-profile: nz + 2 rounded up to 16
  long nrows = 0, ncols = 0;       // processed detector
  double dx = 0, xc0 = 0, yr0 = 0; // grid step, x of stored column 0, y of row 0
  double ucenter = 0;
  double z0 = 0, zmax = 0;         // padded slice index at z = 0; last padded index
  double cc = 0, rc = 0, radius = 0;  // field of view in index units (centre column, row; radius)
  // The volume inside the field of view, [row + 1][column + 1][slice + 1]:
  // one zero voxel around the grid and one zero slice below and above
  // every z-profile.
  Tensor3<float> vol;
  std::vector<long> us, vs;        // traced columns and rows
  std::vector<double> bv, cv;      // per traced row: b, and b / pxlz (padded to a multiple of 16)
  // Fill: element u lies between traced columns iu0[u] and iu1[u] at fraction fu[u].
  std::vector<long> iu0, iu1, iv0, iv1;
  std::vector<double> fu, fv;
};

// One view onto the whole detector (ForwardProjector::project).
using ProjectKernel = void (*)(const ProjectorTables&, double theta, float* out, long pitch);
struct ProjectImpl {
  const char* name;
  ProjectKernel run;
};
}  // namespace detail

class ForwardProjector {
 public:
  // Copies the volume (nz slices of npxls x npxls, the backprojection's
  // layout) inside the field of view into the projector's own layout and
  // builds the per-run tables; the volume may be changed or freed
  // afterwards.  RunError when the volume, field of view or options do not
  // match the geometry; FatalError when the copy cannot be allocated
  // ((npxls + 2)^2 x (nz + 2 rounded up to 16) floats).
  ForwardProjector(const ScanGeometry& bg, const FovExtents& fov, const Tensor3<float>& volume,
                   ProjectorOptions opt = {});

  // Projects at angle theta (radians, the value given to view_constants)
  // onto the whole processed detector: out receives bg.nrows rows of
  // bg.ncols_ext floats, `pitch` floats apart (RunError when pitch <
  // ncols_ext).  Single-threaded and const: several threads may project
  // different views at once (scratch buffers are kept per thread).
  void project(double theta, float* out, long pitch) const;

  long traced_columns() const { return static_cast<long>(t_.us.size()); }
  long traced_rows() const { return static_cast<long>(t_.vs.size()); }

 private:
  detail::ProjectorTables t_;
};

// Chooses the projection kernel: "auto" (the widest this CPU runs), "scalar",
// "avx2" or "avx512".  RunError for an unknown name or one this CPU cannot
// run.
void set_project_isa(const std::string& name);
const char* project_isa();
std::vector<std::string> project_isas();  // runnable here, scalar first

}  // namespace cbrecon
