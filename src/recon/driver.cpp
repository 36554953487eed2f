#include "recon/driver.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backproj/backproject.h"
#include "output/dicom.h"  // DICOM series
#include "output/formats.h"
#include "output/volume_io.h"
#include "filter/preprocess.h"
#include "filter/ramp.h"
#include "input/mask.h"
#include "input/phase.h"
#include "input/projection.h"
#include "numeric/error.h"
#include "numeric/parallel.h"
#include "geometry/geometry.h"
#include "recon/cli.h"
#include "recon/outputs.h"
#include "recon/progress.h"

namespace cbrecon {

namespace {

const auto g_process_start = std::chrono::steady_clock::now();

// Views filtered together and then backprojected in one pass over the
// volume.  Each voxel still receives its views one after the other, in
// order, so the batch size changes no bit of the result.  Measured on the
// 2-core machine (whole default run): 16 views per pass 2.6 s of
// backprojection, 8 views 2.85 s, 4 views 2.9-3.3 s.
constexpr int kBatch = 16;

// Seconds spent per stage, for --timings.
struct StageTimes {
  double read = 0, decode = 0, filter = 0, backproject = 0, write = 0;
  double voxel_updates = 0;  // voxels visited x views backprojected
};

class Stopwatch {
 public:
  Stopwatch() : t0_(std::chrono::steady_clock::now()) {}
  double lap() {
    const auto t = std::chrono::steady_clock::now();
    const double s = std::chrono::duration<double>(t - t0_).count();
    t0_ = t;
    return s;
  }

