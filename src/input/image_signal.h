// The breathing signal of a scan taken from its projections, and a phase
// per view from its cycles.
//
// Each view contributes one profile along the detector rows: the mean line
// integral (-ln count, every `col_step`-th column) of each row, differenced
// along the rows (the row-derivative profile; stacked over the views, the
// "shroud" image).  The diaphragm and whatever moves with it shift these
// profiles along the rows while the gantry angle changes them slowly.  The
// signal is the first principal component of the profiles less their
// moving average over the views around each one (a template that follows
// the angle and any slow drift; over one breathing cycle it holds no
// breathing), each view's score on it, signed so that breathing in scores
// high: air fills the lungs where the diaphragm and liver were, so the line
// integrals of the rows that move fall (whichever way the patient lies).
// The window is first a sixteenth of the views, then one cycle
// as found in that first signal (its autocorrelation).
//
// Phase: end-inhale peaks of the signal (one per cycle, found with
// hysteresis about the signal's one-cycle average) get phase 0; views
// between two peaks get a phase linear in their index.  A cycle shorter than
// 40 % of the median cycle loses its lower peak; a peak whose depth (above
// the higher of its two troughs) is below 25 % of the median depth is no
// cycle; both are counted.  Before the first peak and after the last, a
// trough anchors phase 0.5 and the phase runs on at that rate; without one
// the neighbouring cycle's length is extrapolated.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cbrecon {

// Profiles of the views: nviews x nrows, row-major; a view that could not be
// read holds NaN everywhere and is bridged from its neighbours.
struct ShroudImage {
  long nviews = 0, nrows = 0;
  std::vector<double> p;
  double* row(long k) { return p.data() + k * nrows; }
  const double* row(long k) const { return p.data() + k * nrows; }
};

// The row-derivative profile of one decoded view (rows x cols counts) into
// `out` (rows values; the first and last are 0): every `col_step`-th column,
// counts of 0 skipped.
void shroud_profile(const uint32_t* counts, long rows, long cols, long col_step, double* out);

struct BreathSignal {
  std::vector<double> value;   // per view: the breathing score, higher at inhale (NaN: no view)
  std::vector<double> phase;   // per view: cycles in [0, 1) (NaN: no view)
  std::vector<double> peaks;   // end-inhale positions in view indices (fractional)
  double period = 0;           // median views per cycle
  int window = 0;              // template window (views each side)
  int short_cycles = 0;        // peaks dropped: cycle too short
  int shallow_cycles = 0;      // peaks dropped: cycle too shallow
  long views_outside = 0;      // views before the first or after the last peak
  int cycles() const { return peaks.size() > 1 ? static_cast<int>(peaks.size()) - 1 : 0; }
};

// The signal of a shroud image.  RunError when it holds fewer than 16 views
// or rows, or no breathing cycle can be found.
BreathSignal breathing_signal(const ShroudImage& shroud);

// Phase per view from a signal's end-inhale peaks (see the top of the file);
// fills `s.phase`, `s.peaks` and the counts.
void phase_from_peaks(BreathSignal& s);

// Phase bin of a phase in cycles for `nbins` bins: for 10 bins the bin the
// respiratory file's phase column gives (grp_of_phase of the phase in
// radians), otherwise trunc(phase x nbins + 1.49) taken modulo nbins into
// 1..nbins.  0 for a NaN phase.
int phase_bin(double cycles, int nbins);

// Amplitude bins 1..nbins of a signal: equal ranges between its 2nd and
// 98th percentiles (values beyond go to the end bins); with `split`, bins
// 1..nbins/2 hold exhaling views (from the peak to the trough, the phase in
// [0, 0.5)) and the others inhaling ones, each half by amplitude.  Bin 1
// holds the highest amplitude (end-inhale).  0 for a NaN value.
std::vector<int> amplitude_bins(const std::vector<double>& value, const std::vector<double>& phase, int nbins,
                                bool split);

}  // namespace cbrecon

namespace cbrecon {

struct PhaseTable;

// Agreement of a respiratory file with the images' signal, the file's
// trigger i paired with view i (as the phase sorting pairs them).
struct SyncCheck {
  long triggers = 0;       // trigger samples in the file
  long views = 0;          // views with a signal
  double corr0 = 0;        // correlation of the file's amplitude with the signal, no lag
  double best_corr = 0;    // largest correlation over lags within half a cycle
  int best_lag = 0;        // its lag: view i + lag has trigger i's breathing
  double phase_agree = 0;  // share of paired views whose phases differ by at most 0.1 cycle
  bool flagged = false;    // the file looks out of step with the views
};

// Lags beyond this many views, correlations below kSyncMinCorr or a trigger
// count other than the view count flag a file.  On simulated thorax scans
// with irregular breathing (bench/breathing_sync.sh, 20 scans, and the
// offset detector) a scan's own file correlated 0.93 to 0.99 at lag 0, a
// file from another scan at most 0.55; a file 3 or 5 triggers out of step
// correlated best at exactly its shift.  One view of lag is tolerated for
// the noise of the signal.
inline constexpr int kSyncMaxLag = 1;
inline constexpr double kSyncMinCorr = 0.7;

SyncCheck sync_check(const PhaseTable& file, const BreathSignal& images);

// The check's summary line and, when flagged, the warning (else "").
std::string sync_summary(const SyncCheck& c);
std::string sync_warning(const SyncCheck& c);

}  // namespace cbrecon
