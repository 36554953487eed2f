#include "recon/driver.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "backproj/backproject.h"
#include "output/formats.h"
#include "project/project.h"
#include "output/volume_io.h"
#include "filter/preprocess.h"
#include "filter/ramp.h"
#include "input/mask.h"
#include "input/phase.h"
#include "input/projection.h"
#include "numeric/cpu.h"
#include "numeric/error.h"
#include "numeric/stopwatch.h"
#include "numeric/parallel.h"
#include "geometry/geometry.h"
#include "recon/cli.h"
#include "recon/outputs.h"
#include "recon/progress.h"
#include "recon/reconstruction.h"
#include "recon/view_pass.h"

namespace cbrecon {

namespace {

const auto g_process_start = std::chrono::steady_clock::now();


// Floats of padding after every slice of the volume: one cache line, so
// that a voxel column's slices (a power-of-two apart without it) spread over
// the cache sets instead of competing for one.
constexpr long kSlicePad = 16;

std::string final_ext(const RunParams& p) {
  if (p.rpm_on) return bin_ext(p, p.ph_recon);
  if (p.hscan == 1) return "hf4d_cali.seq";
  return p.ext;
}

void check_names(const RunParams& p) {
  RunParams q = p;
  if (p.extras.all_phases) q.ph_recon = 10;  // the longest bin suffix
  q.ext = final_ext(q);
  const std::string out = output_name(q);
  if (out.size() > kMaxName)
    throw RunError(strprintf("output file name is %zu characters long; at most %zu are allowed: %s",
                             out.size(), kMaxName, out.c_str()));
  projection_name(p.fn_proj, 0);  // throws if even a five-digit name is too long
}

// Modes that cannot be combined, refused before anything is read.
void check_modes(const RunParams& p) {
  if (p.extras.all_phases && !p.rpm_on)
    throw RunError("--all-phases needs a respiratory-signal file as the third argument");
  if (p.extras.mkb && !p.rpm_on)
    throw RunError("--mkb reconstructs phase bins: it needs a respiratory-signal file as the third argument");
  if (!p.extras.mkb && !p.extras.mkb_tuning.empty())
    throw RunError(p.extras.mkb_tuning + " tunes the prior-image bins: it needs --mkb");
  if (p.extras.mkb && p.hscan == 1)
    throw RunError("--mkb does not work with -hscan: a half scan per bin cannot use a prior from every angle");
}

// Refuses a run whose buffers cannot fit in memory, before allocating them.
void check_memory(const RunParams& p, const Geometry& g, int volumes, int threads) {
  const double mib = 1024.0 * 1024.0;
  const double volume = 4.0 * g.nz * static_cast<double>(p.npxls) * p.npxls;
  const double detector = 4.0 * static_cast<double>(p.nslices) * p.ndets;
  const double processed = 4.0 * static_cast<double>(g.nrows) * g.ncols_ext;
  // Mask, log image, distance factors and log table; a filtered image per
  // view of a batch; per busy thread (at most one per view of a batch) the
  // bytes of a view file and its counts.
  const int batch = batch_views(threads);
  const double busy = std::min(threads, batch);
  // Per thread, the backprojection's column quantities of a 16-row tile for
  // every view of a batch (about 32 bytes per voxel column).
  const double tiles =
      static_cast<double>(threads) * batch * 16.0 * 32.0 * (static_cast<double>(p.npxls) + 16);
  // --mkb: the prior, the projector's copy of it, and a model image per
  // busy thread.
  const double prior = p.extras.mkb ? 2 * volume + busy * processed : 0;
  const double need = volumes * volume + 4 * detector + (2 + batch) * processed + 2.0 * busy * detector +
                      2.0 * static_cast<double>(p.npxls) * p.npxls + tiles + prior;
  // What the machine can give now, not its total: an overcommitted run would
  // be killed later instead of refused here.
  const double have = static_cast<double>(std::min(allocation_limit(), available_memory_bytes()));
  if (need > have)
    throw FatalError(volume > have ? "allocation failure 3 in f3tensor()"
                                   : "allocation failure 2 in matrix()",
                     strprintf("cbrecon: this run needs about %.0f MiB of memory (a volume of %d x %d x %d "
                               "voxels is %.0f MiB), but only %.0f MiB are available",
                               need / mib, static_cast<int>(g.nz), p.npxls, p.npxls, volume / mib,
                               have / mib));
}

// The volumes a run writes, by output suffix.
std::vector<PlannedVolume> planned_volumes(const RunParams& p) {
  std::vector<PlannedVolume> v;
  if (p.rpm_on && p.extras.all_phases) {
    for (uint16_t bin = 1; bin <= 10; ++bin) v.push_back({bin_ext(p, bin)});
  } else {
    v.push_back({final_ext(p)});
  }
  return v;
}

}  // namespace

void Reconstruction::report_timings(double total) {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  const double bp = times_.backproject > 0 ? times_.voxel_updates / times_.backproject : 0;
  if (times_.project > 0)
    std::fprintf(err_, "timings: forward projection %.3f s (gain %.4f), not counted in the stages below\n",
                 times_.project, model_gain_);
  std::fprintf(err_,
               "timings: read %.3f s, decode %.3f s, preprocess+filter %.3f s, backproject %.3f s, "
               "write %.3f s, total %.3f s\n"
               "timings: %.3g voxel updates/s in the backprojection, peak memory %.0f MiB, %d threads, "
               "kernels: %s\n",
               times_.read, times_.decode, times_.filter, times_.backproject, times_.write, total,
               bp, ru.ru_maxrss / 1024.0, pool_->size(), kernel_summary().c_str());
}

// The mask file, its log image and the table of logarithms.
void Reconstruction::read_mask_tables() {
  Matrix<uint32_t> raw = read_mask(p_.fn_msk, p_.nslices, p_.ndets, mask_head_.data(), out_);
  const double ctnorm = header_ctnorm(mask_head_.data());
  if (!usable_ctnorm(mask_head_))
    throw RunError(strprintf("mask file %s: CTnorm (header byte 440) is %g; a positive number is needed",
                             p_.fn_msk.c_str(), ctnorm));
  // Views hold counts up to about the open-field counts: cover the counts
  // up to twice the largest mask count (at most 4 Mi).
  const uint32_t top = *std::max_element(raw.data(), raw.data() + raw.size());
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{1} << 22, 2 * uint64_t{top} + 2));
  t_.logs = LogTable(n);
  t_.logs.fill(*pool_, log_approx8());
  t_.M = mask_log_image(raw, p_.nslices, p_.ndets, ctnorm, pool_.get());
}

