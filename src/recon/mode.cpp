#include "recon/mode.h"

#include <utility>

#include "input/coverage.h"
#include "input/phase.h"
#include "recon/breathing.h"
#include "recon/outputs.h"

namespace cbrecon {

std::vector<Job*> ReconMode::all_jobs() {
  std::vector<Job*> all;
  for (Job& job : jobs) all.push_back(&job);
  return all;
}

std::vector<PlannedVolume> bin_volumes(const RunParams& p, bool prior_image) {
  std::vector<PlannedVolume> v;
  if (p.rpm_on && p.extras.all_phases) {
    for (uint16_t bin = 1; bin <= p.nbins; ++bin) v.push_back({bin_ext(p, bin), bin, prior_image});
  } else if (p.rpm_on) {
    v.push_back({bin_ext(p, p.ph_recon), p.ph_recon, prior_image});
  } else {
    v.push_back({p.hscan == 1 ? "hf4d_cali.seq" : p.ext, 0, prior_image});
  }
  return v;
}

std::vector<ViewList> list_views(RunContext& ctx, std::vector<Job>& jobs, bool every_bin) {
  const RunParams& p = ctx.p;
  const double range = ctx.t.hs.hscan_range;
  const ViewScreen screen{p.nslices, p.ndets};  // files that cannot be views leave the lists
  if (!p.rpm_on) {
    for (Job& job : jobs)
      job.views = list_projections(p.fn_proj, ".hnd", p.nviews, p.ist, p.hscan, range, &screen);
    return {};
  }
  const BreathingRecord record = breathing_listing(ctx);
  const PhaseListing& l = record.listing;
  if (std::string w = unbinned_warning(l.table, p.nviews, p.nbins); !w.empty()) ctx.console.note(std::move(w));
  auto bin_views = [&](int bin) {
    return phase_views(l.table, l.first, p.fn_proj, p.nviews, static_cast<uint16_t>(bin), p.hscan, range, &screen);
  };
  if (!every_bin && !breathing_extras(p)) {
    for (Job& job : jobs) job.views = bin_views(job.bin);
    return {};
  }
  std::vector<ViewList> bins;
  for (int bin = 1; bin <= p.nbins; ++bin) bins.push_back(bin_views(bin));
  if (breathing_extras(p)) report_bins(ctx, record, bins);
  for (Job& job : jobs)
    if (job.bin >= 1 && job.bin <= p.nbins) job.views = bins[job.bin - 1];
  return bins;
}

std::unique_ptr<ReconMode> choose_mode(const RunParams& p) {
  if (p.extras.iterative) return make_iterative_mode(p);
  if (p.extras.mkb) return make_prior_image_mode();
  return make_bins_mode();
}

}  // namespace cbrecon
