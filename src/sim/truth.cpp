#include "sim/truth.h"

#include <bit>
#include <cmath>

#include "numeric/error.h"
#include "geometry/geometry.h"
#include "sim/files.h"
#include "sim/parallel.h"

namespace cbrecon::sim {

Vec3 voxel_centre(const TruthVolume& t, float pxlz, long j, long r, long c) {
  const long h = t.npxls / 2;
  const double dx = t.dx;
  return {(static_cast<double>(c - h) + 1.5) * dx, (static_cast<double>(h - r) - 0.5) * dx,
          (static_cast<double>(j - t.nz / 2) + 0.5) * static_cast<double>(pxlz)};
}

TruthVolume truth_volume(const Phantom& ph, const TruthGrid& g, int threads) {
  RunParams p;
  p.npxls = g.npxls;
  p.fov = g.fov;
  p.pxlz = g.pxlz;
  p.nslices = g.rows;
  const Geometry geo = setup_geometry(p);
  TruthVolume t;
  t.nz = geo.nz;
  t.npxls = g.npxls;
  t.dx = geo.dx;
  const size_t plane = static_cast<size_t>(t.npxls) * static_cast<size_t>(t.npxls);
  const size_t total = plane * static_cast<size_t>(t.nz);
  if (total > (size_t{1} << 32)) throw RunError("the truth volume would hold more than 2^32 voxels");
  t.mu.assign(total, 0.0f);
  std::vector<UnitMap> maps;
  for (const Shape& s : ph.shapes) maps.push_back(unit_map(s));
  parallel_for(t.nz, threads, [&](long j, int) {
    float* out = t.mu.data() + static_cast<size_t>(j) * plane;
    for (long r = 0; r < t.npxls; ++r)
      for (long c = 0; c < t.npxls; ++c) {
        const Vec3 x = voxel_centre(t, g.pxlz, j, r, c);
        double mu = 0;  // as mu_at, with the maps made once
        for (size_t i = 0; i < maps.size(); ++i)
          if (inside_unit(ph.shapes[i].kind, maps[i].apply(x - ph.shapes[i].centre))) mu += ph.shapes[i].mu;
        *out++ = static_cast<float>(mu);
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
