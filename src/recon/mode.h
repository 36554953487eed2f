// A reconstruction mode: what a run makes of its views.  The driver's
// stages (geometry, mask, tables, volumes, writing) are the same for every
// mode; a mode says which volumes the run produces, lists their views and
// runs the passes that fill them.  A new mode is a new file with a class
// like these and one line in choose_mode().
#pragma once

#include <cstdio>
#include <memory>
#include <vector>

#include "geometry/geometry.h"
#include "output/plan.h"
#include "recon/run_context.h"

namespace cbrecon {

// The sizes a mode's memory estimate is made of, in bytes.
struct MemoryTerms {
  double volume = 0;     // one volume
  double processed = 0;  // one processed view image
  double busy = 0;       // threads working on views at once
};

class ReconMode {
 public:
  virtual ~ReconMode() = default;

  // Refuses (RunError) what this mode cannot run, before anything is read.
  virtual void check(const RunParams& p) const = 0;
  // The volumes the run produces, in the order they are written.
  virtual std::vector<PlannedVolume> volumes(const RunParams& p) const = 0;
  // Bytes the mode needs beyond the output volumes and the pass's buffers.
  virtual double working_memory(const MemoryTerms&) const { return 0; }
  // Lists the views of every output volume (one Job each, in the planned
  // order) and of any working volume.
  virtual void plan(RunContext& ctx) = 0;
  // Every volume to allocate: the output jobs, then working volumes.
  virtual std::vector<Job*> all_jobs();
  // Runs the passes that fill the output jobs' volumes; `bin_order` holds
  // the output jobs' views in processing order.
  virtual void execute(RunContext& ctx, const std::vector<PassView>& bin_order) = 0;
  // Lines of its own for --timings, before the stages' lines.
  virtual void report_timings(std::FILE*, const StageTimes&) const {}

  std::vector<Job> jobs;  // the output volumes, in planned order
};

// The volumes of a plain or prior-image run: one per phase bin asked for
// (every bin with --all-phases), or the 3-D volume.
std::vector<PlannedVolume> bin_volumes(const RunParams& p, bool prior_image);

// Lists the views of `jobs` (made from the planned volumes): a 3-D run by
// file number, a 4-D run by respiratory phase from one reading of the
// respiratory file.  With `every_bin`, the views of every bin 1 .. nbins
// are listed and returned (empty for a 3-D run), for a mode that needs
// them all; each bin's list is the one a run of that bin alone makes.
std::vector<ViewList> list_views(RunContext& ctx, std::vector<Job>& jobs, bool every_bin);

// The mode the parameters ask for.
std::unique_ptr<ReconMode> choose_mode(const RunParams& p);

// The modes.
std::unique_ptr<ReconMode> make_bins_mode();
std::unique_ptr<ReconMode> make_prior_image_mode();
std::unique_ptr<ReconMode> make_iterative_mode(const RunParams& p);

}  // namespace cbrecon
