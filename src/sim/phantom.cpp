#include "sim/phantom.h"

#include <algorithm>

#include "numeric/common.h"
#include "numeric/error.h"

namespace cbrecon::sim {

namespace {

Shape ellipsoid(Vec3 c, Vec3 semi, double rot, double mu, bool moving = false) {
  return Shape{ShapeKind::ellipsoid, c, semi, rot, mu, moving};
}

Shape sphere(Vec3 c, double r, double mu, bool moving = false) {
  return ellipsoid(c, {r, r, r}, 0, mu, moving);
}

Shape cylinder(Vec3 c, Vec3 semi, double mu, bool moving = false) {
  return Shape{ShapeKind::cylinder, c, semi, 0, mu, moving};
}

Shape water_cylinder() { return cylinder({0, 0, 0}, {100, 100, 250}, 0.02); }

// The thorax.  Every shape adds to what lies beneath it, so each one is
// placed wholly inside the region whose value it changes: the lungs and the
// heart inside the soft tissue, the tumour and the liver dome inside their
// lungs at every breathing shift from 0 to 15 mm (the dome nearly fills the
// lower lung and leaves the recess of air around it).
std::vector<Shape> thorax_shapes() {
  constexpr double water = 0.02, fat = 0.018, lung = 0.005, bone = 0.038, rib = 0.037;
  std::vector<Shape> s = {
      cylinder({0, 0, 0}, {115, 85, 150}, fat),                   // body, fat layer outside
      cylinder({0, 0, 0}, {109, 79, 150}, water - fat),           // soft tissue
      ellipsoid({-58, 0, -20}, {36, 50, 110}, 0, lung - water),   // right lung
      ellipsoid({58, 0, -20}, {36, 50, 110}, 0, lung - water),    // left lung
      ellipsoid({5, 18, 20}, {18, 28, 45}, 0, 0.002),             // heart
      cylinder({0, -42, 0}, {15, 13, 150}, bone - water),         // vertebral bodies
      cylinder({0, -62, 0}, {5, 6, 150}, bone - water),           // posterior arches
      cylinder({0, 63, -10}, {12, 5, 80}, 0.035 - water),         // sternum
      ellipsoid({-58, 0, 10}, {30, 42, 40}, 0, water - lung, true),  // liver dome
      sphere({50, 12, -10}, 12, water - lung, true),              // tumour
  };
  // Ribs: eight bands 10 mm wide, 25 mm apart, each a 5 mm shell (an
  // outer cylinder with the inner one taken away again).
  for (int k = 0; k < 8; ++k) {
    const double z = -100.0 + 25.0 * k;
    s.push_back(cylinder({0, 0, z}, {104, 76, 5}, rib - water));
    s.push_back(cylinder({0, 0, z}, {99, 71, 5}, water - rib));
  }
  return s;
}

}  // namespace

Phantom make_phantom(const std::string& name) {
  Phantom ph;
  if (name == "shepp") {
    // Shell, brain and features of the classic head, its unit scaled to 100 mm.
    ph.shapes = {
        ellipsoid({0, 0, 0}, {69, 92, 81}, 0, 0.04),
        ellipsoid({0, -1.84, 0}, {66.24, 87.4, 78}, 0, -0.02),
        ellipsoid({22, 0, 0}, {11, 31, 22}, -18, -0.004),
        ellipsoid({-22, 0, 0}, {16, 41, 28}, 18, -0.004),
        ellipsoid({0, 35, -15}, {21, 25, 41}, 0, 0.002),
        ellipsoid({0, 10, 25}, {4.6, 4.6, 5}, 0, 0.002),
        ellipsoid({0, -10, 25}, {4.6, 4.6, 5}, 0, 0.002),
        ellipsoid({-8, -60.5, 0}, {4.6, 2.3, 5}, 0, 0.002),
        ellipsoid({0, -60.6, 0}, {2.3, 2.3, 2}, 0, 0.002),
        ellipsoid({6, -60.5, 0}, {2.3, 4.6, 2}, 0, 0.002),
    };
  } else if (name == "water") {
    ph.shapes = {water_cylinder()};
  } else if (name == "spheres") {
    ph.shapes = {
        water_cylinder(),
        sphere({50, 0, 0}, 15, 0.02),       // bone-like
        sphere({-50, 0, 0}, 15, -0.015),    // fat/lung-like
        sphere({0, 50, 30}, 10, 0.01),
        sphere({0, -50, -30}, 10, 0.01),
        sphere({0, 0, 0}, 5, 0.02),
        sphere({30, -40, 0}, 12, 0.03, true),  // follows the breathing
    };
  } else if (name == "markers") {
    ph.shapes = {
        water_cylinder(),
        sphere(kMarkerUp, kMarkerRadius, kMarkerUpMu),
        sphere(kMarkerSide, kMarkerRadius, kMarkerSideMu),
        sphere(kMarkerGantry, kMarkerRadius, kMarkerGantryMu),
    };
  } else if (name == "thorax") {
    ph.shapes = thorax_shapes();
    ph.motion = kThoraxMotion;
  } else {
    throw RunError("unknown phantom \"" + name + "\": choose shepp, water, spheres, markers or thorax");
  }
  return ph;
}

Phantom scaled(const Phantom& ph, double factor) {
  Phantom out = ph;
  for (Shape& sh : out.shapes) {
    sh.centre = factor * sh.centre;
    sh.semi = factor * sh.semi;
  }
  return out;
}

double breath_level(double phase) { return 0.5 * (1.0 + std::cos(phase)); }

double motion_shift(const Phantom& ph, double phase) { return ph.motion * breath_level(phase); }

Phantom at_phase(const Phantom& ph, double phase) { return at_shift(ph, motion_shift(ph, phase)); }

Phantom at_shift(const Phantom& ph, double dz) {
  Phantom out;
  for (Shape s : ph.shapes) {
    if (s.moving) {
      s.centre.z += dz;
      s.moving = false;
    }
    out.shapes.push_back(s);
  }
  return out;
}

Phantom static_part(const Phantom& ph) {
  Phantom out;
  for (const Shape& s : ph.shapes)
    if (!s.moving) out.shapes.push_back(s);
  return out;
}

UnitMap unit_map(const Shape& s) {
  const double r = s.rot * pi / 180;
  const double c = std::cos(r), sn = std::sin(r);
  return UnitMap{c / s.semi.x, sn / s.semi.x, -sn / s.semi.y, c / s.semi.y, 1.0 / s.semi.z};
}

bool unit_interval(ShapeKind kind, Vec3 p, Vec3 q, double& s0, double& s1) {
  if (kind == ShapeKind::ellipsoid) {
    const double A = dot(q, q), B = dot(p, q), C = dot(p, p) - 1.0;
    const double disc = B * B - A * C;
    if (!(A > 0) || !(disc > 0)) return false;
    const double sq = std::sqrt(disc);
    s0 = (-B - sq) / A;
    s1 = (-B + sq) / A;
    return true;
  }
  // Cylinder: the side wall in x-y, then the end planes.
  const double A = q.x * q.x + q.y * q.y;
  const double B = p.x * q.x + p.y * q.y;
  const double C = p.x * p.x + p.y * p.y - 1.0;
  if (A > 0) {
    const double disc = B * B - A * C;
    if (!(disc > 0)) return false;
    const double sq = std::sqrt(disc);
    s0 = (-B - sq) / A;
    s1 = (-B + sq) / A;
  } else {
    if (C > 0) return false;
    s0 = -INFINITY;
    s1 = INFINITY;
  }
  if (q.z != 0) {
    double z0 = (-1.0 - p.z) / q.z, z1 = (1.0 - p.z) / q.z;
    if (z0 > z1) std::swap(z0, z1);
    s0 = std::max(s0, z0);
    s1 = std::min(s1, z1);
  } else if (std::fabs(p.z) > 1.0) {
    return false;
  }
  return s0 < s1;
}

double line_integral(const Phantom& ph, Vec3 origin, Vec3 dir, double length) {
  const double dn = norm(dir);
  if (!(dn > 0)) return 0.0;
  const Vec3 e = (1.0 / dn) * dir;
  double sum = 0;
  for (const Shape& s : ph.shapes) {
    const UnitMap m = unit_map(s);
    double s0, s1;
    if (!unit_interval(s.kind, m.apply(origin - s.centre), m.apply(e), s0, s1)) continue;
    s0 = std::max(s0, 0.0);
    s1 = std::min(s1, length);
    if (s1 > s0) sum += s.mu * (s1 - s0);
  }
  return sum;
}

double mu_at(const Phantom& ph, Vec3 p) {
  double mu = 0;
  for (const Shape& s : ph.shapes)
    if (inside_unit(s.kind, unit_map(s).apply(p - s.centre))) mu += s.mu;
  return mu;
}

}  // namespace cbrecon::sim
