#include "filter/preprocess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "filter/ramp.h"
#include "numeric/cpu.h"

namespace cbrecon {
namespace {

RunParams detector(float xoff) {
  RunParams p;
  p.xoff = xoff;
  return p;
}

// A decoded view of constant counts and a flat mask log image.
struct View {
  explicit View(const Geometry& g, uint32_t count = 5000)
      : raw(uimatrix(0, 767, 0, 1023)), M(matrix(0, 767, 0, 1023)),
        rdist(build_rdist(g.nrows, g.ncols_ext, g.ucenter)), ww(g.ncols_ext, 1.0),
        proj(matrix(0, g.nrows - 1, 0, g.ncols_ext - 1)) {
    std::fill(raw.data(), raw.data() + raw.size(), count);
    std::fill(M.data(), M.data() + M.size(), 0.25f);
  }
  Matrix<uint32_t> raw;
  Matrix<float> M, rdist;
  std::vector<double> ww;
  Matrix<float> proj;
};

TEST(Preprocess, LineIntegralsInsideAZeroFrame) {
  const Geometry g = setup_geometry(detector(0));
  View v(g);
  v.raw[100][200] = 0;  // a zero count is taken as a count of 1
  const float lnorm = 3.0f;
  preprocess_rows(v.raw.data(), v.M, lnorm, g, 1024, 768, v.ww, v.rdist, v.proj.data(), g.ncols_ext, 0, 768);
  for (long r = 0; r < 768; ++r)
    for (long c = 0; c < 1024; ++c) {
      const bool frame = r < 8 || r > 759 || c < 8 || c > 1015;
      if (frame) {
        ASSERT_EQ(v.proj[r][c], 0.0f) << r << "," << c;
      }
    }
  const double li = static_cast<float>((0.25 - std::log(5000.0) + 3.0) * 10000.0);
  EXPECT_EQ(v.proj[300][400], static_cast<float>(li / v.rdist[300][400]));
  const double li0 = static_cast<float>((0.25 + 3.0) * 10000.0);
  EXPECT_EQ(v.proj[100][200], static_cast<float>(li0 / v.rdist[100][200]));
}

TEST(Preprocess, CountsEqualToTheNormalisationGiveZero) {
  const Geometry g = setup_geometry(detector(0));
  View v(g, 1000);
  std::fill(v.M.data(), v.M.data() + v.M.size(), static_cast<float>(std::log(1000.0) - std::log(7.0)));
  const float lnorm = static_cast<float>(std::log(7.0));
  preprocess_rows(v.raw.data(), v.M, lnorm, g, 1024, 768, v.ww, v.rdist, v.proj.data(), g.ncols_ext, 0, 768);
  float worst = 0;
  for (size_t i = 0; i < v.proj.size(); ++i) worst = std::max(worst, std::fabs(v.proj.data()[i]));
  EXPECT_LT(worst, 0.01f);
}

TEST(Preprocess, HalfFanExtensionLayout) {
  const Geometry g = setup_geometry(detector(-148.0f));
  ASSERT_EQ(g.ishift, 760);
  View v(g);
  for (long c = 0; c < 1024; ++c) v.raw[400][c] = 100 + static_cast<uint32_t>(c);
  preprocess_rows(v.raw.data(), v.M, 0.0f, g, 1024, 768, v.ww, v.rdist, v.proj.data(), g.ncols_ext, 0, 768);
  // Undo the distance weight to see the layout of the row.
  auto li = [&](long c) { return static_cast<double>(v.proj[400][c]) * v.rdist[400][c]; };
  for (long c = 0; c <= 557; ++c) ASSERT_EQ(v.proj[400][c], 0.0f) << c;
  const double first = li(768);
  EXPECT_NEAR(first, (0.25 - std::log(108.0)) * 10000.0, 0.5);
  for (long c = 558; c <= 767; ++c) ASSERT_NEAR(li(c), first, 1e-3 * std::fabs(first)) << c;
  EXPECT_NEAR(li(1775), (0.25 - std::log(100.0 + 1015)) * 10000.0, 1.0);
  for (long c = 1776; c <= 1783; ++c) ASSERT_EQ(v.proj[400][c], 0.0f) << c;
  for (long c = 0; c < 1784; ++c) ASSERT_EQ(v.proj[3][c], 0.0f) << c;  // frame rows
}

TEST(Preprocess, DistanceFactors) {
  const Matrix<float> rd = build_rdist(768, 1024, 512.0f);
  EXPECT_EQ(rd[384][512], static_cast<float>(std::sqrt(0.25 * tanstep2 + 1.0)));
  EXPECT_EQ(rd[0][0], static_cast<float>(std::sqrt(383.5 * 383.5 * tanstep2 + 1.0 + 512.0 * 512.0 * tanstep2)));
  EXPECT_EQ(rd[0][0], rd[767][0]);  // rows measured from pixel centres
}

TEST(Preprocess, AngularIncrements) {
  const double d2r = pi / 180;
  const std::vector<double> full{0, 90, 180, 270};
  const std::vector<float> d = build_dbeta(full, 0);
  EXPECT_EQ(d[0], static_cast<float>(std::fabs((270 - 360.0) - 90) * 0.5 * pi / 180));
  EXPECT_EQ(d[1], static_cast<float>(180 * 0.5 * pi / 180));
  EXPECT_EQ(d[3], static_cast<float>(std::fabs((180 - 360.0) - 0) * 0.5 * pi / 180));
  EXPECT_NEAR(d[0], 90 * d2r, 1e-6);
  const std::vector<float> h = build_dbeta({0, 1, 3, 6}, 1);
  EXPECT_EQ(h[0], static_cast<float>(2 * 1.0 * pi / 180));  // spacing of views 1 and 2
  EXPECT_EQ(h[3], static_cast<float>(3 * 1.0 * pi / 180));
  EXPECT_EQ(h[1], static_cast<float>(3 * 0.5 * pi / 180));
  // Too few views: neighbours clamp into the list instead of reading past it.
  EXPECT_EQ(build_dbeta({10}, 0).size(), 1u);
  EXPECT_EQ(build_dbeta({10, 20}, 1).size(), 2u);
  EXPECT_TRUE(build_dbeta({}, 0).empty());
}

TEST(Preprocess, HalfScanWeights) {
  const HalfScan hs = half_scan_values(1024, 1);
  EXPECT_EQ(hs.halffan, 0.13167108595371246f);
  EXPECT_EQ(hs.hscan_range, 3.404934883117676f);
  EXPECT_EQ(half_scan_values(1024, 0).hscan_range, 0.0f);
  const std::vector<float> gamma = fan_angles(1024, 512.0f);
  EXPECT_GT(gamma[0], 0.0f);  // column 0 lies on the positive fan side
  std::vector<double> ww;
  // At beta 0 a column weighs 0 unless its fan angle reaches the edge.
  half_scan_weights(0.0, hs, 1, gamma, ww);
  for (int c = 0; c < 1024; ++c)
    if (gamma[c] < hs.halffan) {
      ASSERT_EQ(ww[c], 0.0) << c;
    }
  // Mid-scan every column weighs 1; past the range every column weighs 0.
  half_scan_weights(1.6, hs, 1, gamma, ww);
  for (int c = 0; c < 1024; ++c) ASSERT_EQ(ww[c], 1.0) << c;
  half_scan_weights(3.41, hs, 1, gamma, ww);
  for (int c = 0; c < 1024; ++c) ASSERT_EQ(ww[c], 0.0) << c;
  // Conjugate rays share their weight.  Column c's ray at beta is measured
  // again by the mirror column at beta + pi + 2 gamma[c] (the source turns
  // towards positive gamma), and the two weights add up to 1.
  std::vector<double> w1, w2;
  const int c = 300;
  const int mirror = 1024 - c;  // fan angle -gamma[c]
  ASSERT_EQ(gamma[mirror], -gamma[c]);
  const double beta = 0.1;
  half_scan_weights(beta, hs, 1, gamma, w1);
  half_scan_weights(beta + pi + 2 * gamma[c], hs, 1, gamma, w2);
  EXPECT_NEAR(w1[c] + w2[mirror], 1.0, 1e-5);
  // Without the half scan every weight is 1.
  half_scan_weights(2.0, hs, 0, gamma, ww);
  EXPECT_EQ(ww, std::vector<double>(1024, 1.0));
}

TEST(Preprocess, ZeroParkerDenominatorGivesZeroNotNaN) {
  HalfScan hs;
  hs.halffan = 0.25f;
  hs.hscan_range = static_cast<float>(pi + 0.5);
  const std::vector<float> gamma{0.25f, -0.25f, 0.0f};
  std::vector<double> ww;
  half_scan_weights(0.0, hs, 1, gamma, ww);
  EXPECT_EQ(ww[0], 0.0);
  half_scan_weights(hs.hscan_range, hs, 1, gamma, ww);
  EXPECT_EQ(ww[1], 0.0);
  for (double w : ww) EXPECT_FALSE(std::isnan(w));
}

TEST(Preprocess, EveryInstructionSetGivesTheScalarBytes) {
  // Noisy counts over the whole range: zeros, small counts, counts inside
  // the log table and past its end; an offset detector and uneven weights.
  for (float xoff : {0.0f, -148.0f}) {
    const Geometry g = setup_geometry(detector(xoff));
    View v(g);
    std::mt19937 rng(7);
    std::uniform_int_distribution<uint32_t> count(0, 3'000'000);
    std::uniform_real_distribution<float> mask(11.0f, 15.0f);
    for (size_t i = 0; i < v.raw.size(); ++i) {
      const uint32_t n = count(rng);
      v.raw.data()[i] = n % 11 == 0 ? n % 3 : n;  // about one in eleven is 0, 1 or 2
      v.M.data()[i] = mask(rng);
    }
    for (size_t c = 0; c < v.ww.size(); ++c) v.ww[c] = 0.3 + 1.7 * std::sin(0.01 * static_cast<double>(c));
    LogTable logs(1'000'003);
    logs.fill(0, logs.size());
    auto run = [&](const std::string& isa) {
      set_preprocess_isa(isa);
      std::fill(v.proj.data(), v.proj.data() + v.proj.size(), -1.0f);
      // Two row ranges, one of them not a multiple of anything.
      preprocess_rows(v.raw.data(), v.M, 2.5f, g, 1024, 768, v.ww, v.rdist, v.proj.data(), g.ncols_ext, 0, 333,
                      &logs);
      preprocess_rows(v.raw.data(), v.M, 2.5f, g, 1024, 768, v.ww, v.rdist, v.proj.data(), g.ncols_ext, 333, 768,
                      &logs);
      set_preprocess_isa("auto");
      return std::vector<float>(v.proj.data(), v.proj.data() + v.proj.size());
    };
    const std::vector<float> ref = run("scalar");
    for (const std::string& isa : preprocess_isas()) {
      const std::vector<float> got = run(isa);
      EXPECT_EQ(std::memcmp(got.data(), ref.data(), ref.size() * sizeof(float)), 0)
          << isa << " differs from scalar at xoff " << xoff;
    }
  }
}

TEST(Preprocess, RaggedRowsAndEdgeCountsGiveTheScalarBytesOnEveryInstructionSet) {
  // A detector whose rows are no multiple of any lane width (1013 columns:
  // 997 inside the frame; an offset detector adds its extension), and counts
  // that each lane treats differently: 0 and 1 in every lane position, the
  // table's last count and the first past it, counts of 2^31 and more.
  for (float xoff : {0.0f, -37.0f}) {
    RunParams p = detector(xoff);
    p.ndets = 1013;
    p.nslices = 24;
    p.pxlz = 0.5f;
    const Geometry g = setup_geometry(p);
    const uint32_t size = 4099;
    const uint32_t edge[] = {0, 1, 2, size - 1, size, size + 1, uint32_t{1} << 31, (uint32_t{1} << 31) + 5,
                             ~uint32_t{0}, 4098, 63, 64, 2047, 2048};
    Matrix<uint32_t> raw = uimatrix(0, p.nslices - 1, 0, p.ndets - 1);
    Matrix<float> M = matrix(0, p.nslices - 1, 0, p.ndets - 1);
    std::mt19937 rng(3);
    for (size_t i = 0; i < raw.size(); ++i) {
      raw.data()[i] = i % 3 ? edge[rng() % std::size(edge)] : static_cast<uint32_t>(rng() % (2 * size));
      M.data()[i] = 10.0f + static_cast<float>(i % 97) * 0.03125f;
    }
    const Matrix<float> rdist = build_rdist(g.nrows, g.ncols_ext, g.ucenter);
    std::vector<double> ww(g.ncols_ext);
    for (size_t c = 0; c < ww.size(); ++c) ww[c] = 0.5 + 0.001 * static_cast<double>(c);
    LogTable logs(size);
    logs.fill(0, size);
    Matrix<float> proj = matrix(0, g.nrows - 1, 0, g.ncols_ext - 1);
    auto run = [&](const std::string& isa) {
      set_stage_isa(Stage::preprocess, isa);
      std::fill(proj.data(), proj.data() + proj.size(), -1.0f);
      preprocess_rows(raw.data(), M, 1.5f, g, p.ndets, p.nslices, ww, rdist, proj.data(), g.ncols_ext, 0, g.nrows,
                      &logs);
      set_stage_isa(Stage::preprocess, "auto");
      return std::vector<float>(proj.data(), proj.data() + proj.size());
    };
    const std::vector<float> ref = run("scalar");
    // The scalar loops are the plain formula: 10000 (M - ln n + lnorm) / rdist.
    const long r = 10, c = 500, s = g.ishift;
    const uint32_t n = raw[r][c];
    const double li = static_cast<float>((static_cast<double>(M[r][c]) - (n ? std::log(static_cast<double>(n)) : 0.0) +
                                          static_cast<double>(1.5f)) *
                                         10000.0);
    EXPECT_EQ(ref[r * g.ncols_ext + c + s], static_cast<float>(ww[c + s] * li / rdist[r][c + s])) << n;
    for (const std::string& isa : runnable_kernels(Stage::preprocess)) {
      const std::vector<float> got = run(isa);
      for (size_t i = 0; i < ref.size(); ++i)
        ASSERT_EQ(std::memcmp(&got[i], &ref[i], sizeof(float)), 0)
            << isa << " differs from scalar at row " << i / g.ncols_ext << " column " << i % g.ncols_ext
            << " xoff " << xoff;
    }
  }
}

TEST(LogTable, EveryCountGivesTheLibrarysLogarithm) {
  // Filled in two pieces, as two threads of a run do; a size that is not a
  // multiple of anything; counts past the table.
  const uint32_t size = (uint32_t{1} << 22) - 3;
  LogTable t(size);
  t.fill(0, 50 * logs::kFillUnit);
  t.fill(50 * logs::kFillUnit, size);
  auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  long flagged = 0;
  for (uint32_t n = 0; n < size; ++n) {
    ASSERT_TRUE(same(t.log(n), std::log(static_cast<double>(n)))) << n;
    flagged += t.flagged(n);
  }
  for (uint32_t n : {size, size + 1, uint32_t{1} << 31, ~uint32_t{0}})
    EXPECT_TRUE(same(t.log(n), std::log(static_cast<double>(n)))) << n;
  // The sequence rounds as the library does nearly everywhere: few counts
  // are left to std::log at run time.
  EXPECT_LT(flagged, size / 100);
  EXPECT_TRUE(same(LogTable().log(12345), std::log(12345.0)));
  // Every kernel's form of the sequence flags the same blocks, shared out
  // over threads as a run does.
  ThreadPool pool(2);
  for (const std::string& isa : preprocess_isas()) {
    set_preprocess_isa(isa);
    LogTable v(size);
    v.fill(pool, log_approx8());
    set_preprocess_isa("auto");
    EXPECT_EQ(std::memcmp(v.flags(), t.flags(), (size / logs::kFillUnit + 1) * sizeof(uint32_t)), 0) << isa;
  }
}

}  // namespace
}  // namespace cbrecon
