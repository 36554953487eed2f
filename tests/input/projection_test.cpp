#include "input/projection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include <cmath>
#include <cstring>

#include "input/mask.h"
#include "numeric/error.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

using testing::TempDir;
using testing::write_bytes;

std::vector<uint8_t> header_with(double angle, double ctnorm = 1.0) {
  std::vector<uint8_t> h(kHeaderSize, 0);
  header_set_double(h.data(), kAngleOffset, angle);
  header_set_double(h.data(), kCtnormOffset, ctnorm);
  return h;
}

TEST(ProjectionNames, FiveDigitsOrMore) {
  EXPECT_EQ(projection_name("PROJ_", 7), "PROJ_00007.hnd");
  EXPECT_EQ(projection_name("PROJ_", 0), "PROJ_00000.hnd");
  EXPECT_EQ(projection_name("d/PROJ_", 100000), "d/PROJ_100000.hnd");
  EXPECT_EQ(projection_name(std::string(70, 'a'), 1).size(), 79u);
  EXPECT_THROW(projection_name(std::string(71, 'a'), 1), RunError);
}

TEST(Decoder, PlainRowsThenPrediction) {
  const long rows = 3, cols = 4;
  EXPECT_EQ(code_table_length(768, 1024), 196352u);
  const size_t L = code_table_length(rows, cols);  // (2*4)/4 + 0.5 -> 2
  ASSERT_EQ(L, 2u);
  std::vector<uint8_t> d(L, 0);  // every code 0: one signed byte each
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put32(10); put32(20); put32(30); put32(40);  // row 0
  put32(15);                                    // pixel (1, 0)
  for (int k = 5; k < 12; ++k) d.push_back(0);  // all differences 0
  std::vector<uint32_t> img(rows * cols);
  const DecodeStatus st = decode_projection_into(d, cols, rows, img.data());
  EXPECT_FALSE(st.truncated);
  EXPECT_EQ(st.decoded, 12u);
  // Pixel (1,1) = left + above - above-left = 15 + 20 - 10.
  EXPECT_EQ(img[5], 25u);
  EXPECT_EQ(img[6], 35u);
  EXPECT_EQ(img[7], 45u);
  // Column 0 takes its left neighbour from the end of the row above.
  EXPECT_EQ(img[8], img[7] + img[4] - img[3]);
}

TEST(Decoder, DifferenceWidthsAndWrapping) {
  const long rows = 2, cols = 4;  // coded pixels k = 5, 6, 7
  std::vector<uint8_t> d(code_table_length(rows, cols), 0);
  d[0] = 0b00'10'01'00;  // k=5 code 0, k=6 code 1, k=7 code 2
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put32(0xFFFFFFF0u); put32(0); put32(0); put32(0);
  put32(0xFFFFFFFFu);
  d.push_back(0xFF);                  // -1
  d.push_back(0x00); d.push_back(0x80);  // -32768
  put32(0x7FFFFFFFu);
  std::vector<uint32_t> img(rows * cols);
  decode_projection_into(d, cols, rows, img.data());
  EXPECT_EQ(img[5], static_cast<uint32_t>(-1 + 0xFFFFFFFFu + 0 - 0xFFFFFFF0u));
  EXPECT_EQ(img[6], static_cast<uint32_t>(-32768 + img[5]));
  EXPECT_EQ(img[7], img[6] + 0x7FFFFFFFu);  // sums wrap to 32 bits
}

TEST(Decoder, NeverReadsPastItsDataAndStopsAtCode3) {
  const long rows = 16, cols = 16;
  const size_t need = min_pixel_bytes(rows, cols);
  // Every length short of a complete view decodes without reading beyond the
  // span (ASan checks the reads) and reports the truncation.
  std::vector<uint8_t> full(need + (rows * cols - cols - 1), 0);
  for (size_t i = need - 4 * cols - 4; i < need; ++i) full[i] = 7;
  std::vector<uint32_t> img(rows * cols);
  for (size_t len = 0; len < full.size(); len += 13) {
    std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<long>(len));
    const DecodeStatus st = decode_projection_into(part, cols, rows, img.data());
    EXPECT_TRUE(st.truncated) << len;
    for (size_t k = st.decoded; k < img.size(); ++k) ASSERT_EQ(img[k], 0u) << len;
  }
  EXPECT_FALSE(decode_projection_into(full, cols, rows, img.data()).truncated);
  // A table full of code 3 ends decoding right after the plain pixels.
  std::vector<uint8_t> bad = full;
  std::fill(bad.begin(), bad.begin() + static_cast<long>(code_table_length(rows, cols)), 0xFF);
  const DecodeStatus st = decode_projection_into(bad, cols, rows, img.data());
  EXPECT_TRUE(st.invalid_code);
  EXPECT_EQ(st.decoded, static_cast<size_t>(cols + 1));
  EXPECT_EQ(img[cols + 1], 0u);
}

