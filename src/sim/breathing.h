// The breathing of a simulated patient and the respiratory-signal file
// (".vxp") that a monitoring system would have recorded during the scan.
//
// Time line: the monitor samples at `rate` Hz from time 0; sample j has the
// time stamp round(j * 1000 / rate) ms.  Projections start `lead` seconds in
// and follow one another every `trigger_every` samples; the sample of each
// projection is its trigger sample.  The recording goes on for `tail`
// seconds after the last projection.  The breathing phase advances
// uniformly, one cycle (2 pi) per `period` seconds, from `phase0` at time 0.
//
// Irregular breathing (any of period_var, amp_var, drift, pause non-zero):
// each cycle draws its own length (period x (1 + period_var x g), g a
// standard normal draw from `seed`, at least 0.3 period) and the inhale
// that starts it its own depth (1 + amp_var x g, at least 0.2).  Within a
// cycle the phase still runs linearly from 0 (end-inhale) to 2 pi, except
// that with `pause` it stands at pi (end-exhale) for that many seconds.
// The level falls from the cycle's depth at phase 0 to 0 at pi and rises to
// the next cycle's depth; `drift` adds a baseline that grows linearly with
// time (levels per minute).  The moving shapes follow motion x level.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cbrecon::sim {

struct Breathing {
  double period = 4.0;         // s per breathing cycle
  double amp = 1.0;            // amplitude column at full inhale (cm)
  double phase0 = 0.0;         // phase at time 0, radians
  int32_t rate = 30;           // samples per second (the file's sampling frequency)
  int32_t trigger_every = 3;   // samples from one projection to the next
  double lead = 2.0;           // s recorded before the first projection
  double tail = 1.0;           // s recorded after the last projection
  // Irregular breathing (all 0: the regular cycle above)
  double period_var = 0;       // relative spread of the cycle lengths
  double amp_var = 0;          // relative spread of the inhale depths
  double drift = 0;            // baseline drift, levels per minute
  double pause = 0;            // s held at end-exhale in every cycle
  uint64_t seed = 1;           // draws of the cycle lengths and depths
  // An out-of-step respiratory file (the trace itself stays true):
  int32_t file_shift = 0;      // > 0: the first k trigger marks are missing (the
                               // monitor started late); < 0: -k extra marks
                               // before the first projection
  double file_cut = 0;         // fraction of the trigger marks cut off at the end
  bool irregular() const { return period_var != 0 || amp_var != 0 || drift != 0 || pause != 0; }
};

struct BreathSample {
  int32_t ttime = 0;     // time stamp, ms
  double phase = 0;      // radians in [0, 2 pi), rounded to 4 decimals as written
  double amp = 0;        // amp * level, rounded to 4 decimals
  double level = 0;      // breathing level: breath_level(phase) for regular breathing
  bool trigger = false;  // the sample of a projection
  bool peak = false;     // first sample of a new cycle (marked "P" in the file)
};

// Samples of a scan of `nviews` projections, in time order; exactly
// `nviews` are trigger samples, in projection order.  RunError for a
// non-positive period, rate or trigger_every, or a negative lead or tail.
std::vector<BreathSample> breathing_trace(const Breathing& b, long nviews);

// The trace as an out-of-step monitor would have recorded it (file_shift,
// file_cut): trigger marks moved or dropped, samples after a cut removed.
// Unchanged when both are 0.  RunError when the marks cannot be placed.
std::vector<BreathSample> recorded_trace(const Breathing& b, std::vector<BreathSample> trace);

// Indices into `trace` of its trigger samples, in order.
std::vector<size_t> trigger_samples(const std::vector<BreathSample>& trace);

// Writes the respiratory-signal file: ten header words (the recording time
// as "Total_study_time=<s>", the sampling frequency as
// "Samples_per_second=<Hz>" among them), then one line per sample
// "amp,phase,ttime,validflag,ttlin,mark,ttlout".  Trigger samples carry
// ttlin 0 and ttlout 1, all others ttlout 0.  RunError if the spacing of
// the trigger samples would not be recognised (the first more than 68 ms
// after time 0, consecutive ones more than 68 and at most 300 ms apart) or
// if the file cannot be written.
void write_vxp(const std::string& path, const Breathing& b, const std::vector<BreathSample>& trace);

}  // namespace cbrecon::sim
