#include "sim/breathing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "numeric/common.h"
#include "numeric/error.h"
#include "sim/phantom.h"
#include "sim/scan.h"
#include "support/test_support.h"

namespace cbrecon::sim {
namespace {

// Seconds between successive end-inhales (phase wrapping to 0) of a trace.
std::vector<double> cycle_lengths(const std::vector<BreathSample>& t, int rate) {
  std::vector<double> starts, len;
  for (size_t j = 1; j < t.size(); ++j)
    if (t[j].phase < t[j - 1].phase - 1.0) starts.push_back(static_cast<double>(j) / rate);
  for (size_t i = 1; i < starts.size(); ++i) len.push_back(starts[i] - starts[i - 1]);
  return len;
}

TEST(IrregularBreathing, CyclesVaryAndTheCurveStaysWhole) {
  Breathing b;
  b.period_var = 0.2;
  b.amp_var = 0.3;
  const std::vector<BreathSample> t = breathing_trace(b, 900);  // 90 s of views
  const std::vector<double> len = cycle_lengths(t, b.rate);
  ASSERT_GE(len.size(), 15u);
  const auto [lo, hi] = std::minmax_element(len.begin(), len.end());
  EXPECT_GT(*hi - *lo, 0.8);  // seconds: the cycles differ
  for (const double l : len) EXPECT_GE(l, 0.3 * b.period - 0.1);
  double peak_lo = 1e9, peak_hi = 0;
  for (size_t j = 1; j < t.size(); ++j) {
    EXPECT_GE(t[j].phase, 0.0);
    EXPECT_LT(t[j].phase, 2 * pi);
    EXPECT_LT(std::fabs(t[j].level - t[j - 1].level), 0.2) << j;  // no jump between cycles
    if (t[j].peak) peak_lo = std::min(peak_lo, t[j].level), peak_hi = std::max(peak_hi, t[j].level);
  }
  EXPECT_GT(peak_hi - peak_lo, 0.3);  // the inhales differ in depth
  // The same seed draws the same breathing, another seed another.
  const std::vector<BreathSample> again = breathing_trace(b, 900);
  EXPECT_EQ(again[700].phase, t[700].phase);
  b.seed = 2;
  EXPECT_NE(cycle_lengths(breathing_trace(b, 900), b.rate), len);
}

TEST(IrregularBreathing, DriftAndPause) {
  Breathing b;
  b.drift = 0.5;  // half an inhale per minute
  const std::vector<BreathSample> t = breathing_trace(b, 600);
  // End-exhale levels rise with the baseline.
  std::vector<double> troughs;
  for (size_t j = 1; j + 1 < t.size(); ++j)
    if (t[j].level <= t[j - 1].level && t[j].level < t[j + 1].level) troughs.push_back(t[j].level);
  ASSERT_GE(troughs.size(), 10u);
  EXPECT_NEAR(troughs.back() - troughs.front(), 0.5 * (t.size() / 30.0 - 8) / 60.0, 0.1);

  Breathing p;
  p.pause = 1.5;
  const std::vector<BreathSample> q = breathing_trace(p, 600);
  long held = 0;
  for (const BreathSample& s : q) held += std::fabs(s.phase - pi) < 1e-3;
  const std::vector<double> len = cycle_lengths(q, p.rate);
  ASSERT_FALSE(len.empty());
  EXPECT_NEAR(len[0], p.period + p.pause, 0.05);
  EXPECT_NEAR(held / 30.0 / (len.size() + 1), 1.5, 0.3);  // 1.5 s at end-exhale per cycle
  Breathing bad;
  bad.period_var = -0.1;
  EXPECT_THROW(breathing_trace(bad, 10), RunError);
}

TEST(IrregularBreathing, RegularBreathingIsUnchanged) {
  Breathing b;
  b.phase0 = 1.0;
  for (const BreathSample& s : breathing_trace(b, 200)) {
    EXPECT_EQ(s.level, breath_level(s.phase));
    EXPECT_EQ(s.amp, std::round(b.amp * breath_level(s.phase) * 1e4) / 1e4);
  }
}

TEST(OutOfStepFile, ShiftsAndCutsTheTriggerMarks) {
  Breathing b;
  const std::vector<BreathSample> t = breathing_trace(b, 100);
  const std::vector<size_t> trig = trigger_samples(t);
  ASSERT_EQ(trig.size(), 100u);
  EXPECT_EQ(recorded_trace(b, t).size(), t.size());

  b.file_shift = 3;  // the monitor started three projections late
  std::vector<size_t> late = trigger_samples(recorded_trace(b, t));
  ASSERT_EQ(late.size(), 97u);
  EXPECT_EQ(late[0], trig[3]);

  b.file_shift = -3;  // three marks before the first projection
  std::vector<size_t> early = trigger_samples(recorded_trace(b, t));
  ASSERT_EQ(early.size(), 103u);
  EXPECT_EQ(early[3], trig[0]);
  EXPECT_EQ(early[0], trig[0] - 3 * b.trigger_every);

  b.file_shift = 0;
  b.file_cut = 0.05;
  const std::vector<BreathSample> cut = recorded_trace(b, t);
  EXPECT_EQ(trigger_samples(cut).size(), 95u);
  EXPECT_EQ(cut.size(), trig[95]);  // the recording ends before the first mark cut off
  b.file_cut = 1.0;
  EXPECT_THROW(recorded_trace(b, t), RunError);
  b.file_cut = 0;
  b.file_shift = -100;  // more marks than the lead time holds
  EXPECT_THROW(recorded_trace(b, t), RunError);
}

TEST(BreathTruth, EveryViewsPhaseLevelAndShift) {
  testing::TempDir dir;
  ScanConfig c;
  c.views = 40;
  c.phantom = make_phantom("thorax");
  c.breathing.period_var = 0.2;
  c.breath_truth = dir.file("truth.csv");
  const std::vector<ViewInfo> views = plan_views(c);
  write_breathing_files(c, views);
  std::ifstream in(c.breath_truth);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "view,number,angle,time_s,phase,level,shift_mm");
  long n = 0;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::vector<double> v;
    for (std::string x; std::getline(f, x, ',');) v.push_back(std::stod(x));
    ASSERT_EQ(v.size(), 7u);
    const ViewInfo& w = views[static_cast<size_t>(n)];
    EXPECT_NEAR(v[4], w.phase / (2 * pi), 1e-6);
    EXPECT_NEAR(v[6], c.phantom.motion * w.level, 1e-5);
    EXPECT_DOUBLE_EQ(w.shift, c.phantom.motion * w.level);
    ++n;
  }
  EXPECT_EQ(n, 40);
}

}  // namespace
}  // namespace cbrecon::sim