// Every phase bin from one reading of the respiratory file: each bin's view
// list is the one a run of that bin alone would make.
std::vector<Job> Reconstruction::all_phase_jobs() {
  const PhaseTable table = read_rpm_signal(p_.fn_tmp, out_, kTraceFile);
  if (!table.warning.empty()) notes_.push_back(table.warning);
  std::fprintf(out_, "RPM signal file name %s  %s\n", p_.fn_tmp.c_str(), p_.ext.c_str());
  std::fprintf(out_, "size=%5d \n", static_cast<int>(table.count));
  const int32_t first = first_projection_number(p_.fn_proj, p_.nviews);
  std::vector<Job> jobs;
  for (uint16_t bin = 1; bin <= 10; ++bin) {
    Job job;
    job.views = phase_views(table, first, p_.fn_proj, p_.nviews, bin, p_.hscan, t_.hs.hscan_range);
    job.ext = phase_suffix(bin, p_.hscan);
    job.bin = bin;  // DICOM series label
    jobs.push_back(std::move(job));
  }
  return jobs;
}

// The view lists: 3-D by file number, 4-D by respiratory phase.
void Reconstruction::list_views() {
  if (p_.rpm_on) {
    if (p_.extras.all_phases) {
      for (Job& j : all_phase_jobs()) jobs_.push_back(std::move(j));
    } else {
      Job job;
      std::string warning;
      job.views = select_phase_views(p_.fn_tmp, p_.fn_proj, p_.nviews, p_.ph_recon, p_.hscan,
                                     t_.hs.hscan_range, p_.ext, out_, kTraceFile, &warning);
      if (!warning.empty()) notes_.push_back(warning);
      job.ext = p_.ext;
      job.bin = p_.ph_recon;  // DICOM series label
      jobs_.push_back(std::move(job));
    }
  } else {
    Job job;
    job.views = list_projections(p_.fn_proj, ".hnd", p_.nviews, p_.ist, p_.hscan, t_.hs.hscan_range);
    job.ext = p_.ext;
    jobs_.push_back(std::move(job));
  }
}

// Processing order: a single list in order; several phase bins merged in
// file order (each bin keeps its own order).
std::vector<PassView> Reconstruction::processing_order() const {
  std::vector<PassView> order;
  for (int j = 0; j < static_cast<int>(jobs_.size()); ++j) append_pass_views(order, jobs_[j], j);
  if (jobs_.size() > 1)
    std::stable_sort(order.begin(), order.end(), [&](const PassView& a, const PassView& b) {
      return p_.cw == 0 ? earlier_file(*b.name, *a.name) : earlier_file(*a.name, *b.name);
    });
  return order;
}

