// Iterative reconstruction of respiratory phase bins, each from its own
// views only.
//
// A bin holds about a tenth of the views: its plain reconstruction is
// streaked, and the prior-image bins remove the streaks by leaning on the
// breathing-averaged prior, which pulls what moves towards its mean
// position.  Here each bin is instead fitted to its own line integrals, and
// the missing views are made up for by a spatial total-variation penalty;
// no other phase enters a bin, so the motion stays.
//
//   pass:   the plain bins (the classic pass), the starting point
//   load:   every view of every bin once more, its line integrals averaged
//           onto a binned detector (project/matched.h), and 1 / (A 1)
//   per bin, per iteration:
//           ordered-subset SART over the bin's views (a few views per
//           subset, subsets spread over the turn):
//             x += lambda A_s^T ((b - A x) / A 1) / A_s^T 1,  x >= 0
//           then TV descent (regular/tv.h) by tv_weight times the
//           iteration's own change (the change shrinks as the fit
//           converges, and the smoothing with it)
//
// The volume is fitted in true units (10000 mu).  An offset detector's
// plain reconstruction reads half of that (the half-fan weights give a ray
// and its opposite one measurement), so its start is doubled and its result
// halved: every bin is written in the words of the plain bins.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "filter/preprocess.h"
#include "geometry/fov.h"
#include "numeric/error.h"
#include "numeric/stopwatch.h"
#include "project/matched.h"
#include "recon/mode.h"
#include "regular/tv.h"

namespace cbrecon {

namespace {

// SART relaxation.
constexpr float kLambda = 1.0f;
// Views per ordered subset when --subsets is not given.
constexpr long kViewsPerSubset = 2;
// Total-variation descent steps after each iteration.
constexpr int kTvSteps = 10;
// Rays with less than this path (mm, x the distance factor) through the
// field of view are left out of the fit: their residual, divided by a tiny
// path, would dominate the voxels they touch.
constexpr float kMinPath = 1.0f;

// One bin's views on the binned detector.
struct BinData {
  std::vector<double> theta;  // radians, usable views only
  Matrix<float> b;            // per view: binned line integrals
  Matrix<float> inv;          // per view: 1 / (A 1), 0 where the ray is left out
};

class IterativeMode final : public ReconMode {
 public:
  explicit IterativeMode(const RunParams& p) : p_(p) {}

  void check(const RunParams& p) const override {
    if (!p.rpm_on)
      throw RunError("--iterative reconstructs phase bins: it needs a respiratory-signal file as the third argument");
    if (p.extras.mkb) throw RunError("--iterative and --mkb are two ways to reconstruct the bins: choose one");
    if (!p.extras.mkb_tuning.empty())
      throw RunError(p.extras.mkb_tuning + " tunes the prior-image bins: it needs --mkb");
    if (p.hscan == 1)
      throw RunError("--iterative does not work with -hscan: a bin of a half scan sees too few angles to fit");
  }

  std::vector<PlannedVolume> volumes(const RunParams& p) const override {
    std::vector<PlannedVolume> v = bin_volumes(p, false);
    for (PlannedVolume& pv : v) pv.iterative = true;
    return v;
  }

  // The fitted volume, the volume of ones its ray weights come from and the
  // TV descent's two (in the working layout, two slices longer); the binned
  // data and ray weights of a bin's views (counted for every view: a bin
  // may hold most of them), a subset's images.
  double working_memory(const MemoryTerms& m) const override {
    const double nz = m.volume > 0 ? m.volume / (4.0 * p_.npxls * p_.npxls) : 1;
    const double volume = m.volume * (nz + 2) / nz;
    const int bin = p_.extras.iter_binning;
    const double image = 4.0 * ((p_.ndets - 16) / bin + 2) * (p_.nslices / bin + 16);
    return 4 * volume + 2.0 * image * p_.nviews + 8 * image;
  }

  void plan(RunContext& ctx) override {
    for (const PlannedVolume& v : volumes(ctx.p)) jobs.emplace_back(v);
    list_views(ctx, jobs, false);
  }

  void execute(RunContext& ctx, const std::vector<PassView>& bin_order) override;

