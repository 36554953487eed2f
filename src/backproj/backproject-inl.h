// The backprojection of one view into a range of voxel rows, written once as
// a template over the lane width and compiled per instruction set
// (backproject_avx2.cpp: 4 double lanes; backproject_avx512.cpp: 8 double
// lanes).  The scalar loop in backproject.cpp is the reference.
//
// PERF NOTES
// - Lanes are adjacent stored voxel columns of one row.  Each lane runs the
//   scalar operation sequence of its own column exactly: the in-plane
//   coordinates (s, t) are first carried incrementally along the row by the
//   scalar loop and stored per column, then every column quantity is
//   evaluated lane-wise in double and rounded to float where the scalar code
//   stores a float (rf()).  The row coordinate v of each lane advances by its
//   own dv per slice pair, as the scalar loop does.
// - Products of two floats are exact in double, so the weights may be formed
//   in double and rounded once; the four-term sums are formed in double in
//   the scalar order and added to the old voxel in double.
// - Lanes whose column adds nothing, or whose slice pair is below row 8, keep
//   their old voxel bits (a blend, not an addition of 0, which would turn a
//   -0.0 into +0.0).
// - Detector samples are fetched per lane (the columns land on scattered
//   detector rows); the voxel words of a lane block are contiguous.
// - A row is visited in full blocks of W columns; the remainder goes through
//   the scalar column loop.
#pragma once

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "backproj/backproject.h"

#ifndef CBRECON_BP_FN
#define CBRECON_BP_FN
#endif
#ifndef CBRECON_BP_ISA
#define CBRECON_BP_ISA 0
#endif
#if CBRECON_BP_ISA
#include <immintrin.h>
#endif

#pragma GCC diagnostic ignored "-Wpsabi"

namespace cbrecon {
namespace {

// GCC vector types of W lanes (dependent sizes are not allowed, hence the
// specialisations).
template <int W>
struct BpTypes;
template <>
struct BpTypes<4> {
  typedef double D __attribute__((vector_size(32)));
  typedef float F __attribute__((vector_size(16)));
  typedef int32_t I __attribute__((vector_size(16)));
  typedef int64_t M __attribute__((vector_size(32)));
};
template <>
struct BpTypes<8> {
  typedef double D __attribute__((vector_size(64)));
  typedef float F __attribute__((vector_size(32)));
  typedef int32_t I __attribute__((vector_size(32)));
  typedef int64_t M __attribute__((vector_size(64)));
};

template <int W>
struct BpLanes {
  using D = typename BpTypes<W>::D;
  using F = typename BpTypes<W>::F;
  using I = typename BpTypes<W>::I;
  using M = typename BpTypes<W>::M;