 private:
  std::chrono::steady_clock::time_point t0_;
};

// Floats of padding after every slice of the volume: one cache line, so
// that a voxel column's slices (a power-of-two apart without it) spread over
// the cache sets instead of competing for one.
constexpr long kSlicePad = 16;
// Likewise for the rows of a filtered view (often 4 KiB long).
constexpr long kRowPad = 16;

// One output volume and the views that feed it.
struct Job {
  ViewList views;
  std::string ext;
  std::vector<float> dbeta;
  Tensor3<float> volume;
  Header headout{};
  bool any_view = false;
  int bin = 0;  // DICOM series label: 0 for a 3-D volume, else the phase bin
};

// One view of the processing order: job and index within its list.
struct Step {
  int job;
  long k;
};

// One view of a batch: what its file said and its filtered image.
struct ViewWork {
  Header head{};
  bool ok = false;     // read and decoded completely
  bool skip = false;   // adds nothing to the volume
  std::vector<double> ww;
  Matrix<float> proj;
  int32_t t_view = 0;
  std::string message;  // what reading or decoding had to report
};

// What a thread needs for one view at a time: the file's bytes and the
// decoded counts.
struct ViewScratch {
  std::vector<uint8_t> data;
  Matrix<uint32_t> raw;
  StageTimes times;  // read, decode and preprocess+filter of its views
};

std::string final_ext(const RunParams& p) {
  if (p.rpm_on) return phase_suffix(p.ph_recon, p.hscan);
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

// Refuses a run whose buffers cannot fit in memory, before allocating them.
void check_memory(const RunParams& p, const Geometry& g, int volumes, int threads) {
  const double mib = 1024.0 * 1024.0;
  const double volume = 4.0 * g.nz * static_cast<double>(p.npxls) * p.npxls;
  const double detector = 4.0 * static_cast<double>(p.nslices) * p.ndets;
  const double processed = 4.0 * static_cast<double>(g.nrows) * g.ncols_ext;
  // Mask, log image, distance factors and log table; a filtered image per
  // view of a batch; per busy thread (at most one per view of a batch) the
  // bytes of a view file and its counts.
  const double busy = std::min(threads, kBatch);
  // Per thread, the backprojection's column quantities of a 16-row tile for
  // every view of a batch (about 32 bytes per voxel column).
  const double tiles =
      static_cast<double>(threads) * kBatch * 16.0 * 32.0 * (static_cast<double>(p.npxls) + 16);
  const double need = volumes * volume + 4 * detector + (2 + kBatch) * processed + 2.0 * busy * detector +
                      2.0 * static_cast<double>(p.npxls) * p.npxls + tiles;
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
    for (uint16_t bin = 1; bin <= 10; ++bin) v.push_back({phase_suffix(bin, p.hscan)});
  } else {
    v.push_back({final_ext(p)});
  }
  return v;
}

class Reconstruction {
 public:
  Reconstruction(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
  int run(int argc, const char* const* argv);

 private:
  void read_view(ViewWork& w, const std::string& name, std::vector<uint8_t>& data);
  void prepare_view(const Step& step, ViewWork& w, ViewScratch& sc);
  void process_batch(const std::vector<Step>& batch, std::vector<ViewWork>& work);
  void write_job(Job& job, std::vector<std::string>& failures);
  std::vector<Job> all_phase_jobs();

  std::FILE* out_;
  std::FILE* err_;
  RunParams p_;
  Geometry g_;
  BackprojGeometry bg_;
  FovExtents fov_;
  HalfScan hs_;
  std::vector<float> rampspec_;
  float filt_scale_ = 0;
  Matrix<float> M_;
  Matrix<float> rdist_;
  std::vector<float> gamma_;
  std::vector<double> logtab_;  // std::log(n) for the counts a view is likely to hold
  std::vector<Job> jobs_;
  std::unique_ptr<ThreadPool> pool_;
  std::vector<ViewScratch> scratch_;  // one per thread
  ProgressBar progress_;
  std::vector<std::string> notes_;  // warnings, printed once the run cannot be refused any more
  int32_t t_start_ = 0, t_last_ = 0;
  StageTimes times_;
  double voxels_per_view_ = 0;
  DicomRun dicom_run_;  // DICOM series: one study and frame of reference per run
  void report_timings(double total);
};

void Reconstruction::report_timings(double total) {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  const double bp = times_.backproject > 0 ? times_.voxel_updates / times_.backproject : 0;
  std::fprintf(err_,
               "timings: read %.3f s, decode %.3f s, preprocess+filter %.3f s, backproject %.3f s, "
               "write %.3f s, total %.3f s\n"
               "timings: %.3g voxel updates/s in the backprojection, peak memory %.0f MiB, %d threads, "
               "kernels: filter %s, backprojection %s\n",
               times_.read, times_.decode, times_.filter, times_.backproject, times_.write, total,
               bp, ru.ru_maxrss / 1024.0, pool_->size(), filter_isa(), backproject_isa());
}

// Reads one view's file into w (header and pixel bytes).  Any message is
// left in w.message, to be printed in view order.
void Reconstruction::read_view(ViewWork& w, const std::string& name, std::vector<uint8_t>& data) {
  w.ok = false;
  w.message.clear();
  if (!read_projection(name, w.head.data(), data, max_pixel_bytes(p_.nslices, p_.ndets))) {
    w.message = strprintf("Can not open file %s\n", name.c_str());
    w.head.fill(0);  // treated as an empty file
    data.clear();
    return;
  }
  const size_t need = min_pixel_bytes(p_.nslices, p_.ndets);
  if (data.size() < need) {
    w.message = strprintf("cbrecon: %s: %zu bytes of pixel data, a %d x %d detector needs at least %zu; view skipped\n",
                          name.c_str(), data.size(), p_.ndets, p_.nslices, need);
    w.head.fill(0);
    data.clear();
    return;
  }
  w.ok = true;
}

// Reads, decodes, preprocesses and filters one view into w, with the
// thread's scratch; stage times go to the scratch.
void Reconstruction::prepare_view(const Step& step, ViewWork& w, ViewScratch& sc) {
  Stopwatch sw;
  const Job& job = jobs_[step.job];
  const long k = step.k;
  const std::string& name = job.views.names[k];
  read_view(w, name, sc.data);
  w.t_view = clock_ms();
  sc.times.read += sw.lap();
  w.skip = true;
  if (!w.ok) return;
  if (sc.raw.empty()) sc.raw = uimatrix(0, p_.nslices - 1, 0, p_.ndets - 1);
  const DecodeStatus st = decode_projection_into(sc.data, p_.ndets, p_.nslices, sc.raw.data());
  if (st.truncated || st.invalid_code) {
    w.ok = false;
    w.message += strprintf("cbrecon: %s: the pixel data do not decode to a %d x %d image; view skipped\n",
                           name.c_str(), p_.ndets, p_.nslices);
    w.head.fill(0);
    sc.times.decode += sw.lap();
    return;
  }
  const double ctnorm = header_ctnorm(w.head.data());
  const float lnorm = static_cast<float>(std::log(ctnorm));
  // A view without a usable CTnorm would add NaN everywhere.
  const bool usable = std::isfinite(ctnorm) && ctnorm > 0;
  const double theta = job.views.angles[k] * pi / 180;
  const bool outside = p_.hscan == 1 && hs_.hscan_range < theta - job.views.angles[0] * pi / 180;
  w.skip = !usable || outside;
  const double beta = (job.views.angles[k] - job.views.angles[0]) * pi / 180;
  half_scan_weights(beta, hs_, p_.hscan, gamma_, w.ww);
  sc.times.decode += sw.lap();
  if (w.skip) return;
  // Preprocess and filter a few rows at a time, while they are in cache.
  const long nrows = g_.nrows;
  constexpr long kRowBlock = 16;
  for (long r0 = 0; r0 < nrows; r0 += kRowBlock) {
    const long r1 = std::min(nrows, r0 + kRowBlock);
    preprocess_rows(sc.raw.data(), M_, lnorm, g_, p_.ndets, p_.nslices, w.ww, rdist_, w.proj.data(),
                    bg_.proj_pitch, r0, r1, logtab_);
    filter_rows(w.proj[r0], static_cast<size_t>(bg_.proj_pitch), static_cast<int>(r1 - r0), g_.ncols_ext,
                g_.nfft, rampspec_.data(), filt_scale_);
  }
  sc.times.filter += sw.lap();
}

void Reconstruction::process_batch(const std::vector<Step>& batch, std::vector<ViewWork>& work) {
  const long nb = static_cast<long>(batch.size());
  Stopwatch sw;
  // One view per task, handed out one at a time: reading, decoding (the
  // prediction runs over the whole raster), preprocessing and filtering.
  for (ViewScratch& sc : scratch_) sc.times = StageTimes{};
  pool_->parallel_for(nb, [&](long b0, long b1, int tid) {
    for (long b = b0; b < b1; ++b) prepare_view(batch[b], work[b], scratch_[tid]);
  }, static_cast<int>(nb));
  // Messages in view order (on a line of their own, not after the bar).
  for (long b = 0; b < nb; ++b)
    if (!work[b].message.empty()) {
      progress_.clear();
      std::fputs(work[b].message.c_str(), err_);
    }
  // The phase's time shared out over its stages as the threads spent it.
  const double phase = sw.lap();
  StageTimes sum;
  for (const ViewScratch& sc : scratch_) {
    sum.read += sc.times.read;
    sum.decode += sc.times.decode;
    sum.filter += sc.times.filter;
  }
  const double busy = sum.read + sum.decode + sum.filter;
  if (busy > 0) {
    times_.read += phase * sum.read / busy;
    times_.decode += phase * sum.decode / busy;
    times_.filter += phase * sum.filter / busy;
  }
  // Backproject: voxel rows are disjoint; within a row each voxel gets the
  // batch's views in order.
  std::vector<ViewConstants> vcs(nb);
  for (long b = 0; b < nb; ++b) {
    const Job& job = jobs_[batch[b].job];
    const long k = batch[b].k;
    if (!work[b].skip) vcs[b] = view_constants(bg_, job.views.angles[k] * pi / 180, job.dbeta[k]);
  }
  // The batch's views grouped by output volume, each group in view order.
  std::vector<std::pair<int, std::vector<BackprojView>>> groups;
  for (long b = 0; b < nb; ++b) {
    if (work[b].skip) continue;
    const int job = batch[b].job;
    auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == job; });
    if (it == groups.end()) it = groups.insert(groups.end(), {job, {}});
    it->second.push_back({&vcs[b], work[b].proj.data()});
  }
  // The whole batch passes over a few voxel rows at a time while their
  // voxels stay in cache; tasks of about 16 rows (the kernels' tile) keep
  // the threads busy to the end of the pass.
  const int tasks_per_thread = std::max(1, p_.npxls / (16 * pool_->size()));
  pool_->parallel_for(p_.npxls, [&](long r0, long r1, int) {
    for (const auto& [job, views] : groups) backproject_batch(bg_, fov_, views, jobs_[job].volume, r0, r1);
  }, tasks_per_thread);
  times_.backproject += sw.lap();
  for (long b = 0; b < nb; ++b)
    if (!work[b].skip) times_.voxel_updates += voxels_per_view_;
  // Report every view in order.
  progress_.clear();
  const int32_t now = clock_ms();
  for (long b = 0; b < nb; ++b) {
    ViewWork& w = work[b];
    Job& job = jobs_[batch[b].job];
    const long k = batch[b].k;
    std::memcpy(job.headout.data(), w.head.data(), kHeaderSize);
    job.any_view = true;
    if (k % 100 == 0) std::fprintf(out_, "processing projection view #%-d\n", static_cast<int>(k));
    // Time of the batch shared out evenly over its views.
    const int32_t t_view = w.t_view;
    t_last_ = t_view + static_cast<int32_t>((now - t_view) * (b + 1) / nb);
    std::fprintf(out_, "i=%3d, time backproj=%7.4f filename: %s %4.2f scale =%g CTnorm =%g\n",
                 static_cast<int>(k), (t_last_ - t_view) / 1000.0, job.views.names[k].c_str(),
                 job.views.angles[k], static_cast<double>(job.dbeta[k]),
                 header_ctnorm(w.head.data()));
  }
  std::fflush(out_);
  t_last_ = now;
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
                      static_cast<size_t>(job.volume.plane_pitch()), g_.nz, p_.npxls, fov_,
                      p_.scale_cal, p_.offset_cal);
    std::fprintf(out_, "image has been saved in %s, zdim = %-d\n", name.c_str(), static_cast<int>(g_.nz));
    std::fflush(out_);
  } catch (const RunError& e) {
    failures.push_back(e.what());
  }
  write_extra_outputs(name, job.ext, job.volume.data(), static_cast<size_t>(job.volume.plane_pitch()),
                      p_, bg_, fov_, failures);
  // DICOM series (--format dcm); a kept old folder is reported.
  try {
    const std::string note =
        write_dicom_output(name, job.volume.data(), static_cast<size_t>(job.volume.plane_pitch()), p_,
                           bg_, fov_, dicom_run_, volume_label(job.bin));
    if (!note.empty()) std::fprintf(err_, "cbrecon: %s\n", note.c_str());
  } catch (const RunError& e) {
    failures.push_back(e.what());
  }
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
    job.views = phase_views(table, first, p_.fn_proj, p_.nviews, bin, p_.hscan, hs_.hscan_range);
    job.ext = phase_suffix(bin, p_.hscan);
    job.bin = bin;  // DICOM series label
    jobs.push_back(std::move(job));
  }
  return jobs;
}

