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
//   or bottom add nothing there.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
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

#if CBRECON_PJ_ISA == 512
// 8 rows per block; acc and T.cv hold whole blocks.
CBRECON_PJ_FN void ray_sums(const ProjectorTables& T, const float* sheet, const double* lam, long K,
                            long nrays, double* acc) {
  const __m512d z0 = _mm512_set1_pd(T.z0), zmax = _mm512_set1_pd(T.zmax), zero = _mm512_setzero_pd();
  const __m512i one = _mm512_set1_epi32(1);
  const double lmax = K > 0 ? std::max(lam[0], lam[K - 1]) : 0.0;
  for (long j = 0; j < nrays; j += 8) {
    const __m512d cv = _mm512_loadu_pd(&T.cv[j]);
    __m512d s = zero;
    const bool window = (T.cv[j + 7] - T.cv[j]) * lmax <= 12.0;
    for (long k = 0; k < K; ++k) {
      __m512d zp = _mm512_add_pd(_mm512_mul_pd(cv, _mm512_set1_pd(lam[k])), z0);
      zp = _mm512_max_pd(zero, zp);
      zp = _mm512_min_pd(zmax, zp);
      const __m256i iz = _mm512_cvttpd_epi32(zp);
      const __m512d fz = _mm512_sub_pd(zp, _mm512_cvtepi32_pd(iz));
      const float* row = sheet + k * T.lz;
      __m256 a, b;
      if (window) {
        const int base = _mm_cvtsi128_si32(_mm256_castsi256_si128(iz));
        const __m512i idx = _mm512_zextsi256_si512(_mm256_sub_epi32(iz, _mm256_set1_epi32(base)));
        const __m512 win = _mm512_loadu_ps(row + base);
        a = _mm512_castps512_ps256(_mm512_permutexvar_ps(idx, win));
        b = _mm512_castps512_ps256(_mm512_permutexvar_ps(_mm512_add_epi32(idx, one), win));
      } else {
        a = _mm256_i32gather_ps(row, iz, 4);
        b = _mm256_i32gather_ps(row + 1, iz, 4);
      }
      const __m512d ad = _mm512_cvtps_pd(a), bd = _mm512_cvtps_pd(b);
      s = _mm512_add_pd(s, _mm512_add_pd(ad, _mm512_mul_pd(fz, _mm512_sub_pd(bd, ad))));
    }
    _mm512_storeu_pd(acc + j, s);
  }
}
#elif CBRECON_PJ_ISA == 2
// 4 rows per block; acc and T.cv hold whole blocks.
CBRECON_PJ_FN void ray_sums(const ProjectorTables& T, const float* sheet, const double* lam, long K,
                            long nrays, double* acc) {
  const __m256d z0 = _mm256_set1_pd(T.z0), zmax = _mm256_set1_pd(T.zmax), zero = _mm256_setzero_pd();
  const __m256i one = _mm256_set1_epi32(1);
  const double lmax = K > 0 ? std::max(lam[0], lam[K - 1]) : 0.0;
  for (long j = 0; j < nrays; j += 4) {
    const __m256d cv = _mm256_loadu_pd(&T.cv[j]);
    __m256d s = zero;
    const bool window = (T.cv[j + 3] - T.cv[j]) * lmax <= 4.5;
    for (long k = 0; k < K; ++k) {
      __m256d zp = _mm256_add_pd(_mm256_mul_pd(cv, _mm256_set1_pd(lam[k])), z0);
      zp = _mm256_max_pd(zero, zp);
      zp = _mm256_min_pd(zmax, zp);
      const __m128i iz = _mm256_cvttpd_epi32(zp);
      const __m256d fz = _mm256_sub_pd(zp, _mm256_cvtepi32_pd(iz));
      const float* row = sheet + k * T.lz;
      __m128 a, b;
      if (window) {
        const int base = _mm_cvtsi128_si32(iz);
        const __m256i idx = _mm256_zextsi128_si256(_mm_sub_epi32(iz, _mm_set1_epi32(base)));
        const __m256 win = _mm256_loadu_ps(row + base);
        a = _mm256_castps256_ps128(_mm256_permutevar8x32_ps(win, idx));
        b = _mm256_castps256_ps128(_mm256_permutevar8x32_ps(win, _mm256_add_epi32(idx, one)));
      } else {
        a = _mm_i32gather_ps(row, iz, 4);
        b = _mm_i32gather_ps(row + 1, iz, 4);
      }
      const __m256d ad = _mm256_cvtps_pd(a), bd = _mm256_cvtps_pd(b);
      s = _mm256_add_pd(s, _mm256_add_pd(ad, _mm256_mul_pd(fz, _mm256_sub_pd(bd, ad))));
    }
    _mm256_storeu_pd(acc + j, s);
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
  thread_local std::vector<double> lam, acc;
  thread_local std::vector<float> coarse, rows;
  if (sheet_lz != lz || sheet_nprof != nprof || sheet.size() < static_cast<size_t>(n * lz)) {
    sheet.assign(static_cast<size_t>(n) * static_cast<size_t>(lz), 0.0f);
    sheet_lz = lz;
    sheet_nprof = nprof;
  }
  lam.resize(static_cast<size_t>(n));
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
    for (long k = 0; k < K; ++k) {
      const long i = dp > 0 ? lo + k : hi - k;  // source to detector
      const double l = (static_cast<double>(i) - p0) / dp;
      lam[k] = l;
      const double o = o0 + l * dO;
      const double of = std::floor(o);
      float* prof = sheet.data() + k * lz;
      if (!(of >= -1.0 && of <= static_cast<double>(n - 1))) {
        std::fill(prof, prof + nprof, 0.0f);
        continue;
      }
      const long io = static_cast<long>(of);
      const double f = o - of;
      // Padded indices: row r at r + 1, column c at c + 1.
      const float* q0 = xdrive ? vol + (io + 1) * rstride + (i + 1) * lzv
                               : vol + (i + 1) * rstride + (io + 1) * lzv;
      const float* q1 = xdrive ? q0 + rstride : q0 + lzv;
      blend_profile(q0, q1, f, nprof, prof);
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
