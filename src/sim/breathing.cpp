#include "sim/breathing.h"

#include <algorithm>
#include <cmath>
#include <random>
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

// Standard normal draw (Box-Muller on the 53-bit uniform): the same
// numbers with every standard library.
double normal(std::mt19937_64& rng) {
  auto uniform = [&rng] { return (static_cast<double>(rng() >> 11) + 0.5) * 0x1p-53; };
  const double u = uniform(), v = uniform();
  return std::sqrt(-2.0 * std::log(u)) * std::cos(2 * pi * v);
}

// Cycles of irregular breathing: start times, lengths and inhale depths,
// drawn until the cycles cover [0, end].
struct Cycles {
  std::vector<double> start, length, depth;

  Cycles() = default;
  Cycles(const Breathing& b, double end) {
    std::mt19937_64 rng(b.seed * 0x9E3779B97F4A7C15ull + 0x5851F42D4C957F2Dull);
    auto draw = [&] {
      const double len = std::max(0.3 * b.period, b.period * (1.0 + b.period_var * normal(rng))) + b.pause;
      length.push_back(len);
      depth.push_back(std::max(0.2, 1.0 + b.amp_var * normal(rng)));
    };
    // The phase at time 0 places time 0 within the first cycle.
    double p0 = std::fmod(b.phase0, 2.0 * pi);
    if (p0 < 0) p0 += 2.0 * pi;
    draw();
    start.push_back(-(p0 / (2.0 * pi)) * (length[0] - b.pause));
    while (start.back() + length.back() <= end) {
      start.push_back(start.back() + length.back());
      draw();
    }
    draw();  // the depth of the inhale that ends the last cycle
  }
};

// Phase (radians, [0, 2 pi)) and level of irregular breathing at time t.
void irregular_state(const Breathing& b, const Cycles& c, double t, double& phase, double& level) {
  size_t k = static_cast<size_t>(std::upper_bound(c.start.begin(), c.start.end(), t) - c.start.begin());
  k = k == 0 ? 0 : k - 1;
  const double breathe = c.length[k] - b.pause;  // seconds of moving breath in the cycle
  double u = (t - c.start[k]) / breathe;          // cycles into the moving part
  if (b.pause > 0 && u > 0.5) u = std::max(0.5, u - b.pause / breathe);
  u = std::clamp(u, 0.0, 1.0);
  phase = 2.0 * pi * u;
  const double depth = u <= 0.5 ? c.depth[k] : c.depth[k + 1];
  level = depth * breath_level(phase) + b.drift * t / 60.0;
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
  if (!(b.period_var >= 0 && b.period_var <= 1) || !(b.amp_var >= 0 && b.amp_var <= 1) ||
      !std::isfinite(b.drift) || !(b.pause >= 0 && b.pause <= 100 * b.period))
    throw RunError("irregular breathing needs spreads from 0 to 1, a finite drift and a pause from 0 "
                   "to 100 periods");
  if (nviews < 0) nviews = 0;
  const long long j0 = std::llround(b.lead * b.rate);
  const long long last = nviews > 0 ? j0 + (nviews - 1) * static_cast<long long>(b.trigger_every) : j0 - 1;
  const long long n = last + 1 + std::llround(b.tail * b.rate);
  if (n > 100000000 || stamp(n, b.rate) < 0)
    throw RunError("the respiratory recording would be longer than this program can write");

  std::vector<BreathSample> trace(static_cast<size_t>(n));
  const bool irregular = b.irregular();
  const Cycles cycles = irregular ? Cycles(b, static_cast<double>(n) / b.rate) : Cycles{};
  double prev = INFINITY;
  for (long long j = 0; j < n; ++j) {
    BreathSample& s = trace[static_cast<size_t>(j)];
    s.ttime = stamp(j, b.rate);
    const double t = static_cast<double>(j) / b.rate;  // seconds
    double ph = 0, level = 0;
    if (irregular) {
      irregular_state(b, cycles, t, ph, level);
    } else {
      ph = std::fmod(b.phase0 + 2.0 * pi * t / b.period, 2.0 * pi);
      if (ph < 0) ph += 2.0 * pi;
    }
    ph = round4(ph);
    if (ph >= 2.0 * pi) ph = 0.0;  // 6.2832 would leave [0, 2 pi)
    if (!irregular) level = breath_level(ph);
    s.phase = ph;
    s.level = level;
    s.amp = round4(b.amp * level);
    s.peak = j > 0 && ph < prev;
    prev = ph;
    s.trigger = nviews > 0 && j >= j0 && j <= last && (j - j0) % b.trigger_every == 0;
  }
  return trace;
}

std::vector<BreathSample> recorded_trace(const Breathing& b, std::vector<BreathSample> trace) {
  if (!(b.file_cut >= 0 && b.file_cut < 1)) throw RunError("the cut-off share of the trigger marks must lie in [0, 1)");
  if (b.file_shift == 0 && b.file_cut == 0) return trace;
  std::vector<size_t> trig = trigger_samples(trace);
  if (b.file_shift > 0) {
    // The monitor started late: the first marks are missing.
    const size_t k = std::min(trig.size(), static_cast<size_t>(b.file_shift));
    for (size_t i = 0; i < k; ++i) trace[trig[i]].trigger = false;
  } else if (b.file_shift < 0 && !trig.empty()) {
    // Marks of projections that never were, before the first one.
    const long long extra = -static_cast<long long>(b.file_shift);
    const long long j0 = static_cast<long long>(trig[0]) - extra * b.trigger_every;
    if (j0 < 1) throw RunError("the respiratory trace has too little lead time for that many extra trigger marks");
    for (long long j = j0; j < static_cast<long long>(trig[0]); j += b.trigger_every) trace[static_cast<size_t>(j)].trigger = true;
  }
  trig = trigger_samples(trace);
  const size_t cut = static_cast<size_t>(std::llround(b.file_cut * static_cast<double>(trig.size())));
  if (cut > 0 && cut <= trig.size()) {
    // The recording ends just before the first mark that is cut off.
    const size_t end = trig[trig.size() - cut];
    trace.resize(end);
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
