// Total-variation descent on the iterative layout.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "regular/tv.h"

namespace cbrecon {
namespace {

constexpr int kN = 12;
constexpr long kNz = 7, kLz = kNz + 2;

struct Volume {
  std::vector<uint8_t> inside = std::vector<uint8_t>(kN * kN, 1);
  std::vector<float> x = std::vector<float>(kN * kN * kLz, 0.0f);
  TvGrid grid() const { return TvGrid{kN, kNz, kLz, 0.5f, 1.0f, &inside}; }
  float& at(long r, long c, long j) { return x[(r * kN + c) * kLz + j + 1]; }
};

// A noisy block: steps lower its total variation and leave the padding
// slices and the columns outside the field of view untouched; a constant
// volume has no gradient and is left as it is.
TEST(TotalVariation, DescentLowersItAndKeepsWhatIsNotTheVolume) {
  Volume v;
  for (long c = 0; c < kN; ++c) v.inside[c] = 0;  // row 0 outside
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0.0f, 5.0f);
  for (long r = 1; r < kN; ++r)
    for (long c = 0; c < kN; ++c)
      for (long j = 0; j < kNz; ++j) v.at(r, c, j) = (c > 5 && j > 2 ? 100.0f : 20.0f) + noise(rng);
  for (long c = 0; c < kN; ++c) v.at(0, c, 3) = 77.0f;
  const std::vector<float> before = v.x;
  ThreadPool pool(2);
  std::vector<float> work(2 * v.x.size());
  const double tv0 = total_variation(v.x.data(), v.grid());
  tv_descent(v.x.data(), v.grid(), 20.0, 5, work.data(), pool);
  EXPECT_LT(total_variation(v.x.data(), v.grid()), 0.9 * tv0);
  for (long k = 0; k < kN * kN; ++k) {
    EXPECT_EQ(v.x[k * kLz], 0.0f);
    EXPECT_EQ(v.x[k * kLz + kLz - 1], 0.0f);
  }
  for (long c = 0; c < kN; ++c) EXPECT_EQ(v.at(0, c, 3), 77.0f);
  // The edge between the two levels survives the smoothing of the noise.
  EXPECT_GT(v.at(6, 9, 5) - v.at(6, 2, 5), 60.0f);
  // Same bytes for any thread count.
  std::vector<float> again = before;
  ThreadPool one(1), three(3);
  tv_descent(again.data(), v.grid(), 20.0, 5, work.data(), one);
  EXPECT_EQ(again, v.x);
  again = before;
  tv_descent(again.data(), v.grid(), 20.0, 5, work.data(), three);
  EXPECT_EQ(again, v.x);

  Volume flat;
  for (long k = 0; k < kN * kN; ++k)
    for (long j = 1; j <= kNz; ++j) flat.x[k * kLz + j] = 50.0f;
  const std::vector<float> kept = flat.x;
  tv_descent(flat.x.data(), flat.grid(), 20.0, 3, work.data(), pool);
  EXPECT_EQ(flat.x, kept);
}

// A step between slices counts wz times a step between columns.
TEST(TotalVariation, SlicesCountByTheirWeight) {
  Volume across, along;
  for (long r = 0; r < kN; ++r)
    for (long c = 0; c < kN; ++c)
      for (long j = 0; j < kNz; ++j) {
        across.at(r, c, j) = c < kN / 2 ? 0.0f : 100.0f;
        along.at(r, c, j) = j < kNz / 2 ? 0.0f : 100.0f;
      }
  TvGrid g = across.grid();
  g.eps = 0.0f;
  const double a = total_variation(across.x.data(), g);
  const double z = total_variation(along.x.data(), g);
  // One step of 100 per column pair (kN rows x kNz slices) against one per
  // slice pair (kN x kN columns), times wz = 0.5.
  EXPECT_NEAR(a, 100.0 * kN * kNz, 1e-6 * a);
  EXPECT_NEAR(z, 0.5 * 100.0 * kN * kN, 1e-6 * z);
}

}  // namespace
}  // namespace cbrecon
