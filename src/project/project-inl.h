// The projection of one view, written once and compiled per instruction
// set (project.cpp: scalar reference; project_avx2.cpp: 4 double lanes;
// project_avx512.cpp: 8 double lanes).  Only the ray sums differ in form;
// the sheet and the detector fill are element-wise loops that the compiler
// vectorises for the target without changing a bit (no reassociation, no
// contraction).
//
// PERF NOTES
// - A column's sheet is K steps x lz floats; the sampled rows of the column
//   walk it source to detector.  Lanes are W adjacent sampled rows: their z
//   positions at one step differ by about row_step * 0.1 slices, so the two
//   slices each lane needs lie in one window of 8 (AVX2) or 16 (AVX-512)
//   floats of the step's z-profile: one unaligned load and two lane
//   permutes instead of two gathers.  A block whose rows spread wider (a
//   large row_step) gathers.
// - Row coordinates are clamped to the padded profile [0, nz + 1]; the
//   zero slices at both ends make rays that leave the volume through its top
//   or bottom add nothing there.  A block whose coordinates all stay inside
//   (checked at its corners) skips the clamps, which would change nothing.
// - Each view reads the whole volume copy once per traced column band; the
//   profile pairs of a column are fetched a few steps ahead (stepping along
//   rows jumps a padded row per step, past what the hardware prefetches).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "geometry/geometry.h"
#include "project/project.h"

#ifndef CBRECON_PJ_FN
#define CBRECON_PJ_FN
#endif
#ifndef CBRECON_PJ_ISA
#define CBRECON_PJ_ISA 0
#endif
#if CBRECON_PJ_ISA
#include <immintrin.h>
#endif

