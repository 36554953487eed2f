// Analytic phantoms: sums of ellipsoids and finite elliptic cylinders of
// constant attenuation, with exact line integrals and point values.
//
// World frame: z is the rotation axis, the scanner's central plane is z = 0,
// lengths in mm, attenuation in 1/mm (line integrals are dimensionless).
// Shapes add: a point inside several shapes has the sum of their mu.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace cbrecon::sim {

struct Vec3 {
  double x = 0, y = 0, z = 0;
};
inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(double s, Vec3 a) { return {s * a.x, s * a.y, s * a.z}; }
inline double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline double norm(Vec3 a) { return std::sqrt(dot(a, a)); }

enum class ShapeKind : uint8_t {
  ellipsoid,  // |M(p - centre)| <= 1
  cylinder,   // elliptic cross-section in x-y, flat ends at centre.z -+ semi.z
};

struct Shape {
  ShapeKind kind = ShapeKind::ellipsoid;
  Vec3 centre;         // mm
  Vec3 semi;           // semi-axes along the shape's own axes, mm (cylinder: semi.z = half length)
  double rot = 0;      // rotation about z, degrees, counter-clockwise seen from +z
  double mu = 0;       // attenuation added inside, 1/mm
  bool moving = false; // the z centre follows the breathing (see Phantom::motion)
};

struct Phantom {
  std::vector<Shape> shapes;
  double motion = 0;   // z excursion of the moving shapes at full inhale, mm
};

// Built-in phantoms:
//   shepp    a 3-D Shepp-Logan-like head, about 140 x 184 x 162 mm, brain
//            mu 0.02/mm inside a 0.04/mm shell, features of -20 % .. +10 %
//   water    a water cylinder, radius 100 mm, 500 mm long, mu 0.02/mm
//   spheres  the water cylinder with high- and low-contrast spheres, one of
//            which (radius 12 mm at x = 30, y = -40, z = 0) moves with the
//            breathing when Phantom::motion is set
//   markers  the water cylinder with three spheres that tell the frame's
//            sides apart (kMarker* below): above the couch (+y), on +x and
//            towards the gantry (-z); for a patient lying head first and
//            supine they are anterior, at the patient's left and towards
//            the head (HACKING.md, "The patient frame")
//   thorax   a chest lying head first and supine (+x the patient's left,
//            +y anterior, +z towards the feet): body 230 x 170 mm
//            and 300 mm long (fat 0.018/mm over soft tissue 0.02/mm), two
//            lungs (0.005/mm) from z = -130 to 90, heart, vertebral bodies
//            and arches (0.038/mm), sternum, eight rib bands (0.037/mm), and
//            two moving shapes: a tumour of soft tissue (radius 12 mm at
//            x = 50, y = 12, z = -10) in the left lung and the liver dome
//            (soft tissue, semi-axes 30 x 42 x 40 mm at x = -58, z = 10) in
//            the lower right lung.  Its motion is kThoraxMotion: inhaling
//            moves both towards the feet, as the diaphragm does (scaled()
//            leaves the motion alone; the simulator's --scale scales it).
// Every phantom but thorax has motion 0.  RunError for any other name.
Phantom make_phantom(const std::string& name);

// The markers phantom: sphere centres (mm), radius and the mu each adds to
// water (1/mm), distinct so that a reader can tell which is where.
inline constexpr Vec3 kMarkerUp{0, 60, 0}, kMarkerSide{60, 0, 0}, kMarkerGantry{0, 0, -60};
inline constexpr double kMarkerRadius = 15;
inline constexpr double kMarkerUpMu = 0.01, kMarkerSideMu = 0.02, kMarkerGantryMu = 0.03;

// Breathing excursion of the thorax phantom, mm.  The moving shapes stay
// inside their lungs for any excursion from 0 to this.
inline constexpr double kThoraxMotion = 15.0;

// The phantom scaled about the origin by `factor` (> 0): centres and
// semi-axes, so it fits a smaller detector; mu and motion unchanged.
Phantom scaled(const Phantom& ph, double factor);

// Breathing level for a breathing phase (radians): 1 at phase 0 (full
// inhale), 0 at phase pi (full exhale), (1 + cos phase) / 2.
double breath_level(double phase);

// z shift of the moving shapes at a breathing phase: motion * breath_level.
double motion_shift(const Phantom& ph, double phase);

// The phantom as it stands at a breathing phase: moving shapes shifted by
// motion_shift and no longer marked moving; motion 0.
Phantom at_phase(const Phantom& ph, double phase);
// The same for a z shift of the moving shapes (mm).
Phantom at_shift(const Phantom& ph, double dz);

// The phantom without its moving shapes.
Phantom static_part(const Phantom& ph);

// Line integral of mu along the segment origin + s * dir/|dir|, 0 <= s <=
// length (mm; infinity for the half-line).  Shapes are taken where they
// stand (moving shapes at their stored centre).  0 for a zero `dir`.
double line_integral(const Phantom& ph, Vec3 origin, Vec3 dir,
                     double length = INFINITY);

// mu at a point, 1/mm (boundary points count as inside).
double mu_at(const Phantom& ph, Vec3 p);

// Internal building block, shared with the scan simulator: the world-to-unit
// map of a shape, p' = M (p - centre), under which the shape becomes the
// unit ball (ellipsoid) or the unit cylinder x^2 + y^2 <= 1, |z| <= 1.
struct UnitMap {
  double m00, m01, m10, m11;  // in-plane rows of M (rotation then scaling)
  double mz;                  // 1 / semi.z
  Vec3 apply(Vec3 d) const { return {m00 * d.x + m01 * d.y, m10 * d.x + m11 * d.y, mz * d.z}; }
};
UnitMap unit_map(const Shape& s);

// Whether a point of the unit-shape frame lies inside (boundary included).
inline bool inside_unit(ShapeKind kind, Vec3 u) {
  return kind == ShapeKind::ellipsoid ? dot(u, u) <= 1.0
                                      : u.x * u.x + u.y * u.y <= 1.0 && std::fabs(u.z) <= 1.0;
}

// Interval [s0, s1] of the line p + s q (unit-shape frame) inside the unit
// shape; false when the line misses it.  Infinite ends for a line along
// the cylinder's axis or within its end planes.
bool unit_interval(ShapeKind kind, Vec3 p, Vec3 q, double& s0, double& s1);

}  // namespace cbrecon::sim
