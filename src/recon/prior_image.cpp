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
#include "input/phase.h"
#include "input/rpm.h"
#include "numeric/error.h"
#include "project/project.h"
#include "recon/driver.h"
#include "recon/outputs.h"
#include "recon/reconstruction.h"

namespace cbrecon {

// Reads the respiratory file once: every bin's view list (as a run of that
// bin alone lists it) feeds the prior; the bins asked for become the jobs.
void Reconstruction::plan_prior_image() {
  std::vector<Job> bins = all_phase_jobs();
  // The prior: every listed view of every bin, in file order.
  std::vector<std::pair<std::string, double>> all;
  for (const Job& bin : bins)
    for (long k = 0; k < bin.views.ik; ++k) all.emplace_back(bin.views.names[k], bin.views.angles[k]);
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return earlier_file(a.first, b.first); });
  prior_ = Job{};
  for (auto& [name, angle] : all) {
    prior_.views.names.push_back(std::move(name));
    prior_.views.angles.push_back(angle);
  }
  prior_.views.ik = static_cast<uint16_t>(prior_.views.names.size());
  prior_.views.nlisted = prior_.views.ik;
  for (Job& bin : bins) {
    for (std::string& name : bin.views.skipped) prior_.views.skipped.push_back(std::move(name));
    bin.views.skipped.clear();
  }
  for (uint16_t b = 1; b <= 10; ++b) {
    Job& bin = bins[b - 1];
    bin.ext = bin_ext(p_, b);
    if (p_.extras.all_phases || b == p_.ph_recon) jobs_.push_back(std::move(bin));
  }
  if (jobs_.empty()) {
    // A bin number outside 1..10 holds no view, as in a plain run.
    Job none;
    none.ext = bin_ext(p_, p_.ph_recon);
    jobs_.push_back(std::move(none));
  }
  p_.ext = jobs_.front().ext;
}

// The prior pass prints no per-view lines (the bins' pass does), only what
// went wrong with a view.
void Reconstruction::report_quiet(std::span<const ViewOutcome> batch) {
  print_messages(batch);
  progress_done_ += static_cast<long>(batch.size());
  progress_.update(progress_done_);
}

// The factor that takes the prior's projections to the units of the views'
// line integrals.  A centred full turn reconstructs 10000 mu and needs 1;
// the half-fan weights of an offset detector give a ray and its opposite
// one weight together, so that volume reads about half as much, and by how
// much exactly depends on the weighting near the central ray.  Measured,
// not assumed: the least-squares ratio of the line integrals to the
// projections over a few views spread over the turn.
double Reconstruction::model_gain(const ForwardProjector& projector) {
  const ViewList& vl = prior_.views;
  const long n = std::min<long>(kGainViews, vl.ik);
  if (n == 0) return 1.0;
  const long rows = t_.g.nrows, cols = t_.g.ncols_ext, pitch = t_.bg.proj_pitch;
  Matrix<float> unit = matrix(0, rows - 1, 0, cols - 1);
  std::fill(unit.data(), unit.data() + unit.size(), 1.0f);
  const std::vector<double> ones(cols, 1.0);
  const double slab = (t_.g.zhalf - p_.pxlz) * sdd_px / (sad + p_.fov / 2.0);
  const long row_lo = static_cast<long>(std::ceil(rows / 2 - slab));
  const long row_hi = static_cast<long>(std::floor(rows / 2 + slab)) + 1;
  std::vector<double> lp(n, 0.0), pp(n, 0.0);
  pool_->parallel_for(n, [&](long b, long e, int) {
    std::vector<uint8_t> data;
    Matrix<uint32_t> raw;
    std::vector<float> li(static_cast<size_t>(rows) * pitch), pr(static_cast<size_t>(rows) * pitch);
    for (long i = b; i < e; ++i) {
      const long k = i * vl.ik / n;
      Header head{};
      if (!read_view_file(p_, vl.names[k], head, data).empty() || !decode_view(p_, vl.names[k], data, raw).empty() ||
          !usable_ctnorm(head))
        continue;
      const float lnorm = static_cast<float>(std::log(header_ctnorm(head.data())));
      preprocess_rows(raw.data(), t_.M, lnorm, t_.g, p_.ndets, p_.nslices, ones, unit, li.data(), pitch, 0, rows,
                      &t_.logs);
      projector.project(vl.angles[k] * pi / 180, pr.data(), pitch);
      // Real detector pixels only, inside the frame, on rows whose rays stay
      // inside the reconstructed slab across the whole field of view.
      for (long r = std::max(8L, row_lo); r < std::min<long>(p_.nslices - 8, row_hi); ++r)
        for (long c = t_.g.ishift + 8; c < t_.g.ishift + p_.ndets - 8; ++c) {
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

void Reconstruction::prior_image_passes(const std::vector<PassView>& bin_order) {
  ViewPass pass(p_, t_, *pool_, times_);
  // Pass 1: the prior.
  std::vector<PassView> prior_order;
  append_pass_views(prior_order, prior_, 0);
  Tensor3<float>* prior_volume[] = {&prior_.volume};
  pass.run(prior_order, prior_volume, [&](std::span<const ViewOutcome> batch) { report_quiet(batch); });

  // Pass 2: each bin's residuals against the projected prior.  Only the
  // part of the prior inside the detector's reach is projected: beyond it
  // no ray measured anything and the reconstruction holds only what the
  // backprojection smeared there.
  const long far = std::max<long>(t_.g.icent, p_.ndets - t_.g.icent) - 9;
  const double reach = sad * std::sin(std::atan(static_cast<double>(far) * tanstep));
  const FovExtents seen = build_fov_extents(p_.npxls, t_.g.dx, static_cast<float>(std::min<double>(p_.fov, 2 * reach)));
  const ForwardProjector projector(t_.bg, seen, prior_.volume, {p_.extras.mkb_step, p_.extras.mkb_step});
  const double gain = model_gain_ = model_gain(projector);
  const ViewModel model = [&](const PassView& v, float* image, long pitch) {
    projector.project(v.angle * pi / 180, image, pitch);
    return gain;
  };
  // The cutoff is a fraction of the grid's Nyquist frequency 1/(2 dx) at
  // the axis; the detector samples every pitch * sad / sdd mm there.
  const double at_axis = pitch * sad / sdd;
  const double cutoff = std::min(1.0, p_.extras.mkb_cutoff * at_axis / static_cast<double>(t_.g.dx));
  const std::vector<float> spectrum = apodised_ramp_kernel(t_.g.nfft, tanstep, cutoff);
  std::vector<Tensor3<float>*> volumes;
  for (Job& job : jobs_) volumes.push_back(&job.volume);
  pass.run(bin_order, volumes, [&](std::span<const ViewOutcome> batch) { report_classic(batch); }, &model,
           &spectrum);

  // Each bin is the prior plus its correction.
  const float* prior = prior_.volume.data();
  const long n = static_cast<long>(prior_.volume.storage_size());
  for (Job& job : jobs_) {
    float* v = job.volume.data();
    pool_->parallel_for(n, [&](long b, long e, int) {
      for (long i = b; i < e; ++i) v[i] = static_cast<float>(static_cast<double>(v[i]) + static_cast<double>(prior[i]));
    });
  }
}

}  // namespace cbrecon
