#include "sim/encode.h"

#include <gtest/gtest.h>

#include <random>

#include "input/projection.h"

namespace cbrecon::sim {
namespace {

// Decodes `data` with the program's decoder and checks it gives back `img`
// and that the compressed bytes are exactly used up.
void expect_round_trip(const std::vector<uint32_t>& img, long rows, long cols) {
  SCOPED_TRACE(testing::Message() << rows << " x " << cols);
  const std::vector<uint8_t> data = encode_projection(img.data(), rows, cols);
  std::vector<uint32_t> back(img.size(), 0xDEADBEEF);
  const DecodeStatus st = decode_projection_into(data, cols, rows, back.data());
  EXPECT_FALSE(st.truncated);
  EXPECT_FALSE(st.invalid_code);
  EXPECT_EQ(st.decoded, img.size());
  EXPECT_EQ(back, img);
  if (rows > 1 && rows * cols > cols + 1) {
    // One byte fewer must not be enough: nothing was written beyond the codes.
    const std::span<const uint8_t> short_data(data.data(), data.size() - 1);
    EXPECT_TRUE(decode_projection_into(short_data, cols, rows, back.data()).truncated);
  }
}

TEST(Encode, RoundTripsRandomImagesOfAwkwardSizes) {
  std::mt19937 rng(7);
  const long sizes[][2] = {{768, 1024}, {5, 258}, {7, 258}, {6, 257}, {3, 3}, {2, 2},
                           {2, 1}, {17, 17}, {9, 1}};
  for (const auto& sz : sizes) {
    const long rows = sz[0], cols = sz[1];
    const size_t n = static_cast<size_t>(rows * cols);
    std::vector<uint32_t> img(n);
    // Full-range noise: 4-byte differences and wrapping predictions.
    for (auto& v : img) v = rng();
    expect_round_trip(img, rows, cols);
    // A smooth field with small steps: mostly 1-byte codes.
    for (size_t k = 0; k < n; ++k) img[k] = 2000000 + static_cast<uint32_t>(k % 97) * 3 + rng() % 5;
    expect_round_trip(img, rows, cols);
    // Values just below 2^32 with jumps through zero: every sum wraps.
    for (size_t k = 0; k < n; ++k) img[k] = (k % 3 == 0) ? 0xFFFFFFF0u + rng() % 16 : rng() % 40000;
    expect_round_trip(img, rows, cols);
  }
}

TEST(Encode, ChoosesTheNarrowestWidthAtTheLimits) {
  // 2 x 5: pixels 6..9 are coded (code numbers 0..3, one table byte).  With
  // a flat first row and a flat left neighbour the prediction is the left
  // pixel, so each difference is the step we put in.
  const int32_t steps[] = {127, 128, -32768, 32768};
  std::vector<uint32_t> img(10, 1000);
  uint32_t v = 1000;
  for (int i = 0; i < 4; ++i) {
    // prediction = left + above - above-left = v + 1000 - 1000
    v += static_cast<uint32_t>(steps[i]);
    img[6 + i] = v;
  }
  const std::vector<uint8_t> data = encode_projection(img.data(), 2, 5);
  const size_t L = code_table_length(2, 5);
  ASSERT_EQ(L, 1u);
  EXPECT_EQ(data[0], 0u | 1u << 2 | 1u << 4 | 2u << 6);
  EXPECT_EQ(data.size(), L + 4 * 5 + 4 + 1 + 2 + 2 + 4);
  expect_round_trip(img, 2, 5);
}

}  // namespace
}  // namespace cbrecon::sim
