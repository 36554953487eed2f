#include "regular/tv.h"

#include <cmath>

namespace cbrecon {

namespace {

// Whether the forward neighbours of column (r, c) are fitted: a column's
// property, tested once per column rather than once per voxel.
struct Neighbours {
  bool right, down;
};

inline Neighbours neighbours(const TvGrid& g, long r, long c) {
  const std::vector<uint8_t>& in = *g.inside;
  const long n = g.npxls;
  return {c + 1 < n && in[r * n + c + 1] != 0, r + 1 < n && in[(r + 1) * n + c] != 0};
}

// The forward differences of padded element jp (1 .. nz) of a column whose
// element jp is x[i].
struct Diffs {
  float dx, dy, dz;
};

inline Diffs diffs(const float* x, const TvGrid& g, Neighbours nb, long i, long jp) {
  Diffs d{0, 0, 0};
  if (nb.right) d.dx = x[i + g.lz] - x[i];
  if (nb.down) d.dy = x[i + g.npxls * g.lz] - x[i];
  if (jp < g.nz) d.dz = x[i + 1] - x[i];
  return d;
}

inline float norm_inv(const Diffs& d, const TvGrid& g) {
  const float z = g.wz * d.dz;
  return 1.0f / std::sqrt(d.dx * d.dx + d.dy * d.dy + z * z + g.eps * g.eps);
}

}  // namespace

double total_variation(const float* x, const TvGrid& g) {
  double tv = 0;
  for (long r = 0; r < g.npxls; ++r)
    for (long c = 0; c < g.npxls; ++c) {
      if (!(*g.inside)[r * g.npxls + c]) continue;
      const Neighbours nb = neighbours(g, r, c);
      const long base = (r * g.npxls + c) * g.lz;
      for (long jp = 1; jp <= g.nz; ++jp) tv += 1.0 / norm_inv(diffs(x, g, nb, base + jp, jp), g);
    }
  return tv;
}

void tv_descent(float* x, const TvGrid& g, double step, int steps, float* work, ThreadPool& pool) {
  const long n = g.npxls, lz = g.lz, row = n * lz;
  const std::vector<uint8_t>& in = *g.inside;
  float* inv = work;
  float* grad = work + n * row;
  const float wz2 = g.wz * g.wz;
  std::vector<double> row_norm(n);
  for (int s = 0; s < steps; ++s) {
    pool.parallel_for(n, [&](long r0, long r1, int) {
      for (long r = r0; r < r1; ++r)
        for (long c = 0; c < n; ++c) {
          if (!in[r * n + c]) continue;
          const Neighbours nb = neighbours(g, r, c);
          const long base = (r * n + c) * lz;
          for (long jp = 1; jp <= g.nz; ++jp) inv[base + jp] = norm_inv(diffs(x, g, nb, base + jp, jp), g);
        }
    });
    pool.parallel_for(n, [&](long r0, long r1, int) {
      for (long r = r0; r < r1; ++r) {
        double sum = 0;
        for (long c = 0; c < n; ++c) {
          if (!in[r * n + c]) continue;
          const long base = (r * n + c) * lz;
          const bool left = c > 0 && in[r * n + c - 1], up = r > 0 && in[(r - 1) * n + c];
          const Neighbours nb = neighbours(g, r, c);
          for (long jp = 1; jp <= g.nz; ++jp) {
            const long i = base + jp;
            const Diffs d = diffs(x, g, nb, i, jp);
            float v = -(d.dx + d.dy + wz2 * d.dz) * inv[i];
            if (left) v += (x[i] - x[i - lz]) * inv[i - lz];
            if (up) v += (x[i] - x[i - row]) * inv[i - row];
            if (jp > 1) v += wz2 * (x[i] - x[i - 1]) * inv[i - 1];
            grad[i] = v;
            sum += static_cast<double>(v) * v;
          }
        }
        row_norm[r] = sum;
      }
    });
    double norm = 0;
    for (long r = 0; r < n; ++r) norm += row_norm[r];
    norm = std::sqrt(norm);
    if (!(norm > 0)) return;
    const float k = static_cast<float>(step / norm);
    pool.parallel_for(n, [&](long r0, long r1, int) {
      for (long r = r0; r < r1; ++r)
        for (long c = 0; c < n; ++c)
          if (in[r * n + c])
            for (long jp = 1, i = (r * n + c) * lz + 1; jp <= g.nz; ++jp, ++i) x[i] -= k * grad[i];
    });
  }
}

}  // namespace cbrecon