// The classic console lines of a batch: its messages in view order, then
// every view's line.
void Reconstruction::report_classic(std::span<const ViewOutcome> batch) {
  const long nb = static_cast<long>(batch.size());
  print_messages(batch);
  progress_.clear();
  const int32_t now = clock_ms();
  for (long b = 0; b < nb; ++b) {
    const ViewOutcome& o = batch[b];
    const PassView& v = *o.view;
    Job& job = jobs_[v.target];
    std::memcpy(job.headout.data(), o.head.data(), kHeaderSize);
    job.any_view = true;
    if (v.k % 100 == 0) std::fprintf(out_, "processing projection view #%-d\n", static_cast<int>(v.k));
    // Time of the batch shared out evenly over its views.
    const int32_t t_view = o.t_view;
    t_last_ = t_view + static_cast<int32_t>((now - t_view) * (b + 1) / nb);
    std::fprintf(out_, "i=%3d, time backproj=%7.4f filename: %s %4.2f scale =%g CTnorm =%g\n",
                 static_cast<int>(v.k), (t_last_ - t_view) / 1000.0, v.name->c_str(), v.angle,
                 static_cast<double>(v.dbeta), header_ctnorm(o.head.data()));
  }
  std::fflush(out_);
  t_last_ = now;
  progress_done_ += nb;
  progress_.update(progress_done_);
}

// The read and decode messages of a batch in view order, each view's once
// in a run (a second pass over a view repeats nothing).
void Reconstruction::print_messages(std::span<const ViewOutcome> batch) {
  for (const ViewOutcome& o : batch)
    if (!o.message.empty() && reported_.insert(*o.view->name).second) {
      progress_.clear();
      std::fputs(o.message.c_str(), err_);
    }
}

// Writes one volume and what goes beside it.  A file that cannot be
// written does not stop the others: its reason goes to `failures`.
void Reconstruction::write_job(Job& job, std::vector<std::string>& failures) {
  RunParams q = p_;
  q.ext = job.ext;
  const std::string name = output_name(q);
  const int slice_bytes = p_.npxls * p_.npxls * 2;
  std::fprintf(out_, "saving imagine index=%-d\n", slice_bytes);
  std::fflush(out_);
  try {
    write_volume_file(name, job.headout.data(), job.volume.data(),
                      static_cast<size_t>(job.volume.plane_pitch()), t_.g.nz, p_.npxls, t_.fov,
                      p_.scale_cal, p_.offset_cal);
    std::fprintf(out_, "image has been saved in %s, zdim = %-d\n", name.c_str(), static_cast<int>(t_.g.nz));
    std::fflush(out_);
  } catch (const RunError& e) {
    failures.push_back(e.what());
  }
  write_extra_outputs(name, job.ext, job.volume.data(), static_cast<size_t>(job.volume.plane_pitch()),
                      p_, t_.bg, t_.fov, failures);
  // DICOM series (--format dcm); a kept old folder is reported.
  try {
    const std::string note =
        write_dicom_output(name, job.volume.data(), static_cast<size_t>(job.volume.plane_pitch()), p_,
                           t_.bg, t_.fov, dicom_run_, volume_label(job.bin, p_.extras.mkb));
    if (!note.empty()) std::fprintf(err_, "cbrecon: %s\n", note.c_str());
  } catch (const RunError& e) {
    failures.push_back(e.what());
  }
}

