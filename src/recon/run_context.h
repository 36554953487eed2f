// What the stages and modes of one reconstruction share: the run context
// (parameters, tables, thread pool, stage times) and the console that
// prints the classic lines, the messages and the progress bar.  Internal to
// recon/: the public entry points are reconstruct.h and driver.h.
#pragma once

#include <cstdio>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "geometry/params.h"
#include "input/projection.h"
#include "numeric/arrays.h"
#include "numeric/parallel.h"
#include "output/plan.h"
#include "recon/progress.h"
#include "recon/view_pass.h"

namespace cbrecon {

// One volume and the views that feed it.
struct Job {
  ViewList views;
  std::string ext;           // output suffix
  int bin = 0;               // 0 for a 3-D volume, else the phase bin
  bool prior_image = false;
  bool iterative = false;
  std::vector<float> dbeta;
  Tensor3<float> volume;
  Header headout{};          // the header of the last view added (the mask's until then)
  bool any_view = false;
  long used = 0;             // views backprojected into it

  Job() = default;
  explicit Job(const PlannedVolume& v)
      : ext(v.ext), bin(v.bin), prior_image(v.prior_image), iterative(v.iterative) {}
};

// The output suffix of phase bin `bin`: "4d_ph3.seq", "hf4d_ph3.seq", or
// with --mkb "4d_ph3_mkb.seq", with --iterative "4d_ph3_iter.seq".
std::string bin_ext(const RunParams& p, uint16_t bin);

// Whether projection file a comes before b (same prefix: a longer name is a
// larger file number).
bool earlier_file(const std::string& a, const std::string& b);

// Appends the views of `job`, in its order, as views of a pass into volume
// `target`.
void append_pass_views(std::vector<PassView>& order, const Job& job, int target);

// The console of a run: the classic lines on `out`; messages, warnings and
// the progress bar on `err`.
class Console {
 public:
  Console(std::FILE* out, std::FILE* err) : out(out), err(err) {}

  // A warning, printed with the others once the run cannot be refused any
  // more (print_notes).
  void note(std::string line) { notes_.push_back(std::move(line)); }
  void print_notes();

  void start_progress(long total_views, bool quiet, const char* unit = "views");
  // `done` of the total finished (a mode's own count, such as iterations).
  void progress(long done) { progress_.update(done); }
  void finish_progress() { progress_.finish(); }

  // After a batch of a pass that prints no per-view lines: only what went
  // wrong with a view, and the progress bar.
  void report_quiet(std::span<const ViewOutcome> batch);
  // After a batch of the pass that owes the classic per-view lines: its
  // messages in view order, then every view's line; each view's volume
  // (jobs[view.target]) takes the view's header.
  void report_views(std::span<const ViewOutcome> batch, std::vector<Job>& jobs);

  std::FILE* const out;
  std::FILE* const err;
  int32_t t_start = 0;  // clock_ms() when the run began
  int32_t t_last = 0;   // ... when the last view's line was printed

 private:
  void print_messages(std::span<const ViewOutcome> batch);

  std::set<std::string> reported_;  // views whose read or decode trouble was printed
  std::vector<std::string> notes_;
  ProgressBar progress_;
  long progress_done_ = 0;
};

// The state of one run, made once and handed to its mode.
struct RunContext {
  RunContext(const RunParams& params, Console& console) : p(params), console(console) {}

  RunParams p;
  RunTables t;
  Header mask_head{};
  std::unique_ptr<ThreadPool> pool;
  StageTimes times;
  Console& console;
};

}  // namespace cbrecon
