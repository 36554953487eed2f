#include "sim/breathing.h"

#include <cmath>
#include <string>

#include "numeric/common.h"
#include "numeric/error.h"
#include "sim/files.h"
#include "sim/phantom.h"

namespace cbrecon::sim {

namespace {

// Values are written with 4 decimals; the trace keeps exactly what the file
// says so that a reader's bins and the phantom's motion agree.
double round4(double v) { return std::round(v * 1e4) / 1e4; }

int32_t stamp(long long j, int32_t rate) {
  return static_cast<int32_t>(std::llround(static_cast<double>(j) * 1000.0 / rate));
}

}  // namespace

std::vector<BreathSample> breathing_trace(const Breathing& b, long nviews) {
  if (!(b.period > 0) || !std::isfinite(b.period))
    throw RunError("the breathing period must be a positive number of seconds");
  if (b.rate < 1 || b.rate > 10000)
    throw RunError(strprintf("respiratory sampling rate %d Hz: 1 to 10000 are possible", b.rate));
  if (b.trigger_every < 1)
    throw RunError("the projections must be at least one respiratory sample apart");
  if (!(b.lead >= 0) || !(b.tail >= 0) || !std::isfinite(b.lead) || !std::isfinite(b.tail))
    throw RunError("the recording time before and after the projections must be zero or more seconds");
  if (!std::isfinite(b.phase0) || !std::isfinite(b.amp))
    throw RunError("the breathing phase and amplitude must be finite numbers");
  if (nviews < 0) nviews = 0;
  const long long j0 = std::llround(b.lead * b.rate);
  const long long last = nviews > 0 ? j0 + (nviews - 1) * static_cast<long long>(b.trigger_every) : j0 - 1;
  const long long n = last + 1 + std::llround(b.tail * b.rate);
  if (n > 100000000 || stamp(n, b.rate) < 0)
    throw RunError("the respiratory recording would be longer than this program can write");

  std::vector<BreathSample> trace(static_cast<size_t>(n));
  double prev = INFINITY;
  for (long long j = 0; j < n; ++j) {
    BreathSample& s = trace[static_cast<size_t>(j)];
    s.ttime = stamp(j, b.rate);
    const double t = static_cast<double>(j) / b.rate;  // seconds
    double ph = std::fmod(b.phase0 + 2.0 * pi * t / b.period, 2.0 * pi);
    if (ph < 0) ph += 2.0 * pi;
    ph = round4(ph);
    if (ph >= 2.0 * pi) ph = 0.0;  // 6.2832 would leave [0, 2 pi)
    s.phase = ph;
    s.amp = round4(b.amp * breath_level(ph));
    s.peak = j > 0 && ph < prev;
    prev = ph;
    s.trigger = nviews > 0 && j >= j0 && j <= last && (j - j0) % b.trigger_every == 0;
  }
  return trace;
}

std::vector<size_t> trigger_samples(const std::vector<BreathSample>& trace) {
  std::vector<size_t> idx;
  for (size_t j = 0; j < trace.size(); ++j)
    if (trace[j].trigger) idx.push_back(j);
  return idx;
}

void write_vxp(const std::string& path, const Breathing& b, const std::vector<BreathSample>& trace) {
  // A reader accepts a trigger sample only more than 68 ms after the one
  // before (the first: after time 0) and takes one more than 300 ms later
  // as replacing its predecessor; either would break the pairing of
  // trigger samples with projections.
  long long before = 0;
  for (const size_t j : trigger_samples(trace)) {
    const long long gap = trace[j].ttime - before;
    if (gap <= 68 || (before > 0 && gap > 300))
      throw RunError(strprintf(
          "projections %lld ms apart in the respiratory trace; a reader needs more than 68 and at most "
          "300 (the first more than 68 ms into the recording): change the trigger spacing, the "
          "sampling rate or the lead time",
          gap));
    before = trace[j].ttime;
  }

  // Recording time in whole ms, rounded up with a margin so that
  // ceil(rate * time) covers every line even after a single-precision read.
  const long long n = static_cast<long long>(trace.size());
  const long long ms = (n * 1000 + b.rate - 1) / b.rate + 10;
  std::string text;
  text += "CBRECON-SIM_RESPIRATORY_TRACE\n";
  text += "Version=1\n";
  text += "Layout=amplitude,phase,timestamp,validflag,ttlin,mark,ttlout\n";
  text += "Patient=PHANTOM\n";
  text += strprintf("Breathing_period_ms=%lld\n", std::llround(b.period * 1000.0));
  text += "Amplitude_unit=cm\n";
  text += strprintf("Total_study_time=%lld.%03lld\n", ms / 1000, ms % 1000);
  text += strprintf("Samples_per_second=%d\n", b.rate);
  text += "Scale_factor=1.0\n";
  text += "[Data]\n";
  for (const BreathSample& s : trace)
    text += strprintf("%.4f,%.4f,%d,%d,%d,%s,%d\n", s.amp, s.phase, s.ttime, 0, 0,
                      s.peak ? "P" : "", s.trigger ? 1 : 0);
  write_whole_file(path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

}  // namespace cbrecon::sim