int Reconstruction::run(int argc, const char* const* argv) {
  t_start_ = clock_ms();
  parse_command_line(argc, argv, p_, out_);
  std::fflush(out_);
  set_filter_isa(p_.extras.isa);
  set_backproject_isa(p_.extras.isa);
  g_ = setup_geometry(p_);
  check_names(p_);
  if (p_.extras.all_phases && !p_.rpm_on)
    throw RunError("--all-phases needs a respiratory-signal file as the third argument");
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
  check_memory(p_, g_, p_.extras.all_phases ? 10 : 1, pool_->size());
  rampspec_ = ramp_kernel(g_.nfft, tanstep);
  bg_ = make_backproj_geometry(p_, g_);
  bg_.proj_pitch = g_.ncols_ext + kRowPad;

  // Mask.
  Header mask_head{};
  {
    Matrix<uint32_t> raw = read_mask(p_.fn_msk, p_.nslices, p_.ndets, mask_head.data(), out_);
    const double ctnorm = header_ctnorm(mask_head.data());
    if (!(std::isfinite(ctnorm) && ctnorm > 0))
      throw RunError(strprintf("mask file %s: CTnorm (header byte 440) is %g; a positive number is needed",
                               p_.fn_msk.c_str(), ctnorm));
    M_ = mask_log_image(raw, p_.nslices, p_.ndets, ctnorm);
    // Views hold counts up to about the open-field counts: tabulate the
    // logarithms up to twice the largest mask count (at most 4 Mi entries).
    const uint32_t top = *std::max_element(raw.data(), raw.data() + raw.size());
    const size_t n = std::min<size_t>(size_t{1} << 22, 2 * static_cast<size_t>(top) + 2);
    logtab_.resize(n);
    double* lt = logtab_.data();
    pool_->parallel_for(static_cast<long>(n), [&](long b, long e, int) {
      for (long i = b; i < e; ++i) lt[i] = std::log(static_cast<double>(i));
    });
  }
  hs_ = half_scan_values(p_.ndets, p_.hscan);
  if (p_.hscan == 1) {
    std::fprintf(out_, " half scan reconstruction!!!\n");
    p_.ext = "hf4d_cali.seq";
  }

  // View lists.
  if (p_.rpm_on) {
    if (p_.extras.all_phases) {
      for (Job& j : all_phase_jobs()) jobs_.push_back(std::move(j));
    } else {
      Job job;
      std::string warning;
      job.views = select_phase_views(p_.fn_tmp, p_.fn_proj, p_.nviews, p_.ph_recon, p_.hscan,
                                     hs_.hscan_range, p_.ext, out_, kTraceFile, &warning);
      if (!warning.empty()) notes_.push_back(warning);
      job.ext = p_.ext;
      job.bin = p_.ph_recon;  // DICOM series label
      jobs_.push_back(std::move(job));
    }
  } else {
    Job job;
    job.views = list_projections(p_.fn_proj, ".hnd", p_.nviews, p_.ist, p_.hscan, hs_.hscan_range);
    job.ext = p_.ext;
    jobs_.push_back(std::move(job));
  }

  // Volumes and extents.
  fov_ = build_fov_extents(p_.npxls, g_.dx, p_.fov);
  for (int32_t r = 0; r < p_.npxls; ++r)
    voxels_per_view_ += static_cast<double>(fov_.fov_end[r] - fov_.fov_start[r]) * g_.nz;
  for (Job& job : jobs_) {
    job.volume = f3tensor(0, g_.nz - 1, 0, p_.npxls - 1, 0, p_.npxls - 1, kSlicePad);
    float* v = job.volume.data();
    const long n = static_cast<long>(job.volume.storage_size());
    pool_->parallel_for(n, [&](long b, long e, int) { std::fill(v + b, v + e, 0.0f); });
    job.headout = mask_head;
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
  filt_scale_ = filt_scale(g_.nfft);
  for (Job& job : jobs_) {
    ViewList& vl = job.views;
    vl.names.resize(vl.ik);
    vl.angles.resize(vl.ik);
    if (p_.cw == 0) {
      std::reverse(vl.names.begin(), vl.names.end());
      std::reverse(vl.angles.begin(), vl.angles.end());
    }
    job.dbeta = build_dbeta(vl.angles, p_.hscan);
  }
  rdist_ = build_rdist(g_.nrows, g_.ncols_ext, g_.ucenter);
  gamma_ = fan_angles(g_.ncols_ext, g_.ucenter);

  // Processing order: a single list in order; several phase bins merged in
  // file order (each bin keeps its own order).
  std::vector<Step> order;
  for (int j = 0; j < static_cast<int>(jobs_.size()); ++j)
    for (long k = 0; k < jobs_[j].views.ik; ++k) order.push_back({j, k});
  if (jobs_.size() > 1) {
    std::stable_sort(order.begin(), order.end(), [&](const Step& a, const Step& b) {
      const std::string& na = jobs_[a.job].views.names[a.k];
      const std::string& nb = jobs_[b.job].views.names[b.k];
      // Same prefix: a longer name is a larger file number.
      const auto key_a = std::make_pair(na.size(), std::string_view(na));
      const auto key_b = std::make_pair(nb.size(), std::string_view(nb));
      return p_.cw == 0 ? key_b < key_a : key_a < key_b;
    });
  }

  // View loop.
  scratch_.clear();
  scratch_.resize(pool_->size());
  std::vector<ViewWork> work(kBatch);
  for (ViewWork& w : work) {
    w.proj = matrix(0, g_.nrows - 1, 0, bg_.proj_pitch - 1);
    std::fill(w.proj.data(), w.proj.data() + w.proj.size(), 0.0f);
  }
  for (const Job& job : jobs_)
    for (const std::string& name : job.views.skipped)
      notes_.push_back(name + " is not a regular file; view skipped");
  for (const std::string& note : notes_) std::fprintf(err_, "cbrecon: %s\n", note.c_str());
  progress_ = ProgressBar(err_, static_cast<long>(order.size()), progress_wanted(err_, p_.extras.quiet));
  for (size_t i = 0; i < order.size(); i += kBatch) {
    std::vector<Step> batch(order.begin() + i, order.begin() + std::min(order.size(), i + kBatch));
    process_batch(batch, work);
    progress_.update(static_cast<long>(i + batch.size()));
  }
  progress_.finish();
  work.clear();
  scratch_.clear();

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

}  // namespace

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
