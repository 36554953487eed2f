// The plain mode: a 3-D volume from every listed view, or respiratory phase
// bins each from its own views (one bin, or every bin with --all-phases in
// one pass over the files).
#include "numeric/error.h"
#include "recon/mode.h"

namespace cbrecon {

namespace {

class BinsMode final : public ReconMode {
 public:
  void check(const RunParams& p) const override {
    if (!p.extras.mkb_tuning.empty())
      throw RunError(p.extras.mkb_tuning + " tunes the prior-image bins: it needs --mkb");
    if (!p.extras.iter_tuning.empty())
      throw RunError(p.extras.iter_tuning + " tunes the iterative bins: it needs --iterative");
  }

  std::vector<PlannedVolume> volumes(const RunParams& p) const override { return bin_volumes(p, false); }

  void plan(RunContext& ctx) override {
    for (const PlannedVolume& v : volumes(ctx.p)) jobs.emplace_back(v);
    list_views(ctx, jobs, false);
  }

  void execute(RunContext& ctx, const std::vector<PassView>& bin_order) override {
    std::vector<Tensor3<float>*> targets;
    for (Job& job : jobs) targets.push_back(&job.volume);
    ViewPass pass(ctx.p, ctx.t, *ctx.pool, ctx.times);
    pass.run(bin_order, targets,
             [&](std::span<const ViewOutcome> batch) { ctx.console.report_views(batch, jobs); });
  }
};

}  // namespace

std::unique_ptr<ReconMode> make_bins_mode() { return std::make_unique<BinsMode>(); }

}  // namespace cbrecon
