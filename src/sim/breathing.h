// The breathing of a simulated patient and the respiratory-signal file
// (".vxp") that a monitoring system would have recorded during the scan.
//
// Time line: the monitor samples at `rate` Hz from time 0; sample j has the
// time stamp round(j * 1000 / rate) ms.  Projections start `lead` seconds in
// and follow one another every `trigger_every` samples; the sample of each
// projection is its trigger sample.  The recording goes on for `tail`
// seconds after the last projection.  The breathing phase advances
// uniformly, one cycle (2 pi) per `period` seconds, from `phase0` at time 0.
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
};

struct BreathSample {
  int32_t ttime = 0;     // time stamp, ms
  double phase = 0;      // radians in [0, 2 pi), rounded to 4 decimals as written
  double amp = 0;        // amp * breath_level(phase), rounded to 4 decimals
  bool trigger = false;  // the sample of a projection
  bool peak = false;     // first sample of a new cycle (marked "P" in the file)
};

// Samples of a scan of `nviews` projections, in time order; exactly
// `nviews` are trigger samples, in projection order.  RunError for a
// non-positive period, rate or trigger_every, or a negative lead or tail.
std::vector<BreathSample> breathing_trace(const Breathing& b, long nviews);

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
