#include "geometry/geometry.h"

#include <gtest/gtest.h>

#include "numeric/error.h"

namespace cbrecon {
namespace {

RunParams params(float pxlz = 2.5f, float xoff = 0.0f, int nslices = 768) {
  RunParams p;
  p.pxlz = pxlz;
  p.xoff = xoff;
  p.nslices = nslices;
  return p;
}

TEST(Geometry, Defaults) {
  const Geometry g = setup_geometry(params());
  EXPECT_EQ(g.dx, 0.9765625f);
  EXPECT_EQ(g.ncols_ext, 1024);
  EXPECT_EQ(g.nfft, 2048);
  EXPECT_EQ(g.icent, 512);
  EXPECT_EQ(g.ucenter, 512.0f);
  EXPECT_EQ(g.ishift, 0);
  EXPECT_EQ(g.nrows, 768);
  EXPECT_EQ(g.nz, 72);
  EXPECT_EQ(g.zhalf, 90.0);
  EXPECT_EQ(g.fanw, std::vector<float>(1024, 1.0f));
  RunParams noarg;
  noarg.fov = 240.0f;
  EXPECT_EQ(setup_geometry(noarg).dx, 0.46875f);
}

TEST(Geometry, SliceCountFollowsThickness) {
  struct {
    float pxlz;
    int nslices;
    int nz;
    double zhalf;
  } cases[] = {{3.0f, 768, 58, 87.0}, {1.0f, 768, 190, 95.0}, {10.0f, 768, 12, 60.0},
               {22.0f, 768, 2, 22.0}, {2.5f, 512, 44, 55.0}};
  for (const auto& c : cases) {
    const Geometry g = setup_geometry(params(c.pxlz, 0, c.nslices));
    EXPECT_EQ(g.nz, c.nz) << c.pxlz;
    EXPECT_EQ(g.zhalf, c.zhalf) << c.pxlz;
  }
}

TEST(Geometry, LateralOffsets) {
  const Geometry a = setup_geometry(params(2.5f, -160.0f));
  EXPECT_EQ(a.ioff, -411);
  EXPECT_EQ(a.ncols_ext, 1846);
  EXPECT_EQ(a.icent, 101);
  EXPECT_EQ(a.ucenter, 923.0f);
  EXPECT_EQ(a.ishift, 822);
  EXPECT_EQ(a.nfft, 4096);

  const Geometry b = setup_geometry(params(2.5f, -50.0f));
  EXPECT_EQ(b.ioff, -128);
  EXPECT_EQ(b.ncols_ext, 1280);
  EXPECT_EQ(b.icent, 384);
  EXPECT_EQ(b.ishift, 256);

  const Geometry c = setup_geometry(params(2.5f, -148.0f));
  EXPECT_EQ(c.ioff, -380);
  EXPECT_EQ(c.ncols_ext, 1784);
  EXPECT_EQ(c.icent, 132);
  EXPECT_EQ(c.ishift, 760);
  EXPECT_EQ(c.ucenter, 892.0f);
  // Half-fan weights: 0 at ishift, 0.5 on the central ray, 1 from ndets on.
  EXPECT_EQ(c.fanw[c.ishift], 0.0f);
  EXPECT_EQ(c.fanw[c.ncols_ext / 2], 0.5f);
  EXPECT_LT(c.fanw[c.ncols_ext / 2 + c.icent - 1], 1.0f);
  for (int col = 1024; col < c.ncols_ext; ++col) ASSERT_EQ(c.fanw[col], 1.0f) << col;
  for (int col = 0; col < c.ishift; ++col) ASSERT_EQ(c.fanw[col], 0.0f) << col;
  for (int col = c.ishift + 1; col < 1024; ++col) ASSERT_GT(c.fanw[col], c.fanw[col - 1]) << col;

  // A tiny offset: no shift, yet the long filter and a ramp over the whole detector.
  const Geometry d = setup_geometry(params(2.5f, -0.1f));
  EXPECT_EQ(d.ioff, 0);
  EXPECT_EQ(d.ncols_ext, 1024);
  EXPECT_EQ(d.nfft, 4096);
  EXPECT_EQ(d.icent, 512);
  EXPECT_EQ(d.ishift, 0);
  EXPECT_EQ(d.fanw[0], 0.0f);
  EXPECT_EQ(d.fanw[512], 0.5f);
  EXPECT_GT(d.fanw[1023], 0.99f);
}

TEST(Geometry, ParametersOutsideTheModelAreRefused) {
  auto refused = [](auto edit) {
    RunParams p;
    edit(p);
    EXPECT_THROW(setup_geometry(p), RunError);
  };
  refused([](RunParams& p) { p.xoff = 1.0f; });
  refused([](RunParams& p) { p.ndets = 2049; });              // wider than the filter
  refused([](RunParams& p) { p.ndets = 65536 + 1024; });      // would wrap to a narrow row
  refused([](RunParams& p) { p.ndets = 4000; p.xoff = -100; });
  refused([](RunParams& p) { p.pxlz = 22.1f; });              // fewer than 2 slices
  refused([](RunParams& p) { p.pxlz = 1e-6f; });              // 16-bit slice count wraps
  refused([](RunParams& p) { p.npxls = 0; });
  refused([](RunParams& p) { p.npxls = -5; });
  refused([](RunParams& p) { p.fov = 0; });
  refused([](RunParams& p) { p.fov = std::numeric_limits<float>::infinity(); });
  refused([](RunParams& p) { p.pxlz = std::numeric_limits<float>::quiet_NaN(); });
  refused([](RunParams& p) { p.pxlz = -2.5f; });
  refused([](RunParams& p) { p.ndets = 16; });
  refused([](RunParams& p) { p.nslices = 16; });
  refused([](RunParams& p) { p.nslices = 70000; });
  RunParams ok;
  ok.ndets = 2048;
  EXPECT_NO_THROW(setup_geometry(ok));
}

}  // namespace
}  // namespace cbrecon