int Reconstruction::run(int argc, const char* const* argv) {
  t_start_ = clock_ms();
  parse_command_line(argc, argv, p_, out_);
  std::fflush(out_);
  set_isa(p_.extras.isa);
  t_.g = setup_geometry(p_);
  const Geometry& g = t_.g;
  check_names(p_);
  check_modes(p_);
  check_outputs(p_, planned_outputs(p_, planned_volumes(p_)));
  // DICOM series: the run's identity, and the series folders checked now.
  if (wants_dicom(p_.extras)) {
    dicom_run_ = make_dicom_run(p_);
    for (const PlannedVolume& v : planned_volumes(p_)) {
      RunParams q = p_;
      q.ext = v.ext;
      check_dicom_folder(dicom_folder_name(output_name(q)));
    }
  }
  pool_ = std::make_unique<ThreadPool>(p_.extras.threads);
  if (pool_->size() < pool_->requested())
    notes_.push_back(strprintf("warning: only %d of the %d threads asked for could be started",
                               pool_->size(), pool_->requested()));
  check_memory(p_, g, p_.extras.all_phases ? 10 : 1, pool_->size());
  t_.rampspec = ramp_kernel(g.nfft, tanstep);
  t_.bg = make_scan_geometry(p_, g);

  read_mask_tables();
  t_.hs = half_scan_values(p_.ndets, p_.hscan);
  if (p_.hscan == 1) {
    std::fprintf(out_, " half scan reconstruction!!!\n");
    p_.ext = "hf4d_cali.seq";
  }
  if (p_.extras.mkb)
    plan_prior_image();
  else
    list_views();

  // Volumes and extents.
  t_.fov = build_fov_extents(p_.npxls, g.dx, p_.fov);
  std::vector<Job*> all_jobs;
  for (Job& job : jobs_) all_jobs.push_back(&job);
  if (p_.extras.mkb) all_jobs.push_back(&prior_);
  for (Job* jp : all_jobs) {
    Job& job = *jp;
    job.volume = f3tensor(0, g.nz - 1, 0, p_.npxls - 1, 0, p_.npxls - 1, kSlicePad);
    float* v = job.volume.data();
    const long n = static_cast<long>(job.volume.storage_size());
    pool_->parallel_for(n, [&](long b, long e, int) { std::fill(v + b, v + e, 0.0f); });
    job.headout = mask_head_;
  }
  t_last_ = clock_ms();
  long total_ik = 0, total_listed = 0;
  for (const Job& job : jobs_) {
    total_ik += job.views.ik;
    total_listed += job.views.nlisted;
  }
  std::fprintf(out_, "%d files of # %d has been read. Installation time %4.3f \n",
               static_cast<int>(total_ik), static_cast<int>(total_listed), (t_last_ - t_start_) / 1000.0);
  std::fflush(out_);

  // Per-run tables.
  t_.filt_scale = filt_scale(g.nfft);
  for (Job* jp : all_jobs) {
    ViewList& vl = jp->views;
    vl.names.resize(vl.ik);
    vl.angles.resize(vl.ik);
    if (p_.cw == 0) {
      std::reverse(vl.names.begin(), vl.names.end());
      std::reverse(vl.angles.begin(), vl.angles.end());
    }
    jp->dbeta = build_dbeta(vl.angles, p_.hscan);
  }
  t_.rdist = build_rdist(g.nrows, g.ncols_ext, g.ucenter);
  t_.gamma = fan_angles(g.ncols_ext, g.ucenter);

  // View loop.
  const std::vector<PassView> order = processing_order();
  for (const Job* job : all_jobs)
    for (const std::string& name : job->views.skipped)
      notes_.push_back(name + " is not a regular file; view skipped");
  for (const std::string& note : notes_) std::fprintf(err_, "cbrecon: %s\n", note.c_str());
  const long passes_views = static_cast<long>(order.size()) + (p_.extras.mkb ? prior_.views.ik : 0);
  progress_ = ProgressBar(err_, passes_views, progress_wanted(err_, p_.extras.quiet));
  if (p_.extras.mkb) {
    prior_image_passes(order);
  } else {
    std::vector<Tensor3<float>*> volumes;
    for (Job& job : jobs_) volumes.push_back(&job.volume);
    ViewPass pass(p_, t_, *pool_, times_);
    pass.run(order, volumes, [&](std::span<const ViewOutcome> batch) { report_classic(batch); });
  }
  progress_.finish();

  Stopwatch sw;
  std::vector<std::string> failures;
  for (Job& job : jobs_) write_job(job, failures);
  times_.write += sw.lap();
  if (!failures.empty()) {
    // Every other output was written; each failure is one line.
    std::fflush(out_);
    for (const std::string& f : failures) std::fprintf(err_, "cbrecon: %s\n", f.c_str());
    return 2;
  }
  std::fprintf(out_, "Total time backproj=%7.2f \n", (t_last_ - t_start_) / 1000.0);
  std::fflush(out_);
  if (p_.extras.timings) report_timings(clock_ms() / 1000.0);
  return 1;
}

std::string bin_ext(const RunParams& p, uint16_t bin) {
  const std::string ext = phase_suffix(bin, p.hscan);
  return p.extras.mkb ? without_seq(ext) + "_mkb.seq" : ext;
}

bool earlier_file(const std::string& a, const std::string& b) {
  // Same prefix: a longer name is a larger file number.
  return std::make_pair(a.size(), std::string_view(a)) < std::make_pair(b.size(), std::string_view(b));
}

void append_pass_views(std::vector<PassView>& order, const Job& job, int target) {
  const ViewList& vl = job.views;
  for (long k = 0; k < vl.ik; ++k)
    order.push_back({target, k, &vl.names[k], vl.angles[k], vl.angles[0], job.dbeta[k]});
}

int32_t clock_ms() {
  return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - g_process_start)
                                  .count());
}

int run(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  Reconstruction r(out, err);
  return r.run(argc, argv);
}

int run_and_report(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  try {
    return run(argc, argv, out, err);
  } catch (const ExitRequest& e) {
    std::fflush(out);
    return e.status();
  } catch (const RunError& e) {
    std::fflush(out);
    std::fprintf(err, "cbrecon: %s\n", e.what());
    return 2;
  } catch (const FatalError& e) {
    if (!e.detail().empty()) std::fprintf(err, "%s\n", e.detail().c_str());
    print_fatal_lines(err, e.what());
    return 1;
  }
}

}  // namespace cbrecon