  CBRECON_BP_FN static D wide(F x) {
#if CBRECON_BP_ISA >= 512
    if constexpr (W == 8) return (D)_mm512_maskz_cvtps_pd(0xff, (__m256)x);
#endif
#if CBRECON_BP_ISA >= 2
    if constexpr (W == 4) return (D)_mm256_cvtps_pd((__m128)x);
#endif
    return __builtin_convertvector(x, D);
  }
  CBRECON_BP_FN static F narrow(D x) {
#if CBRECON_BP_ISA >= 512
    if constexpr (W == 8) return (F)_mm512_maskz_cvtpd_ps(0xff, (__m512d)x);
#endif
#if CBRECON_BP_ISA >= 2
    if constexpr (W == 4) return (F)_mm256_cvtpd_ps((__m256d)x);
#endif
    return __builtin_convertvector(x, F);
  }
  // Rounds each lane to float precision (the value a float variable holds).
  CBRECON_BP_FN static D rf(D x) { return wide(narrow(x)); }
  // Truncation toward zero to int32 (only for lanes known to be in range).
  CBRECON_BP_FN static I to_int(D x) {
#if CBRECON_BP_ISA >= 512
    if constexpr (W == 8) return (I)_mm512_maskz_cvttpd_epi32(0xff, (__m512d)x);
#endif
#if CBRECON_BP_ISA >= 2
    if constexpr (W == 4) return (I)_mm256_cvttpd_epi32((__m256d)x);
#endif
    return __builtin_convertvector(x, I);
  }
  CBRECON_BP_FN static D to_double(I x) {
#if CBRECON_BP_ISA >= 512
    if constexpr (W == 8) return (D)_mm512_maskz_cvtepi32_pd(0xff, (__m256i)x);
#endif
#if CBRECON_BP_ISA >= 2
    if constexpr (W == 4) return (D)_mm256_cvtepi32_pd((__m128i)x);
#endif
    return __builtin_convertvector(x, D);
  }
  // Truncation toward zero, exact for every double.
  CBRECON_BP_FN static D trunc(D x) {
#if CBRECON_BP_ISA >= 512
    if constexpr (W == 8) return (D)_mm512_maskz_roundscale_pd(0xff, (__m512d)x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
#endif
#if CBRECON_BP_ISA >= 2
    if constexpr (W == 4) return (D)_mm256_round_pd((__m256d)x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
#endif
    D r;
    for (int l = 0; l < W; ++l) r[l] = std::trunc(x[l]);
    return r;
  }
  // Lane l receives p[idx[l]] in `lo` and p[idx[l] + 1] in `hi` (one
  // 64-bit load per lane).
  CBRECON_BP_FN static void gather_pair(const float* p, I idx, D& lo, D& hi) {
#if CBRECON_BP_ISA >= 512
    if constexpr (W == 8) {
      const __m512i g = _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), 0xff, (__m256i)idx,
                                                    reinterpret_cast<const long long*>(p), 4);
      lo = (D)_mm512_maskz_cvtps_pd(0xff, _mm256_castsi256_ps(_mm512_maskz_cvtepi64_epi32(0xff, g)));
      hi = (D)_mm512_maskz_cvtps_pd(
          0xff, _mm256_castsi256_ps(_mm512_maskz_cvtepi64_epi32(0xff, _mm512_maskz_srli_epi64(0xff, g, 32))));
      return;
    }
#endif
#if CBRECON_BP_ISA >= 2
    if constexpr (W == 4) {
      const __m256i g = _mm256_i32gather_epi64(reinterpret_cast<const long long*>(p), (__m128i)idx, 4);
      const __m256 f = _mm256_castsi256_ps(g);
      const __m256 even = _mm256_permutevar8x32_ps(f, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
      lo = (D)_mm256_cvtps_pd(_mm256_castps256_ps128(even));
      hi = (D)_mm256_cvtps_pd(_mm256_extractf128_ps(even, 1));
      return;
    }
#endif
    for (int l = 0; l < W; ++l) {
      lo[l] = p[idx[l]];
      hi[l] = p[idx[l] + 1];
    }
  }
  CBRECON_BP_FN static I mask32(M m) { return __builtin_convertvector(m, I); }
  CBRECON_BP_FN static bool any(M m) {
#if CBRECON_BP_ISA >= 2
    if constexpr (W == 4) return _mm256_movemask_pd((__m256d)m) != 0;
#endif
    for (int l = 0; l < W; ++l)
      if (m[l]) return true;
    return false;
  }
  CBRECON_BP_FN static F loadf(const float* p) {
    F v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  CBRECON_BP_FN static void storef(float* p, F v) { std::memcpy(p, &v, sizeof v); }
};

#if CBRECON_BP_ISA >= 512
// Eight 64-bit loads: lane l gets base[idx[l]] (as floats p[i], p[i + 1]).
CBRECON_BP_FN inline void gather_pair512(const long long* base, __m256i idx, __m512d& lo, __m512d& hi) {
  const __m512i g = _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), 0xff, idx, base, 4);
  lo = _mm512_maskz_cvtps_pd(0xff, _mm256_castsi256_ps(_mm512_maskz_cvtepi64_epi32(0xff, g)));
  hi = _mm512_maskz_cvtps_pd(
      0xff, _mm256_castsi256_ps(_mm512_maskz_cvtepi64_epi32(0xff, _mm512_maskz_srli_epi64(0xff, g, 32))));
}
#endif

// The slice-pair loop of one lane block: W voxel columns whose detector
// column iu, weights a (af) and b (bf), row coordinate v and step dv are known.
template <int W>
CBRECON_BP_FN inline void slice_loop(const float* proj, float* lo_ptr, float* hi_ptr, size_t slice,
                                     long npairs, long ncols, long nrows, double top,
                                     typename BpLanes<W>::M valid, typename BpLanes<W>::D v,
                                     typename BpLanes<W>::D dv, typename BpLanes<W>::F af,
                                     typename BpLanes<W>::F bf, typename BpLanes<W>::I iu) {
  using L = BpLanes<W>;
  using D = typename L::D;
  using F = typename L::F;
  using I = typename L::I;
  using M = typename L::M;
#if CBRECON_BP_ISA >= 512
  if constexpr (W == 8) {
    // AVX-512: masks live in k registers, weights in float lanes.
    const __mmask8 vmask = _mm512_test_epi64_mask((__m512i)valid, (__m512i)valid);
    const __m512d eight = _mm512_set1_pd(8.0), topv = _mm512_set1_pd(top);
    const __m512d one = _mm512_set1_pd(1.0);
    const __m256i ncv = _mm256_set1_epi32(static_cast<int32_t>(ncols));
    const __m256i nr1 = _mm256_set1_epi32(static_cast<int32_t>(nrows - 1));
    const __m256i iuv = (__m256i)iu;
    const __m256 a8 = (__m256)af, b8 = (__m256)bf;
    const long long* base = reinterpret_cast<const long long*>(proj);
    __m512d vv = (__m512d)v;
    const __m512d dvv = (__m512d)dv;
    // Columns of the block within 15 of each other: samples can come from
    // row loads (see below).  Masked lanes sit at the left limit, so take
    // the span over the valid lanes only.
    int32_t iu_min = INT32_MAX, iu_max = INT32_MIN;
    for (int l = 0; l < 8; ++l)
      if (valid[l]) {
        iu_min = std::min(iu_min, iu[l]);
        iu_max = std::max(iu_max, iu[l]);
      }
    const bool narrow_cols = vmask == 0xff && iu_max - iu_min <= 14;
    const __m512i iu_rel = _mm512_castsi256_si512(_mm256_sub_epi32(iuv, _mm256_set1_epi32(iu_min)));
    for (long j = 0; j < npairs; ++j, lo_ptr += slice, hi_ptr -= slice) {
      const __mmask8 m = _mm512_mask_cmp_pd_mask(vmask, vv, eight, _CMP_GT_OQ);
      if (m) {
        const __m512d tv = _mm512_maskz_roundscale_pd(0xff, vv, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256 fv = _mm512_maskz_cvtpd_ps(0xff, _mm512_sub_pd(vv, tv));
        const __m256 w1f = _mm256_mul_ps(a8, fv);
        const __m256 w0f = _mm256_sub_ps(a8, w1f);
        const __m256 w3f = _mm256_mul_ps(b8, fv);
        const __m256 w2f = _mm256_sub_ps(b8, w3f);
        const __m512d w0 = _mm512_maskz_cvtps_pd(0xff, w0f), w1 = _mm512_maskz_cvtps_pd(0xff, w1f);
        const __m512d w2 = _mm512_maskz_cvtps_pd(0xff, w2f), w3 = _mm512_maskz_cvtps_pd(0xff, w3f);
        const __mmask8 held = _mm512_cmp_pd_mask(vv, topv, _CMP_GE_OQ);
        // Lanes without a sample read row 8 (any row in range would do).
        const __m512d ivd = _mm512_mask_blend_pd(held, _mm512_mask_blend_pd(m, eight, tv), topv);
        const __m512d iv1d = _mm512_mask_blend_pd(held, _mm512_add_pd(ivd, one), topv);
        const __m256i iv = _mm512_maskz_cvttpd_epi32(0xff, ivd);
        const __m256i iv1 = _mm512_maskz_cvttpd_epi32(0xff, iv1d);
        __m512d p00, p01, p10, p11, q00, q01, q10, q11;
        const double lo_row = _mm512_reduce_min_pd(ivd), hi_row = _mm512_reduce_max_pd(ivd);
        if (narrow_cols && hi_row - lo_row <= 1.0 && !held) {
          // Every lane's four samples lie in rows lo_row .. lo_row + 2 and in
          // 16 columns from iu_min: three row loads and lane permutes
          // instead of gathers (the same values, fetched differently).
          const long r_lo = static_cast<long>(lo_row), r_hi = static_cast<long>(hi_row);
          const __m512i rel = _mm512_castsi256_si512(iv);
          const __m512i sel = _mm512_add_epi32(
              _mm512_slli_epi32(_mm512_sub_epi32(rel, _mm512_set1_epi32(static_cast<int32_t>(r_lo))), 4), iu_rel);
          const __m512i sel1 = _mm512_add_epi32(sel, _mm512_set1_epi32(1));
          const float* R = proj + r_lo * ncols + iu_min;
          const __m512 A = _mm512_loadu_ps(R), B = _mm512_loadu_ps(R + ncols), C = _mm512_loadu_ps(R + 2 * ncols);
          p00 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(A, sel, B)));
          p01 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(A, sel1, B)));
          p10 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(B, sel, C)));
          p11 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(B, sel1, C)));
          // Mirror rows nrows - 1 - iv and nrows - iv, counted from nrows - 1 - r_hi.
          const __m512i selm = _mm512_add_epi32(
              _mm512_slli_epi32(_mm512_sub_epi32(_mm512_set1_epi32(static_cast<int32_t>(r_hi)), rel), 4), iu_rel);
          const __m512i selm1 = _mm512_add_epi32(selm, _mm512_set1_epi32(1));
          const float* K = proj + (nrows - 1 - r_hi) * ncols + iu_min;
          const __m512 K0 = _mm512_loadu_ps(K), K1 = _mm512_loadu_ps(K + ncols), K2 = _mm512_loadu_ps(K + 2 * ncols);
          q00 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(K0, selm, K1)));
          q01 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(K0, selm1, K1)));
          q10 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(K1, selm, K2)));
          q11 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(K1, selm1, K2)));
        } else {
          const __m256i i0 = _mm256_add_epi32(_mm256_mullo_epi32(iv, ncv), iuv);
          const __m256i i1 = _mm256_add_epi32(_mm256_mullo_epi32(iv1, ncv), iuv);
          const __m256i k0 = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(nr1, iv), ncv), iuv);
          const __m256i k1 = _mm256_add_epi32(k0, ncv);
          gather_pair512(base, i0, p00, p01);
          gather_pair512(base, i1, p10, p11);
          gather_pair512(base, k0, q00, q01);
          gather_pair512(base, k1, q10, q11);
        }
        const __m512d old_lo = _mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(lo_ptr));
        __m512d sum = _mm512_add_pd(_mm512_mul_pd(w0, p00), _mm512_mul_pd(w1, p10));
        sum = _mm512_add_pd(sum, _mm512_mul_pd(w2, p01));
        sum = _mm512_add_pd(sum, _mm512_mul_pd(w3, p11));
        // Lanes outside the mask write back their old value unchanged.
        _mm256_storeu_ps(lo_ptr, _mm512_maskz_cvtpd_ps(0xff, _mm512_mask_add_pd(old_lo, m, old_lo, sum)));
        const __m512d old_hi = _mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(hi_ptr));
        __m512d sum2 = _mm512_add_pd(_mm512_mul_pd(w1, q00), _mm512_mul_pd(w0, q10));
        sum2 = _mm512_add_pd(sum2, _mm512_mul_pd(w3, q01));
        sum2 = _mm512_add_pd(sum2, _mm512_mul_pd(w2, q11));
        _mm256_storeu_ps(hi_ptr, _mm512_maskz_cvtpd_ps(0xff, _mm512_mask_add_pd(old_hi, m, old_hi, sum2)));
      }
      vv = _mm512_add_pd(vv, dvv);
    }
    return;
  }
