#include "project/project.h"

#include <cmath>

#include "numeric/cpu.h"
#include "numeric/error.h"
#include "project/project-inl.h"

namespace cbrecon {

namespace detail {
#if defined(__x86_64__)
extern const ProjectImpl project_avx2;
extern const ProjectImpl project_avx512;
#endif
}  // namespace detail

namespace {

// Traced positions 0, step, 2 step, ... and the last; for every element
// the traced neighbours below and above and its fraction between them
// (0 and the same neighbour twice on a traced element).
void fill_tables(long count, int step, std::vector<long>& traced, std::vector<long>& i0,
                 std::vector<long>& i1, std::vector<double>& f) {
  traced.clear();
  for (long x = 0; x < count; x += step) traced.push_back(x);
  if (traced.back() != count - 1) traced.push_back(count - 1);
  i0.resize(count);
  i1.resize(count);
  f.resize(count);
  long t = 0;
  for (long x = 0; x < count; ++x) {
    while (traced[t] < x) ++t;
    if (traced[t] == x) {
      i0[x] = i1[x] = t;
      f[x] = 0.0;
    } else {
      i0[x] = t - 1;
      i1[x] = t;
      f[x] = static_cast<double>(x - traced[t - 1]) / static_cast<double>(traced[t] - traced[t - 1]);
    }
  }
}

}  // namespace

ForwardProjector::ForwardProjector(const ScanGeometry& bg, const FovExtents& fov,
                                   const Tensor3<float>& volume, ProjectorOptions opt) {
  const long n = bg.npxls, nz = bg.nz;
  if (n < 1 || nz < 1 || bg.nrows < 1 || bg.ncols_ext < 1)
    throw RunError("forward projection: the geometry has no voxels or no detector");
  if (volume.nplane() != nz || volume.nrow() != n || volume.ncol() != n)
    throw RunError(strprintf("forward projection: a volume of %ld x %ld x %ld voxels does not match "
                             "the geometry's %ld x %ld x %ld",
                             volume.nplane(), volume.nrow(), volume.ncol(), nz, n, n));
  if (static_cast<long>(fov.fov_start.size()) != n || static_cast<long>(fov.fov_end.size()) != n)
    throw RunError("forward projection: the field of view does not match the grid");
  if (opt.col_step < 1 || opt.row_step < 1)
    throw RunError(strprintf("forward projection: detector steps %d x %d; both must be at least 1",
                             opt.col_step, opt.row_step));
  ProjectorTables& T = t_;
  T.npxls = n;
  T.nz = nz;
  T.lz = (nz + 17 + 15) / 16 * 16;  // a 16-float window from any index in [0, nz + 1]
  T.lzv = (nz + 2 + 15) / 16 * 16;
  T.nrows = bg.nrows;
  T.ncols = bg.ncols_ext;
  T.dx = bg.dx;
  T.xc0 = static_cast<double>(bg.x0) - static_cast<double>(n - 2) * bg.dx;
  T.yr0 = bg.y0;
  T.ucenter = bg.ucenter;
  T.z0 = bg.zhalf / bg.pxlz + 0.5;  // slice j (z = (j + 0.5) pxlz - zhalf) at padded index j + 1
  T.zmax = static_cast<double>(nz + 1);

  // The field of view: centre of the extents, radius to the farthest voxel
  // inside plus a margin for the interpolation's reach.
  T.cc = (n - 1) / 2.0;
  T.rc = n / 2 - 0.5;
  double r2 = 0;
  for (long r = 0; r < n; ++r)
    if (fov.fov_end[r] > fov.fov_start[r]) {
      const double dr = r - T.rc;
      const double dc = std::max(std::fabs(fov.fov_start[r] - T.cc), std::fabs(fov.fov_end[r] - 1 - T.cc));
      r2 = std::max(r2, dr * dr + dc * dc);
    }
  T.radius = std::sqrt(r2) + 1.5;

  T.vol = f3tensor(0, n + 1, 0, n + 1, 0, T.lzv - 1);
  std::fill(T.vol.data(), T.vol.data() + T.vol.storage_size(), 0.0f);
  const float* src = volume.data();
  const long plane = volume.plane_pitch();
  for (long r = 0; r < n; ++r)
    for (long c = fov.fov_start[r]; c < fov.fov_end[r] && c < n; ++c) {
      float* prof = T.vol[r + 1][c + 1];
      const float* v = src + r * n + c;
      for (long j = 0; j < nz; ++j) prof[j + 1] = v[j * plane];
    }

  fill_tables(T.ncols, opt.col_step, T.us, T.iu0, T.iu1, T.fu);
  fill_tables(T.nrows, opt.row_step, T.vs, T.iv0, T.iv1, T.fv);
  const long nvs = static_cast<long>(T.vs.size());
  const long half = bg.nrows / 2;
  for (long j = 0; j < nvs; ++j) {
    T.bv.push_back(static_cast<double>(T.vs[j] - half) / sdd_px);
    T.cv.push_back(T.bv.back() / bg.pxlz);
  }
  // Whole lane blocks; the copies of the last row keep the block's spread
  // small.
  while (T.cv.size() % 16 != 0) {
    T.bv.push_back(T.bv.back());
    T.cv.push_back(T.cv.back());
  }
}

namespace {

const detail::ProjectImpl scalar_impl{"scalar", &project_view};

// The compiled kernels, narrowest first; numeric/cpu.h chooses among them.
const detail::ProjectImpl* const kernels[] = {
    &scalar_impl,
#if defined(__x86_64__)
    &detail::project_avx2, &detail::project_avx512,
#endif
};

const detail::ProjectImpl& current() { return chosen_kernel(Stage::projection, kernels); }

}  // namespace

void ForwardProjector::project(double theta, float* out, long pitch) const {
  if (pitch < t_.ncols)
    throw RunError(strprintf("forward projection: rows %ld floats apart cannot hold %ld columns", pitch, t_.ncols));
  current().run(t_, theta, out, pitch);
}

void set_project_isa(const std::string& name) { set_stage_isa(Stage::projection, name); }

const char* project_isa() { return current().name; }

std::vector<std::string> project_isas() { return runnable_kernel_names(Stage::projection, kernels); }

}  // namespace cbrecon
