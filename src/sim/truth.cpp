#include "sim/truth.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "geometry/geometry.h"
#include "geometry/grid.h"
#include "numeric/error.h"
#include "numeric/parallel.h"
#include "sim/files.h"

namespace cbrecon::sim {

Vec3 voxel_centre(const TruthVolume& t, long j, long r, long c) {
  return {t.grid.centre_x(c), t.grid.centre_y(r), t.grid.centre_z(j)};
}

namespace {

// The grid's size and an all-zero volume.
TruthVolume empty_truth(const TruthGrid& g) {
  RunParams p;
  p.npxls = g.npxls;
  p.fov = g.fov;
  p.pxlz = g.pxlz;
  p.nslices = g.rows;
  const Geometry geo = setup_geometry(p);
  TruthVolume t;
  t.grid = make_voxel_grid(p, geo);
  t.nz = t.grid.nz;
  t.npxls = t.grid.npxls;
  t.dx = t.grid.dx;
  const size_t plane = static_cast<size_t>(t.npxls) * static_cast<size_t>(t.npxls);
  const size_t total = plane * static_cast<size_t>(t.nz);
  if (total > (size_t{1} << 32)) throw RunError("the truth volume would hold more than 2^32 voxels");
  t.mu.assign(total, 0.0f);
  return t;
}

// Sum of mu over the shapes containing x, with the maps made once.
double mu_sum(const std::vector<Shape>& shapes, const std::vector<UnitMap>& maps, Vec3 x) {
  double mu = 0;
  for (size_t i = 0; i < maps.size(); ++i)
    if (inside_unit(shapes[i].kind, maps[i].apply(x - shapes[i].centre))) mu += shapes[i].mu;
  return mu;
}

std::vector<UnitMap> maps_of(const std::vector<Shape>& shapes) {
  std::vector<UnitMap> maps;
  for (const Shape& s : shapes) maps.push_back(unit_map(s));
  return maps;
}

// Voxel index range [lo, hi] (clamped to [0, n-1], one voxel of margin) of
// the coordinates [a, b] where coordinate = (index - base) * step.
void index_range(double a, double b, double base, double step, long n, long& lo, long& hi) {
  double i0 = a / step + base, i1 = b / step + base;
  if (i0 > i1) std::swap(i0, i1);
  lo = std::max(0L, static_cast<long>(std::floor(std::max(i0, -1e9))) - 1);
  hi = std::min(n - 1, static_cast<long>(std::ceil(std::min(i1, 1e9))) + 1);
}

}  // namespace

TruthVolume truth_volume(const Phantom& ph, const TruthGrid& g, int threads) {
  TruthVolume t = empty_truth(g);
  const size_t plane = static_cast<size_t>(t.npxls) * static_cast<size_t>(t.npxls);
  const std::vector<UnitMap> maps = maps_of(ph.shapes);
  ThreadPool pool(threads);
  pool.parallel_for(t.nz, [&](long j0, long j1, int) {
    for (long j = j0; j < j1; ++j) {
      float* out = t.mu.data() + static_cast<size_t>(j) * plane;
      for (long r = 0; r < t.npxls; ++r)
        for (long c = 0; c < t.npxls; ++c)
          *out++ = static_cast<float>(mu_sum(ph.shapes, maps, voxel_centre(t, j, r, c)));
    }
  });
  return t;
}

TruthVolume averaged_truth(const Phantom& ph, const TruthGrid& g, const std::vector<double>& shifts,
                           int threads) {
  const Phantom still = static_part(ph);
  TruthVolume t = truth_volume(still, g, threads);
  std::vector<Shape> moving;
  for (const Shape& s : ph.shapes)
    if (s.moving) moving.push_back(s);
  if (moving.empty() || shifts.empty()) return t;
  const std::vector<UnitMap> still_maps = maps_of(still.shapes), moving_maps = maps_of(moving);

  // Only voxels a moving shape reaches at some shift change: the box of
  // each shape's sweep, in voxel indices (x-y extent as wide as the larger
  // semi-axis, whatever the rotation).
  const double smin = *std::min_element(shifts.begin(), shifts.end());
  const double smax = *std::max_element(shifts.begin(), shifts.end());
  // Coordinate = (index - base) * step, as VoxelGrid::centre_* give them.
  const double dx = t.dx, h = t.npxls / 2.0, pz = g.pxlz;
  struct Box {
    long j0, j1, r0, r1, c0, c1;
    bool has(long j, long r, long c) const {
      return j >= j0 && j <= j1 && r >= r0 && r <= r1 && c >= c0 && c <= c1;
    }
  };
  std::vector<Box> boxes;
  Box all{t.nz, -1, t.npxls, -1, t.npxls, -1};
  for (const Shape& s : moving) {
    const double rxy = std::max(s.semi.x, s.semi.y);
    Box b{};
    index_range(s.centre.x - rxy, s.centre.x + rxy, h - 1.5, dx, t.npxls, b.c0, b.c1);
    index_range(-(s.centre.y - rxy), -(s.centre.y + rxy), h - 0.5, dx, t.npxls, b.r0, b.r1);
    index_range(s.centre.z - s.semi.z + smin, s.centre.z + s.semi.z + smax, t.nz / 2.0 - 0.5, pz, t.nz,
                b.j0, b.j1);
    boxes.push_back(b);
    all = {std::min(all.j0, b.j0), std::max(all.j1, b.j1), std::min(all.r0, b.r0),
           std::max(all.r1, b.r1), std::min(all.c0, b.c0), std::max(all.c1, b.c1)};
  }
  if (all.j1 < all.j0 || all.r1 < all.r0 || all.c1 < all.c0) return t;

  const double n = static_cast<double>(shifts.size());
  const size_t plane = static_cast<size_t>(t.npxls) * static_cast<size_t>(t.npxls);
  ThreadPool pool(threads);
  pool.parallel_for(all.j1 - all.j0 + 1, [&](long b0, long b1, int) {
    for (long j = all.j0 + b0; j < all.j0 + b1; ++j)
      for (long r = all.r0; r <= all.r1; ++r)
        for (long c = all.c0; c <= all.c1; ++c) {
          const Vec3 x = voxel_centre(t, j, r, c);
          double mean = 0;
          bool reached = false;
          for (size_t k = 0; k < moving.size(); ++k) {
            if (!boxes[k].has(j, r, c)) continue;
            long inside = 0;
            for (const double dz : shifts) {
              Shape s = moving[k];
              s.centre.z += dz;
              inside += inside_unit(s.kind, moving_maps[k].apply(x - s.centre)) ? 1 : 0;
            }
            if (inside == 0) continue;
            mean += moving[k].mu * static_cast<double>(inside) / n;
            reached = true;
          }
          if (reached)
            t.mu[static_cast<size_t>(j) * plane + static_cast<size_t>(r * t.npxls + c)] =
                static_cast<float>(mu_sum(still.shapes, still_maps, x) + mean);
        }
  });
  return t;
}

void write_truth(const std::string& path, const TruthVolume& t) {
  static_assert(std::endian::native == std::endian::little, "truth files are written little-endian");
  make_parent_folder(path);
  write_whole_file(path, {reinterpret_cast<const uint8_t*>(t.mu.data()), t.mu.size() * sizeof(float)});
}

}  // namespace cbrecon::sim
