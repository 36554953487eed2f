#include "recon/view_pass.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "filter/ramp.h"
#include "numeric/error.h"
#include "numeric/stopwatch.h"

namespace cbrecon {

// One view of a batch: its outcome and its filtered image.
struct ViewPass::Work {
  ViewOutcome out;
  std::vector<double> ww;
  float* proj = nullptr;  // nrows rows of proj_pitch floats, in the batch's block
};

// What a thread needs for one view at a time: the file's bytes, the decoded
// counts and the view's model image.
struct ViewPass::Scratch {
  ViewScratch view;
  Matrix<float> model;
  StageTimes times;  // read, decode, model and preprocess+filter of its views
};

ViewPass::ViewPass(const RunParams& p, const RunTables& tables, ThreadPool& pool, StageTimes& times)
    : p_(p), t_(tables), pool_(pool), times_(times) {
  for (int32_t r = 0; r < p_.npxls; ++r)
    voxels_per_view_ += static_cast<double>(t_.fov.fov_end[r] - t_.fov.fov_start[r]) * t_.g.nz;
}

namespace {

std::string read_view_file(const RunParams& p, const std::string& name, Header& head,
                           std::vector<uint8_t>& data) {
  if (!read_projection(name, head.data(), data, max_pixel_bytes(p.nslices, p.ndets)))
    return strprintf("Can not open file %s\n", name.c_str());
  if (data.size() < min_pixel_bytes(p.nslices, p.ndets))
    return "cbrecon: " + short_view_message(name, data.size(), p.ndets, p.nslices) + "\n";
  return "";
}

std::string decode_view(const RunParams& p, const std::string& name, const std::vector<uint8_t>& data,
                        Matrix<uint32_t>& raw) {
  if (raw.empty()) raw = uimatrix(0, p.nslices - 1, 0, p.ndets - 1);
  const DecodeStatus st = decode_projection_into(data, p.ndets, p.nslices, raw.data());
  if (st.truncated || st.invalid_code)
    return strprintf("cbrecon: %s: the pixel data do not decode to a %d x %d image; view skipped\n",
                     name.c_str(), p.ndets, p.nslices);
  return "";
}

}  // namespace

ViewLoad load_view(const RunParams& p, const std::string& name, Header& head, ViewScratch& sc) {
  Stopwatch sw;
  ViewLoad l;
  l.message = read_view_file(p, name, head, sc.data);
  l.t_read = clock_ms();
  l.read_s = sw.lap();
  if (l.message.empty()) {
    l.message = decode_view(p, name, sc.data, sc.raw);
    l.decode_s = sw.lap();
  }
  if (!l.message.empty()) head.fill(0);
  return l;
}

// Reads, decodes, preprocesses and filters one view into w, with the
// thread's scratch.  Messages are left in the outcome, to be printed in
// view order.
void ViewPass::prepare(const PassView& v, Work& w, Scratch& sc, const ViewModel* model,
                       const std::vector<float>& spectrum) {
  ViewOutcome& o = w.out;
  o.view = &v;
  o.skip = true;
  const ViewLoad l = load_view(p_, *v.name, o.head, sc.view);
  o.message = l.message;
  o.t_view = l.t_read;
  sc.times.read += l.read_s;
  sc.times.decode += l.decode_s;
  if (!o.message.empty()) return;
  Stopwatch sw;
  const float lnorm = static_cast<float>(std::log(header_ctnorm(o.head.data())));
  const bool usable = usable_ctnorm(o.head);
  const double theta = v.angle * pi / 180;
  const bool outside = p_.hscan == 1 && t_.hs.hscan_range < theta - v.angle0 * pi / 180;
  o.skip = !usable || outside;
  const double beta = (v.angle - v.angle0) * pi / 180;
  half_scan_weights(beta, t_.hs, p_.hscan, t_.gamma, w.ww);
  if (!t_.g.fanw_pre.empty())
    for (size_t c = 0; c < w.ww.size(); ++c) w.ww[c] *= t_.g.fanw_pre[c];
  sc.times.decode += sw.lap();
  if (o.skip) return;
  const RunTables& t = t_;
  const long pitch = t.bg.proj_pitch;
  const float* minus = nullptr;
  double minus_scale = 1.0;
  if (model) {
    if (sc.model.empty()) sc.model = matrix(0, t.g.nrows - 1, 0, pitch - 1);
    minus_scale = (*model)(v, sc.model.data(), pitch);
    minus = sc.model.data();
    sc.times.project += sw.lap();
  }
  // Preprocess and filter a few rows at a time, while they are in cache (the
  // literal baseline preprocesses the whole view, then filters it).
  const long nrows = t.g.nrows;
  const long kRowBlock = p_.extras.literal ? nrows : 16;
  for (long r0 = 0; r0 < nrows; r0 += kRowBlock) {
    const long r1 = std::min(nrows, r0 + kRowBlock);
    preprocess_rows(sc.view.raw.data(), t.M, lnorm, t.g, p_.ndets, p_.nslices, w.ww, t.rdist, w.proj, pitch,
                    r0, r1, &t.logs, minus, minus_scale);
    filter_rows(w.proj + r0 * pitch, static_cast<size_t>(pitch), static_cast<int>(r1 - r0), t.g.ncols_ext, t.g.nfft,
                spectrum.data(), t.filt_scale);
  }
  sc.times.filter += sw.lap();
}

void ViewPass::run(std::span<const PassView> views, std::span<Tensor3<float>* const> volumes,
                   const BatchReport& report, const ViewModel* model,
                   const std::vector<float>* filter_spectrum) {
  const std::vector<float>& spectrum = filter_spectrum ? *filter_spectrum : t_.rampspec;
  std::vector<Scratch> scratch(pool_.size());
  const bool literal = p_.extras.literal;
  const size_t batch_size = literal ? 1 : static_cast<size_t>(batch_views(pool_.size()));
  std::vector<Work> work(std::min(batch_size, views.size()));
  // The batch's images in one block: one large allocation costs far fewer
  // page faults than one per view.
  const long image = static_cast<long>(t_.g.nrows) * t_.bg.proj_pitch;
  Matrix<float> images;
  if (!work.empty()) {
    images = matrix(0, static_cast<long>(work.size()) - 1, 0, image - 1);
    std::fill(images.data(), images.data() + images.size(), 0.0f);
  }
  for (size_t b = 0; b < work.size(); ++b) work[b].proj = images[static_cast<long>(b)];
  std::vector<ViewOutcome> outcomes;
  for (size_t i0 = 0; i0 < views.size(); i0 += batch_size) {
    const long nb = static_cast<long>(std::min(batch_size, views.size() - i0));
    const PassView* batch = views.data() + i0;
    Stopwatch sw;
    // One view per task, handed out one at a time: reading, decoding (the
    // prediction runs over the whole raster), preprocessing and filtering.
    for (Scratch& sc : scratch) sc.times = StageTimes{};
    pool_.parallel_for(nb, [&](long b0, long b1, int tid) {
      for (long b = b0; b < b1; ++b) prepare(batch[b], work[b], scratch[tid], model, spectrum);
    }, static_cast<int>(nb));
    // The phase's time shared out over its stages as the threads spent it.
    const double phase = sw.lap();
    StageTimes sum;
    for (const Scratch& sc : scratch) {
      sum.read += sc.times.read;
      sum.decode += sc.times.decode;
      sum.project += sc.times.project;
      sum.filter += sc.times.filter;
    }
    const double busy = sum.read + sum.decode + sum.project + sum.filter;
    if (busy > 0) {
      times_.read += phase * sum.read / busy;
      times_.decode += phase * sum.decode / busy;
      times_.project += phase * sum.project / busy;
      times_.filter += phase * sum.filter / busy;
    }
    // Backproject: voxel rows are disjoint; within a row each voxel gets the
    // batch's views in order.
    std::vector<ViewConstants> vcs(nb);
    for (long b = 0; b < nb; ++b)
      if (!work[b].out.skip) vcs[b] = view_constants(t_.bg, batch[b].angle * pi / 180, batch[b].dbeta);
    // The batch's views grouped by target volume, each group in view order.
    std::vector<std::pair<int, std::vector<BackprojView>>> groups;
    for (long b = 0; b < nb; ++b) {
      if (work[b].out.skip) continue;
      const int target = batch[b].target;
      auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == target; });
      if (it == groups.end()) it = groups.insert(groups.end(), {target, {}});
      it->second.push_back({&vcs[b], work[b].proj});
    }
    // The whole batch passes over a few voxel rows at a time while their
    // voxels stay in cache; tasks of one tile of the shape keep the threads
    // busy to the end of the pass.  While the plan is being made, some
    // tasks run candidate shapes and are timed (backproj/plan.h).  The
    // literal baseline adds its one view to the whole volume at once.
    BackprojPlan* const plan = literal ? nullptr : t_.plan.get();
    const BackprojShape shape = plan ? plan->shape() : BackprojShape{};
    std::vector<BackprojPlan::Task> tasks;
    if (plan) {
      tasks = plan->tasks();
    } else {
      const long step = literal ? p_.npxls : shape.tile_rows;
      for (long r = 0; r < p_.npxls; r += step) tasks.push_back({r, std::min<long>(p_.npxls, r + step), -1});
    }
    long batch_views_used = 0;
    for (const auto& g : groups) batch_views_used += static_cast<long>(g.second.size());
    const long ntasks = static_cast<long>(tasks.size());
    pool_.parallel_for(ntasks, [&](long i0, long i1, int) {
      for (long i = i0; i < i1; ++i) {
        const BackprojPlan::Task& task = tasks[i];
        const BackprojShape& s = task.candidate < 0 ? shape : plan->candidate(task.candidate);
        const double t0 = task.candidate >= 0 ? thread_cpu_seconds() : 0;
        for (const auto& [target, bviews] : groups)
          backproject_batch(t_.bg, t_.fov, bviews, *volumes[target], task.r0, task.r1, s);
        if (task.candidate >= 0)
          plan->record(task, thread_cpu_seconds() - t0,
                       plan->columns(task.r0, task.r1) * t_.g.nz * batch_views_used);
      }
    }, static_cast<int>(std::max(1L, ntasks / pool_.size())));
    if (plan && batch_views_used > 0) plan->end_batch();
    times_.backproject += sw.lap();
    for (long b = 0; b < nb; ++b)
      if (!work[b].out.skip) times_.voxel_updates += voxels_per_view_;
    outcomes.clear();
    for (long b = 0; b < nb; ++b) outcomes.push_back(std::move(work[b].out));
    report(outcomes);
  }
}

}  // namespace cbrecon
