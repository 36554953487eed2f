// The stages every reconstruction shares, in order:
//
//   1. instruction sets, geometry, mode (the constructor)
//   2. thread pool, memory pre-check, ramp-kernel spectrum, voxel grid
//   3. mask file -> mask log image, table of logarithms; half-scan set-up
//   4. the mode lists its views ("... files of # ... has been read")
//   5. volumes, per-run tables (view-order reversal, dbeta, rdist, fan angles)
//   6. the mode's passes over the views
#include "recon/reconstruct.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "backproj/plan.h"
#include "filter/preprocess.h"
#include "filter/ramp.h"
#include "input/coverage.h"
#include "input/mask.h"
#include "numeric/cpu.h"
#include "numeric/error.h"
#include "numeric/memory_limit.h"
#include "numeric/stopwatch.h"
#include "recon/bin_products.h"
#include "recon/mode.h"
#include "recon/run_checks.h"

namespace cbrecon {

namespace {

// Floats of padding after every slice of the volume: one cache line, so
// that a voxel column's slices (a power-of-two apart without it) spread over
// the cache sets instead of competing for one.
constexpr long kSlicePad = 16;

// Refusals that hold for every mode, before anything is read.
void check_common(const RunParams& p) {
  if (p.extras.all_phases && !p.rpm_on)
    throw RunError("--all-phases needs a respiratory-signal file as the third argument");
}

}  // namespace

Reconstructor::Reconstructor(const RunParams& p, Console& console) : ctx_(p, console) {
  set_isa(ctx_.p.extras.isa);
  ctx_.t.g = setup_geometry(ctx_.p);
  mode_ = choose_mode(ctx_.p);
  check_common(ctx_.p);
  mode_->check(ctx_.p);
  check_phase_options(ctx_.p);
  for (std::string& w : parameter_warnings(ctx_.p, ctx_.t.g)) console.note(std::move(w));
  volumes_ = mode_->volumes(ctx_.p);
  for (const PlannedVolume& v : bin_product_volumes(ctx_.p)) volumes_.push_back(v);
}

Reconstructor::~Reconstructor() = default;

Reconstructor::MemoryNeed Reconstructor::memory_needed(int threads) const {
  const RunParams& p = ctx_.p;
  const Geometry& g = ctx_.t.g;
  MemoryTerms m;
  m.volume = 4.0 * g.nz * static_cast<double>(p.npxls) * p.npxls;
  const double detector = 4.0 * static_cast<double>(p.nslices) * p.ndets;
  m.processed = 4.0 * static_cast<double>(g.nrows) * g.ncols_ext;
  // Mask, log image, distance factors and log table; a filtered image per
  // view of a batch; per busy thread (at most one per view of a batch) the
  // bytes of a view file and its counts.
  const int batch = batch_views(threads);
  m.busy = std::min(threads, batch);
  // Per thread, the backprojection's column quantities of a 16-row tile for
  // every view of a batch (about 32 bytes per voxel column).
  const double tiles =
      static_cast<double>(threads) * batch * 16.0 * 32.0 * (static_cast<double>(p.npxls) + 16);
  const double need = static_cast<double>(volumes_.size()) * m.volume + 4 * detector + (2 + batch) * m.processed +
                      2.0 * m.busy * detector + 2.0 * static_cast<double>(p.npxls) * p.npxls + tiles +
                      mode_->working_memory(m);
  return {need, m.volume};
}

// Refuses a run whose buffers cannot fit in memory, before allocating them.
void Reconstructor::check_memory() const {
  const RunParams& p = ctx_.p;
  const Geometry& g = ctx_.t.g;
  const double mib = 1024.0 * 1024.0;
  const MemoryNeed n = memory_needed(ctx_.pool->size());
  // What the machine can give now, not its total: an overcommitted run would
  // be killed later instead of refused here.
  MemoryLimit limit = memory_limit();
  if (allocation_limit() < limit.bytes) limit = {allocation_limit(), "the allocation limit"};
  const double have = static_cast<double>(limit.bytes);
  if (n.bytes > have)
    throw FatalError(n.volume > have ? "allocation failure 3 in f3tensor()"
                                     : "allocation failure 2 in matrix()",
                     strprintf("cbrecon: this run needs about %.0f MiB of memory (a volume of %d x %d x %d "
                               "voxels is %.0f MiB), but only %.0f MiB are available (limit from %s)",
                               n.bytes / mib, static_cast<int>(g.nz), p.npxls, p.npxls, n.volume / mib,
                               have / mib, limit.source.c_str()));
}

// The mask file, its log image and the table of logarithms.
void Reconstructor::read_mask_tables() {
  RunParams& p = ctx_.p;
  RunTables& t = ctx_.t;
  Matrix<uint32_t> raw = read_mask(p.fn_msk, p.nslices, p.ndets, ctx_.mask_head.data(), ctx_.console.out);
  const double ctnorm = header_ctnorm(ctx_.mask_head.data());
  if (!usable_ctnorm(ctx_.mask_head))
    throw RunError(strprintf("mask file %s: CTnorm (header byte 440) is %g; a positive number is needed",
                             p.fn_msk.c_str(), ctnorm));
  // Views hold counts up to about the open-field counts: cover the counts
  // up to twice the largest mask count (at most 4 Mi).
  const uint32_t top = *std::max_element(raw.data(), raw.data() + raw.size());
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{1} << 22, 2 * uint64_t{top} + 2));
  t.logs = LogTable(n);
  t.logs.fill(*ctx_.pool, log_approx8());
  t.M = mask_log_image(raw, p.nslices, p.ndets, ctnorm, ctx_.pool.get());
}