// The decoder written the plain way: one code at a time, every read checked.
DecodeStatus plain_decode(const std::vector<uint8_t>& data, long cols, long rows, uint32_t* v) {
  DecodeStatus st;
  const size_t total = static_cast<size_t>(rows * cols), n = static_cast<size_t>(cols);
  std::fill(v, v + total, 0u);
  const size_t L = code_table_length(rows, cols);
  if (L > data.size()) {
    st.truncated = true;
    return st;
  }
  size_t p = L, k = 0;
  auto byte = [&](size_t i) { return static_cast<uint32_t>(data[i]); };
  auto u32 = [&](size_t i) { return byte(i) | byte(i + 1) << 8 | byte(i + 2) << 16 | byte(i + 3) << 24; };
  for (; k < std::min(total, n + (rows > 1 ? 1 : 0)); ++k, p += 4) {
    if (p + 4 > data.size()) {
      st.truncated = true;
      st.decoded = k;
      return st;
    }
    v[k] = u32(p);
  }
  for (; k < total; ++k) {
    const size_t q = k - n - 1;
    if (q >= 4 * L) {
      st.truncated = true;
      break;
    }
    const unsigned code = data[q / 4] >> (2 * (q % 4)) & 3;
    const size_t len = code == 0 ? 1 : code == 1 ? 2 : 4;
    if (code == 3) {
      st.invalid_code = true;
      break;
    }
    if (p + len > data.size()) {
      st.truncated = true;
      break;
    }
    int32_t d = code == 0 ? static_cast<int8_t>(data[p]) : code == 1 ? static_cast<int16_t>(byte(p) | byte(p + 1) << 8)
                                                                     : static_cast<int32_t>(u32(p));
    p += len;
    v[k] = static_cast<uint32_t>(d) + v[k - 1] + v[k - n] - v[k - n - 1];
  }
  st.decoded = std::min(k, total);
  return st;
}

TEST(Decoder, MatchesThePlainDecoderOnRandomStreams) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 3000; ++trial) {
    const long rows = 1 + static_cast<long>(rng() % 12), cols = 1 + static_cast<long>(rng() % 12);
    const size_t L = code_table_length(rows, cols);
    std::vector<uint8_t> data(L + 4 * static_cast<size_t>(rows * cols) + 8);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    // Mostly valid codes; now and then a code 3 somewhere.
    for (size_t i = 0; i < L; ++i) {
      uint8_t t = 0;
      for (int c = 0; c < 4; ++c) t |= static_cast<uint8_t>((rng() % 40 == 0 ? 3 : rng() % 3) << (2 * c));
      data[i] = t;
    }
    data.resize(rng() % (data.size() + 1));
    std::vector<uint32_t> got(static_cast<size_t>(rows * cols), 7u), want(got.size());
    const DecodeStatus a = decode_projection_into(data, cols, rows, got.data());
    const DecodeStatus b = plain_decode(data, cols, rows, want.data());
    ASSERT_EQ(a.truncated, b.truncated) << trial;
    ASSERT_EQ(a.invalid_code, b.invalid_code) << trial;
    ASSERT_EQ(a.decoded, b.decoded) << trial;
    ASSERT_EQ(got, want) << trial;
  }
}

class Listing : public ::testing::Test {
 protected:
  void make(long num, double angle) {
    write_bytes(projection_name(dir.file("P_"), num), header_with(angle));
  }
  ViewList list(int n = 1000, int first = 0, uint16_t hscan = 0, double range = 0) {
    return list_projections(dir.file("P_"), ".hnd", n, first, hscan, range);
  }
  TempDir dir;
};

