// The forward projector against the simulator's exact line integrals, and
// its kernels and threads against the scalar single-thread bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "project/project.h"
#include "sim/phantom.h"
#include "sim/scan.h"
#include "sim/truth.h"

namespace cbrecon {
namespace {

// A 256 x 192 detector and a grid over 80 mm: 256^2 x 94 voxels of
// 0.31 x 0.31 x 0.5 mm for accuracy (the voxelised object's own error
// halves with the voxel size), 128^2 x 42 of 0.63 x 0.63 x 1 mm otherwise.
constexpr int kCols = 256, kRows = 192;
constexpr float kFov = 80.0f;

// An asymmetric object that lies inside the grid: a tilted ellipsoid with
// a denser and a lighter ellipsoid inside, off the axes.
sim::Phantom object() {
  sim::Phantom ph;
  auto add = [&](sim::Vec3 c, sim::Vec3 semi, double rot, double mu) {
    sim::Shape s;
    s.centre = c;
    s.semi = semi;
    s.rot = rot;
    s.mu = mu;
    ph.shapes.push_back(s);
  };
  add({3, -4, 1}, {25, 17, 12}, 30, 0.02);
  add({-7, 2, 3}, {7, 5, 6}, -20, 0.004);
  add({10, -9, -3}, {5, 6, 4}, 0, -0.004);
  return ph;
}

struct Setup {
  RunParams p;
  Geometry g;
  ScanGeometry bg;
  FovExtents fov;
  Tensor3<float> vol;
};

// The object voxelised on the reconstruction grid, 10000 mu, in the
// backprojection's layout: the truth volume's [slice][row][column] is the
// volume's (its voxel centres are the backprojection's).
std::unique_ptr<Setup> setup(float xoff, int npxls = 128, float pz = 1.0f) {
  auto s = std::make_unique<Setup>();
  s->p.ndets = kCols;
  s->p.nslices = kRows;
  s->p.npxls = npxls;
  s->p.fov = kFov;
  s->p.pxlz = pz;
  s->p.xoff = xoff;
  s->g = setup_geometry(s->p);
  s->bg = make_scan_geometry(s->p, s->g, RowLayout::packed);
  s->fov = build_fov_extents(npxls, s->g.dx, kFov);
  const sim::TruthVolume t = sim::truth_volume(object(), {npxls, kFov, pz, kRows}, 1);
  EXPECT_EQ(t.nz, s->g.nz);
  s->vol = f3tensor(0, s->g.nz - 1, 0, npxls - 1, 0, npxls - 1, 16);
  for (long j = 0; j < t.nz; ++j)
    for (long r = 0; r < npxls; ++r)
      for (long c = 0; c < npxls; ++c)
        s->vol[j][r][c] = static_cast<float>(10000.0 * t.mu[(j * npxls + r) * npxls + c]);
  return s;
}

std::vector<float> project(const ForwardProjector& fp, const Setup& s, double angle_deg) {
  const long pitch = s.g.ncols_ext + 5;
  std::vector<float> out(static_cast<size_t>(s.g.nrows) * pitch, -1.0f);
  fp.project(angle_deg * pi / 180, out.data(), pitch);
  return out;
}

// Pixels near the edge of any shape's shadow (within `reach` pixels) are
// left out: there the voxelised object and the interpolation from the
// traced grid round off the sqrt-shaped profile.
std::vector<char> interior(const sim::DetectorFrame& f, double angle, int reach) {
  std::vector<char> keep(static_cast<size_t>(f.rows * f.cols), 1);
  std::vector<double> total(keep.size(), 0.0);
  for (const sim::Shape& sh : object().shapes) {
    sim::Phantom one;
    one.shapes.push_back(sh);
    const std::vector<double> li = sim::line_integral_image(f, one, angle);
    for (long r = 0; r < f.rows; ++r)
      for (long c = 0; c < f.cols; ++c) {
        const bool in = li[r * f.cols + c] != 0;
        for (long dr = -reach; dr <= reach; ++dr)
          for (long dc = -reach; dc <= reach; ++dc) {
            const long rr = r + dr, cc = c + dc;
            if (rr < 0 || rr >= f.rows || cc < 0 || cc >= f.cols) continue;
            if ((li[rr * f.cols + cc] != 0) != in) keep[r * f.cols + c] = 0;
          }
      }
  }
  return keep;
}

TEST(Projector, MatchesAnalyticLineIntegrals) {
  for (const float xoff : {0.0f, -10.0f}) {
    const auto s = setup(xoff, 256, 0.5f);
    const sim::DetectorFrame f = sim::detector_frame(kCols, kRows, xoff);
    ASSERT_EQ(f.ishift, s->g.ishift);
    for (const int step : {1, 4}) {
      const ForwardProjector fp(s->bg, s->fov, s->vol, {step, step});
      for (const double angle : {0.0, 37.0, 210.5}) {
        SCOPED_TRACE(testing::Message() << "xoff " << xoff << " step " << step << " angle " << angle);
        const std::vector<float> proj = project(fp, *s, angle);
        const long pitch = s->g.ncols_ext + 5;
        const std::vector<double> li = sim::line_integral_image(f, object(), angle);
        const std::vector<char> keep = interior(f, angle, 6 + step);
        double peak = 0, worst = 0;
        long compared = 0, wr = 0, wc = 0;
        double wv = 0;
        for (size_t k = 0; k < li.size(); ++k) peak = std::max(peak, 10000.0 * li[k]);
        for (long r = 0; r < f.rows; ++r)
          for (long c = 0; c < f.cols; ++c) {
            const double got = proj[r * pitch + c + f.ishift];
            const double want = 10000.0 * li[r * f.cols + c];
            if (!keep[r * f.cols + c]) continue;
            if (want == 0) {
              EXPECT_EQ(got, 0.0) << r << " " << c;
            }
            if (std::fabs(got - want) > worst) {
              worst = std::fabs(got - want);
              wr = r;
              wc = c;
              wv = want;
            }
            ++compared;
          }
        EXPECT_GT(compared, f.rows * f.cols / 10);
        std::printf("xoff %g step %d angle %g: worst %.3f %% of the peak over %ld pixels\n",
                    static_cast<double>(xoff), step, angle, 100 * worst / peak, compared);
        EXPECT_LT(worst, 0.01 * peak) << "peak " << peak << " at " << wr << "," << wc << " want " << wv;
        // The gap between rows is left alone.
        for (long r = 0; r < s->g.nrows; ++r)
          for (long c = s->g.ncols_ext; c < pitch; ++c) ASSERT_EQ(proj[r * pitch + c], -1.0f) << r;
        // Rays outside the object's shadow see nothing, wherever they are.
        EXPECT_EQ(proj[0], 0.0f);
        EXPECT_EQ(proj[(f.rows - 1) * pitch + s->g.ncols_ext - 1], 0.0f);
      }
    }
  }
}

TEST(Projector, OutsideTheFieldOfViewIsIgnored) {
  auto s = setup(0.0f);
  const ForwardProjector plain(s->bg, s->fov, s->vol, {});
  // Voxels outside the circle (the grid's corners) must not count.
  for (long j = 0; j < s->g.nz; ++j) s->vol[j][0][0] = s->vol[j][127][127] = 1e6f;
  const ForwardProjector corners(s->bg, s->fov, s->vol, {});
  EXPECT_EQ(project(plain, *s, 45.0), project(corners, *s, 45.0));
}

TEST(Projector, RefusesMismatchedInput) {
  const auto s = setup(0.0f);
  EXPECT_THROW(ForwardProjector(s->bg, s->fov, s->vol, {0, 4}), RunError);
  Tensor3<float> small = f3tensor(0, s->g.nz - 2, 0, 127, 0, 127);
  EXPECT_THROW(ForwardProjector(s->bg, s->fov, small, {}), RunError);
  FovExtents short_fov = s->fov;
  short_fov.fov_end.pop_back();
  EXPECT_THROW(ForwardProjector(s->bg, short_fov, s->vol, {}), RunError);
  EXPECT_THROW(set_project_isa("sse9"), RunError);
  const ForwardProjector fp(s->bg, s->fov, s->vol, {});
  std::vector<float> out(static_cast<size_t>(s->g.nrows) * s->g.ncols_ext);
  EXPECT_THROW(fp.project(0.0, out.data(), s->g.ncols_ext - 1), RunError);
}

// Every kernel and every number of threads projecting views at once give
// the scalar kernel's bytes; steps 1, 4 and a row step wide enough for the
// vector kernels to gather instead of permuting a window.
TEST(Projector, KernelsAndThreadsGiveTheScalarBytes) {
  const auto s = setup(-10.0f);
  const std::vector<double> angles{0.0, 33.3, 90.0, 151.7, 270.0, 300.25};
  for (const ProjectorOptions opt : {ProjectorOptions{1, 1}, ProjectorOptions{4, 4}, ProjectorOptions{3, 40}}) {
    const ForwardProjector fp(s->bg, s->fov, s->vol, opt);
    set_project_isa("scalar");
    std::vector<std::vector<float>> ref;
    for (const double a : angles) ref.push_back(project(fp, *s, a));
    for (const std::string& isa : project_isas()) {
      set_project_isa(isa);
      for (const int threads : {1, 3}) {
        std::vector<std::vector<float>> got(angles.size());
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
          pool.emplace_back([&, t] {
            for (size_t i = t; i < angles.size(); i += threads) got[i] = project(fp, *s, angles[i]);
          });
        for (std::thread& th : pool) th.join();
        for (size_t i = 0; i < angles.size(); ++i)
          EXPECT_EQ(0, std::memcmp(ref[i].data(), got[i].data(), ref[i].size() * sizeof(float)))
              << isa << " threads " << threads << " steps " << opt.col_step << "x" << opt.row_step
              << " angle " << angles[i];
      }
    }
  }
  set_project_isa("auto");
}

}  // namespace
}  // namespace cbrecon
