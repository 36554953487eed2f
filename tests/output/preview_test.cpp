#include "output/preview.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "numeric/error.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

using testing::TempDir;

// A hand-made grid: npxls x npxls x nz, every voxel inside unless `fov`
// says otherwise.
struct Grid {
  VolumeGrid g;
  FovExtents fov;
  std::vector<float> vol;
  Grid(int32_t npxls, uint16_t nz, double dx, double pxlz, float fov_mm = 0) {
    g.npxls = npxls;
    g.nz = nz;
    g.dx = dx;
    g.pxlz = pxlz;
    fov = fov_mm > 0 ? build_fov_extents(npxls, static_cast<float>(dx), fov_mm)
                     : FovExtents{std::vector<uint16_t>(npxls, 0), std::vector<uint16_t>(npxls, npxls)};
    vol.assign(static_cast<size_t>(nz) * npxls * npxls, 0.0f);
  }
  float& at(long j, int32_t r, int32_t c) { return vol[(j * g.npxls + r) * g.npxls + c]; }
};

// The reference: sort the inside values, take rank floor(p (n - 1)).
std::pair<double, double> sorted_percentiles(const OutputVolume& v) {
  std::vector<double> x;
  for (long j = 0; j < v.grid().nz; ++j)
    for (int32_t r = 0; r < v.grid().npxls; ++r)
      for (int32_t c = 0; c < v.grid().npxls; ++c)
        if (v.inside(r, c) && !std::isnan(v.value(j, r, c))) x.push_back(v.value(j, r, c));
  std::sort(x.begin(), x.end());
  const size_t n = x.size();
  return {x[static_cast<size_t>(0.01 * (n - 1))], x[static_cast<size_t>(0.99 * (n - 1))]};
}

TEST(PercentileWindow, ExactForWordsAndFloatsInsideTheFieldOfView) {
  Grid grid(24, 6, 1.0, 1.0, 20.0f);
  std::mt19937 rng(5);
  std::normal_distribution<float> nd(0.0f, 300.0f);
  for (float& x : grid.vol) x = nd(rng);
  // Values outside the circle must not count: make them extreme.
  for (long j = 0; j < grid.g.nz; ++j)
    for (int32_t r = 0; r < grid.g.npxls; ++r)
      for (int32_t c = 0; c < grid.fov.fov_start[r]; ++c) grid.at(j, r, c) = 1e6f;
  grid.at(3, 12, 12) = std::numeric_limits<float>::quiet_NaN();
  for (bool as_float : {false, true}) {
    const OutputVolume v(grid.vol.data(), grid.fov, grid.g, 10.0f, 5.0f, as_float);
    const DisplayWindow w = percentile_window(v);
    const auto [lo, hi] = sorted_percentiles(v);
    EXPECT_EQ(w.lo, lo) << (as_float ? "float" : "words");
    EXPECT_EQ(w.hi, hi) << (as_float ? "float" : "words");
    EXPECT_LT(w.lo, 0);
    EXPECT_GT(w.hi, 0);
  }
}

TEST(PercentileWindow, ConstantOrEmptyVolumesStillGiveAWindow) {
  Grid grid(8, 2, 1.0, 1.0);
  std::fill(grid.vol.begin(), grid.vol.end(), 4.0f);
  const OutputVolume v(grid.vol.data(), grid.fov, grid.g, 10.0f, 0.0f, true);
  const DisplayWindow w = percentile_window(v);
  EXPECT_EQ(w.lo, 40.0);
  EXPECT_EQ(w.hi, 41.0);
  // No voxel centre inside a tiny field of view.
  Grid tiny(3, 2, 1.0, 1.0, 0.5f);
  const OutputVolume t(tiny.vol.data(), tiny.fov, tiny.g, 10.0f, 0.0f, false);
  const DisplayWindow e = percentile_window(t);
  EXPECT_EQ(e.lo, 0.0);
  EXPECT_EQ(e.hi, 1.0);
}

