// One pass over an ordered list of views into a list of volumes.
//
// Views are taken in batches (batch_views): every view of a batch is read, decoded,
// preprocessed and filtered by one task, then the whole batch is
// backprojected in one sweep over the volume, each view into its own target
// volume, each voxel receiving its views in list order.  The pass prints
// nothing: after each batch it hands the caller what happened to every view
// (header, messages, times), so that the caller decides which console lines a
// pass owes (the classic per-view lines, a progress bar, or nothing).
//
// An optional view model is subtracted from every view's line integrals
// between the logarithm and the weighting: the pass then reconstructs the
// residual of the views against the model.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "backproj/backproject.h"
#include "backproj/plan.h"
#include "filter/preprocess.h"
#include "geometry/fov.h"
#include "geometry/geometry.h"
#include "geometry/params.h"
#include "input/projection.h"
#include "numeric/arrays.h"
#include "numeric/parallel.h"

namespace cbrecon {

// Views filtered together and then backprojected in one pass over the
// volume.  Each voxel still receives its views one after the other, in
// order, so the batch size changes no bit of the result.  A batch holds
// kBatchViews views, or one per thread where there are more threads (every
// thread then has a view to prepare), at most kMaxBatchViews.  Measured on
// the 2-core Zen 5 machine, alternating runs, 8 views against 16: the
// scalar backprojection 18 % faster (the batch's freshly filtered images,
// 27 MiB instead of 53, are still in the last-level cache when the pass
// reads them), the AVX-512 one the same within 2 % on the full scan and
// 3 % faster on 60 views, whole 60-view runs 3-5 % faster, peak memory
// 30 MiB lower.  6 views gained nothing over 8.
inline constexpr int kBatchViews = 8;
inline constexpr int kMaxBatchViews = 16;
inline int batch_views(int threads) { return std::clamp(threads, kBatchViews, kMaxBatchViews); }

// The fixed tables of a run, made once before the first view.
struct RunTables {
  Geometry g;
  ScanGeometry bg;
  FovExtents fov;
  HalfScan hs;
  std::vector<float> rampspec;  // ramp-filter spectrum
  float filt_scale = 0;
  Matrix<float> M;              // mask log image
  Matrix<float> rdist;          // distance factors per processed pixel
  std::vector<float> gamma;     // fan angle per processed column
  LogTable logs;                // std::log of the counts a view is likely to hold
  // The backprojection's loop shape, timed on the first batches of the
  // run's first pass (null: the default shape, as in the tests' passes).
  std::unique_ptr<BackprojPlan> plan;
};

// Seconds spent per stage, for --timings.
struct StageTimes {
  double read = 0, decode = 0, filter = 0, project = 0, backproject = 0, write = 0;
  double voxel_updates = 0;  // voxels visited x views backprojected
};

// One view of a pass.
struct PassView {
  int target = 0;          // index of the volume it is added to
  long k = 0;              // index in its own view list (for the console)
  const std::string* name = nullptr;
  double angle = 0;        // gantry angle, degrees
  double angle0 = 0;       // angle of the first view of its list (half-scan weights)
  float dbeta = 0;         // angular weight
};

// What happened to one view, handed to the caller after its batch.
struct ViewOutcome {
  const PassView* view = nullptr;
  Header head{};           // the file's header (zeros when it could not be read)
  bool skip = true;        // added nothing to the volume
  int32_t t_view = 0;      // clock_ms() when its file had been read
  std::string message;     // what reading or decoding had to report (lines)
};

// Fills `image` (nrows rows, `pitch` floats apart, ncols_ext columns) with a
// model of one view's line integrals and returns the factor that takes its
// values to the line integrals' units (applied where they are subtracted).
// Called from worker threads, one view per call, several at once.
using ViewModel = std::function<double(const PassView& view, float* image, long pitch)>;

using BatchReport = std::function<void(std::span<const ViewOutcome> batch)>;

// A thread's buffers for loading one view at a time: the file's bytes and
// the decoded counts (allocated nslices x ndets on first use).
struct ViewScratch {
  std::vector<uint8_t> data;
  Matrix<uint32_t> raw;
};

// What loading one view found.
struct ViewLoad {
  std::string message;  // "" when the view is fine, else the lines to report
  int32_t t_read = 0;   // clock_ms() when its file had been read
  double read_s = 0, decode_s = 0;
};

// Reads view `name` into `head` and decodes its pixels into sc.raw: the
// step every pass and the prior-image gain take for a view.  The message
// says the file cannot be opened or holds too few bytes of pixel data, or
// that the bytes do not decode to a whole image; `head` is then all zeros
// (the view is treated as an empty file).
ViewLoad load_view(const RunParams& p, const std::string& name, Header& head, ViewScratch& sc);

class ViewPass {
 public:
  // Every argument must outlive the pass.  `filter_spectrum` (may be null)
  // replaces the ramp spectrum of `tables` for this pass.
  ViewPass(const RunParams& p, const RunTables& tables, ThreadPool& pool, StageTimes& times);

  // Adds `views`, in order, to `volumes` (views[i].target indexes it);
  // `report` is called after each batch.
  void run(std::span<const PassView> views, std::span<Tensor3<float>* const> volumes,
           const BatchReport& report, const ViewModel* model = nullptr,
           const std::vector<float>* filter_spectrum = nullptr);

 private:
  struct Work;
  struct Scratch;
  void prepare(const PassView& v, Work& w, Scratch& sc, const ViewModel* model,
               const std::vector<float>& spectrum);

  const RunParams& p_;
  const RunTables& t_;
  ThreadPool& pool_;
  StageTimes& times_;
  double voxels_per_view_ = 0;
};

}  // namespace cbrecon
