// The backprojection planner: which BackprojShape the vector kernel walks
// the volume in on this CPU and this geometry.
//
// The shapes give the same bytes; which is fastest depends on the CPU (its
// caches, its gathers and permutes) and on the grid.  Rather than fix one
// shape tuned on one machine, a run times a few candidates on its own
// work: while the plan is being made, the first batches' backprojection
// gives a few blocks of voxel rows near the middle of the volume to each
// candidate, times them, and the rest of the run uses the fastest (the
// default shape unless another is clearly faster).  The timed blocks are
// real work on the real volume, so making the plan costs only what the
// slower candidates lose.  A shape can be forced (--bp-shape), and a plan
// can be saved and reused from a small file of plans keyed by the CPU
// model and the geometry (--plan-wisdom FILE or CBRECON_WISDOM), so that
// repeated runs skip the timing.
//
// The view pass asks the plan for its tasks (tasks()), runs them and hands
// back each timed task's time (record()), then calls end_batch().
#pragma once

#include <mutex>
#include <utility>
#include <string>
#include <vector>

#include "backproj/backproject.h"
#include "geometry/fov.h"
#include "geometry/grid.h"

namespace cbrecon {

// The candidate shapes, the default first.
const std::vector<BackprojShape>& shape_candidates();

struct PlanSettings {
  std::string kernel;        // the backprojection kernel the run uses ("scalar", "avx2", ...)
  std::string forced;        // "auto" or a shape name (--bp-shape)
  std::string wisdom;        // file of saved plans, "" for none
  int threads = 1;
  int batch = 8;             // views per batch
  int trial_batches = 2;     // batches whose backprojection times the candidates
};

class BackprojPlan {
 public:
  // A contiguous range of voxel rows and the candidate that runs it
  // (-1: the plan's current shape, not timed).
  struct Task {
    long r0, r1;
    int candidate;
  };
  // What one candidate measured: nanoseconds per voxel update of its
  // fastest timed block, and how many blocks it ran.
  struct Measure {
    BackprojShape shape;
    double ns_per_update = 0;
    int blocks = 0;
  };

  // Reads the wisdom file when one is named; `warnings` gets a line for a
  // file that cannot be read or is damaged (then ignored).
  BackprojPlan(const ScanGeometry& bg, const FovExtents& fov, PlanSettings settings,
               std::vector<std::string>& warnings);

  // Whether batches still time candidates.
  bool deciding() const { return deciding_; }
  // The shape of every untimed task: the default while deciding, then the
  // chosen one.
  const BackprojShape& shape() const { return shape_; }
  const BackprojShape& candidate(int c) const { return measures_[c].shape; }

  // The row ranges of one batch's backprojection over rows [0, npxls):
  // timed blocks first (while deciding), then tasks of the shape's tile.
  std::vector<Task> tasks() const;
  // A timed task's time (CPU time of the thread that ran it, which a busy
  // machine's other processes do not lengthen) and voxel updates.
  void record(const Task& task, double seconds, double updates);
  // After a batch: decides once enough batches were timed.
  void end_batch();
  // At the end of the run: decides from what was timed, if anything was
  // (a run of fewer batches than planned).
  void finish();
  // Voxel columns of rows [r0, r1) inside the field of view (a task's voxel
  // updates are these x slices x views).
  double columns(long r0, long r1) const;

  // Saves a timed plan to the wisdom file (atomically, keeping the other
  // entries).  "" or a warning line.
  std::string save() const;

  // --timings: "backprojection plan t16-c4-p3-rows (timed, 2 batches): ..."
  std::string summary() const;
  // Seconds the timed blocks took beyond what the chosen shape would have
  // taken for them (the price of making the plan), over the threads.
  double overhead() const;
  const std::vector<Measure>& measures() const { return measures_; }
  // "timed", "forced", "wisdom", "default" (nothing to choose from).
  const std::string& source() const { return source_; }
  // The key of this run's plan in a wisdom file.
  const std::string& key() const { return key_; }

 private:
  void decide();

  FovExtents fov_;
  long npxls_;
  PlanSettings s_;
  std::string key_;
  std::string source_ = "default";
  BackprojShape shape_;
  bool deciding_ = false;
  int batches_ = 0;
  long block_rows_ = 0;
  std::vector<Measure> measures_;
  int chosen_ = -1;                     // index of the timed choice
  std::mutex mu_;
  std::vector<double> trial_updates_;   // per candidate: voxel updates timed
  std::vector<double> trial_seconds_;   // per candidate: seconds timed
  bool wisdom_ours_ = true;             // the wisdom file is absent or one of ours
};

// A wisdom file's entries: key -> shape name.  False (with the reason in
// `why`) when the text is not a wisdom file or a line is damaged.
bool parse_wisdom(const std::string& text, std::vector<std::pair<std::string, std::string>>& entries,
                  std::string& why);
// The text of a wisdom file holding `entries`.
std::string format_wisdom(const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace cbrecon
