// The library's entry point for a reconstruction: parameters in, volumes
// and their grid out, in memory.  Writing files is the caller's step (the
// command line's driver.cpp writes them; a binding or a workflow may keep
// them in memory).
//
//   Reconstructor r(params, console);   // geometry validated, mode chosen
//   r.volumes();                        // what run() will produce
//   ReconResult result = r.run();       // read, filter, backproject
//
// The classic console lines of the stages (listing, per-view lines) go to
// console.out, messages and the progress bar to console.err.  Throws
// RunError (refused run), FatalError (allocation failure) or ExitRequest
// (an unreadable respiratory file).
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "geometry/fov.h"
#include "geometry/params.h"
#include "output/plan.h"
#include "recon/run_context.h"

namespace cbrecon {

class ReconMode;

// One reconstructed volume.
struct ReconVolume {
  PlannedVolume what;     // output suffix, bin, prior-image
  Tensor3<float> data;    // [slice][row][column]: nz x npxls x npxls floats, plane_pitch() apart
  Header head{};          // the header of the last view added (the mask's when none was)
  bool any_view = false;  // whether any view was read (its header is `head`)
  long used = 0;          // views backprojected into it (0: an empty volume)
  long listed = 0;        // views listed for it
};

struct ReconResult {
  std::vector<ReconVolume> volumes;  // in the order of Reconstructor::volumes()
  Geometry g;                        // the scanner geometry
  ScanGeometry bg;                   // the voxel grid and the detector layout
  FovExtents fov;                    // the circular field of view
  StageTimes times;
  int threads = 0;
};

class Reconstructor {
 public:
  // Chooses the instruction sets and the mode, validates the geometry and
  // refuses option combinations the mode cannot run.  `console` must
  // outlive the object.
  Reconstructor(const RunParams& p, Console& console);
  ~Reconstructor();

  const RunParams& params() const { return ctx_.p; }
  const Geometry& geometry() const { return ctx_.t.g; }
  // The volumes run() produces, in order.
  const std::vector<PlannedVolume>& volumes() const { return volumes_; }

  // The memory run() needs with `threads` worker threads: the estimate its
  // pre-check compares with what the machine can give.
  struct MemoryNeed {
    double bytes = 0;   // in all
    double volume = 0;  // bytes of one volume
  };
  MemoryNeed memory_needed(int threads) const;

  // The reconstruction.  Once per object.
  ReconResult run();

  // The --timings lines (total: seconds since the process started).
  void report_timings(std::FILE* err, const ReconResult& r, double total) const;

 private:
  void read_mask_tables();
  void check_memory() const;
  std::vector<PassView> processing_order() const;

  RunContext ctx_;
  std::unique_ptr<ReconMode> mode_;
  std::vector<PlannedVolume> volumes_;
};

}  // namespace cbrecon
