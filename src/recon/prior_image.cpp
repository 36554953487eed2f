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
#include <cstring>
#include <string_view>
#include <utility>

#include "filter/ramp.h"
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
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    // Same prefix: a longer name is a larger file number.
    return std::make_pair(a.first.size(), std::string_view(a.first)) <
           std::make_pair(b.first.size(), std::string_view(b.first));
  });
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
    bin.ext = bin.ext.substr(0, bin.ext.size() - 4) + "_mkb.seq";
    if (p_.extras.all_phases || b == p_.ph_recon) jobs_.push_back(std::move(bin));
  }
  if (jobs_.empty()) {
    // A bin number outside 1..10 holds no view, as in a plain run.
    Job none;
    const std::string ext = phase_suffix(p_.ph_recon, p_.hscan);
    none.ext = ext.substr(0, ext.size() - 4) + "_mkb.seq";
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

void Reconstruction::prior_image_passes(const std::vector<PassView>& bin_order) {
  ViewPass pass(p_, t_, *pool_, times_);
  // Pass 1: the prior.
  std::vector<PassView> prior_order;
  const ViewList& pl = prior_.views;
  for (long k = 0; k < pl.ik; ++k)
    prior_order.push_back({0, k, &pl.names[k], pl.angles[k], pl.angles[0], prior_.dbeta[k]});
  Tensor3<float>* prior_volume[] = {&prior_.volume};
  pass.run(prior_order, prior_volume, [&](std::span<const ViewOutcome> batch) { report_quiet(batch); });

  // Pass 2: each bin's residuals against the projected prior.
  const ForwardProjector projector(t_.bg, t_.fov, prior_.volume,
                                   {p_.extras.mkb_step, p_.extras.mkb_step});
  const ViewModel model = [&](const PassView& v, float* image, long pitch) {
    projector.project(v.angle * pi / 180, image, pitch);
  };
  const std::vector<float> spectrum = apodised_ramp_kernel(t_.g.nfft, tanstep, p_.extras.mkb_cutoff);
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