#endif
  for (long j = 0; j < npairs; ++j, lo_ptr += slice, hi_ptr -= slice) {
    const M m = valid & (v > 8.0);
    if (L::any(m)) {
      const D tv = L::trunc(v);
      // Weights are single operations on floats: float arithmetic gives
      // exactly the double result rounded to float.
      const F fv = L::narrow(v - tv);
      const F w1f = af * fv;
      const F w0f = af - w1f;
      const F w3f = bf * fv;
      const F w2f = bf - w3f;
      const D w0 = L::wide(w0f), w1 = L::wide(w1f), w2 = L::wide(w2f), w3 = L::wide(w3f);
      const M held = v >= top;
      const D ivd = held ? top : (m ? tv : 8.0);
      const I iv = L::to_int(ivd);
      const I iv1 = L::mask32(held) ? iv : iv + 1;
      const I i0 = iv * static_cast<int32_t>(ncols) + iu;
      const I i1 = iv1 * static_cast<int32_t>(ncols) + iu;
      const I k0 = (static_cast<int32_t>(nrows) - 1 - iv) * static_cast<int32_t>(ncols) + iu;
      const I k1 = k0 + static_cast<int32_t>(ncols);
      D p00, p01, p10, p11, q00, q01, q10, q11;
      L::gather_pair(proj, i0, p00, p01);
      L::gather_pair(proj, i1, p10, p11);
      L::gather_pair(proj, k0, q00, q01);
      L::gather_pair(proj, k1, q10, q11);
      const I mi = L::mask32(m);
      const F old_lo = L::loadf(lo_ptr);
      const D sum_lo = ((w0 * p00 + w1 * p10) + w2 * p01) + w3 * p11;
      const F new_lo = L::narrow(L::wide(old_lo) + sum_lo);
      L::storef(lo_ptr, mi ? new_lo : old_lo);
      const F old_hi = L::loadf(hi_ptr);
      const D sum_hi = ((w1 * q00 + w0 * q10) + w3 * q01) + w2 * q11;
      const F new_hi = L::narrow(L::wide(old_hi) + sum_hi);
      L::storef(hi_ptr, mi ? new_hi : old_hi);
    }
    v = v + dv;
  }
}

