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
  CBRECON_BP_FN static I mask32(M m) { return __builtin_convertvector(m, I); }
  CBRECON_BP_FN static bool any(M m) {
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

// Adds one view to voxel rows [r0, r1).  `S`, `T`: scratch of npxls floats.
template <int W>
CBRECON_BP_FN void backproject_rows_lanes(const BackprojGeometry& bg, const FovExtents& fov,
                                          const ViewConstants& vc, const float* proj,
                                          float* vol, long r0, long r1, float* S, float* T) {
  using L = BpLanes<W>;
  using D = typename L::D;
  using F = typename L::F;
  using I = typename L::I;
  using M = typename L::M;
  const long ncols = bg.ncols_ext;
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
  const double u_hi = static_cast<double>(ncols - 1);
  const double dbeta = vc.dbeta;
  const size_t slice = static_cast<size_t>(npxls) * npxls;

  float sr = vc.sr, tr = vc.tr;
  for (long r = 0; r < r0; ++r) {
    sr = static_cast<float>(static_cast<double>(sr) + vc.dsr);
    tr = static_cast<float>(static_cast<double>(tr) + vc.dtr);
  }
  for (long r = r0; r < r1; ++r) {
    const long lo = fov.fov_start[r], hi = fov.fov_end[r];
    // In-plane coordinates of every loop column, carried as the scalar loop
    // carries them, stored by volume column c = npxls - 1 - q.
    {
      float s = static_cast<float>(static_cast<double>(lo) * vc.dsc + sr - vc.dsc);
      float t = static_cast<float>(static_cast<double>(lo) * vc.dtc + tr - vc.dtc);
      for (long q = lo; q < hi; ++q) {
        S[npxls - 1 - q] = s;
        T[npxls - 1 - q] = t;
        s = static_cast<float>(static_cast<double>(s) + vc.dsc);
        t = static_cast<float>(static_cast<double>(t) + vc.dtc);
      }
    }
    const long c_lo = npxls - hi, c_hi = npxls - lo;
    float* const row_base = vol + static_cast<size_t>(r) * npxls;
    for (long c0 = c_lo; c0 < c_hi; c0 += W) {
      if (c0 + W > c_hi) {
        // Remainder: one column at a time, the scalar way.
        for (long c = c0; c < c_hi; ++c) backproject_column(bg, vc, proj, row_base, c, S[c], T[c]);
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
      for (long j = 0; j < nz / 2; ++j, lo_ptr += slice, hi_ptr -= slice) {
        const M m = valid & (v > 8.0);
        if (L::any(m)) {
          const D tv = L::trunc(v);
          const D fv = L::rf(v - tv);
          const M held = v >= top;
          const D ivd = held ? top : (m ? tv : 8.0);
          const I iv = L::to_int(ivd);
          const I iv1 = L::mask32(held) ? iv : iv + 1;
          const D w1 = L::rf(a * fv);
          const D w0 = L::rf(a - w1);
          const D w3 = L::rf(b * fv);
          const D w2 = L::rf(b - w3);
          const I i0 = iv * static_cast<int32_t>(ncols) + iu;
          const I i1 = iv1 * static_cast<int32_t>(ncols) + iu;
          const I m0 = (static_cast<int32_t>(nrows) - 1 - iv) * static_cast<int32_t>(ncols) + iu;
          D p00{}, p01{}, p10{}, p11{}, q00{}, q01{}, q10{}, q11{};
          for (int l = 0; l < W; ++l) {
            p00[l] = proj[i0[l]];
            p01[l] = proj[i0[l] + 1];
            p10[l] = proj[i1[l]];
            p11[l] = proj[i1[l] + 1];
            q00[l] = proj[m0[l]];
            q01[l] = proj[m0[l] + 1];
            q10[l] = proj[m0[l] + ncols];
            q11[l] = proj[m0[l] + ncols + 1];
          }
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
    sr = static_cast<float>(static_cast<double>(sr) + vc.dsr);
    tr = static_cast<float>(static_cast<double>(tr) + vc.dtr);
  }
}

}  // namespace
}  // namespace cbrecon
