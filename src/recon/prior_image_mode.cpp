// Prior-image (McKinnon-Bates) reconstruction of respiratory phase bins.
//
// A bin holds about a tenth of the views, so its plain reconstruction is
// covered in view-aliasing streaks.  The anatomy that does not move is
// already known from all views together: the prior, the reconstruction of
// every view the respiratory listing accepts.  Each view of a bin is
// compared with the prior's projection at its angle, and only the residual
// (what moved, and noise) is reconstructed from the bin's views, with the
// bin's own weights and dbeta, then added to the prior:
//
//   pass 1: every accepted view -> prior
//   pass 2: each bin's views minus the projected prior -> correction
//   bin = prior + correction
//
// The residual carries the bin's counting noise at full strength, so its
// ramp filter is rolled off (--mkb-cutoff); the projection only has to match
// that resolution, so it is traced on a coarser detector grid
// (--mkb-step).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "filter/preprocess.h"
#include "filter/ramp.h"
#include "geometry/fov.h"
#include "geometry/geometry.h"
#include "numeric/error.h"
#include "project/project.h"
#include "recon/mode.h"

namespace cbrecon {

namespace {

// Views of the prior that measure the gain of its projections.
constexpr long kGainViews = 8;

class PriorImageMode final : public ReconMode {
 public:
  void check(const RunParams& p) const override {
    if (!p.rpm_on)
      throw RunError("--mkb reconstructs phase bins: it needs a respiratory-signal file as the third argument");
    if (p.hscan == 1)
      throw RunError("--mkb does not work with -hscan: a half scan per bin cannot use a prior from every angle");
    if (!p.extras.iter_tuning.empty())
      throw RunError(p.extras.iter_tuning + " tunes the iterative bins: it needs --iterative");
  }

  std::vector<PlannedVolume> volumes(const RunParams& p) const override { return bin_volumes(p, true); }

  // The prior, the projector's copy of it, and a model image per busy
  // thread.
  double working_memory(const MemoryTerms& m) const override { return 2 * m.volume + m.busy * m.processed; }

  void plan(RunContext& ctx) override;
  std::vector<Job*> all_jobs() override {
    std::vector<Job*> all = ReconMode::all_jobs();
    all.push_back(&prior_);
    return all;
  }
  void execute(RunContext& ctx, const std::vector<PassView>& bin_order) override;
  void report_timings(std::FILE* err, const StageTimes& times) const override {
    if (times.project > 0)
      std::fprintf(err, "timings: forward projection %.3f s (gain %.4f), not counted in the stages below\n",
                   times.project, model_gain_);
  }

 private:
  double model_gain(const RunContext& ctx, const ForwardProjector& projector) const;

  Job prior_;  // every accepted view of every bin
  double model_gain_ = 0;  // what the prior's projections were scaled by
};

// Reads the respiratory file once: every bin's view list (as a run of that
// bin alone lists it) feeds the prior; the bins asked for are the jobs.
void PriorImageMode::plan(RunContext& ctx) {
  for (const PlannedVolume& v : volumes(ctx.p)) jobs.emplace_back(v);
  std::vector<ViewList> bins = list_views(ctx, jobs, true);
  // The prior: every listed view of every bin, in file order.
  std::vector<std::pair<std::string, double>> all;
  for (const ViewList& bin : bins)
    for (long k = 0; k < bin.ik; ++k) all.emplace_back(bin.names[k], bin.angles[k]);
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return earlier_file(a.first, b.first); });
  prior_ = Job{};
  for (auto& [name, angle] : all) {
    prior_.views.names.push_back(std::move(name));
    prior_.views.angles.push_back(angle);
  }
  prior_.views.ik = static_cast<uint16_t>(prior_.views.names.size());
  prior_.views.nlisted = prior_.views.ik;
  // A name that is not a regular file is reported once, with the prior.
  for (ViewList& bin : bins)
    for (std::string& name : bin.skipped) prior_.views.skipped.push_back(std::move(name));
  for (Job& job : jobs) job.views.skipped.clear();
}