// Adds one view to voxel rows [r0, r1).  `S`, `T`: scratch of npxls floats.
template <int W>
CBRECON_BP_FN void backproject_rows_lanes(const BackprojGeometry& bg, const FovExtents& fov,
                                          const ViewConstants& vc, const float* proj,
                                          float* vol, size_t slice, long r0, long r1, float* S,
                                          float* T) {
  using L = BpLanes<W>;
  using D = typename L::D;
  using F = typename L::F;
  using I = typename L::I;
  using M = typename L::M;
  const long ncols = bg.proj_pitch;  // row pitch of proj
  const long npxls = bg.npxls;
  const long nz = bg.nz;
  const long nrows = bg.nrows;
  const long half_rows = nrows / 2;
  const double top = static_cast<double>(nrows - 9);
  const double v_base = static_cast<double>(bg.pxlz) * 0.5 - bg.zhalf;
  const double pxlz = bg.pxlz;
  const double ucenter = bg.ucenter;
  const double tan_d = tanstep;
  const double u_lo = static_cast<double>(bg.ishift + 8);
  const double u_hi = static_cast<double>(bg.ncols_ext - 1);
  const double dbeta = vc.dbeta;

  for (long r = r0; r < r1; ++r) {
    row_coordinates(vc, fov, bg.npxls, r, S, T);
    const long c_lo = fov.fov_start[r], c_hi = fov.fov_end[r];
    float* const row_base = vol + static_cast<size_t>(r) * npxls;
    for (long c0 = c_lo; c0 < c_hi; c0 += W) {
      if (c0 + W > c_hi) {
        // Remainder: one column at a time, the scalar way.
        for (long c = c0; c < c_hi; ++c) backproject_column(bg, vc, proj, row_base, slice, c, S[c], T[c]);
        break;
      }
      const D s = L::wide(L::loadf(S + c0));
      const D t = L::wide(L::loadf(T + c0));
      const D U = L::rf(sad - t);
      const D UU = L::rf(U * U);
      const D wv = L::rf(dbeta / UU);
      const D mag = sdd_px / U;
      D v = v_base * mag + static_cast<double>(half_rows);
      const D dv = L::rf(pxlz * mag);
      const D su = L::rf(s / U);
      const D u = L::rf(su / tan_d + ucenter);
      const M valid = (U > 0.0) & (u >= u_lo) & (u < u_hi);
      if (!L::any(valid)) continue;
      const D u_safe = valid ? u : u_lo;
      const I iu = L::to_int(u_safe);
      const D fu = L::rf(u_safe - L::to_double(iu));
      D h;
      for (int l = 0; l < W; ++l) h[l] = bg.fanw[iu[l]];
      const D b = L::rf(wv * fu * h);
      const D a = L::rf(wv * h - b);
      float* lo_ptr = row_base + c0;
      float* hi_ptr = row_base + (nz - 1) * slice + c0;
      const F af = L::narrow(a), bf = L::narrow(b);
      slice_loop<W>(proj, lo_ptr, hi_ptr, slice, nz / 2, ncols, nrows, top, valid, v, dv, af, bf, iu);
    }
  }
}

}  // namespace
}  // namespace cbrecon