namespace cbrecon {
namespace {

using detail::ProjectorTables;

#if CBRECON_PJ_ISA
#pragma GCC diagnostic ignored "-Wpsabi"

// GCC vector types of W lanes.
template <int W>
struct PjTypes;
template <>
struct PjTypes<4> {
  typedef double D __attribute__((vector_size(32)));
  typedef float F __attribute__((vector_size(16)));
  typedef int32_t I __attribute__((vector_size(16)));
};
template <>
struct PjTypes<8> {
  typedef double D __attribute__((vector_size(64)));
  typedef float F __attribute__((vector_size(32)));
  typedef int32_t I __attribute__((vector_size(32)));
};

#if CBRECON_PJ_ISA == 512
constexpr int kLanes = 8;
constexpr double kSpread = 12.0;  // a 16-float window holds slices iz .. iz + 1 of every lane
// Slices iz and iz + 1 of one z-profile for every lane.
CBRECON_PJ_FN inline void fetch(const float* row, PjTypes<8>::I iz, bool window, PjTypes<8>::F& a,
                                PjTypes<8>::F& b) {
  const __m256i z = reinterpret_cast<__m256i>(iz);
  if (window) {
    const int base = iz[0];
    const __m512i idx = _mm512_zextsi256_si512(_mm256_sub_epi32(z, _mm256_set1_epi32(base)));
    const __m512 win = _mm512_loadu_ps(row + base);
    a = reinterpret_cast<PjTypes<8>::F>(_mm512_castps512_ps256(_mm512_permutexvar_ps(idx, win)));
    b = reinterpret_cast<PjTypes<8>::F>(
        _mm512_castps512_ps256(_mm512_permutexvar_ps(_mm512_add_epi32(idx, _mm512_set1_epi32(1)), win)));
  } else {
    a = reinterpret_cast<PjTypes<8>::F>(_mm256_i32gather_ps(row, z, 4));
    b = reinterpret_cast<PjTypes<8>::F>(_mm256_i32gather_ps(row + 1, z, 4));
  }
}
// Float and int32 lanes widened to double (the generic conversion splits
// into halves).
CBRECON_PJ_FN inline PjTypes<8>::D widen(PjTypes<8>::F x) {
  return reinterpret_cast<PjTypes<8>::D>(_mm512_cvtps_pd(reinterpret_cast<__m256>(x)));
}
CBRECON_PJ_FN inline PjTypes<8>::D widen(PjTypes<8>::I x) {
  return reinterpret_cast<PjTypes<8>::D>(_mm512_cvtepi32_pd(reinterpret_cast<__m256i>(x)));
}
#else
constexpr int kLanes = 4;
constexpr double kSpread = 4.5;  // an 8-float window
CBRECON_PJ_FN inline void fetch(const float* row, PjTypes<4>::I iz, bool window, PjTypes<4>::F& a,
                                PjTypes<4>::F& b) {
  const __m128i z = reinterpret_cast<__m128i>(iz);
  if (window) {
    const int base = iz[0];
    const __m256i idx = _mm256_zextsi128_si256(_mm_sub_epi32(z, _mm_set1_epi32(base)));
    const __m256 win = _mm256_loadu_ps(row + base);
    a = reinterpret_cast<PjTypes<4>::F>(_mm256_castps256_ps128(_mm256_permutevar8x32_ps(win, idx)));
    b = reinterpret_cast<PjTypes<4>::F>(
        _mm256_castps256_ps128(_mm256_permutevar8x32_ps(win, _mm256_add_epi32(idx, _mm256_set1_epi32(1)))));
  } else {
    a = reinterpret_cast<PjTypes<4>::F>(_mm_i32gather_ps(row, z, 4));
    b = reinterpret_cast<PjTypes<4>::F>(_mm_i32gather_ps(row + 1, z, 4));
  }
}
CBRECON_PJ_FN inline PjTypes<4>::D widen(PjTypes<4>::F x) {
  return reinterpret_cast<PjTypes<4>::D>(_mm256_cvtps_pd(reinterpret_cast<__m128>(x)));
}
CBRECON_PJ_FN inline PjTypes<4>::D widen(PjTypes<4>::I x) {
  return reinterpret_cast<PjTypes<4>::D>(_mm256_cvtepi32_pd(reinterpret_cast<__m128i>(x)));
}
#endif

// The sum of one block of kLanes rows.  Clamp = false when no row
// coordinate of the block leaves [0, zmax]: the clamps are then identities.
template <bool Clamp>
CBRECON_PJ_FN inline typename PjTypes<kLanes>::D block_sum(const ProjectorTables& T, const float* sheet,
                                                           const double* lam, long K, long j,
                                                           bool window) {
  using D = typename PjTypes<kLanes>::D;
  using F = typename PjTypes<kLanes>::F;
  using I = typename PjTypes<kLanes>::I;
  const D z0 = D{} + T.z0, zmax = D{} + T.zmax, zero = D{};
  D cv;
  std::memcpy(&cv, &T.cv[j], sizeof cv);
  D s = zero;
  for (long k = 0; k < K; ++k) {
    D zp = cv * lam[k] + z0;
    if (Clamp) {
      zp = zp < zero ? zero : zp;
      zp = zmax < zp ? zmax : zp;
    }
    const I iz = __builtin_convertvector(zp, I);
    const D fz = zp - widen(iz);
    F a, b;
    fetch(sheet + k * T.lz, iz, window, a, b);
    const D ad = widen(a), bd = widen(b);
    s = s + (ad + fz * (bd - ad));
  }
  return s;
}

// kLanes rows per block, each lane the scalar sequence below; acc and T.cv
// hold whole blocks.  Row coordinates never fall from lane to lane (T.cv
// is sorted and lambda >= 0) and move monotonically with lambda, which
// rises from step to step: a block's lowest coordinate is lane 0's at the
// first or last step, its highest lane kLanes - 1's.
CBRECON_PJ_FN void ray_sums(const ProjectorTables& T, const float* sheet, const double* lam, long K,
                            long nrays, double* acc) {
  if (K == 0) {
    std::fill(acc, acc + nrays, 0.0);
    return;
  }
  const double lmax = std::max(lam[0], lam[K - 1]);
  auto zp = [&](long j, long k) { return T.cv[j] * lam[k] + T.z0; };
  for (long j = 0; j < nrays; j += kLanes) {
    const long last = j + kLanes - 1;
    const bool window = (T.cv[last] - T.cv[j]) * lmax <= kSpread;
    const bool inside = std::min(zp(j, 0), zp(j, K - 1)) >= 0.0 &&
                        std::max(zp(last, 0), zp(last, K - 1)) <= T.zmax;
    const auto s = inside ? block_sum<false>(T, sheet, lam, K, j, window)
                          : block_sum<true>(T, sheet, lam, K, j, window);
    std::memcpy(acc + j, &s, sizeof s);
  }
}
#else
// The scalar sums: the reference every lane repeats.
void ray_sums(const ProjectorTables& T, const float* sheet, const double* lam, long K, long nrays,
              double* acc) {
  const double z0 = T.z0, zmax = T.zmax;
  for (long j = 0; j < nrays; ++j) {
    const double cv = T.cv[j];
    double s = 0;
    for (long k = 0; k < K; ++k) {
      double zp = cv * lam[k] + z0;
      zp = zp < 0.0 ? 0.0 : zp;  // the operand order of the vector max and min
      zp = zmax < zp ? zmax : zp;
      const int32_t iz = static_cast<int32_t>(zp);
      const double fz = zp - static_cast<double>(iz);
      const float* p = sheet + k * T.lz + iz;
      const double a = p[0], b = p[1];
      s = s + (a + fz * (b - a));
    }
    acc[j] = s;
  }
}
#endif

// One z-profile of the sheet: w0 * p0 + w1 * p1 over the slices and their
// two zero ends.
CBRECON_PJ_FN void blend_profile(const float* p0, const float* p1, double f, long n, float* out) {
  const double w0 = 1.0 - f, w1 = f;
  for (long z = 0; z < n; ++z)
    out[z] = static_cast<float>(w0 * static_cast<double>(p0[z]) + w1 * static_cast<double>(p1[z]));
}

CBRECON_PJ_FN void project_view(const ProjectorTables& T, double theta, float* out, long pitch) {
  const long n = T.npxls, nprof = T.nz + 2, lz = T.lz;
  const long nus = static_cast<long>(T.us.size()), nvs = static_cast<long>(T.vs.size());
  const long nvs_pad = static_cast<long>(T.cv.size());
  const long lzv = T.lzv, rstride = (n + 2) * lzv;  // floats from one padded row to the next
  const float* vol = T.vol.data();
  const double st = std::sin(theta), ct = std::cos(theta);
  const double Sx = sad * st, Sy = sad * ct;
  const double pc0 = (Sx - T.xc0) / T.dx, pr0 = (T.yr0 - Sy) / T.dx;

  // Scratch kept per thread: the sheet's rows are only ever written up to
  // nprof, so its tails stay zero while the layout stays the same.
  thread_local std::vector<float> sheet;
  thread_local long sheet_lz = -1, sheet_nprof = -1;
  thread_local std::vector<double> lam, acc, frac;
  thread_local std::vector<long> at;
  thread_local std::vector<float> coarse, rows;
  if (sheet_lz != lz || sheet_nprof != nprof || sheet.size() < static_cast<size_t>(n * lz)) {
    sheet.assign(static_cast<size_t>(n) * static_cast<size_t>(lz), 0.0f);
    sheet_lz = lz;
    sheet_nprof = nprof;
  }
  lam.resize(static_cast<size_t>(n));
  frac.resize(static_cast<size_t>(n));
  at.resize(static_cast<size_t>(n));
  acc.resize(static_cast<size_t>(nvs_pad));
  coarse.resize(static_cast<size_t>(nus) * static_cast<size_t>(nvs));  // [jv][iu]
  rows.resize(static_cast<size_t>(nvs) * static_cast<size_t>(T.ncols));

  for (long iu = 0; iu < nus; ++iu) {
    const double a = (static_cast<double>(T.us[iu]) - T.ucenter) * static_cast<double>(tanstep);
    const double Dx = -st + a * ct, Dy = -ct - a * st;
    const double dpc = Dx / T.dx, dpr = -Dy / T.dx;
    // The part of the in-plane line inside the (widened) field of view.
    const double ex = pc0 - T.cc, ey = pr0 - T.rc;
    const double qa = dpc * dpc + dpr * dpr, qb = ex * dpc + ey * dpr;
    const double qc = ex * ex + ey * ey - T.radius * T.radius;
    const double disc = qb * qb - qa * qc;
    const double sq = std::sqrt(std::max(disc, 0.0));
    const double l0 = std::max((-qb - sq) / qa, 0.0), l1 = std::min((-qb + sq) / qa, sdd);
    long lo = 0, hi = -1;
    const bool xdrive = std::fabs(Dx) >= std::fabs(Dy);
    // Driving axis: index coordinate p(lambda) = p0 + lambda dp; the other
    // axis o(lambda) = o0 + lambda do.
    const double p0 = xdrive ? pc0 : pr0, dp = xdrive ? dpc : dpr;
    const double o0 = xdrive ? pr0 : pc0, dO = xdrive ? dpr : dpc;
    const double e0 = p0 + l0 * dp, e1 = p0 + l1 * dp;
    if (disc > 0 && l1 > l0) {
      lo = std::max(0L, static_cast<long>(std::ceil(std::min(e0, e1))));
      hi = std::min(n - 1, static_cast<long>(std::floor(std::max(e0, e1))));
    }
    if (lo > hi) {  // the column misses the field of view
      for (long j = 0; j < nvs; ++j) coarse[j * nus + iu] = 0.0f;
      continue;
    }
    const long K = hi - lo + 1;
    // Where each step's profile pair starts (-1: off the grid) and its
    // in-plane fraction, then the blends, fetching a few steps ahead: a
    // column that steps along rows jumps a whole padded row per step.
    for (long k = 0; k < K; ++k) {
      const long i = dp > 0 ? lo + k : hi - k;  // source to detector
      const double l = (static_cast<double>(i) - p0) / dp;
      lam[k] = l;
      const double o = o0 + l * dO;
      const double of = std::floor(o);
      if (!(of >= -1.0 && of <= static_cast<double>(n - 1))) {
        at[k] = -1;
        continue;
      }
      const long io = static_cast<long>(of);
      frac[k] = o - of;
      // Padded indices: row r at r + 1, column c at c + 1.
      at[k] = xdrive ? (io + 1) * rstride + (i + 1) * lzv : (i + 1) * rstride + (io + 1) * lzv;
    }
    const long pair = xdrive ? rstride : lzv;  // from a profile to its neighbour
    constexpr long ahead = 4;
    for (long k = 0; k < K; ++k) {
      if (k + ahead < K && at[k + ahead] >= 0)
        for (long b = 0; b < nprof; b += 16) {
          __builtin_prefetch(vol + at[k + ahead] + b);
          __builtin_prefetch(vol + at[k + ahead] + pair + b);
        }
      float* prof = sheet.data() + k * lz;
      if (at[k] < 0)
        std::fill(prof, prof + nprof, 0.0f);
      else
        blend_profile(vol + at[k], vol + at[k] + pair, frac[k], nprof, prof);
    }
    ray_sums(T, sheet.data(), lam.data(), K, nvs, acc.data());
    const double step = T.dx / std::fabs(xdrive ? Dx : Dy);  // lambda per step
    for (long j = 0; j < nvs; ++j)
      coarse[j * nus + iu] = static_cast<float>(acc[j] * (step * std::sqrt(1.0 + a * a + T.bv[j] * T.bv[j])));
  }

  // Fill: along each traced row first, then between traced rows.
  const long ncols = T.ncols;
  for (long j = 0; j < nvs; ++j) {
    const float* c = coarse.data() + j * nus;
    float* row = rows.data() + j * ncols;
    for (long u = 0; u < ncols; ++u) {
      const double x0 = c[T.iu0[u]], x1 = c[T.iu1[u]];
      row[u] = static_cast<float>(x0 + T.fu[u] * (x1 - x0));
    }
  }
  for (long v = 0; v < T.nrows; ++v) {
    const float* r0 = rows.data() + T.iv0[v] * ncols;
    const float* r1 = rows.data() + T.iv1[v] * ncols;
    const double f = T.fv[v];
    float* o = out + v * pitch;
    for (long u = 0; u < ncols; ++u) {
      const double x0 = r0[u], x1 = r1[u];
      o[u] = static_cast<float>(x0 + f * (x1 - x0));
    }
  }
}

}  // namespace
}  // namespace cbrecon
