#include "project/matched.h"

#include <algorithm>
#include <cmath>

#include "geometry/geometry.h"
#include "numeric/error.h"

namespace cbrecon {

namespace {

// Binned detector columns per forward task.
constexpr long kBand = 16;

// The profile of one voxel column interpolated at the rows lo .. hi - 1 of
// a view: val[iv] (the transpose below walks the same sequence).  A ray
// crossing the outer half of the first or last slice reads that slice:
// the slab ends at its outer face, not at its centre.
inline void interpolate_rows(const ColumnProjection& cp, const float* p, long nz, float* val) {
  for (int32_t iv = cp.lo; iv < cp.hi; ++iv) {
    const float pj = std::clamp(cp.a + static_cast<float>(iv) * cp.b, 1.0f, static_cast<float>(nz));
    const int32_t j = std::min(static_cast<int32_t>(pj), static_cast<int32_t>(nz) - 1);
    const float f = pj - static_cast<float>(j);
    val[iv] = (1.0f - f) * p[j] + f * p[j + 1];
  }
}

}  // namespace

MatchedProjector::MatchedProjector(const ScanGeometry& bg, const FovExtents& fov, int32_t ndets, int binning,
                                   double fov_radius)
    : bin_(binning), npxls_(bg.npxls), nz_(bg.nz), lz_(bg.nz + 2), nrows_(bg.nrows), ishift_(bg.ishift),
      dx_(bg.dx), pxlz_(bg.pxlz), zhalf_(bg.zhalf), ucenter_(bg.ucenter) {
  if (binning < 1) throw RunError("the detector binning must be at least 1");
  nu_ = (static_cast<long>(ndets) - 2 * col0_) / bin_;
  // Rows whose rays stay within the slab |z| <= zhalf up to fov_radius
  // behind the axis.
  const long half = static_cast<long>(std::floor(zhalf_ * sdd_px / (sad + fov_radius)));
  const long lo = std::max(8L, nrows_ / 2 - half), hi = std::min(nrows_ - 8, nrows_ / 2 + half);
  nv_ = hi > lo ? (hi - lo) / bin_ : 0;
  if (nu_ < 1 || nv_ < 1)
    throw RunError(strprintf("detector binning %d leaves no binned pixel (%d columns, %ld usable rows)", binning,
                             ndets, std::max(0L, hi - lo)));
  row0_ = lo + ((hi - lo) - nv_ * bin_) / 2;
  // The footprint model spans at most kTaps binned columns: the nearest
  // voxel's shadow (dx magnified from sad - fov_radius) must fit in
  // kTaps - 1 of them.
  const long finest = static_cast<long>(
      std::ceil(1.02 * bg.dx / ((kTaps - 1) * (sad - fov_radius) * static_cast<double>(tanstep))));
  if (bin_ < finest)
    throw RunError(strprintf("detector binning %d is finer than the voxel grid (a voxel's shadow spans more than %d "
                             "binned columns); use at least %ld",
                             binning, kTaps - 1, finest));
  vpitch_ = (nv_ + 15) / 16 * 16;
  cx_.resize(npxls_);
  cy_.resize(npxls_);
  for (long i = 0; i < npxls_; ++i) {
    cx_[i] = bg.centre_x(i);
    cy_[i] = bg.centre_y(i);
  }
  for (int32_t r = 0; r < npxls_; ++r)
    for (int32_t c = fov.fov_start[r]; c < fov.fov_end[r]; ++c) {
      cr_.push_back(r);
      cc_.push_back(c);
      cols_.push_back((static_cast<long>(r) * npxls_ + c) * lz_);
    }
  rdist_.assign(image_floats(), 0.0f);
  const double half_bin = (bin_ - 1) / 2.0;
  for (long iu = 0; iu < nu_; ++iu) {
    const double tu = (ishift_ + col0_ + iu * bin_ + half_bin - ucenter_) * static_cast<double>(tanstep);
    for (long iv = 0; iv < nv_; ++iv) {
      const double tv = (row0_ + iv * bin_ + half_bin - nrows_ / 2) / sdd_px;
      rdist_[column_start(iu) + iv] = static_cast<float>(std::sqrt(1.0 + tu * tu + tv * tv));
    }
  }
}

void MatchedProjector::make_table(double theta, ViewTable& t) const {
  const long n = columns();
  t.theta = theta;
  t.col.resize(n);
  const double cs = std::cos(theta), sn = std::sin(theta), ts = static_cast<double>(tanstep);
  const double half_bin = (bin_ - 1) / 2.0;
  const double ubase = ishift_ + col0_ + half_bin;
  const double vbase = row0_ + half_bin - nrows_ / 2;
  // Buckets of first columns -kTaps + 1 .. nu - 1.
  const long nb = nu_ + kTaps - 1;
  std::vector<int32_t> count(nb, 0);
  for (long k = 0; k < n; ++k) {
    ColumnProjection& cp = t.col[k];
    cp = ColumnProjection{};
    const double x = cx_[cc_[k]], y = cy_[cr_[k]];
    const double s = x * cs - y * sn, U = sad - (x * sn + y * cs);
    if (!(U > 0)) continue;
    // The ray from the source through the column: its direction in the
    // grid's frame, and the footprint's width on the binned detector.
    const double tg = s / U;
    const double sx = sad * sn, sy = sad * cs;  // the source
    const double rx = x - sx, ry = y - sy, len = std::hypot(rx, ry);
    const double across = dx_ * std::max(std::fabs(rx), std::fabs(ry)) / len;
    const double width = std::min<double>(kTaps - 1, across * std::sqrt(1 + tg * tg) / (U * ts * bin_));
    const double ub = (tg / ts + ucenter_ - ubase) / bin_;
    const double left = ub - width / 2, right = ub + width / 2;
    const double first = std::floor(left + 0.5);
    if (!(first > -kTaps && first < nu_)) continue;
    const double w = dx_ * dx_ / (bin_ * ts * U);
    cp.iu = static_cast<int32_t>(first);
    for (int m = 0; m < kTaps; ++m) {
      const double lo = std::max(left, first + m - 0.5), hi = std::min(right, first + m + 0.5);
      const double overlap = width > 0 ? std::max(0.0, hi - lo) / width : (m == 0 ? 1.0 : 0.0);
      cp.wt[m] = static_cast<float>(w * overlap);
    }
    cp.a = static_cast<float>((vbase * U / sdd_px + zhalf_) / pxlz_ + 0.5);
    cp.b = static_cast<float>(bin_ * U / (sdd_px * pxlz_));
    const double a = cp.a, b = cp.b;
    cp.lo = static_cast<int32_t>(std::clamp(std::ceil((0.5 - a) / b), 0.0, static_cast<double>(nv_)));
    cp.hi = static_cast<int32_t>(std::clamp(std::ceil((nz_ + 0.5 - a) / b), 0.0, static_cast<double>(nv_)));
    ++count[cp.iu + kTaps - 1];
  }
  t.start.assign(nb + 1, 0);
  for (long u = 1; u <= nb; ++u) t.start[u] = t.start[u - 1] + count[u - 1];
  t.order.resize(t.start[nb]);
  std::vector<int32_t> next(t.start.begin(), t.start.end() - 1);
  for (long k = 0; k < n; ++k)
    if (t.col[k].iu != ColumnProjection::kMissed) t.order[next[t.col[k].iu + kTaps - 1]++] = static_cast<int32_t>(k);
}

void MatchedProjector::forward(const float* vol, std::span<const ViewTable* const> views,
                               std::span<float* const> images, ThreadPool& pool) const {
  const long bands = (nu_ + kBand - 1) / kBand;
  const long tasks = static_cast<long>(views.size()) * bands;
  std::vector<std::vector<float>> scratch(pool.size(), std::vector<float>(vpitch_));
  pool.parallel_for(tasks, [&](long t0, long t1, int tid) {
    float* val = scratch[tid].data();
    for (long task = t0; task < t1; ++task) {
      const ViewTable& t = *views[task / bands];
      float* img = images[task / bands];
      const long u0 = task % bands * kBand, u1 = std::min(nu_, u0 + kBand);
      // Own columns u0 .. u1 - 1, and the padding next to them.
      const long c0 = u0 == 0 ? -kPadColumns : u0, c1 = u1 == nu_ ? nu_ + kPadColumns : u1;
      std::fill(img + column_start(c0), img + column_start(c1), 0.0f);
      // Columns whose footprint starts at binned column u contribute to
      // u .. u + kTaps - 1: every detector column gets the buckets in
      // ascending order, each in column order, whichever band it falls in.
      for (long u = u0 - kTaps + 1; u < u1; ++u) {
        for (int32_t i = t.start[u + kTaps - 1]; i < t.start[u + kTaps]; ++i) {
          const long k = t.order[i];
          const ColumnProjection& cp = t.col[k];
          if (cp.lo >= cp.hi) continue;
          interpolate_rows(cp, vol + cols_[k], nz_, val);
          for (int m = 0; m < kTaps; ++m) {
            if (u + m < u0 || u + m >= u1) continue;
            float* out = img + column_start(u + m);
            const float wm = cp.wt[m];
            for (int32_t iv = cp.lo; iv < cp.hi; ++iv) out[iv] += wm * val[iv];
          }
        }
      }
    }
  }, 8);
}

void MatchedProjector::back_column2(long k, std::span<const ViewTable* const> views,
                                    std::span<const float* const> images, const float* same, float* num,
                                    float* den) const {
  std::fill(num, num + lz_, 0.0f);
  std::fill(den, den + lz_, 0.0f);
  for (size_t v = 0; v < views.size(); ++v) {
    const ColumnProjection& cp = views[v]->col[k];
    if (cp.iu == ColumnProjection::kMissed || cp.lo >= cp.hi) continue;
    const long off = column_start(cp.iu);
    const float* r0 = images[v] + off;
    const float* s0 = same + off;
    const long p1 = vpitch_, p2 = 2 * vpitch_;
    static_assert(kTaps == 3, "the sweep below reads three columns");
    for (int32_t iv = cp.lo; iv < cp.hi; ++iv) {
      const float r = cp.wt[0] * r0[iv] + cp.wt[1] * r0[iv + p1] + cp.wt[2] * r0[iv + p2];
      const float s = cp.wt[0] * s0[iv] + cp.wt[1] * s0[iv + p1] + cp.wt[2] * s0[iv + p2];
      const float pj = std::clamp(cp.a + static_cast<float>(iv) * cp.b, 1.0f, static_cast<float>(nz_));
      const int32_t j = std::min(static_cast<int32_t>(pj), static_cast<int32_t>(nz_) - 1);
      const float f = pj - static_cast<float>(j);
      num[j] += (1.0f - f) * r;
      num[j + 1] += f * r;
      den[j] += (1.0f - f) * s;
      den[j + 1] += f * s;
    }
  }
}

void MatchedProjector::bin_view(const float* proj, long pitch, float* image) const {
  std::fill(image, image + image_floats(), 0.0f);
  const double scale = 1.0 / (static_cast<double>(bin_) * bin_);
  for (long iu = 0; iu < nu_; ++iu) {
    const long c = ishift_ + col0_ + iu * bin_;
    for (long iv = 0; iv < nv_; ++iv) {
      double sum = 0;
      for (long dr = 0; dr < bin_; ++dr) {
        const float* row = proj + (row0_ + iv * bin_ + dr) * pitch + c;
        for (long dc = 0; dc < bin_; ++dc) sum += row[dc];
      }
      image[column_start(iu) + iv] = static_cast<float>(sum * scale);
    }
  }
}

}  // namespace cbrecon
