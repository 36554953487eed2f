#include "sim/phantom.h"

#include <gtest/gtest.h>

#include "numeric/common.h"
#include "numeric/error.h"

namespace cbrecon::sim {
namespace {

Phantom one(Shape s) { return Phantom{{s}, 0}; }

TEST(Phantom, SphereChordMatchesClosedForm) {
  const double R = 40, mu = 0.02;
  const Phantom ph = one({ShapeKind::ellipsoid, {10, -20, 5}, {R, R, R}, 33, mu, false});
  // Rays from far away along x, passing the centre at distance p.
  for (const double p : {0.0, 12.5, 30.0, 39.9, 40.0, 55.0}) {
    SCOPED_TRACE(p);
    const double expect = p < R ? 2 * std::sqrt(R * R - p * p) * mu : 0.0;
    EXPECT_NEAR(line_integral(ph, {-500, -20 + p, 5}, {1, 0, 0}), expect, 1e-12);
    // An oblique direction, the offset taken perpendicular to it in z.
    const Vec3 dir{1, 1, 0};
    const Vec3 o = Vec3{10, -20, 5 + p} - 300.0 * dir;
    EXPECT_NEAR(line_integral(ph, o, 7.0 * dir), expect, 1e-12);
  }
}

TEST(Phantom, SegmentsStartAtTheOriginAndStopAtTheirLength) {
  const Phantom ph = one({ShapeKind::ellipsoid, {0, 0, 0}, {10, 10, 10}, 0, 0.5, false});
  EXPECT_NEAR(line_integral(ph, {0, 0, 0}, {0, 0, 1}), 10 * 0.5, 1e-12);
  EXPECT_NEAR(line_integral(ph, {0, 0, 0}, {0, 0, 1}, 3), 3 * 0.5, 1e-12);
  EXPECT_NEAR(line_integral(ph, {0, 0, -50}, {0, 0, 1}, 45), 5 * 0.5, 1e-12);
  EXPECT_EQ(line_integral(ph, {0, 0, 20}, {0, 0, 1}), 0.0);  // pointing away
  EXPECT_EQ(line_integral(ph, {0, 0, 0}, {0, 0, 0}), 0.0);
}

TEST(Phantom, RotationAboutZTurnsTheAxes) {
  // Semi-axes 30 (own x) and 10 (own y), turned by 90 degrees: the long
  // axis now lies along world y.
  const Phantom ph = one({ShapeKind::ellipsoid, {0, 0, 0}, {30, 10, 20}, 90, 1.0, false});
  EXPECT_NEAR(line_integral(ph, {-100, 0, 0}, {1, 0, 0}), 20, 1e-9);
  EXPECT_NEAR(line_integral(ph, {0, -100, 0}, {0, 1, 0}), 60, 1e-9);
  EXPECT_NEAR(line_integral(ph, {0, 0, -100}, {0, 0, 1}), 40, 1e-9);
  EXPECT_EQ(mu_at(ph, {0, 29, 0}), 1.0);
  EXPECT_EQ(mu_at(ph, {29, 0, 0}), 0.0);
}

TEST(Phantom, CylinderSideWallAndEnds) {
  const double R = 100, h = 50, mu = 0.02;
  const Phantom ph = one({ShapeKind::cylinder, {0, 0, 10}, {R, R, h}, 0, mu, false});
  EXPECT_NEAR(line_integral(ph, {-500, 0, 10}, {1, 0, 0}), 2 * R * mu, 1e-12);
  EXPECT_NEAR(line_integral(ph, {0, 30, -500}, {0, 0, 1}), 2 * h * mu, 1e-12);
  EXPECT_EQ(line_integral(ph, {-500, 0, 61}, {1, 0, 0}), 0.0);
  // Through the centre at elevation a: the side wall limits a shallow ray,
  // the flat ends a steep one.
  for (const double a : {0.2, 0.4, 1.2}) {
    const Vec3 d{std::cos(a), 0, std::sin(a)};
    const double expect = std::min(2 * R / std::cos(a), 2 * h / std::sin(a)) * mu;
    EXPECT_NEAR(line_integral(ph, Vec3{0, 0, 10} - 400.0 * d, d), expect, 1e-12);
  }
  EXPECT_EQ(mu_at(ph, {100, 0, 60}), mu);  // boundary counts as inside
  EXPECT_EQ(mu_at(ph, {0, 0, 60.001}), 0.0);
}

TEST(Phantom, ShapesAddAndMovingShapesFollowTheBreathing) {
  Phantom ph = make_phantom("spheres");
  ph.motion = 12;
  EXPECT_DOUBLE_EQ(breath_level(0), 1.0);
  EXPECT_NEAR(breath_level(pi), 0.0, 1e-15);
  EXPECT_DOUBLE_EQ(motion_shift(ph, pi / 2), 6.0);
  // The moving sphere sits at (30, -40, 0) inside the water (0.02 + 0.03).
  EXPECT_NEAR(mu_at(ph, {30, -40, 0}), 0.05, 1e-15);
  const Phantom inhale = at_phase(ph, 0);
  EXPECT_NEAR(mu_at(inhale, {30, -40, 12}), 0.05, 1e-15);
  EXPECT_NEAR(mu_at(inhale, {30, -40, -5}), 0.02, 1e-15);
  EXPECT_NEAR(mu_at(static_part(ph), {30, -40, 0}), 0.02, 1e-15);
  EXPECT_EQ(static_part(ph).shapes.size() + 1, ph.shapes.size());
}

TEST(Phantom, BuiltInPhantomsFitTheirFields) {
  // shepp must fit a 200 mm field and the slab of a default reconstruction
  // (z within 90 mm); the cylinders must reach past the cone of a 768-row
  // detector at radius 100 mm (about 110 mm).
  for (const Shape& s : make_phantom("shepp").shapes) {
    EXPECT_LE(std::hypot(s.centre.x, s.centre.y) + std::max(s.semi.x, s.semi.y), 100.0);
    EXPECT_LE(std::fabs(s.centre.z) + s.semi.z, 90.0);
  }
  const Shape w = make_phantom("water").shapes.at(0);
  EXPECT_EQ(w.kind, ShapeKind::cylinder);
  EXPECT_GE(w.semi.z, 110.0);
  EXPECT_THROW(make_phantom("head"), RunError);
}

}  // namespace
}  // namespace cbrecon::sim