TEST_F(Listing, GapsOfUpTo100NumbersArePassedOver) {
  make(0, 0);
  make(101, 1);  // 100 missing numbers in between
  make(203, 2);  // 101 missing numbers: the list ends before it
  const ViewList v = list();
  EXPECT_EQ(v.ik, 2);
  EXPECT_EQ(v.names[1], projection_name(dir.file("P_"), 101));
  EXPECT_EQ(v.angles[1], 1.0);
  EXPECT_EQ(v.nlisted, 1000);
  EXPECT_EQ(list(1).ik, 1);  // at most n views
}

TEST_F(Listing, FirstFileMustLieWithin100OfTheStart) {
  make(101, 0);
  EXPECT_EQ(list().ik, 0);
  EXPECT_EQ(list(1000, 1).ik, 1);
}

TEST_F(Listing, HalfScanStopsPastItsRange) {
  for (int i = 0; i <= 200; ++i) make(i, i);
  const double range = 3.404934883117676;
  EXPECT_EQ(list(1000, 0, 1, range).ik, 196);  // 0 .. 195 degrees
  EXPECT_EQ(list(1000, 0, 0, range).ik, 201);
}

TEST_F(Listing, DecreasingAnglesNeverEndAHalfScan) {
  for (int i = 0; i < 300; ++i) make(i, -i);
  EXPECT_EQ(list(1000, 0, 1, 3.4049).ik, 300);
}

TEST(Mask, LogImageAndZeroCounts) {
  const long rows = 20, cols = 20;
  Matrix<uint32_t> raw = uimatrix(0, rows - 1, 0, cols - 1);
  for (size_t i = 0; i < raw.size(); ++i) raw.data()[i] = 1000;
  raw[8][8] = 0;
  raw[9][9] = 0;
  raw[9][10] = 0;  // next to a zero: takes that zero's final value
  raw[10][10] = 16777217;  // rounds to 2^24 as a float
  const Matrix<float> M = mask_log_image(raw, rows, cols, 10.0);
  EXPECT_EQ(M[0][0], 0.0f);
  EXPECT_EQ(M[7][10], 0.0f);
  EXPECT_EQ(M[10][cols - 8], 0.0f);
  EXPECT_EQ(M[8][8], 0.0f);  // mean of two frame pixels
  const float inside = static_cast<float>(std::log(1000.0) - static_cast<double>(static_cast<float>(std::log(10.0))));
  EXPECT_EQ(M[8][9], inside);
  EXPECT_EQ(M[9][9], static_cast<float>(0.5 * (static_cast<double>(M[8][9]) + M[9][8])));
  EXPECT_EQ(M[9][10], static_cast<float>(0.5 * (static_cast<double>(M[8][10]) + M[9][9])));
  EXPECT_EQ(M[10][10], static_cast<float>(std::log(16777216.0) - static_cast<double>(static_cast<float>(std::log(10.0)))));
  // Shared out over threads, the same image.
  ThreadPool pool(2);
  const Matrix<float> T = mask_log_image(raw, rows, cols, 10.0, &pool);
  EXPECT_EQ(std::memcmp(T.data(), M.data(), M.size() * sizeof(float)), 0);
}

TEST(Mask, ShortFileLeavesZerosAndMissingFileIsReported) {
  TempDir dir;
  std::vector<uint8_t> bytes = header_with(0, 5.0);
  for (int i = 0; i < 10; ++i) bytes.insert(bytes.end(), {1, 0, 0, 0});
  write_bytes(dir.file("mask.hnd"), bytes);
  testing::Capture out;
  Header head{};
  const Matrix<uint32_t> raw = read_mask(dir.file("mask.hnd"), 17, 17, head.data(), out.get());
  EXPECT_EQ(header_ctnorm(head.data()), 5.0);
  EXPECT_EQ(raw[0][9], 1u);
  EXPECT_EQ(raw[0][10], 0u);
  EXPECT_EQ(raw[16][16], 0u);
  EXPECT_THROW(read_mask(dir.file("nope.hnd"), 17, 17, head.data(), out.get()), RunError);
  EXPECT_EQ(out.text(), "Can't Open Mask File " + dir.file("nope.hnd") + ".\n");
}

}  // namespace
}  // namespace cbrecon
