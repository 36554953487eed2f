// The matched projector pair of the iterative bins: the transpose against
// the forward projector, the model against the simulator's exact line
// integrals, and the bytes for every thread count.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "geometry/geometry.h"
#include "project/matched.h"
#include "sim/phantom.h"
#include "sim/scan.h"
#include "sim/truth.h"

namespace cbrecon {
namespace {

constexpr int kCols = 256, kRows = 192;
constexpr float kFov = 80.0f;

struct Grid {
  RunParams p;
  Geometry g;
  ScanGeometry bg;
  FovExtents fov;
};

Grid setup(float xoff, int npxls, float pz) {
  Grid s;
  s.p.ndets = kCols;
  s.p.nslices = kRows;
  s.p.npxls = npxls;
  s.p.fov = kFov;
  s.p.pxlz = pz;
  s.p.xoff = xoff;
  s.g = setup_geometry(s.p);
  s.bg = make_scan_geometry(s.p, s.g, RowLayout::packed);
  s.fov = build_fov_extents(npxls, s.g.dx, kFov);
  return s;
}

struct Views {
  std::vector<ViewTable> tables;
  std::vector<const ViewTable*> tp;
};

Views tables(const MatchedProjector& mp, const std::vector<double>& degrees) {
  Views v;
  v.tables.resize(degrees.size());
  for (size_t i = 0; i < degrees.size(); ++i) mp.make_table(degrees[i] * pi / 180, v.tables[i]);
  for (const ViewTable& t : v.tables) v.tp.push_back(&t);
  return v;
}

std::vector<std::vector<float>> forward(const MatchedProjector& mp, const Views& v, const std::vector<float>& x,
                                        int threads) {
  std::vector<std::vector<float>> img(v.tp.size(), std::vector<float>(mp.image_floats(), -1.0f));
  std::vector<float*> ip;
  for (auto& i : img) ip.push_back(i.data());
  ThreadPool pool(threads);
  mp.forward(x.data(), v.tp, ip, pool);
  return img;
}

// <S x, y> = <x, S^T y> for random x (inside the field of view) and y (on
// the binned detector), both centred and offset, with views at angles that
// put columns on the detector's edges.  Float sums of up to ~40 terms per
// element: agreement to 1e-5 relative.
TEST(MatchedProjector, TransposeIsTheAdjoint) {
  for (const float xoff : {0.0f, -10.0f}) {
    const Grid s = setup(xoff, 80, 2.0f);
    for (const int binning : {3, 5}) {
      SCOPED_TRACE(testing::Message() << "xoff " << xoff << " binning " << binning);
      const MatchedProjector mp(s.bg, s.fov, kCols, binning, kFov / 2);
      std::mt19937 rng(7);
      std::uniform_real_distribution<float> u(-1.0f, 1.0f);
      std::vector<float> x(mp.volume_floats(), 0.0f);
      for (long k = 0; k < mp.columns(); ++k)
        for (long j = 1; j + 1 < mp.lz(); ++j) x[mp.column_offset(k) + j] = u(rng);
      const Views v = tables(mp, {0.0, 41.5, 133.0, 270.0});
      const auto sx = forward(mp, v, x, 2);
      std::vector<std::vector<float>> y(v.tp.size(), std::vector<float>(mp.image_floats(), 0.0f));
      std::vector<const float*> yp;
      double lhs = 0, scale = 0;
      for (size_t i = 0; i < y.size(); ++i) {
        for (long iu = 0; iu < mp.nu(); ++iu)
          for (long iv = 0; iv < mp.nv(); ++iv) {
            const long e = mp.column_start(iu) + iv;
            y[i][e] = u(rng);
            lhs += static_cast<double>(sx[i][e]) * y[i][e];
            scale += std::fabs(static_cast<double>(sx[i][e]) * y[i][e]);
          }
        yp.push_back(y[i].data());
      }
      double rhs = 0;
      std::vector<float> acc(mp.lz()), den(mp.lz());
      const std::vector<float> zero(mp.image_floats(), 0.0f);
      for (long k = 0; k < mp.columns(); ++k) {
        mp.back_column2(k, v.tp, yp, zero.data(), acc.data(), den.data());
        ASSERT_EQ(den, std::vector<float>(mp.lz(), 0.0f));
        for (long j = 0; j < mp.lz(); ++j) rhs += static_cast<double>(acc[j]) * x[mp.column_offset(k) + j];
        EXPECT_EQ(acc[0] * x[mp.column_offset(k)], 0.0f);
      }
      EXPECT_GT(scale, 0);
      EXPECT_LT(std::fabs(lhs - rhs), 1e-5 * scale) << lhs << " " << rhs;
    }
  }
}

// A x = D S x is a line-integral model: against the simulator's exact line
// integrals of a water ellipsoid on the binned detector, the mean over the
// shadow's inside agrees within 1 %, each pixel within 3 % of the peak (the
// shadow's edge, where the voxelised object differs most).
TEST(MatchedProjector, ModelsLineIntegrals) {
  sim::Phantom ph;
  sim::Shape sh;
  sh.centre = {4, -3, 1};
  sh.semi = {22, 15, 14};
  sh.rot = 25;
  sh.mu = 0.02;
  ph.shapes.push_back(sh);
  for (const float xoff : {0.0f, -10.0f, -20.0f}) {
    const Grid s = setup(xoff, 128, 1.0f);
    const MatchedProjector mp(s.bg, s.fov, kCols, 4, kFov / 2);
    const sim::TruthVolume t = sim::truth_volume(ph, {128, kFov, 1.0f, kRows}, 1);
    std::vector<float> x(mp.volume_floats(), 0.0f);
    for (long k = 0; k < mp.columns(); ++k) {
      const long off = mp.column_offset(k) / mp.lz();  // r * npxls + c
      for (long j = 0; j < t.nz; ++j) x[mp.column_offset(k) + j + 1] = static_cast<float>(10000.0 * t.mu[j * 128 * 128 + off]);
    }
    const sim::DetectorFrame f = sim::detector_frame(kCols, kRows, xoff);
    for (const double angle : {0.0, 75.0, 200.0}) {
      SCOPED_TRACE(testing::Message() << "xoff " << xoff << " angle " << angle);
      const auto img = forward(mp, tables(mp, {angle}), x, 1)[0];
      std::vector<float> li(static_cast<size_t>(kRows) * s.g.ncols_ext, 0.0f);
      const std::vector<double> exact = sim::line_integral_image(f, ph, angle);
      for (long r = 0; r < kRows; ++r)
        for (long c = 0; c < kCols; ++c) li[r * s.g.ncols_ext + c + f.ishift] = static_cast<float>(10000.0 * exact[r * kCols + c]);
      std::vector<float> want(mp.image_floats());
      mp.bin_view(li.data(), s.g.ncols_ext, want.data());
      double got_sum = 0, want_sum = 0, peak = 0, worst = 0;
      for (long e = 0; e < mp.image_floats(); ++e) peak = std::max(peak, static_cast<double>(want[e]));
      for (long e = 0; e < mp.image_floats(); ++e) {
        if (!(want[e] > 0.3 * peak)) continue;
        const double a = img[e] * mp.rdist()[e];
        got_sum += a;
        want_sum += want[e];
        worst = std::max(worst, std::fabs(a - want[e]));
      }
      ASSERT_GT(want_sum, 0);
      std::printf("xoff %g angle %g: mean ratio %.4f, worst %.2f %% of the peak\n", static_cast<double>(xoff), angle,
                  got_sum / want_sum, 100 * worst / peak);
      EXPECT_NEAR(got_sum / want_sum, 1.0, 0.01);
      EXPECT_LT(worst, 0.03 * peak);
    }
  }
}

TEST(MatchedProjector, SameBytesForEveryThreadCount) {
  const Grid s = setup(-10.0f, 64, 1.0f);
  const MatchedProjector mp(s.bg, s.fov, kCols, 3, kFov / 2);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> x(mp.volume_floats(), 0.0f);
  for (long k = 0; k < mp.columns(); ++k)
    for (long j = 1; j + 1 < mp.lz(); ++j) x[mp.column_offset(k) + j] = u(rng);
  const Views v = tables(mp, {10.0, 190.0, 305.5});
  const auto ref = forward(mp, v, x, 1);
  for (const int threads : {2, 3}) EXPECT_TRUE(forward(mp, v, x, threads) == ref) << threads;
}

TEST(MatchedProjector, RefusesAnEmptyDetector) {
  const Grid s = setup(0.0f, 32, 2.0f);
  EXPECT_THROW(MatchedProjector(s.bg, s.fov, kCols, 0, kFov / 2), RunError);
  EXPECT_THROW(MatchedProjector(s.bg, s.fov, kCols, 16 * 16, kFov / 2), RunError);
  // 2.5 mm voxels against 0.26 mm binned columns at the axis.
  EXPECT_THROW(MatchedProjector(s.bg, s.fov, kCols, 1, kFov / 2), RunError);
}

}  // namespace
}  // namespace cbrecon
