#include "input/image_signal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <vector>

#include "input/rpm.h"
#include "numeric/common.h"
#include "numeric/error.h"

namespace cbrecon {
namespace {

// A breathing curve with cycles of different lengths and depths: the true
// phase (cycles) and level of every view.
struct Breath {
  std::vector<double> phase, level;
  int end_inhales = 0;
};

Breath irregular_breath(long nviews) {
  const double lengths[] = {38, 44, 35, 41, 47, 36, 40, 43, 39, 45, 37, 42, 40, 46, 38, 41, 44, 39};
  const double depths[] = {1.0, 0.8, 1.2, 0.9, 1.1, 0.7, 1.0, 1.3, 0.9, 1.0, 0.8, 1.1, 1.0, 0.9, 1.2, 1.0, 0.8, 1.0, 1.1};
  constexpr size_t kL = std::size(lengths), kD = std::size(depths);
  Breath b;
  double start = -13;  // the scan starts 13 views into the first cycle
  size_t c = 0;
  for (long k = 0; k < nviews; ++k) {
    while (k >= start + lengths[c % kL]) start += lengths[c++ % kL], ++b.end_inhales;
    const double u = (k - start) / lengths[c % kL];
    b.phase.push_back(u);
    const double depth = u <= 0.5 ? depths[c % kD] : depths[(c + 1) % kD];
    b.level.push_back(depth * 0.5 * (1 + std::cos(2 * pi * u)));
  }
  return b;
}

// Profiles of a scan whose moving edge (a smooth step) follows `level`
// (up to 12 rows towards higher rows at full inhale), under static edges
// that change slowly with the view (as the gantry angle turns), with a
// little noise; every 50th view is missing.
ShroudImage synthetic_shroud(const Breath& b, long nrows) {
  ShroudImage s;
  s.nviews = static_cast<long>(b.level.size());
  s.nrows = nrows;
  s.p.assign(static_cast<size_t>(s.nviews * nrows), 0.0);
  unsigned seed = 12345;
  auto noise = [&] {
    seed = seed * 1103515245u + 12345u;
    return ((seed >> 8) & 0xffff) / 65536.0 - 0.5;
  };
  for (long k = 0; k < s.nviews; ++k) {
    double* row = s.row(k);
    if (k % 50 == 25) {
      for (long v = 0; v < nrows; ++v) row[v] = NAN;
      continue;
    }
    const double edge = 0.4 * nrows + 12 * b.level[k];
    const double angle = 2 * pi * k / s.nviews;
    for (long v = 0; v < nrows; ++v) {
      double x = 1.0 / (1.0 + std::exp(-(v - edge) / 3.0));                       // moving edge
      x += 1.5 / (1.0 + std::exp(-(v - 0.3 * nrows) / 1.5));                        // static ribs
      x -= 1.5 / (1.0 + std::exp(-(v - (0.3 * nrows + 6)) / 1.5));
      x += (0.5 + 0.3 * std::sin(angle)) / (1.0 + std::exp(-(v - 0.75 * nrows) / 2.0));  // turns with the angle
      row[v] = x + 0.01 * noise();
    }
    // The row-derivative profile, as shroud_profile makes it.
    std::vector<double> m(row, row + nrows);
    for (long v = 0; v < nrows; ++v) row[v] = v == 0 || v == nrows - 1 ? 0.0 : 0.5 * (m[v + 1] - m[v - 1]);
  }
  return s;
}

double cycle_distance(double a, double b) {
  double d = std::fabs(a - b);
  d -= std::floor(d);
  return std::min(d, 1.0 - d);
}

TEST(ImageSignal, PhaseOfAKnownIrregularBreathingCurve) {
  const Breath b = irregular_breath(600);
  const BreathSignal s = breathing_signal(synthetic_shroud(b, 160));
  ASSERT_EQ(s.value.size(), 600u);
  long within = 0, known = 0;
  for (size_t k = 0; k < s.value.size(); ++k) {
    if (std::isnan(s.value[k])) continue;
    ++known;
    if (cycle_distance(s.phase[k], b.phase[k]) <= 0.1) ++within;
  }
  EXPECT_GE(static_cast<double>(within), 0.95 * known);
  // Cycles between the first and the last end-inhale.
  EXPECT_NEAR(s.cycles(), b.end_inhales - 1, 1);
  EXPECT_NEAR(s.period, 41, 3);
  EXPECT_EQ(s.short_cycles + s.shallow_cycles, 0);
  // The signal rises with the level: inhale is up.
  double sl = 0, sv = 0, sll = 0, svv = 0, slv = 0;
  long n = 0;
  for (size_t k = 0; k < s.value.size(); ++k) {
    if (std::isnan(s.value[k])) continue;
    sl += b.level[k], sv += s.value[k], sll += b.level[k] * b.level[k], svv += s.value[k] * s.value[k];
    slv += b.level[k] * s.value[k], ++n;
  }
  const double r = (slv - sl * sv / n) / std::sqrt((sll - sl * sl / n) * (svv - sv * sv / n));
  EXPECT_GT(r, 0.9);
  // A missing view has no signal but still a phase.
  EXPECT_TRUE(std::isnan(s.value[25]));
  EXPECT_LE(cycle_distance(s.phase[25], b.phase[25]), 0.1);
}

TEST(ImageSignal, RefusesWhatHoldsNoBreathing) {
  ShroudImage tiny;
  tiny.nviews = 10;
  tiny.nrows = 100;
  tiny.p.assign(1000, 0.0);
  EXPECT_THROW(breathing_signal(tiny), RunError);
  // Profiles that never change: no cycle to find.
  ShroudImage still;
  still.nviews = 200;
  still.nrows = 64;
  still.p.assign(200 * 64, 0.0);
  for (long k = 0; k < 200; ++k) still.row(k)[30] = 1.0;
  EXPECT_THROW(breathing_signal(still), RunError);
}

TEST(ImageSignal, AQuickBumpIsNoCycle) {
  // Cycles of 40 views; a narrow bump 12 views after one end-inhale would
  // make a cycle of 12 views (under 40 % of the median) if it were taken.
  BreathSignal s;
  for (long k = 0; k < 400; ++k)
    s.value.push_back(std::cos(2 * pi * k / 40.0) + 1.3 * std::exp(-std::pow((k - 212) / 2.5, 2)));
  phase_from_peaks(s);
  // End-inhales at 40 .. 360: a highest value on the first or last view is
  // no peak (it may still be rising).
  EXPECT_EQ(s.cycles(), 8);
  ASSERT_FALSE(s.peaks.empty());
  EXPECT_NEAR(s.peaks.front(), 40, 0.5);
  for (size_t i = 0; i < s.peaks.size(); ++i) EXPECT_NEAR(std::fmod(s.peaks[i] + 1, 40.0), 1.0, 1.0) << i;
  EXPECT_LE(s.short_cycles + s.shallow_cycles, 1);
  EXPECT_NEAR(s.phase[10], 0.25, 0.03);
  EXPECT_NEAR(s.phase[390], 0.75, 0.03);
  // Without the breathing there is nothing to find.
  BreathSignal flat;
  flat.value.assign(200, 1.0);
  EXPECT_THROW(phase_from_peaks(flat), RunError);
}

TEST(PhaseBins, TenBinsAreTheRespiratoryFilesAndOtherCountsDivideTheCycle) {
  for (double c = 0; c < 1; c += 0.013)
    EXPECT_EQ(phase_bin(c, 10), grp_of_phase(static_cast<float>(c * 2 * pi))) << c;
  // Bin 1 is centred on end-inhale as with ten bins.
  EXPECT_EQ(phase_bin(0.0, 4), 1);
  EXPECT_EQ(phase_bin(0.1, 4), 1);
  EXPECT_EQ(phase_bin(0.2, 4), 2);
  EXPECT_EQ(phase_bin(0.5, 4), 3);
  EXPECT_EQ(phase_bin(0.7, 4), 4);
  EXPECT_EQ(phase_bin(0.9, 4), 1);
  EXPECT_EQ(phase_bin(NAN, 4), 0);
}

TEST(AmplitudeBins, FormTheExpectedBins) {
  // Levels 0..99 evenly: five bins of twenty from the top.
  std::vector<double> value, phase;
  for (int i = 0; i < 100; ++i) value.push_back(i), phase.push_back(i % 2 ? 0.25 : 0.75);
  const std::vector<int> b = amplitude_bins(value, phase, 5, false);
  EXPECT_EQ(b[99], 1);
  EXPECT_EQ(b[90], 1);
  EXPECT_EQ(b[50], 3);
  EXPECT_EQ(b[0], 5);
  for (int i = 1; i < 100; ++i) EXPECT_LE(b[i], b[i - 1]);  // never deeper for a lower level
  // Exhale and inhale apart: exhaling views (phase < 0.5) in 1..2 from the
  // top, inhaling ones in 3..4 from the bottom.
  const std::vector<int> s = amplitude_bins(value, phase, 4, true);
  EXPECT_EQ(s[99], 1);  // exhaling, high
  EXPECT_EQ(s[1], 2);   // exhaling, low
  EXPECT_EQ(s[0], 3);   // inhaling, low
  EXPECT_EQ(s[98], 4);  // inhaling, high
  // A view without a value goes into no bin; outliers into the end bins.
  value[50] = NAN;
  value[51] = 1e9;
  const std::vector<int> o = amplitude_bins(value, phase, 5, false);
  EXPECT_EQ(o[50], 0);
  EXPECT_EQ(o[51], 1);
}

// A respiratory file's table whose trigger i carries the breathing of view
// i + lag, `count` triggers long.
PhaseTable file_of(const Breath& b, long lag, long count) {
  PhaseTable t;
  t.count = static_cast<uint16_t>(count);
  t.tab = matrix(0, 3, 0, count - 1);
  for (long i = 0; i < count; ++i) {
    const long k = std::clamp(i + lag, 0L, static_cast<long>(b.level.size()) - 1);
    t.tab[0][i] = static_cast<float>(100 * i);
    t.tab[1][i] = static_cast<float>(b.phase[k] * 2 * pi);
    t.tab[2][i] = static_cast<float>(b.level[k]);
    t.tab[3][i] = static_cast<float>(grp_of_phase(t.tab[1][i]));
  }
  return t;
}

TEST(SyncCheck, FlagsAnOutOfStepFileAndNotACorrectOne) {
  const Breath b = irregular_breath(600);
  BreathSignal s;
  s.value = b.level;
  s.phase = b.phase;
  s.period = 41;
  const SyncCheck ok = sync_check(file_of(b, 0, 600), s);
  EXPECT_FALSE(ok.flagged);
  EXPECT_EQ(ok.best_lag, 0);
  EXPECT_GT(ok.corr0, 0.99);
  EXPECT_GT(ok.phase_agree, 0.99);
  EXPECT_EQ(sync_warning(ok), "");
  EXPECT_NE(sync_summary(ok).find("600 triggers, 600 views"), std::string::npos);

  // Three triggers late, same count: the lag gives it away.
  const SyncCheck late = sync_check(file_of(b, 3, 600), s);
  EXPECT_TRUE(late.flagged);
  EXPECT_EQ(late.best_lag, 3);
  EXPECT_NE(sync_warning(late).find("3 views ahead"), std::string::npos);
  // Cut short by 5 %: the count.
  const SyncCheck cut = sync_check(file_of(b, 0, 570), s);
  EXPECT_TRUE(cut.flagged);
  EXPECT_NE(sync_warning(cut).find("570 triggers for 600 views"), std::string::npos);
  // Another scan's breathing: no correlation.
  Breath other = irregular_breath(800);
  other.level.erase(other.level.begin(), other.level.begin() + 200);
  other.phase.erase(other.phase.begin(), other.phase.begin() + 200);
  const SyncCheck foreign = sync_check(file_of(other, 0, 600), s);
  EXPECT_TRUE(foreign.flagged);
  EXPECT_LT(foreign.corr0, kSyncMinCorr);
}

}  // namespace
}  // namespace cbrecon