// The factor that takes the prior's projections to the units of the views'
// line integrals.  A centred full turn reconstructs 10000 mu and needs 1;
// the half-fan weights of an offset detector give a ray and its opposite
// one weight together, so that volume reads about half as much, and by how
// much exactly depends on the weighting near the central ray.  Measured,
// not assumed: the least-squares ratio of the line integrals to the
// projections over a few views spread over the turn.
double PriorImageMode::model_gain(const RunContext& ctx, const ForwardProjector& projector) const {
  const RunParams& p = ctx.p;
  const RunTables& t = ctx.t;
  const ViewList& vl = prior_.views;
  const long n = std::min<long>(kGainViews, vl.ik);
  if (n == 0) return 1.0;
  const long rows = t.g.nrows, cols = t.g.ncols_ext, pitch = t.bg.proj_pitch;
  Matrix<float> unit = matrix(0, rows - 1, 0, cols - 1);
  std::fill(unit.data(), unit.data() + unit.size(), 1.0f);
  const std::vector<double> ones(cols, 1.0);
  const double slab = (t.g.zhalf - p.pxlz) * sdd_px / (sad + p.fov / 2.0);
  const long row_lo = static_cast<long>(std::ceil(rows / 2 - slab));
  const long row_hi = static_cast<long>(std::floor(rows / 2 + slab)) + 1;
  std::vector<double> lp(n, 0.0), pp(n, 0.0);
  ctx.pool->parallel_for(n, [&](long b, long e, int) {
    ViewScratch sc;
    std::vector<float> li(static_cast<size_t>(rows) * pitch), pr(static_cast<size_t>(rows) * pitch);
    for (long i = b; i < e; ++i) {
      const long k = i * vl.ik / n;
      Header head{};
      if (!load_view(p, vl.names[k], head, sc).message.empty() || !usable_ctnorm(head)) continue;
      const float lnorm = static_cast<float>(std::log(header_ctnorm(head.data())));
      preprocess_rows(sc.raw.data(), t.M, lnorm, t.g, p.ndets, p.nslices, ones, unit, li.data(), pitch, 0, rows,
                      &t.logs);
      projector.project(vl.angles[k] * pi / 180, pr.data(), pitch);
      // Real detector pixels only, inside the frame, on rows whose rays stay
      // inside the reconstructed slab across the whole field of view.
      for (long r = std::max(8L, row_lo); r < std::min<long>(p.nslices - 8, row_hi); ++r)
        for (long c = t.g.ishift + 8; c < t.g.ishift + p.ndets - 8; ++c) {
          const double l = li[r * pitch + c], q = pr[r * pitch + c];
          lp[i] += l * q;
          pp[i] += q * q;
        }
    }
  });
  double slp = 0, spp = 0;
  for (long i = 0; i < n; ++i) {
    slp += lp[i];
    spp += pp[i];
  }
  const double gain = spp > 0 ? slp / spp : 1.0;
  return std::isfinite(gain) && gain > 0 ? gain : 1.0;
}

void PriorImageMode::execute(RunContext& ctx, const std::vector<PassView>& bin_order) {
  const RunParams& p = ctx.p;
  const RunTables& t = ctx.t;
  ViewPass pass(p, t, *ctx.pool, ctx.times);
  // Pass 1: the prior.
  std::vector<PassView> prior_order;
  append_pass_views(prior_order, prior_, 0);
  Tensor3<float>* prior_volume[] = {&prior_.volume};
  pass.run(prior_order, prior_volume, [&](std::span<const ViewOutcome> batch) { ctx.console.report_quiet(batch); });

  // Pass 2: each bin's residuals against the projected prior.  Only the
  // part of the prior inside the detector's reach is projected: beyond it
  // no ray measured anything and the reconstruction holds only what the
  // backprojection smeared there.
  const long far = std::max<long>(t.g.icent, p.ndets - t.g.icent) - 9;
  const double reach = sad * std::sin(std::atan(static_cast<double>(far) * tanstep));
  const FovExtents seen = build_fov_extents(p.npxls, t.g.dx, static_cast<float>(std::min<double>(p.fov, 2 * reach)));
  const ForwardProjector projector(t.bg, seen, prior_.volume, {p.extras.mkb_step, p.extras.mkb_step});
  const double gain = model_gain_ = model_gain(ctx, projector);
  const ViewModel model = [&](const PassView& v, float* image, long pitch) {
    projector.project(v.angle * pi / 180, image, pitch);
    return gain;
  };
  // The cutoff is a fraction of the grid's Nyquist frequency 1/(2 dx) at
  // the axis; the detector samples every pitch * sad / sdd mm there.
  const double at_axis = pitch * sad / sdd;
  const double cutoff = std::min(1.0, p.extras.mkb_cutoff * at_axis / static_cast<double>(t.g.dx));
  const std::vector<float> spectrum = apodised_ramp_kernel(t.g.nfft, tanstep, cutoff);
  std::vector<Tensor3<float>*> volumes;
  for (Job& job : jobs) volumes.push_back(&job.volume);
  pass.run(bin_order, volumes, [&](std::span<const ViewOutcome> batch) { ctx.console.report_views(batch, jobs); },
           &model, &spectrum);

  // Each bin is the prior plus its correction.
  const float* prior = prior_.volume.data();
  const long n = static_cast<long>(prior_.volume.storage_size());
  for (Job& job : jobs) {
    float* v = job.volume.data();
    ctx.pool->parallel_for(n, [&](long b, long e, int) {
      for (long i = b; i < e; ++i) v[i] = static_cast<float>(static_cast<double>(v[i]) + static_cast<double>(prior[i]));
    });
  }
}

}  // namespace

std::unique_ptr<ReconMode> make_prior_image_mode() { return std::make_unique<PriorImageMode>(); }

}  // namespace cbrecon
