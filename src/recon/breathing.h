// The breathing of a 4-D run before its views are sorted into bins: the
// respiratory file, the images' own signal (read from the views once more),
// or both with the check that they agree; then phase or amplitude bins.
#pragma once

#include <string>
#include <vector>

#include "input/image_signal.h"
#include "input/phase.h"
#include "output/preview.h"
#include "recon/run_context.h"

namespace cbrecon {

// Whether a run takes any step beyond the classic phase sorting (then a
// per-bin summary follows the listing).
bool breathing_extras(const RunParams& p);

// What the listing step found, kept for the products after the bins.
struct BreathingRecord {
  PhaseListing listing;        // the table the bins are listed from
  BreathSignal images;         // the images' signal (empty when not read)
  std::vector<float> amp;      // the amplitude each view was binned by (amplitude binning)
  std::string source;          // "respiratory file" or "images"
  double seconds = 0;          // time spent on the images' signal
};

// The table of the run's bins: the respiratory file's (read as the classic
// run reads it, console lines included) or the images'; with --sync-check
// or --breathing-from-images and a file, the check line (and a warning when
// they disagree) among the run's notes.  Amplitude bins or another bin
// count replace the table's bins.
BreathingRecord breathing_listing(RunContext& ctx);

// The phase table of the images' signal: column i is file first + i, its
// phase in radians, its signal, its bin (phase_bin for `nbins`).
PhaseTable image_phase_table(const BreathSignal& s, int nbins);

// The per-bin summary: one line per bin (views, angular coverage, largest
// angular gap), for stderr; and the same as a small JSON document.
struct BinSummary {
  int bin = 0;
  long views = 0;
  double coverage = 0, largest_gap = 0;  // degrees
};
std::vector<BinSummary> summarise_bins(const std::vector<ViewList>& bins);
std::vector<std::string> bin_summary_lines(const std::vector<BinSummary>& s, const std::string& how);
// The breathing trace as a picture: the signal of every view (inhale at the
// top) over the view index, the bin boundaries as light lines (phase bins:
// where the bin changes from one view to the next; amplitude bins: the
// levels between neighbouring bins), and below it one row per bin with a
// mark for each of its views.
PreviewImage breathing_trace_image(const PhaseTable& t, int nbins, bool amplitude);

// After the bins are listed: the per-bin summary among the run's notes, the
// --bins-summary file and the --breathing-trace picture.
void report_bins(RunContext& ctx, const BreathingRecord& r, const std::vector<ViewList>& bins);

std::string bin_summary_json(const std::vector<BinSummary>& s, const BreathingRecord& r, const std::string& how);

}  // namespace cbrecon
