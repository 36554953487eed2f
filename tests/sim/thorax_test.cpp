// The thorax phantom and the ground truth of each phase bin.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

#include "input/rpm.h"
#include "sim/bins.h"
#include "sim/options.h"
#include "sim/phantom.h"
#include "sim/truth.h"
#include "support/test_support.h"

namespace cbrecon::sim {
namespace {

using testing::TempDir;

TEST(Thorax, FitsTheFieldOfViewAndHoldsItsValues) {
  const Phantom ph = make_phantom("thorax");
  EXPECT_EQ(ph.motion, kThoraxMotion);
  // Every shape's cross-section within the 250 mm field of view of a
  // centred detector, and the body longer than the detector sees at the
  // axis (768 rows: about 199 mm).
  for (const Shape& s : ph.shapes) {
    const double rot = s.rot * M_PI / 180;
    for (int a = 0; a < 360; ++a) {
      const double t = a * M_PI / 180;
      const double u = s.semi.x * std::cos(t), v = s.semi.y * std::sin(t);
      const double x = s.centre.x + u * std::cos(rot) - v * std::sin(rot);
      const double y = s.centre.y + u * std::sin(rot) + v * std::cos(rot);
      EXPECT_LE(std::hypot(x, y), 118.0) << "shape at " << s.centre.x << "," << s.centre.y;
    }
  }
  EXPECT_GE(ph.shapes[0].semi.z, 110.0);

  struct Point {
    Vec3 p;
    double mu;
  } const points[] = {
      {{-58, 0, -60}, 0.005},  // right lung
      {{70, -20, -60}, 0.005}, // left lung
      {{0, 82, 12}, 0.018},    // fat layer
      {{0, -80, 12}, 0.018},
      {{0, -42, 12}, 0.038},   // vertebral body
      {{0, 63, 0}, 0.035},     // sternum
      {{0, 73, 0}, 0.037},     // rib band at z = 0
      {{0, 73, 12.5}, 0.02},   // between bands: soft tissue
      {{5, 18, 20}, 0.022},    // heart
      {{50, 12, -10}, 0.02},   // tumour at exhale
      {{-58, 0, 10}, 0.02},    // liver dome at exhale
      {{0, 0, 140}, 0.02},     // below the lungs
      {{0, 100, 0}, 0.0},      // air
  };
  for (const Point& q : points)
    EXPECT_NEAR(mu_at(ph, q.p), q.mu, 1e-12) << q.p.x << "," << q.p.y << "," << q.p.z;
  // At full inhale the tumour has moved 15 mm towards the feet.
  const Phantom in = at_phase(ph, 0.0);
  EXPECT_NEAR(mu_at(in, {50, 12, 16}), 0.02, 1e-12);
  EXPECT_NEAR(mu_at(in, {50, 12, -20}), 0.005, 1e-12);
  EXPECT_NEAR(mu_at(ph, {50, 12, 16}), 0.005, 1e-12);
}

TEST(Thorax, ShapesNeverOverlapIntoUnintendedValues) {
  // Shapes add, so a moving shape that left its lung or two organs that
  // touch would show as a value no tissue has.
  const std::set<long> allowed = {0, 50, 180, 200, 220, 350, 370, 380};  // mu * 1e4
  const Phantom ph = make_phantom("thorax");
  for (const double phase : {M_PI, M_PI / 2, 0.0}) {
    const Phantom at = at_phase(ph, phase);
    for (double z = -145; z <= 145; z += 5)
      for (double y = -90; y <= 90; y += 2)
        for (double x = -120; x <= 120; x += 2) {
          const long v = std::lround(mu_at(at, {x, y, z}) * 1e4);
          ASSERT_TRUE(allowed.count(v)) << v << " at " << x << "," << y << "," << z << " phase " << phase;
        }
  }
}

TEST(Thorax, MotionDefaultsAndOverrides) {
  const char* a1[] = {"sim", "--phantom", "thorax"};
  EXPECT_EQ(parse_sim_options(3, a1).scan.phantom.motion, kThoraxMotion);
  const char* a2[] = {"sim", "--phantom", "thorax", "--motion", "0"};
  EXPECT_EQ(parse_sim_options(5, a2).scan.phantom.motion, 0.0);
  const char* a3[] = {"sim", "--phantom", "spheres"};
  EXPECT_EQ(parse_sim_options(3, a3).scan.phantom.motion, 0.0);
  const char* a4[] = {"sim", "--phantom", "thorax", "--scale", "0.5"};
  EXPECT_EQ(parse_sim_options(5, a4).scan.phantom.motion, kThoraxMotion * 0.5);
}

// A small breathing scan of the thorax, written to disk.
struct SmallScan {
  TempDir dir;
  ScanConfig cfg;
  TruthGrid grid;
  std::vector<ViewInfo> views;
  SmallScan() {
    cfg.cols = 256;
    cfg.rows = 192;
    cfg.views = 90;
    cfg.step = 4.0;
    cfg.prefix = dir.file("P_");
    cfg.vxp = dir.file("b.vxp");
    cfg.breathing.period = 2.3;  // not a multiple of the view spacing
    cfg.phantom = scaled(make_phantom("thorax"), 0.25);
    cfg.phantom.motion = 10.0;
    cfg.threads = 2;
    grid.npxls = 48;
    grid.fov = 70;
    grid.rows = cfg.rows;
    views = simulate_scan(cfg).views;
  }
};

TEST(BinTruth, BinsAreThePhaseBinsOfTheViews) {
  SmallScan s;
  const auto bins = phase_bin_views(s.cfg, s.views);
  std::vector<int> seen(s.views.size(), 0);
  for (int b = 1; b <= kPhaseBins; ++b) {
    const std::vector<long>& v = bins[static_cast<size_t>(b - 1)];
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
    EXPECT_GT(v.size(), 3u) << b;
    for (const long i : v) {
      ++seen[static_cast<size_t>(i)];
      EXPECT_EQ(grp_of_phase(static_cast<float>(s.views[static_cast<size_t>(i)].phase)), b) << i;
    }
  }
  for (const int n : seen) EXPECT_EQ(n, 1);
  // The reconstruction's -s caps each bin's list.
  const auto capped = phase_bin_views(s.cfg, s.views, 4);
  for (int b = 0; b < kPhaseBins; ++b)
    EXPECT_EQ(capped[static_cast<size_t>(b)],
              std::vector<long>(bins[static_cast<size_t>(b)].begin(), bins[static_cast<size_t>(b)].begin() + 4));
  ScanConfig none = s.cfg;
  none.vxp.clear();
  EXPECT_THROW(phase_bin_views(none, s.views), RunError);
}

TEST(BinTruth, EachVoxelIsTheStaticPartPlusTheBinsMeanMotion) {
  SmallScan s;
  const auto bins = phase_bin_views(s.cfg, s.views);
  const Phantom still = static_part(s.cfg.phantom);
  int partial = 0;
  for (const int b : {1, 4, 6}) {
    const std::vector<double> shifts = shifts_of(s.views, bins[static_cast<size_t>(b - 1)]);
    const TruthVolume t = averaged_truth(s.cfg.phantom, s.grid, shifts, 3);
    EXPECT_EQ(t.mu, averaged_truth(s.cfg.phantom, s.grid, shifts, 1).mu);
    // Voxels along the tumour's path (x = 12.5, y = 3 at this scale) and
    // through the liver dome, every slice.
    for (const double x : {12.5, 14.0, -14.5}) {
      const long c = std::lround(x / t.dx + t.npxls / 2 - 1.5), r = std::lround(t.npxls / 2 - 0.5 - 3.0 / t.dx);
      for (long j = 0; j < t.nz; ++j) {
        const Vec3 p = voxel_centre(t, j, r, c);
        double moving = 0;
        for (const double dz : shifts) {
          Phantom at = s.cfg.phantom;
          for (Shape& sh : at.shapes) sh.centre.z += sh.moving ? dz : 0.0;
          moving += mu_at(at, p) - mu_at(still, p);
        }
        const double expect = mu_at(still, p) + moving / static_cast<double>(shifts.size());
        const float got = t.mu[(static_cast<size_t>(j) * t.npxls + r) * t.npxls + c];
        EXPECT_NEAR(got, expect, 1e-7) << "bin " << b << " slice " << j << " x " << x;
        if (std::fabs(got - mu_at(still, p)) > 1e-4 && std::fabs(got - mu_at(still, p) - 0.015) > 1e-4) ++partial;
      }
    }
  }
  EXPECT_GT(partial, 0);  // some voxels are covered in only part of a bin's views
  // No shifts: the static part.
  EXPECT_EQ(averaged_truth(s.cfg.phantom, s.grid, {}, 2).mu, truth_volume(still, s.grid, 2).mu);
}

TEST(BinTruth, FilesHoldTheBinsAndTheTimeAverage) {
  SmallScan s;
  const std::string prefix = s.dir.file("t");
  const BinTruthSummary sum = write_bin_truths(prefix, s.cfg, s.grid);
  long total = 0;
  for (const long n : sum.views) total += n;
  EXPECT_EQ(total, 90);
  EXPECT_EQ(sum.all, 90);
  const auto bins = phase_bin_views(s.cfg, s.views);
  const TruthVolume t3 = averaged_truth(s.cfg.phantom, s.grid, shifts_of(s.views, bins[2]), 2);
  const std::vector<uint8_t> ph3 = testing::read_bytes(prefix + "_ph3.raw");
  ASSERT_EQ(ph3.size(), t3.mu.size() * 4);
  EXPECT_EQ(std::memcmp(ph3.data(), t3.mu.data(), ph3.size()), 0);
  std::vector<double> every;
  for (const ViewInfo& v : s.views) every.push_back(v.shift);
  const TruthVolume avg = averaged_truth(s.cfg.phantom, s.grid, every, 2);
  const std::vector<uint8_t> a = testing::read_bytes(prefix + "_avg.raw");
  ASSERT_EQ(a.size(), avg.mu.size() * 4);
  EXPECT_EQ(std::memcmp(a.data(), avg.mu.data(), a.size()), 0);
  // Without the scan's files on disk no view can be sorted.
  ScanConfig elsewhere = s.cfg;
  elsewhere.prefix = s.dir.file("none/P_");
  EXPECT_THROW(write_bin_truths(prefix, elsewhere, s.grid), RunError);
}

}  // namespace
}  // namespace cbrecon::sim
