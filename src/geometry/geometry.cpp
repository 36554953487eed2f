#include "geometry/geometry.h"

#include <algorithm>
#include <cmath>

#include "numeric/error.h"

namespace cbrecon {

namespace {

// trunc(H*sad/pxlz/sdd + 0.5) - 4: half the slice count, before the 16-bit store.
long long half_slices(int32_t nslices, float pxlz) {
  const float h = static_cast<float>(static_cast<double>(nslices) * static_cast<double>(pitch_f) / 2.0);
  const double m = static_cast<double>(h) * sad / static_cast<double>(pxlz) / sdd + 0.5;
  if (!(m < 1e15)) return 1LL << 40;
  return static_cast<long long>(m) - 4;
}

}  // namespace

std::vector<float> build_fanw(const Geometry& g) {
  std::vector<float> fanw(g.ncols_ext, 1.0f);
  if (!g.offset) return fanw;
  const int h = g.ncols_ext / 2;
  const double T = 2.0 * std::atan(g.icent * static_cast<double>(tanstep));
  for (int c = 0; c < g.ncols_ext; ++c) fanw[c] = 0.0f;
  for (int o = -g.icent; o < g.icent; ++o) {
    const int c = h + o;
    if (c < 0 || c >= g.ncols_ext) continue;
    fanw[c] = static_cast<float>(0.5 * std::sin(pi * std::atan(o * static_cast<double>(tanstep)) / T) + 0.5);
  }
  for (int c = h + g.icent; c < g.ncols_ext; ++c)
    if (c >= 0) fanw[c] = 1.0f;
  return fanw;
}

Geometry setup_geometry(const RunParams& p) {
  if (!(p.npxls > 0)) throw RunError(strprintf("-p %d: the image size must be at least 1 voxel", p.npxls));
  if (!std::isfinite(p.fov) || !(p.fov > 0))
    throw RunError(strprintf("-fov %g: the field of view must be a positive number of mm", static_cast<double>(p.fov)));
  if (!std::isfinite(p.pxlz) || !(p.pxlz > 0))
    throw RunError(strprintf("-pz %g: the slice thickness must be a positive number of mm", static_cast<double>(p.pxlz)));
  if (!std::isfinite(p.xoff))
    throw RunError(strprintf("-xoff %g: the lateral detector offset is %s; a finite number of mm is needed",
                             static_cast<double>(p.xoff), std::isnan(p.xoff) ? "not a number" : "infinite"));
  if (p.xoff > 0)
    throw RunError(strprintf("-xoff %g: the lateral detector offset must be zero or negative", static_cast<double>(p.xoff)));
  if (p.ndets < 17)
    throw RunError(strprintf("-d %d: the detector needs at least 17 columns", p.ndets));
  if (p.nslices < 17)
    throw RunError(strprintf("-z %d: the detector needs at least 17 rows", p.nslices));
  if (p.nslices > 65535)
    throw RunError(strprintf("-z %d: the detector can have at most 65535 rows", p.nslices));

  Geometry g;
  g.dx = static_cast<float>(static_cast<double>(p.fov) / p.npxls);
  g.offset = (p.xoff != 0.0f);
  long long ncols = p.ndets;
  if (g.offset) {
    const double r = static_cast<double>(p.xoff) / 0.388 + 0.5;
    if (!(r > -1e9)) throw RunError(strprintf("-xoff %g: the offset is larger than any detector", static_cast<double>(p.xoff)));
    g.ioff = static_cast<int32_t>(r);
    ncols = static_cast<long long>(p.ndets) - 2LL * g.ioff;
    g.icent = p.ndets / 2 + g.ioff;
    g.nfft = 4096;
  } else {
    g.icent = p.ndets / 2;
    g.nfft = 2048;
  }
  if (ncols > g.nfft)
    throw RunError(strprintf("a processed detector row of %lld columns does not fit the filter length "
                             "%d (at most %d detector columns%s)",
                             ncols, g.nfft, g.offset ? 4096 : 2048,
                             g.offset ? " plus twice the offset" : " without -xoff"));
  if (g.offset && g.icent < 0)
    throw RunError(strprintf("-xoff %g: the central ray misses the detector", static_cast<double>(p.xoff)));
  g.ncols_ext = static_cast<uint16_t>(ncols);
  g.nrows = static_cast<uint16_t>(p.nslices);
  g.ucenter = static_cast<float>(g.ncols_ext / 2.0);

  const long long m = half_slices(p.nslices, p.pxlz);
  if (m < 1 || 2 * m > 65535)
    throw RunError(strprintf("-pz %g with %d detector rows gives %lld slices; between 2 and 65534 are needed",
                             static_cast<double>(p.pxlz), p.nslices, m < 0 ? 0LL : 2 * m));
  const uint16_t m16 = static_cast<uint16_t>(m);
  g.zhalf = m16 * static_cast<double>(p.pxlz);
  g.nz = static_cast<uint16_t>(2 * m16);
  g.ishift = g.ncols_ext / 2 - g.icent;
  g.fanw = build_fanw(g);
  if (g.offset && p.extras.offset_centred) {
    // Weighted before the filter, each ray pair sums to one measurement and
    // the factor 2 restores the full-fan scale; weighted after it (the
    // classic order) the filtered edge of the missing half lowers the
    // values further than the half the weights account for.
    g.fanw_pre = g.fanw;
    for (float& w : g.fanw_pre) w *= 2.0f;
    std::fill(g.fanw.begin(), g.fanw.end(), 1.0f);
  }
  return g;
}

}  // namespace cbrecon
