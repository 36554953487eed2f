#include "filter/preprocess.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace cbrecon {

HalfScan half_scan_values(int32_t ndets, uint16_t hscan) {
  HalfScan hs;
  if (hscan != 1) return hs;
  hs.halffan = static_cast<float>(std::atan(ndets * static_cast<double>(tanstep) * 0.5));
  hs.hscan_range = static_cast<float>(static_cast<double>(hs.halffan) + hs.halffan + pi);
  return hs;
}

Matrix<float> build_rdist(uint16_t nrows, uint16_t ncols_ext, float ucenter) {
  Matrix<float> rdist = matrix(0, nrows - 1, 0, ncols_ext - 1);
  const double t2 = tanstep2;
  for (long r = 0; r < nrows; ++r) {
    const double a = nrows / 2.0 - r - 0.5;
    const double ra = a * a * t2 + 1.0;
    for (long c = 0; c < ncols_ext; ++c) {
      const double b = c - static_cast<double>(ucenter);
      rdist[r][c] = static_cast<float>(std::sqrt(ra + b * b * t2));
    }
  }
  return rdist;
}

std::vector<float> build_dbeta(const std::vector<double>& a, uint16_t hscan) {
  const long n = static_cast<long>(a.size());
  std::vector<float> dbeta(n);
  auto at = [&](long i) { return a[std::clamp(i, 0L, n - 1)]; };
  for (long k = 0; k < n; ++k) {
    double d;
    if (hscan == 0) {
      if (k == 0)
        d = std::fabs((at(n - 1) - 360.0) - at(1)) * 0.5 * pi / 180;
      else if (k == n - 1)
        d = std::fabs((at(n - 2) - 360.0) - at(0)) * 0.5 * pi / 180;
      else
        d = std::fabs(at(k + 1) - at(k - 1)) * 0.5 * pi / 180;
    } else {
      if (k == 0)
        d = std::fabs(at(2) - at(1)) * 1.0 * pi / 180;
      else if (k == n - 1)
        d = std::fabs(at(n - 1) - at(n - 2)) * 1.0 * pi / 180;
      else
        d = std::fabs(at(k + 1) - at(k - 1)) * 0.5 * pi / 180;
    }
    dbeta[k] = static_cast<float>(d);
  }
  return dbeta;
}

std::vector<float> fan_angles(uint16_t ncols_ext, float ucenter) {
  std::vector<float> gamma(ncols_ext);
  for (long c = 0; c < ncols_ext; ++c)
    gamma[c] = static_cast<float>(std::atan((static_cast<double>(ucenter) - c) * static_cast<double>(tanstep)));
  return gamma;
}

void half_scan_weights(double beta, const HalfScan& hs, uint16_t hscan,
                       const std::vector<float>& gamma, std::vector<double>& ww) {
  const size_t n = gamma.size();
  ww.assign(n, 1.0);
  if (hscan != 1) return;
  const double G = hs.halffan, B = hs.hscan_range;
  constexpr double quarter_pi = 0.7853981633974483;
  for (size_t c = 0; c < n; ++c) {
    const double g = gamma[c];
    float w;
    if (beta >= 0 && beta <= 2 * G - 2 * g) {
      const double den = G - g;
      // A zero denominator (a column on the edge ray at beta 0) weighs 0.
      w = den == 0 ? 0.0f
                   : static_cast<float>(std::sin(static_cast<float>(beta / den) * quarter_pi));
    } else if (beta >= pi - 2 * g && beta <= B) {
      const double den = G + g;
      w = den == 0 ? 0.0f
                   : static_cast<float>(std::sin(static_cast<float>((B - beta) / den) * quarter_pi));
    } else if (beta > B) {
      w = 0.0f;
    } else {
      w = 1.0f;
    }
    ww[c] = static_cast<double>(w) * w;
  }
}

void preprocess_rows(const uint32_t* raw, const Matrix<float>& M, float lnorm,
                     const Geometry& g, int32_t ndets, int32_t nslices,
                     const std::vector<double>& ww, const Matrix<float>& rdist, float* proj,
                     long pitch, long r0, long r1, const std::vector<double>& logtab) {
  const double* lt = logtab.data();
  const uint32_t nlt = static_cast<uint32_t>(logtab.size());
  const long ncols = g.ncols_ext;
  const long s = g.ishift;
  const double ln = lnorm;
  for (long r = r0; r < r1; ++r) {
    float* row = proj + r * pitch;
    const bool data_row = r >= 8 && r <= nslices - 9;
    // Line integrals inside the frame; the frame columns of a data row and
    // whole frame rows are 0.
    std::fill(row, row + ncols, 0.0f);
    if (data_row) {
      const uint32_t* in = raw + r * static_cast<long>(ndets);
      const float* m = M[r];
      // The table is far larger than the caches and neighbouring counts
      // land far apart in it: ask for the entry a few pixels ahead.
      constexpr long kAhead = 16;
      for (long c = 8; c <= ndets - 9; ++c) {
        if (c + kAhead <= ndets - 9 && in[c + kAhead] < nlt) __builtin_prefetch(lt + in[c + kAhead]);
        const uint32_t n = in[c];
        const double logn = n < nlt ? lt[n] : std::log(static_cast<double>(n));
        const double v = n != 0 ? (static_cast<double>(m[c]) - logn + ln)
                                : (static_cast<double>(m[c]) + ln);
        row[c + s] = static_cast<float>(v * 10000.0);
      }
    }
    if (s != 0) {
      // Half-fan extension: zeros, then copies of the first valid sample up
      // to the real detector.
      const long m = (8 * s + 64) / 11;
      const float first = row[s + 8];
      for (long c = m; c <= s + 7; ++c) row[c] = first;
    }
    const float* rd = rdist[r];
    for (long c = 0; c < ncols; ++c)
      row[c] = static_cast<float>(ww[c] * row[c] / rd[c]);
  }
}

}  // namespace cbrecon