// The bins of a 4-D run share one window: the percentiles of all their
// values together, neither bin's own (a dark and a bright bin).
TEST(PercentileWindow, SeveralVolumesShareTheWindowOfAllTheirValues) {
  Grid dark(12, 3, 1.0, 1.0, 10.0f), bright(12, 3, 1.0, 1.0, 10.0f);
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(0.0f, 100.0f);
  for (float& x : dark.vol) x = u(rng);
  for (float& x : bright.vol) x = 100.0f + u(rng);
  for (bool as_float : {false, true}) {
    SCOPED_TRACE(as_float ? "float" : "words");
    const OutputVolume a(dark.vol.data(), dark.fov, dark.g, 10.0f, 0.0f, as_float);
    const OutputVolume b(bright.vol.data(), bright.fov, bright.g, 10.0f, 0.0f, as_float);
    // The reference: one volume holding both (slices of a, then of b).
    Grid both(12, 6, 1.0, 1.0, 10.0f);
    std::copy(dark.vol.begin(), dark.vol.end(), both.vol.begin());
    std::copy(bright.vol.begin(), bright.vol.end(), both.vol.begin() + dark.vol.size());
    const OutputVolume ab(both.vol.data(), both.fov, both.g, 10.0f, 0.0f, as_float);
    const DisplayWindow w = percentile_window({&a, &b});
    const auto [lo, hi] = sorted_percentiles(ab);
    EXPECT_EQ(w.lo, lo);
    EXPECT_EQ(w.hi, hi);
    EXPECT_LT(w.lo, 100.0);   // from the dark bin
    EXPECT_GT(w.hi, 1900.0);  // from the bright one
    EXPECT_EQ(percentile_window(std::vector<const OutputVolume*>{&b}).lo, percentile_window(b).lo);
  }
}

TEST(RenderPreview, PanelsLayoutAndGreyLevels) {
  // 8 x 8 voxels of 1 mm, 4 slices of 3 mm: the side panels are 12 rows
  // tall, the image 24 x 12.
  Grid grid(8, 4, 1.0, 3.0);
  grid.at(2, 1, 6) = 100.0f;                         // axial slice nz/2 = 2
  grid.at(3, 4, 5) = 50.0f;                          // row 4: coronal; top slice
  grid.at(0, 7, 4) = 100.0f;                         // column 4: sagittal; bottom slice
  grid.at(2, 0, 0) = std::numeric_limits<float>::quiet_NaN();
  const OutputVolume v(grid.vol.data(), grid.fov, grid.g, 1.0f, 0.0f, true);
  int w = 0, h = 0;
  preview_size(grid.g, w, h);
  EXPECT_EQ(w, 24);
  EXPECT_EQ(h, 12);
  const PreviewImage img = render_preview(v, DisplayWindow{0, 100});
  ASSERT_EQ(img.width, 24);
  ASSERT_EQ(img.height, 12);
  auto px = [&](int x, int y) { return static_cast<int>(img.pixels[y * img.width + x]); };
  const int top = (12 - 8) / 2;  // the axial panel is centred vertically
  EXPECT_EQ(px(6, top + 1), 255);
  EXPECT_EQ(px(0, top + 0), 0);  // not a number: black
  EXPECT_EQ(px(6, 0), 0);        // above the axial panel
  // Coronal: column 5 at x = 8 + 5; slice 3 fills the top three rows.
  for (int y = 0; y < 3; ++y) EXPECT_EQ(px(13, y), 128) << y;  // 50 of 0..100
  EXPECT_EQ(px(13, 3), 0);
  // Sagittal: row 7 at x = 16 + 7; slice 0 fills the bottom three rows.
  for (int y = 9; y < 12; ++y) EXPECT_EQ(px(23, y), 255) << y;
  EXPECT_EQ(px(23, 8), 0);
  // Very tall side panels are capped at four times the width.
  Grid tall(4, 200, 0.1, 5.0);
  preview_size(tall.g, w, h);
  EXPECT_EQ(h, 16);
  // Values beyond the window clamp.
  const PreviewImage dim = render_preview(v, DisplayWindow{200, 300});
  EXPECT_EQ(*std::max_element(dim.pixels.begin(), dim.pixels.end()), 0);
}

TEST(WritePng, ReadsBackWithLibpng) {
  PreviewImage img;
  img.width = 37;
  img.height = 11;
  for (int i = 0; i < img.width * img.height; ++i) img.pixels.push_back(static_cast<uint8_t>(i * 7));
  TempDir dir;
  const std::string name = dir.file("p.png");
  write_png(name, img);
  png_image back;
  std::memset(&back, 0, sizeof back);
  back.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&back, name.c_str()), 0) << back.message;
  EXPECT_EQ(back.width, 37u);
  EXPECT_EQ(back.height, 11u);
  EXPECT_EQ(back.format & PNG_FORMAT_FLAG_COLOR, 0u);
  back.format = PNG_FORMAT_GRAY;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(back));
  ASSERT_NE(png_image_finish_read(&back, nullptr, pixels.data(), 0, nullptr), 0) << back.message;
  EXPECT_EQ(pixels, img.pixels);
  // No file where the folder is missing, and a clear error.
  EXPECT_THROW(write_png(dir.file("no/p.png"), img), RunError);
}

}  // namespace
}  // namespace cbrecon