  void report_timings(std::FILE* err, const StageTimes&) const override {
    if (iter_s_ > 0)
      std::fprintf(err,
                   "timings: iterative: binned views %.3f s, forward %.3f s, backprojection+update %.3f s, "
                   "TV %.3f s (%d iterations, %ld subsets of bin 1, binning %d), not counted in the stages below\n",
                   load_s_, forward_s_, back_s_, tv_s_, p_.extras.iterations, subsets_shown_, p_.extras.iter_binning);
  }

 private:
  BinData load_bin(RunContext& ctx, const Job& job, const MatchedProjector& proj, const std::vector<float>& ones);
  void fit(RunContext& ctx, const BinData& d, const MatchedProjector& proj, float* x, float* work,
           const TvGrid& tv);

  RunParams p_;
  double load_s_ = 0, forward_s_ = 0, back_s_ = 0, tv_s_ = 0, iter_s_ = 0;
  long subsets_shown_ = 0;
  long done_ = 0;  // bin iterations finished (progress)
};

// Reads the job's views again: line integrals on the processed detector
// (no weighting, no filter), averaged onto the binned detector; and the
// weights 1 / (A 1) from the projection of a volume of ones.
BinData IterativeMode::load_bin(RunContext& ctx, const Job& job, const MatchedProjector& proj,
                                const std::vector<float>& ones) {
  const RunParams& p = ctx.p;
  const RunTables& t = ctx.t;
  const ViewList& vl = job.views;
  const long n = vl.ik, img = proj.image_floats();
  const long rows = t.g.nrows, cols = t.g.ncols_ext, pitch = t.bg.proj_pitch;
  BinData d;
  if (n == 0) return d;
  d.b = matrix(0, n - 1, 0, img - 1);
  d.inv = matrix(0, n - 1, 0, img - 1);
  std::vector<char> usable(n, 0);
  Matrix<float> unit = matrix(0, rows - 1, 0, cols - 1);
  std::fill(unit.data(), unit.data() + unit.size(), 1.0f);
  const std::vector<double> w(cols, 1.0);
  std::vector<ViewScratch> scratch(ctx.pool->size());
  std::vector<std::vector<float>> li(ctx.pool->size());
  ctx.pool->parallel_for(n, [&](long b0, long b1, int tid) {
    std::vector<float>& line = li[tid];
    line.resize(static_cast<size_t>(rows) * pitch);
    for (long k = b0; k < b1; ++k) {
      Header head{};
      if (!load_view(p, vl.names[k], head, scratch[tid]).message.empty() || !usable_ctnorm(head)) continue;
      const float lnorm = static_cast<float>(std::log(header_ctnorm(head.data())));
      preprocess_rows(scratch[tid].raw.data(), t.M, lnorm, t.g, p.ndets, p.nslices, w, unit, line.data(), pitch, 0,
                      rows, &t.logs);
      proj.bin_view(line.data(), pitch, d.b[k]);
      usable[k] = 1;
    }
  }, 1);
  // Compact to the usable views, keeping their order.
  long m = 0;
  for (long k = 0; k < n; ++k) {
    if (!usable[k]) continue;
    if (m != k) std::copy(d.b[k], d.b[k] + img, d.b[m]);
    d.theta.push_back(vl.angles[k] * pi / 180);
    ++m;
  }
  // 1 / (A 1), a few views at a time.
  const std::vector<float>& D = proj.rdist();
  for (long k0 = 0; k0 < m; k0 += 8) {
    const long k1 = std::min(m, k0 + 8);
    std::vector<ViewTable> tables(k1 - k0);
    std::vector<const ViewTable*> tp;
    std::vector<float*> ip;
    ctx.pool->parallel_for(k1 - k0, [&](long i0, long i1, int) {
      for (long i = i0; i < i1; ++i) proj.make_table(d.theta[k0 + i], tables[i]);
    }, 1);
    for (long k = k0; k < k1; ++k) {
      tp.push_back(&tables[k - k0]);
      ip.push_back(d.inv[k]);
    }
    proj.forward(ones.data(), tp, ip, *ctx.pool);
    for (long k = k0; k < k1; ++k)
      for (long i = 0; i < img; ++i) {
        const float a = d.inv[k][i] * D[i];
        d.inv[k][i] = a >= kMinPath ? 1.0f / a : 0.0f;
      }
  }
  return d;
}

// Ordered-subset SART with TV steps on x (the working layout), from its
// current values.
void IterativeMode::fit(RunContext& ctx, const BinData& d, const MatchedProjector& proj, float* x, float* work,
                        const TvGrid& tv) {
  const long nviews = static_cast<long>(d.theta.size());
  if (nviews == 0) return;
  ThreadPool& pool = *ctx.pool;
  const long img = proj.image_floats(), lz = proj.lz(), ncol = proj.columns();
  const long nsub = std::clamp<long>(
      p_.extras.subsets > 0 ? p_.extras.subsets : (nviews + kViewsPerSubset - 1) / kViewsPerSubset, 1, nviews);
  if (subsets_shown_ == 0) subsets_shown_ = nsub;
  // Views in angle order; subset s takes every nsub-th of them from s, so
  // that each subset spans the turn.  Subsets are visited in an order that
  // jumps about 0.618 of the way round each time.
  std::vector<long> by_angle(nviews);
  std::iota(by_angle.begin(), by_angle.end(), 0L);
  std::stable_sort(by_angle.begin(), by_angle.end(), [&](long a, long b) {
    return std::remainder(d.theta[a], 2 * pi) < std::remainder(d.theta[b], 2 * pi);
  });
  long jump = std::max(1L, static_cast<long>(std::lround(nsub * 0.618)));
  while (std::gcd(jump, nsub) != 1) ++jump;
  const long most = (nviews + nsub - 1) / nsub;
  Matrix<float> images = matrix(0, most - 1, 0, img - 1);
  std::vector<ViewTable> tables(most);
  std::vector<double> change(ncol);
  const std::vector<float>& D = proj.rdist();
  std::vector<std::vector<float>> acc(pool.size(), std::vector<float>(2 * lz));
  for (int it = 0; it < p_.extras.iterations; ++it) {
    std::fill(change.begin(), change.end(), 0.0);
    for (long si = 0; si < nsub; ++si) {
      const long s = si * jump % nsub;
      std::vector<long> views;
      for (long i = s; i < nviews; i += nsub) views.push_back(by_angle[i]);
      const long nv = static_cast<long>(views.size());
      Stopwatch sw;
      pool.parallel_for(nv, [&](long i0, long i1, int) {
        for (long i = i0; i < i1; ++i) proj.make_table(d.theta[views[i]], tables[i]);
      }, 1);
      std::vector<const ViewTable*> tp;
      std::vector<float*> ip;
      std::vector<const float*> rp;
      for (long i = 0; i < nv; ++i) {
        tp.push_back(&tables[i]);
        ip.push_back(images[i]);
        rp.push_back(images[i]);
      }
      proj.forward(x, tp, ip, pool);
      // The weighted residual, ready for the transpose of A = D S.
      pool.parallel_for(nv, [&](long i0, long i1, int) {
        for (long i = i0; i < i1; ++i) {
          float* r = images[i];
          const float* b = d.b[views[i]];
          const float* inv = d.inv[views[i]];
          for (long j = 0; j < img; ++j) r[j] = D[j] * ((b[j] - D[j] * r[j]) * inv[j]);
        }
      }, 1);
      forward_s_ += sw.lap();
      pool.parallel_for(ncol, [&](long k0, long k1, int tid) {
        float* num = acc[tid].data();
        float* den = num + lz;
        for (long k = k0; k < k1; ++k) {
          proj.back_column2(k, tp, rp, D.data(), num, den);
          float* xc = x + proj.column_offset(k);
          double ch = 0;
          for (long j = 1; j + 1 < lz; ++j) {
            if (!(den[j] > 0)) continue;
            const float old = xc[j];
            xc[j] = std::max(0.0f, old + kLambda * num[j] / den[j]);
            const double dv = static_cast<double>(xc[j]) - old;
            ch += dv * dv;
          }
          change[k] += ch;
        }
      });
      back_s_ += sw.lap();
    }
    if (p_.extras.tv_weight > 0) {
      Stopwatch sw;
      double moved = 0;
      for (double c : change) moved += c;
      tv_descent(x, tv, p_.extras.tv_weight * std::sqrt(moved) / kTvSteps, kTvSteps, work, pool);
      tv_s_ += sw.lap();
    }
    ctx.console.progress(++done_);
  }
}

void IterativeMode::execute(RunContext& ctx, const std::vector<PassView>& bin_order) {
  const RunParams& p = ctx.p;
  const RunTables& t = ctx.t;
  ThreadPool& pool = *ctx.pool;
  // The plain bins: the starting point, and the classic per-view lines.
  {
    std::vector<Tensor3<float>*> targets;
    for (Job& job : jobs) targets.push_back(&job.volume);
    ViewPass pass(p, t, pool, ctx.times);
    pass.run(bin_order, targets, [&](std::span<const ViewOutcome> batch) { ctx.console.report_views(batch, jobs); });
  }
  Stopwatch total;
  ctx.console.finish_progress();
  ctx.console.start_progress(static_cast<long>(jobs.size()) * p.extras.iterations, p.extras.quiet, "bin iterations");
  // Only the voxels inside the detector's reach are fitted: beyond it a
  // voxel is seen from part of the turn only, the plain bin holds little
  // more than the filter's edge there, and a fit of it would trade its
  // errors against the voxels inside.  Those keep the plain bin's values.
  const long far = std::max<long>(t.g.icent, p.ndets - t.g.icent) - 9;
  const double reach = sad * std::sin(std::atan(static_cast<double>(far) * tanstep));
  const double radius = std::min<double>(p.fov / 2.0, reach);
  const FovExtents seen = build_fov_extents(p.npxls, t.g.dx, static_cast<float>(2 * radius));
  const MatchedProjector proj(t.bg, seen, p.ndets, p.extras.iter_binning, radius);
  const long n = p.npxls, nz = t.g.nz, lz = proj.lz(), vol = proj.volume_floats();
  // The classic offset path reads half the true values.
  const double scale = t.g.offset && t.g.fanw_pre.empty() ? 0.5 : 1.0;
  std::vector<uint8_t> inside(n * n, 0);
  for (long r = 0; r < n; ++r)
    for (long c = seen.fov_start[r]; c < seen.fov_end[r]; ++c) inside[r * n + c] = 1;
  const TvGrid tv{p.npxls, nz, lz, static_cast<float>(t.g.dx / p.pxlz), 1.0f, &inside};
  Matrix<float> x = matrix(0, 0, 0, vol - 1);
  Matrix<float> work = matrix(0, 1, 0, vol - 1);
  std::vector<float> ones(vol, 0.0f);
  for (long k = 0; k < proj.columns(); ++k) std::fill_n(ones.data() + proj.column_offset(k) + 1, nz, 1.0f);
  for (Job& job : jobs) {
    Stopwatch sw;
    const BinData d = load_bin(ctx, job, proj, ones);
    load_s_ += sw.lap();
    // Start: the plain bin in true units, not negative.
    float* xv = x.data();
    std::fill(xv, xv + vol, 0.0f);
    Tensor3<float>& v = job.volume;
    const long plane = v.plane_pitch();
    pool.parallel_for(n, [&](long r0, long r1, int) {
      for (long r = r0; r < r1; ++r)
        for (long c = seen.fov_start[r]; c < seen.fov_end[r]; ++c)
          for (long j = 0; j < nz; ++j)
            xv[(r * n + c) * lz + j + 1] =
                std::max(0.0f, static_cast<float>(v.data()[j * plane + r * n + c] / scale));
    });
    fit(ctx, d, proj, xv, work.data(), tv);
    pool.parallel_for(n, [&](long r0, long r1, int) {
      for (long r = r0; r < r1; ++r)
        for (long c = seen.fov_start[r]; c < seen.fov_end[r]; ++c)
          for (long j = 0; j < nz; ++j)
            v.data()[j * plane + r * n + c] = static_cast<float>(xv[(r * n + c) * lz + j + 1] * scale);
    });
  }
  iter_s_ = total.lap();
}

}  // namespace

std::unique_ptr<ReconMode> make_iterative_mode(const RunParams& p) { return std::make_unique<IterativeMode>(p); }

}  // namespace cbrecon
