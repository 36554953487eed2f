#include "recon/breathing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "numeric/common.h"

namespace cbrecon {
namespace {

BreathSignal two_cycles() {
  BreathSignal s;
  for (int k = 0; k < 80; ++k) {
    s.value.push_back(std::cos(2 * pi * k / 40.0));
    s.phase.push_back(std::fmod(k / 40.0, 1.0));
  }
  s.value[7] = NAN;  // a view that could not be read
  return s;
}

TEST(ImagePhaseTable, EveryViewInOrderWithItsBin) {
  const PhaseTable t = image_phase_table(two_cycles(), 10);
  ASSERT_EQ(t.count, 80);
  EXPECT_EQ(t.tab[0][5], 5.0f);
  EXPECT_FLOAT_EQ(t.tab[1][20], static_cast<float>(pi));
  EXPECT_EQ(t.tab[3][0], 1.0f);
  EXPECT_EQ(t.tab[3][20], 6.0f);   // half a cycle: bin 6, as a file's phase pi gives
  EXPECT_EQ(t.tab[3][7], 0.0f);    // no signal, no bin
  const PhaseTable four = image_phase_table(two_cycles(), 4);
  EXPECT_EQ(four.tab[3][20], 3.0f);
}

TEST(BinSummary, ViewsCoverageAndLargestGap) {
  ViewList a;
  a.angles = {0, 90, 180, 270};
  a.ik = 4;
  ViewList b;
  b.angles = {10, 20, 30};
  b.ik = 3;
  const std::vector<BinSummary> s = summarise_bins({a, b, ViewList{}});
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].views, 4);
  EXPECT_DOUBLE_EQ(s[0].largest_gap, 90);
  EXPECT_DOUBLE_EQ(s[1].coverage, 20);
  EXPECT_DOUBLE_EQ(s[1].largest_gap, 340);
  EXPECT_EQ(s[2].views, 0);
  EXPECT_DOUBLE_EQ(s[2].coverage, 0);
  const std::vector<std::string> lines = bin_summary_lines(s, "phase");
  EXPECT_EQ(lines[1], "phase bin  2:     3 views,  20.0 degrees covered, largest gap 340.0 degrees");
  BreathingRecord r;
  r.listing.table = image_phase_table(two_cycles(), 3);
  r.source = "images";
  const std::string j = bin_summary_json(s, r, "phase");
  EXPECT_NE(j.find("\"source\": \"images\""), std::string::npos);
  EXPECT_NE(j.find("{\"bin\": 2, \"views\": 3, \"coverage_deg\": 20.000, \"largest_gap_deg\": 340.000}"),
            std::string::npos) << j;
  EXPECT_NE(j.find("\"view_bins\": [1, "), std::string::npos);
}

TEST(BreathingTrace, MarksEveryViewInItsBinsRow) {
  const PhaseTable t = image_phase_table(two_cycles(), 4);
  for (const bool amplitude : {false, true}) {
    const PreviewImage img = breathing_trace_image(t, 4, amplitude);
    ASSERT_EQ(img.width, 200);
    ASSERT_EQ(img.height, 200 + 6 + 8 * 4);
    ASSERT_EQ(img.pixels.size(), static_cast<size_t>(img.width * img.height));
    for (long k = 0; k < t.count; ++k) {
      const int bin = static_cast<int>(t.tab[3][k]);
      const long x = k * img.width / t.count;
      for (int b = 1; b <= 4; ++b) {
        const uint8_t g = img.pixels[static_cast<size_t>((200 + 6 + 8 * (b - 1) + 4) * img.width + x)];
        EXPECT_EQ(g < 100, b == bin) << k << " " << b;
      }
    }
  }
  EXPECT_EQ(breathing_trace_image(PhaseTable{}, 4, false).width, 0);
}

}  // namespace
}  // namespace cbrecon