// Processing order: a single list in order; several phase bins merged in
// file order (each bin keeps its own order).
std::vector<PassView> Reconstructor::processing_order() const {
  const std::vector<Job>& jobs = mode_->jobs;
  std::vector<PassView> order;
  for (int j = 0; j < static_cast<int>(jobs.size()); ++j) append_pass_views(order, jobs[j], j);
  if (jobs.size() > 1)
    std::stable_sort(order.begin(), order.end(), [&](const PassView& a, const PassView& b) {
      return ctx_.p.cw == 0 ? earlier_file(*b.name, *a.name) : earlier_file(*a.name, *b.name);
    });
  return order;
}

ReconResult Reconstructor::run() {
  RunParams& p = ctx_.p;
  RunTables& t = ctx_.t;
  Console& con = ctx_.console;
  const Geometry& g = t.g;
  ctx_.pool = std::make_unique<ThreadPool>(p.extras.threads);
  ThreadPool& pool = *ctx_.pool;
  if (pool.size() < pool.requested())
    con.note(strprintf("warning: only %d of the %d threads asked for could be started", pool.size(),
                       pool.requested()));
  check_memory();
  t.rampspec = ramp_kernel(g.nfft, tanstep);
  t.bg = make_scan_geometry(p, g);

  read_mask_tables();
  t.hs = half_scan_values(p.ndets, p.hscan);
  if (p.hscan == 1) {
    std::fprintf(con.out, " half scan reconstruction!!!\n");
    p.ext = "hf4d_cali.seq";
  }
  mode_->plan(ctx_);
  {
    // Refuses a run with no view to use or files of another size; notes the
    // dropped views and the listing's warnings (run_checks.h).
    std::vector<const ViewList*> lists;
    for (const Job& job : mode_->jobs) lists.push_back(&job.views);
    std::vector<std::string> notes;
    check_listing(p, lists, notes);
    for (std::string& n : notes) con.note(std::move(n));
  }
  if (p.rpm_on)
    for (const Job& job : mode_->jobs)
      if (std::string w = bin_coverage_warning(job.views, static_cast<uint16_t>(job.bin)); !w.empty())
        con.note(std::move(w));

  // Volumes and extents.
  t.fov = build_fov_extents(p.npxls, g.dx, p.fov);
  {
    PlanSettings ps;
    ps.kernel = backproject_isa();
    ps.forced = p.extras.bp_shape;
    ps.wisdom = p.extras.plan_wisdom;
    if (ps.wisdom.empty())
      if (const char* w = std::getenv("CBRECON_WISDOM")) ps.wisdom = w;
    ps.threads = pool.size();
    ps.batch = batch_views(pool.size());
    std::vector<std::string> warnings;
    t.plan = std::make_unique<BackprojPlan>(t.bg, t.fov, ps, warnings);
    for (std::string& w : warnings) con.note(std::move(w));
  }
  const std::vector<Job*> all_jobs = mode_->all_jobs();
  for (Job* job : all_jobs) {
    job->volume = f3tensor(0, g.nz - 1, 0, p.npxls - 1, 0, p.npxls - 1, kSlicePad);
    float* v = job->volume.data();
    const long n = static_cast<long>(job->volume.storage_size());
    pool.parallel_for(n, [&](long b, long e, int) { std::fill(v + b, v + e, 0.0f); });
    job->headout = ctx_.mask_head;
  }
  con.t_last = clock_ms();
  long total_ik = 0, total_listed = 0;
  for (const Job& job : mode_->jobs) {
    total_ik += job.views.ik;
    total_listed += job.views.nlisted;
  }
  std::fprintf(con.out, "%d files of # %d has been read. Installation time %4.3f \n",
               static_cast<int>(total_ik), static_cast<int>(total_listed), (con.t_last - con.t_start) / 1000.0);
  std::fflush(con.out);

  // Per-run tables.
  t.filt_scale = filt_scale(g.nfft);
  long pass_views = 0;
  for (Job* job : all_jobs) {
    ViewList& vl = job->views;
    vl.names.resize(vl.ik);
    vl.angles.resize(vl.ik);
    if (p.cw == 0) {
      std::reverse(vl.names.begin(), vl.names.end());
      std::reverse(vl.angles.begin(), vl.angles.end());
    }
    job->dbeta = build_dbeta(vl.angles, p.hscan);
    pass_views += vl.ik;
  }
  t.rdist = build_rdist(g.nrows, g.ncols_ext, g.ucenter);
  t.gamma = fan_angles(g.ncols_ext, g.ucenter);

  // The passes.
  const std::vector<PassView> order = processing_order();
  for (const Job* job : all_jobs)
    for (const std::string& name : job->views.skipped) con.note(name + " is not a regular file; view skipped");
  con.print_notes();
  con.start_progress(pass_views, p.extras.quiet);
  mode_->execute(ctx_, order);
  con.finish_progress();
  t.plan->finish();
  if (const std::string w = t.plan->save(); !w.empty()) std::fprintf(con.err, "cbrecon: %s\n", w.c_str());

  ReconResult r;
  for (Job& job : mode_->jobs)
    r.volumes.push_back({PlannedVolume{job.ext, job.bin, job.prior_image, VolumeProduct::none, job.iterative}, std::move(job.volume), job.headout,
                         job.any_view, job.used, job.views.ik});
  add_bin_products(p, r.volumes);
  r.g = t.g;
  r.bg = t.bg;
  r.fov = t.fov;
  r.times = ctx_.times;
  r.threads = pool.size();
  return r;
}

void Reconstructor::report_timings(std::FILE* err, const ReconResult& r, double total) const {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  const StageTimes& times = r.times;
  const double bp = times.backproject > 0 ? times.voxel_updates / times.backproject : 0;
  mode_->report_timings(err, times);
  std::fprintf(err,
               "timings: read %.3f s, decode %.3f s, preprocess+filter %.3f s, backproject %.3f s, "
               "write %.3f s, total %.3f s\n"
               "timings: %.3g voxel updates/s in the backprojection, peak memory %.0f MiB, %d threads, "
               "kernels: %s\n",
               times.read, times.decode, times.filter, times.backproject, times.write, total, bp,
               ru.ru_maxrss / 1024.0, r.threads, kernel_summary().c_str());
  if (ctx_.t.plan) std::fprintf(err, "timings: %s\n", ctx_.t.plan->summary().c_str());
}

}  // namespace cbrecon
