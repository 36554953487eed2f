#include "filter/ramp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "numeric/error.h"
#include "geometry/geometry.h"

namespace cbrecon {
namespace {

// Restores automatic kernel choice when a test ends.
struct IsaGuard {
  ~IsaGuard() { set_filter_isa("auto"); }
};

std::vector<float> filtered_impulse(int nfft, int ncols_ext, int j0) {
  const std::vector<float> spectrum = ramp_kernel(nfft, tanstep);
  std::vector<float> buf(nfft, 0.0f);
  buf[j0] = 1.0f;
  filter_row(buf.data(), ncols_ext, nfft, spectrum.data(), filt_scale(nfft));
  buf.resize(ncols_ext);
  return buf;
}

TEST(RampKernel, TapsAndSpectrum) {
  const std::vector<float> h = ramp_taps(2048, tanstep);
  EXPECT_EQ(h[0], 1868224.625f);
  EXPECT_EQ(h[1], -757162.875f);
  EXPECT_EQ(h[3], -84129.2109375f);
  EXPECT_EQ(h[5], -30286.515625f);
  EXPECT_EQ(h[2047], h[1]);
  EXPECT_EQ(h[2045], h[3]);
  EXPECT_EQ(h[2], 0.0f);
  EXPECT_EQ(h[1024], 0.0f);
  EXPECT_EQ(h[1023], h[1025]);

  // Element 0 is the sum of all taps: small and positive next to h[0].
  const std::vector<float> s2048 = ramp_kernel(2048, tanstep);
  const std::vector<float> s4096 = ramp_kernel(4096, tanstep);
  EXPECT_NEAR(s2048[0], 740.0f, 5.0f);
  EXPECT_NEAR(s4096[0], 370.0f, 5.0f);
  for (int k = 3; k < 2048; k += 2) EXPECT_LT(std::fabs(s2048[k]), 1.0f) << k;  // ~real
  EXPECT_THROW(ramp_kernel(1000, tanstep), RunError);
}

TEST(RampFilter, ScaleValues) {
  EXPECT_EQ(filt_scale(2048), 0.00025260416441597044f);
  EXPECT_EQ(filt_scale(4096), 0.00012630208220798522f);
}

TEST(RampFilter, ImpulseResponseIsTheScaledKernel) {
  const double q0 = 1000.0 / (8.0 * tanstep), q1 = -1000.0 / (2.0 * M_PI * M_PI * tanstep);
  for (auto [nfft, ncols_ext] : {std::pair{2048, 1024}, {4096, 1024}, {4096, 2048}}) {
    for (int j0 : {3, 500, ncols_ext - 4}) {
      const std::vector<float> q = filtered_impulse(nfft, ncols_ext, j0);
      EXPECT_NEAR(q[j0], q0, 0.1) << nfft;
      EXPECT_NEAR(q[j0], 483247.4, 0.1);
      for (int s : {-1, 1}) {
        EXPECT_NEAR(q[j0 + s], q1, 0.1) << nfft;
        EXPECT_NEAR(q[j0 + s], -195852.8, 0.1);
        EXPECT_NEAR(q[j0 + 2 * s], 0.0, 0.01) << nfft;
        EXPECT_NEAR(q[j0 + 3 * s], q[j0 + s] / 9.0, 0.05) << nfft;
      }
    }
  }
}

TEST(RampFilter, MatchesDirectConvolution) {
  const int nfft = 2048, ncols_ext = 1024;
  const std::vector<float> h = ramp_taps(nfft, tanstep);
  const std::vector<float> spectrum = ramp_kernel(nfft, tanstep);
  std::mt19937 gen(11);
  std::uniform_real_distribution<float> u(0.0f, 3.0f);
  std::vector<float> s(ncols_ext), buf(nfft);
  for (float& v : s) v = u(gen);
  std::copy(s.begin(), s.end(), buf.begin());
  filter_row(buf.data(), ncols_ext, nfft, spectrum.data(), filt_scale(nfft));
  for (int c = 0; c < ncols_ext; c += 37) {
    double acc = 0;
    for (int j = 0; j < ncols_ext; ++j) acc += double(s[j]) * h[((c - j) % nfft + nfft) % nfft];
    EXPECT_NEAR(buf[c], 1000.0 * tanstep * acc, 2.0) << c;  // |q| ~ 1e5..1e6
  }
}

TEST(RampFilter, ZeroRowStaysZeroAndBadWidthIsRefused) {
  const std::vector<float> spectrum = ramp_kernel(2048, tanstep);
  std::vector<float> buf(2048, 0.0f);
  filter_row(buf.data(), 1024, 2048, spectrum.data(), filt_scale(2048));
  for (int c = 0; c < 1024; ++c) ASSERT_EQ(buf[c], 0.0f) << c;
  // A row wider than the transform would not fit its buffer.
  EXPECT_THROW(filter_row(buf.data(), 2049, 2048, spectrum.data(), 1.0f), RunError);
  EXPECT_THROW(filter_rows(buf.data(), 2049, 1, 2049, 2048, spectrum.data(), 1.0f), RunError);
  EXPECT_THROW(filter_rows(buf.data(), 100, 2, 1024, 2048, spectrum.data(), 1.0f), RunError);
}

TEST(RampFilter, IsaSelection) {
  IsaGuard guard;
  const std::vector<std::string> isas = filter_isas();
  ASSERT_FALSE(isas.empty());
  EXPECT_EQ(isas.front(), "scalar");
  for (const std::string& isa : isas) {
    set_filter_isa(isa);
    EXPECT_EQ(filter_isa(), isa);
  }
  set_filter_isa("auto");
  EXPECT_EQ(filter_isa(), isas.back());
  EXPECT_THROW(set_filter_isa("sse9"), RunError);
  EXPECT_THROW(set_filter_isa(""), RunError);
}

// The contract of filter_rows: the bytes of filter_row, on every kernel,
// including partial lane groups, with gaps between rows left untouched.
TEST(RampFilter, RowsAreBitIdenticalToFilterRowOnEveryIsa) {
  IsaGuard guard;
  std::mt19937 gen(5);
  std::uniform_real_distribution<float> u(-50.0f, 200.0f);
  for (auto [nfft, ncols_ext] : {std::pair{2048, 1024}, {4096, 2048}, {4096, 1500}}) {
    const std::vector<float> spectrum = ramp_kernel(nfft, tanstep);
    const float scale = filt_scale(nfft);
    const size_t stride = ncols_ext + 3;
    const int count = 37;  // not a multiple of 4, 8 or 16
    std::vector<float> rows(stride * count);
    for (float& v : rows) v = u(gen);
    std::vector<float> expect = rows, buf(nfft);
    for (int r = 0; r < count; ++r) {
      std::copy_n(&rows[r * stride], ncols_ext, buf.begin());
      filter_row(buf.data(), ncols_ext, nfft, spectrum.data(), scale);
      std::copy_n(buf.begin(), ncols_ext, &expect[r * stride]);
    }
    for (const std::string& isa : filter_isas()) {
      set_filter_isa(isa);
      for (int n : {count, 1, 9}) {
        std::vector<float> got = rows;
        filter_rows(got.data(), stride, n, ncols_ext, nfft, spectrum.data(), scale);
        const size_t bytes = sizeof(float) * stride * n;
        EXPECT_EQ(std::memcmp(got.data(), expect.data(), bytes), 0) << isa << " " << nfft;
        EXPECT_EQ(std::memcmp(got.data() + stride * n, rows.data() + stride * n,
                              sizeof(float) * rows.size() - bytes), 0) << isa;
      }
    }
  }
}

TEST(RampFilter, ThreadsFilterDisjointRowsWithTheirOwnScratch) {
  const int nfft = 2048, ncols_ext = 1024, count = 40;
  const std::vector<float> spectrum = ramp_kernel(nfft, tanstep);
  std::vector<float> rows(size_t(ncols_ext) * count);
  std::mt19937 gen(9);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  for (float& v : rows) v = u(gen);
  std::vector<float> one = rows;
  filter_rows(one.data(), ncols_ext, count, ncols_ext, nfft, spectrum.data(), 1.0f);
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&, t] {
      filter_rows(rows.data() + size_t(t) * 10 * ncols_ext, ncols_ext, 10, ncols_ext, nfft,
                  spectrum.data(), 1.0f);
    });
  for (std::thread& w : workers) w.join();
  EXPECT_EQ(std::memcmp(rows.data(), one.data(), sizeof(float) * rows.size()), 0);
}

}  // namespace
}  // namespace cbrecon
