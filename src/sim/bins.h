// Phase bins of a simulated breathing scan as the reconstruction forms
// them, and the ground truth of each bin.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/scan.h"
#include "sim/truth.h"

namespace cbrecon::sim {

inline constexpr int kPhaseBins = 10;

// Views (indices into `views`, in view order) of phase bins 1..10 (element
// bin - 1), sorted by the reconstruction's own code (input/phase.h) from
// the scan's respiratory file and projection files on disk, as a full-scan
// run with "-s recon_views" lists them.  RunError when the scan has no
// respiratory file, the file cannot be read, or a listed projection file is
// not one of `views`.
std::array<std::vector<long>, kPhaseBins> phase_bin_views(const ScanConfig& cfg,
                                                          const std::vector<ViewInfo>& views,
                                                          int32_t recon_views = 1000);

// The z shifts of the moving shapes at the given views.
std::vector<double> shifts_of(const std::vector<ViewInfo>& views, const std::vector<long>& which);

struct BinTruthSummary {
  std::array<long, kPhaseBins> views{};  // views per bin
  long all = 0;                          // views of every bin together
  int32_t nz = 0, npxls = 0;
};

// Writes prefix + "_ph<N>.raw" for N = 1..10 (averaged_truth over the
// bin's views; a bin without views gets the static part) and prefix +
// "_avg.raw" (over the views of every bin).  RunError as above, when no
// view lands in any bin (the scan's files are not on disk) or when a file
// cannot be written.
BinTruthSummary write_bin_truths(const std::string& prefix, const ScanConfig& cfg,
                                 const TruthGrid& grid, int32_t recon_views = 1000);

}  // namespace cbrecon::sim
