#include "backproj/backproject.h"

#include <cmath>
#include <vector>

#include "numeric/cpu.h"
#include "numeric/error.h"

namespace cbrecon {

namespace detail {
#if defined(__x86_64__)
extern const BackprojectImpl backproject_avx2;
extern const BackprojectImpl backproject_avx512;
#endif
}  // namespace detail

ViewConstants view_constants(const ScanGeometry& bg, double theta, float dbeta) {
  const double cosv = std::cos(-theta), sinv = std::sin(-theta);
  const double x0 = bg.x0, y0 = bg.y0, dx = bg.dx;
  ViewConstants vc;
  vc.sr = static_cast<float>(x0 * cosv + y0 * sinv);
  vc.tr = static_cast<float>(-x0 * sinv + y0 * cosv);
  vc.dsc = static_cast<float>(-cosv * dx);
  vc.dtc = static_cast<float>(sinv * dx);
  vc.dsr = static_cast<float>(-sinv * dx);
  vc.dtr = static_cast<float>(-cosv * dx);
  vc.dbeta = dbeta;
  vc.row_s.resize(bg.npxls);
  vc.row_t.resize(bg.npxls);
  float sr = vc.sr, tr = vc.tr;
  for (int32_t r = 0; r < bg.npxls; ++r) {
    vc.row_s[r] = sr;
    vc.row_t[r] = tr;
    sr = static_cast<float>(static_cast<double>(sr) + vc.dsr);
    tr = static_cast<float>(static_cast<double>(tr) + vc.dtr);
  }
  return vc;
}

ColumnQuantities column_quantities(const ScanGeometry& bg, float s, float t, float dbeta) {
  ColumnQuantities cq{};
  cq.U = static_cast<float>(sad - t);
  const float UU = static_cast<float>(static_cast<double>(cq.U) * cq.U);
  cq.wv = static_cast<float>(static_cast<double>(dbeta) / UU);
  const double mag = sdd_px / cq.U;
  cq.v = (static_cast<double>(bg.pxlz) * 0.5 - bg.zhalf) * mag + bg.nrows / 2;
  cq.dv = static_cast<float>(static_cast<double>(bg.pxlz) * mag);
  const float su = static_cast<float>(static_cast<double>(s) / cq.U);
  cq.u = static_cast<float>(static_cast<double>(su) / static_cast<double>(tanstep) + bg.ucenter);
  // Left of the usable detector, past its last column pair, behind the
  // source or not finite: the column adds nothing for this view.
  if (!(cq.U > 0) || !std::isfinite(cq.u) || cq.u < bg.ishift + 8 ||
      !(cq.u < bg.ncols_ext - 1)) {
    cq.valid = false;
    return cq;
  }
  cq.valid = true;
  cq.iu = static_cast<uint16_t>(static_cast<int32_t>(cq.u));
  cq.fu = static_cast<float>(static_cast<double>(cq.u) - cq.iu);
  const double h = bg.fanw[cq.iu];
  cq.b = static_cast<float>(static_cast<double>(cq.wv) * cq.fu * h);
  cq.a = static_cast<float>(static_cast<double>(cq.wv) * h - cq.b);
  return cq;
}

void row_coordinates(const ViewConstants& vc, const FovExtents& fov, int32_t npxls, long r,
                     float* S, float* T) {
  const long lo = fov.fov_start[r], hi = fov.fov_end[r];
  float s = static_cast<float>(static_cast<double>(lo) * vc.dsc + vc.row_s[r] - vc.dsc);
  float t = static_cast<float>(static_cast<double>(lo) * vc.dtc + vc.row_t[r] - vc.dtc);
  for (long q = lo; q < hi; ++q) {
    S[npxls - 1 - q] = s;
    T[npxls - 1 - q] = t;
    s = static_cast<float>(static_cast<double>(s) + vc.dsc);
    t = static_cast<float>(static_cast<double>(t) + vc.dtc);
  }
}

void backproject_column(const ScanGeometry& bg, const ViewConstants& vc, const float* proj,
                        float* row_base, size_t slice, long c, float s, float t) {
  const ColumnQuantities cq = column_quantities(bg, s, t, vc.dbeta);
  if (!cq.valid) return;
  const long ncols = bg.proj_pitch;
  const long nz = bg.nz;
  const long nrows = bg.nrows;
  const double top = static_cast<double>(nrows - 9);
  const float* pc = proj + cq.iu;
  const double a = cq.a, b = cq.b;
  double v = cq.v;
  float* out = row_base + c;
  for (long j = 0; j < nz / 2; ++j) {
    if (v > 8.0) {
      long iv, iv1;
      const float fv = static_cast<float>(v - std::trunc(v));
      if (v >= top) {
        iv = iv1 = nrows - 9;  // held at the last usable row (also for absurd v)
      } else {
        iv = static_cast<long>(v);
        iv1 = iv + 1;
      }
      const float w1 = static_cast<float>(a * fv);
      const float w0 = static_cast<float>(a - w1);
      const float w3 = static_cast<float>(b * fv);
      const float w2 = static_cast<float>(b - w3);
      const float* p0 = pc + iv * ncols;
      const float* p1 = pc + iv1 * ncols;
      float& lo_vox = out[j * slice];
      lo_vox = static_cast<float>(
          static_cast<double>(lo_vox) +
          (static_cast<double>(w0) * p0[0] + static_cast<double>(w1) * p1[0] +
           static_cast<double>(w2) * p0[1] + static_cast<double>(w3) * p1[1]));
      // Mirror slice: row coordinate nrows - v, weights swapped.
      const float* m0 = pc + (nrows - 1 - iv) * ncols;
      const float* m1 = pc + (nrows - iv) * ncols;
      float& hi_vox = out[(nz - 1 - j) * slice];
      hi_vox = static_cast<float>(
          static_cast<double>(hi_vox) +
          (static_cast<double>(w1) * m0[0] + static_cast<double>(w0) * m1[0] +
           static_cast<double>(w3) * m0[1] + static_cast<double>(w2) * m1[1]));
    }
    v = v + cq.dv;
  }
}

namespace {

// The reference: row by row, each view of the batch in turn, one voxel
// column at a time with the slice loop innermost.
void backproject_rows_scalar(const ScanGeometry& bg, const FovExtents& fov,
                             const BackprojView* views, long nviews, float* vol, size_t pitch,
                             long r0, long r1, const BackprojShape&) {
  const long npxls = bg.npxls;
  thread_local std::vector<float> S, T;
  S.resize(npxls);
  T.resize(npxls);
  for (long r = r0; r < r1; ++r) {
    float* row_base = vol + static_cast<size_t>(r) * npxls;
    for (long b = 0; b < nviews; ++b) {
      const ViewConstants& vc = *views[b].vc;
      row_coordinates(vc, fov, bg.npxls, r, S.data(), T.data());
      for (long c = fov.fov_start[r]; c < fov.fov_end[r]; ++c)
        backproject_column(bg, vc, views[b].proj, row_base, pitch, c, S[c], T[c]);
    }
  }
}

const detail::BackprojectImpl scalar_impl{"scalar", &backproject_rows_scalar};

// The compiled kernels, narrowest first; numeric/cpu.h chooses among them.
const detail::BackprojectImpl* const kernels[] = {
    &scalar_impl,
#if defined(__x86_64__)
    &detail::backproject_avx2, &detail::backproject_avx512,
#endif
};

const detail::BackprojectImpl& current() { return chosen_kernel(Stage::backprojection, kernels); }

}  // namespace

void set_backproject_isa(const std::string& name) { set_stage_isa(Stage::backprojection, name); }

const char* backproject_isa() { return current().name; }

std::vector<std::string> backproject_isas() { return runnable_kernel_names(Stage::backprojection, kernels); }

void backproject_batch(const ScanGeometry& bg, const FovExtents& fov,
                       std::span<const BackprojView> views, Tensor3<float>& volume, long r0, long r1,
                       const BackprojShape& shape) {
  if (views.empty() || r0 >= r1) return;
  current().run(bg, fov, views.data(), static_cast<long>(views.size()), volume.data(),
                static_cast<size_t>(volume.plane_pitch()), r0, r1, shape);
}

void backproject_rows(const ScanGeometry& bg, const FovExtents& fov, const ViewConstants& vc,
                      const float* proj, Tensor3<float>& volume, long r0, long r1) {
  const BackprojView view{&vc, proj};
  backproject_batch(bg, fov, std::span<const BackprojView>(&view, 1), volume, r0, r1);
}

}  // namespace cbrecon
