// The vector backprojection of a batch of views into a range of voxel
// rows, compiled per instruction set (backproject_avx2.cpp,
// backproject_avx512.cpp), both in blocks of W = 8 voxel columns: the
// column quantities are written once over the lane width, the slice loop
// once per instruction set.  The scalar loop in backproject.cpp is the
// reference; every kernel gives its bytes.
//
// PERF NOTES
// - Lanes are adjacent stored voxel columns of one row, in blocks aligned to
//   multiples of W.  Each lane runs the scalar operation sequence of its own
//   column exactly: the in-plane coordinates (s, t) are carried along the
//   row by the scalar routine, then every column quantity is evaluated
//   lane-wise in double and rounded to float where the scalar code stores a
//   float (rf()).  The row coordinate v of each lane advances by its own dv
//   per slice pair, as the scalar loop does, whatever the loop order.
// - Products of two floats are exact in double, so the weights may be formed
//   in float and widened; the four-term sums are formed in double in the
//   scalar order and added to the old voxel in double.
// - Lanes whose column adds nothing, or whose slice pair is below row 8, keep
//   their old voxel bits (a masked store or a blend, not an addition of 0,
//   which would turn a -0.0 into +0.0).
// - Only the voxels are shared between the views; the order in which blocks,
//   rows and slice pairs are visited is free as long as each voxel receives
//   the views in order (see the loop shape below).
// - AVX-512: a block's samples usually lie in three detector rows of 16
//   columns; row loads and lane permutes fetch them, gathers only where they
//   do not.  A block that covers part of a row is masked (no scalar tail).
// - AVX2: the same 8-column blocks, the doubles in two halves of four, the
//   float work eight lanes wide, the same row loads (two 8-float loads per
//   row and lane permutes) and the same pair-ahead pipelining; partial
//   blocks go to the scalar loop.  Measured on the Zen 5 machine, default
//   run, 2 threads: 4-column blocks with gathers 8.3 s of backprojection,
//   with row loads and prefetch 7.4 s, 8-column blocks 6.9 s, pipelined
//   5.3-5.9 s (AVX-512 2.8 s).
#pragma once

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

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
// GCC 12 reports the deliberately undefined upper lanes of the AVX-512 cast
// and extract intrinsics as "may be used uninitialized".
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace cbrecon {
namespace {

// GCC vector types of W lanes (dependent sizes are not allowed, hence the
// specialisations).
template <int W>
struct BpTypes;
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
    return __builtin_convertvector(x, D);
  }
  CBRECON_BP_FN static F narrow(D x) {
#if CBRECON_BP_ISA >= 512
    if constexpr (W == 8) return (F)_mm512_maskz_cvtpd_ps(0xff, (__m512d)x);
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
    return __builtin_convertvector(x, I);
  }
  CBRECON_BP_FN static D to_double(I x) {
#if CBRECON_BP_ISA >= 512
    if constexpr (W == 8) return (D)_mm512_maskz_cvtepi32_pd(0xff, (__m256i)x);
#endif
    return __builtin_convertvector(x, D);
  }
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
};

#if CBRECON_BP_ISA >= 512
// Eight 64-bit loads: lane l gets base[idx[l]] (as floats p[i], p[i + 1]).
CBRECON_BP_FN inline void gather_pair512(const long long* base, __m256i idx, __m512d& lo, __m512d& hi) {
  const __m512i g = _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), 0xff, idx, base, 4);
  lo = _mm512_maskz_cvtps_pd(0xff, _mm256_castsi256_ps(_mm512_maskz_cvtepi64_epi32(0xff, g)));
  hi = _mm512_maskz_cvtps_pd(0xff, _mm256_castsi256_ps(_mm512_maskz_cvtepi64_epi32(0xff, _mm512_maskz_srli_epi64(0xff, g, 32))));
}
#endif

// Loop shape of the vector kernels (measured on the 2-core Zen 5 machine,
// whole default run: 4.5 s of backprojection with the slice loop innermost
// per voxel column, 2.7 s with this shape, 2.2 s with the pair-ahead
// pipelining in pair_pass).
// The numbers of the shape are BackprojShape's (backproject.h); the
// planner (backproj/plan.h) picks them per CPU and geometry.
// - tile_rows voxel rows per tile: for a given view and slice pair the
//   tile's rows sample nearly the same detector lines, so a line fetched
//   for one row is still in cache for the next.
// - pair_chunk slice pairs per visit of a block: the block's state stays in
//   registers for the chunk, while consecutive blocks of a row still walk
//   along the same few detector rows and the same volume slices.
// - The chunk's slices of the tile are small enough to stay in cache while
//   all views of the batch add to them.
// - prefetch: blocks ahead whose detector lines are requested early, 0 for
//   none (60-view default run, AVX-512, alternating runs: 3 blocks 3 %
//   faster than 6, 12 blocks 5 % slower than 6; the line past each
//   16-column window too, or into L2 only: slower).
// - gathers: every slice pair's samples by gathers, never by row loads and
//   permutes (for CPUs whose gathers are fast or whose permutes are slow).

// W adjacent voxel columns of one row, for one view: everything the slice
// loop needs, computed once.  Lanes that add nothing carry v = NaN (no slice
// pair passes the v > 8 test) and a safe detector column.
template <int W>
struct alignas(64) LaneBlock {
  typename BpLanes<W>::D v;   // row coordinate of the next slice pair
  typename BpLanes<W>::D dv;  // its step from one pair to the next
  typename BpLanes<W>::F a, b;
  typename BpLanes<W>::I iu_rel;  // detector column iu - iu_min (0 in lanes that add nothing)
  float* lo;                      // slice-0 voxel word of lane 0
  int32_t iu_min;
  uint8_t narrow;  // the valid lanes' columns iu, iu + 1 lie in 16 from iu_min
  uint8_t lf, ll;  // first and last valid lane
};

// Whether a block may end inside the row (masked loads and stores); without
// them the last columns of a row go through the scalar loop.
template <int W>
inline constexpr bool kMaskedTail = (CBRECON_BP_ISA >= 512 && W == 8);

// Column quantities of voxel rows [rt, rt1) for one view, as the scalar
// column loop computes them, in lane blocks of W columns on a grid aligned
// to multiples of W, row by row, so that a pass over them walks each row's
// detector curve once and the next row finds the same lines in cache.  (Row
// after row within a column position was slower: it splits the volume
// slices into as many streams as the tile has rows.)  A block that only
// partly covers a row's extent masks its other lanes (or, without masked
// stores, leaves those columns to the scalar loop, done here).  S, T:
// scratch of (rt1 - rt) * stride floats.
template <int W>
CBRECON_BP_FN void build_blocks(const ScanGeometry& bg, const FovExtents& fov, const ViewConstants& vc,
                                const float* proj, float* vol, size_t slice, long rt, long rt1, float* S,
                                float* T, long stride, std::vector<LaneBlock<W>>& blocks) {
  using L = BpLanes<W>;
  using D = typename L::D;
  using I = typename L::I;
  using M = typename L::M;
  const long npxls = bg.npxls;
  const long half_rows = bg.nrows / 2;
  const double v_base = static_cast<double>(bg.pxlz) * 0.5 - bg.zhalf;
  const double pxlz = bg.pxlz;
  const double ucenter = bg.ucenter;
  const double tan_d = tanstep;
  const double u_lo = static_cast<double>(bg.ishift + 8);
  const double u_hi = static_cast<double>(bg.ncols_ext - 1);
  const double dbeta = vc.dbeta;
  D lane_no;
  for (int l = 0; l < W; ++l) lane_no[l] = l;

  long cb_lo = LONG_MAX, cb_hi = 0;
  for (long r = rt; r < rt1; ++r) {
    if (fov.fov_start[r] >= fov.fov_end[r]) continue;
    row_coordinates(vc, fov, bg.npxls, r, S + (r - rt) * stride, T + (r - rt) * stride);
    cb_lo = std::min<long>(cb_lo, fov.fov_start[r] / W);
    cb_hi = std::max<long>(cb_hi, (fov.fov_end[r] + W - 1) / W);
  }
  for (long r = rt; r < rt1; ++r) {
    for (long cb = cb_lo; cb < cb_hi; ++cb) {
      const long c0 = cb * W;
      const long c_lo = std::max<long>(c0, fov.fov_start[r]), c_hi = std::min<long>(c0 + W, fov.fov_end[r]);
      if (c_lo >= c_hi) continue;
      const float* Sr = S + (r - rt) * stride;
      const float* Tr = T + (r - rt) * stride;
      float* const row_base = vol + static_cast<size_t>(r) * npxls;
      if (c_hi - c_lo < W && !kMaskedTail<W>) {
        for (long c = c_lo; c < c_hi; ++c) backproject_column(bg, vc, proj, row_base, slice, c, Sr[c], Tr[c]);
        continue;
      }
      const D s = L::wide(L::loadf(Sr + c0));
      const D t = L::wide(L::loadf(Tr + c0));
      const D U = L::rf(sad - t);
      const D UU = L::rf(U * U);
      const D wv = L::rf(dbeta / UU);
      const D mag = sdd_px / U;
      const D v = v_base * mag + static_cast<double>(half_rows);
      const D dv = L::rf(pxlz * mag);
      const D su = L::rf(s / U);
      const D u = L::rf(su / tan_d + ucenter);
      const M valid = (U > 0.0) & (u >= u_lo) & (u < u_hi) & (lane_no >= static_cast<double>(c_lo - c0)) &
                      (lane_no < static_cast<double>(c_hi - c0));
      if (!L::any(valid)) continue;
      const D u_safe = valid ? u : u_lo;
      const I iu = L::to_int(u_safe);
      const D fu = L::rf(u_safe - L::to_double(iu));
      D h;
      for (int l = 0; l < W; ++l) h[l] = bg.fanw[iu[l]];
      const D b = L::rf(wv * fu * h);
      const D a = L::rf(wv * h - b);
      LaneBlock<W>& bk = blocks.emplace_back();
      bk.v = valid ? v : __builtin_nan("");
      bk.dv = dv;
      bk.a = L::narrow(a);
      bk.b = L::narrow(b);
      bk.lo = row_base + c0;
      int32_t iu_min = INT32_MAX, iu_max = INT32_MIN;
      bk.lf = W;
      bk.ll = 0;
      for (int l = 0; l < W; ++l)
        if (valid[l]) {
          iu_min = std::min(iu_min, iu[l]);
          iu_max = std::max(iu_max, iu[l]);
          bk.lf = std::min<uint8_t>(bk.lf, l);
          bk.ll = static_cast<uint8_t>(l);
        }
      bk.iu_min = iu_min;
      bk.narrow = iu_max - iu_min <= 14;
      for (int l = 0; l < W; ++l) bk.iu_rel[l] = valid[l] ? iu[l] - iu_min : 0;
    }
  }
}

#if CBRECON_BP_ISA
// Asks for the detector lines (three rows on each side of the mirror) that
// block nb will read for slice pairs [j0, j1): the walk across the detector
// is too irregular for the hardware prefetchers.  Always inlined: GCC 12
// finds that a separate function of prefetches alone changes no memory,
// deletes the calls, and no prefetch is left in the kernel.  Measured with
// the prefetches in place (they had been missing): AVX-512 backprojection
// 4-6 % faster; AVX2, limited by its arithmetic, unchanged.
template <int W>
CBRECON_BP_FN __attribute__((always_inline)) inline void prefetch_lines(const LaneBlock<W>& nb, const float* proj,
                                                                        long j0, long j1, long ncols, long nrows) {
  double vn = nb.v[nb.lf];
  const double dvn = nb.dv[nb.lf];
  const double top = static_cast<double>(nrows - 9);
  for (long j = j0; j < j1; ++j, vn += dvn) {
    if (vn > 8.0 && vn < top) {
      const long rn = static_cast<long>(vn);
      const float* P = proj + rn * ncols + nb.iu_min;
      const float* Q = proj + (nrows - 2 - rn) * ncols + nb.iu_min;
      for (long r = 0; r < 3; ++r) {
        _mm_prefetch(reinterpret_cast<const char*>(P + r * ncols), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(Q + r * ncols), _MM_HINT_T0);
      }
    }
  }
}
#endif

// Slice pairs [j0, j1) of every block, block by block: a block's state
// stays in registers for the whole range and its row coordinates advance
// by one pair at a time.
template <int W>
CBRECON_BP_FN void pair_pass(LaneBlock<W>* blocks, size_t nblocks, const float* proj, size_t slice, long j0,
                             long j1, long nz, long ncols, long nrows, size_t ahead, bool row_loads) {
  static_assert(W == 8 && (CBRECON_BP_ISA == 2 || CBRECON_BP_ISA >= 512), "8-column blocks, AVX2 or AVX-512");
  const double top = static_cast<double>(nrows - 9);
#if CBRECON_BP_ISA >= 512
  if constexpr (W == 8) {
    const __m512d eight = _mm512_set1_pd(8.0), topv = _mm512_set1_pd(top), one = _mm512_set1_pd(1.0);
    const __m256i ncv = _mm256_set1_epi32(static_cast<int32_t>(ncols));
    const __m256i nr1 = _mm256_set1_epi32(static_cast<int32_t>(nrows - 1));
    const __m256i one_i = _mm256_set1_epi32(1);
    const __m512i sixteen = _mm512_set1_epi32(16), one16 = _mm512_set1_epi32(1);
    const long long* base = reinterpret_cast<const long long*>(proj);
    for (size_t k = 0; k < nblocks; ++k) {
      LaneBlock<8>& bk = blocks[k];
      if (ahead && k + ahead < nblocks) prefetch_lines(blocks[k + ahead], proj, j0, j1, ncols, nrows);
      // Block state in registers; scalar copies of the first and last valid
      // lanes' row coordinates (the same double additions) give the row
      // base without moving data out of the vector unit.
      __m512d v = (__m512d)bk.v;
      const __m512d dvv = (__m512d)bk.dv;
      const double* vs = reinterpret_cast<const double*>(&bk.v);
      const double* dvs = reinterpret_cast<const double*>(&bk.dv);
      double vf = vs[bk.lf], vl = vs[bk.ll];
      const double dvf = dvs[bk.lf], dvl = dvs[bk.ll];
      const __m256 a8 = (__m256)bk.a, b8 = (__m256)bk.b;
      const __m512i iu_rel = _mm512_zextsi256_si512((__m256i)bk.iu_rel);
      const bool narrow = bk.narrow && row_loads;
      const long iu_min = bk.iu_min;
      float* const lo_base = bk.lo;
      // What a slice pair needs before it touches memory: which lanes
      // sample, the four weights, and where the samples are.  Computed one
      // pair ahead, so that its chain of roundings overlaps the previous
      // pair's loads and sums.
      struct Front {
        __mmask8 m, held;
        bool rows_ok;  // row-load path: lanes' rows within r_lo .. r_lo + 1
        int32_t r_lo;
        __m512d tv, w0, w1, w2, w3;
        __m512i sel, selm;
      };
      auto front = [&](__m512d vj, double v_edge) CBRECON_BP_FN {
        Front f;
        // Lanes that add nothing hold v = NaN and never pass.
        f.m = _mm512_cmp_pd_mask(vj, eight, _CMP_GT_OQ);
        if (!f.m) return f;
        f.tv = _mm512_maskz_roundscale_pd(0xff, vj, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256 fv = _mm512_maskz_cvtpd_ps(0xff, _mm512_sub_pd(vj, f.tv));
        // Weights are single operations on floats: float arithmetic gives
        // exactly the double result rounded to float.
        const __m256 w1f = _mm256_mul_ps(a8, fv);
        const __m256 w0f = _mm256_sub_ps(a8, w1f);
        const __m256 w3f = _mm256_mul_ps(b8, fv);
        const __m256 w2f = _mm256_sub_ps(b8, w3f);
        f.w0 = _mm512_maskz_cvtps_pd(0xff, w0f);
        f.w1 = _mm512_maskz_cvtps_pd(0xff, w1f);
        f.w2 = _mm512_maskz_cvtps_pd(0xff, w2f);
        f.w3 = _mm512_maskz_cvtps_pd(0xff, w3f);
        f.held = _mm512_mask_cmp_pd_mask(f.m, vj, topv, _CMP_GE_OQ);
        f.rows_ok = false;
        if (narrow && !f.held) {
          // The first and last valid lanes bound the rows; the check
          // catches any sampling lane outside r_lo .. r_lo + 1.
          f.r_lo = !(v_edge >= 0.0) ? 0 : v_edge < 65536.0 ? static_cast<int32_t>(v_edge) : 65536;
          const __m256i iv = _mm512_maskz_cvttpd_epi32(0xff, vj);
          const __m256i d = _mm256_sub_epi32(iv, _mm256_set1_epi32(f.r_lo));
          f.rows_ok = !_mm256_mask_cmpgt_epu32_mask(f.m, d, one_i);
          const __m512i rel = _mm512_maskz_slli_epi32(0xffff, _mm512_zextsi256_si512(d), 4);
          f.sel = _mm512_add_epi32(rel, iu_rel);
          // Mirror rows nrows - 1 - iv and nrows - iv, counted from
          // nrows - 2 - r_lo: offsets 1 - d and 2 - d.
          f.selm = _mm512_sub_epi32(_mm512_add_epi32(sixteen, iu_rel), rel);
        }
        return f;
      };
      Front next = front(v, std::min(vf, vl));
      for (long j = j0; j < j1; ++j) {
        const Front f = next;
        v = _mm512_add_pd(v, dvv);
        vf = vf + dvf;
        vl = vl + dvl;
        if (j + 1 < j1) next = front(v, std::min(vf, vl));
        if (!f.m) continue;
        const __mmask8 m = f.m;
        __m512d p00, p01, p10, p11, q00, q01, q10, q11;
        if (f.rows_ok) {
          // Every sample sits in three rows of 16 columns from iu_min: row
          // loads and lane permutes fetch them (the same values as gathers).
          const __m512i sel1 = _mm512_add_epi32(f.sel, one16);
          const float* R = proj + f.r_lo * ncols + iu_min;
          const __m512 A = _mm512_loadu_ps(R), B = _mm512_loadu_ps(R + ncols), C = _mm512_loadu_ps(R + 2 * ncols);
          p00 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(A, f.sel, B)));
          p01 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(A, sel1, B)));
          p10 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(B, f.sel, C)));
          p11 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(B, sel1, C)));
          const __m512i selm1 = _mm512_add_epi32(f.selm, one16);
          const float* K = proj + (nrows - 2 - f.r_lo) * ncols + iu_min;
          const __m512 K0 = _mm512_loadu_ps(K), K1 = _mm512_loadu_ps(K + ncols), K2 = _mm512_loadu_ps(K + 2 * ncols);
          q00 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(K0, f.selm, K1)));
          q01 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(K0, selm1, K1)));
          q10 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(K1, f.selm, K2)));
          q11 = _mm512_maskz_cvtps_pd(0xff, _mm512_castps512_ps256(_mm512_permutex2var_ps(K1, selm1, K2)));
        } else {
          // Gathers; lanes without a sample read row 8 (any row in range
          // would do), held lanes row nrows - 9 twice.
          const __mmask8 held = f.held;
          const __m512d ivd = _mm512_mask_blend_pd(held, _mm512_mask_blend_pd(m, eight, f.tv), topv);
          const __m512d iv1d = _mm512_mask_blend_pd(held, _mm512_add_pd(ivd, one), topv);
          const __m256i iv = _mm512_maskz_cvttpd_epi32(0xff, ivd);
          const __m256i iv1 = _mm512_maskz_cvttpd_epi32(0xff, iv1d);
          const __m256i iuv = _mm256_add_epi32(_mm512_castsi512_si256(iu_rel), _mm256_set1_epi32(iu_min));
          const __m256i i0 = _mm256_add_epi32(_mm256_mullo_epi32(iv, ncv), iuv);
          const __m256i i1 = _mm256_add_epi32(_mm256_mullo_epi32(iv1, ncv), iuv);
          const __m256i k0 = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(nr1, iv), ncv), iuv);
          const __m256i k1 = _mm256_add_epi32(k0, ncv);
          gather_pair512(base, i0, p00, p01);
          gather_pair512(base, i1, p10, p11);
          gather_pair512(base, k0, q00, q01);
          gather_pair512(base, k1, q10, q11);
        }
        // Only the lanes that sample are loaded and stored: the others keep
        // their bits (a -0.0 stays -0.0) and may belong to the next row.
        float* lo_ptr = lo_base + static_cast<size_t>(j) * slice;
        const __m512d old_lo = _mm512_maskz_cvtps_pd(0xff, _mm256_maskz_loadu_ps(m, lo_ptr));
        __m512d sum = _mm512_add_pd(_mm512_mul_pd(f.w0, p00), _mm512_mul_pd(f.w1, p10));
        sum = _mm512_add_pd(sum, _mm512_mul_pd(f.w2, p01));
        sum = _mm512_add_pd(sum, _mm512_mul_pd(f.w3, p11));
        _mm256_mask_storeu_ps(lo_ptr, m, _mm512_maskz_cvtpd_ps(0xff, _mm512_add_pd(old_lo, sum)));
        float* hi_ptr = lo_base + static_cast<size_t>(nz - 1 - j) * slice;
        const __m512d old_hi = _mm512_maskz_cvtps_pd(0xff, _mm256_maskz_loadu_ps(m, hi_ptr));
        __m512d sum2 = _mm512_add_pd(_mm512_mul_pd(f.w1, q00), _mm512_mul_pd(f.w0, q10));
        sum2 = _mm512_add_pd(sum2, _mm512_mul_pd(f.w3, q01));
        sum2 = _mm512_add_pd(sum2, _mm512_mul_pd(f.w2, q11));
        _mm256_mask_storeu_ps(hi_ptr, m, _mm512_maskz_cvtpd_ps(0xff, _mm512_add_pd(old_hi, sum2)));
      }
      bk.v = (typename BpLanes<8>::D)v;
    }
  }
#endif
#if CBRECON_BP_ISA == 2
  if constexpr (W == 8) {
    // Eight lanes without AVX-512: the doubles in two halves of four, the
    // float work (weights, detector samples) eight lanes at a time.  As in
    // the AVX-512 kernel, a block whose samples lie in 16 columns from
    // iu_min and in two rows (r_lo, r_lo + 1) fetches them with row loads
    // and lane permutes; other blocks gather.  Partial blocks never get
    // here (no masked stores), so every lane is a voxel of the row.
    const __m256d eight = _mm256_set1_pd(8.0), topv = _mm256_set1_pd(top);
    const __m256 all_ones = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
    const __m256i seven = _mm256_set1_epi32(7), one_i = _mm256_set1_epi32(1);
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i ncv = _mm256_set1_epi32(static_cast<int32_t>(ncols));
    const __m256i nr1 = _mm256_set1_epi32(static_cast<int32_t>(nrows - 1));
    constexpr int kTrunc = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    auto lanes32 = [&](int bits) CBRECON_BP_FN {
      return _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(bits), bit), bit);
    };
    for (size_t k = 0; k < nblocks; ++k) {
      LaneBlock<8>& bk = blocks[k];
      if (ahead && k + ahead < nblocks) prefetch_lines(blocks[k + ahead], proj, j0, j1, ncols, nrows);
      double* vs = reinterpret_cast<double*>(&bk.v);
      const double* dvs = reinterpret_cast<const double*>(&bk.dv);
      __m256d v0 = _mm256_load_pd(vs), v1 = _mm256_load_pd(vs + 4);
      const __m256d dv0 = _mm256_load_pd(dvs), dv1 = _mm256_load_pd(dvs + 4);
      const __m256 a8 = (__m256)bk.a, b8 = (__m256)bk.b;
      const __m256i rel = (__m256i)bk.iu_rel, rel1 = _mm256_add_epi32(rel, one_i);
      const __m256 up0 = _mm256_castsi256_ps(_mm256_cmpgt_epi32(rel, seven));
      const __m256 up1 = _mm256_castsi256_ps(_mm256_cmpgt_epi32(rel1, seven));
      const __m256i iuv = _mm256_add_epi32(rel, _mm256_set1_epi32(bk.iu_min));
      const float* const row0 = proj + bk.iu_min;
      // p[iu] and p[iu + 1] of every lane from one detector row.
      auto fetch = [&](const float* R, __m256& x0, __m256& x1) CBRECON_BP_FN {
        const __m256 lo8 = _mm256_loadu_ps(R), hi8 = _mm256_loadu_ps(R + 8);
        x0 = _mm256_blendv_ps(_mm256_permutevar8x32_ps(lo8, rel), _mm256_permutevar8x32_ps(hi8, rel), up0);
        x1 = _mm256_blendv_ps(_mm256_permutevar8x32_ps(lo8, rel1), _mm256_permutevar8x32_ps(hi8, rel1), up1);
      };
      // The four samples of every lane from rows R, R + 1 (lanes where
      // `second` is clear) or R + 1, R + 2 (where it is set).
      auto sample = [&](const float* R, __m256 second, __m256& x00, __m256& x01, __m256& x10, __m256& x11)
                        CBRECON_BP_FN {
        __m256 A0, A1, B0, B1, C0, C1;
        fetch(R, A0, A1);
        fetch(R + ncols, B0, B1);
        fetch(R + 2 * ncols, C0, C1);
        x00 = _mm256_blendv_ps(A0, B0, second);
        x01 = _mm256_blendv_ps(A1, B1, second);
        x10 = _mm256_blendv_ps(B0, C0, second);
        x11 = _mm256_blendv_ps(B1, C1, second);
      };
      // What a slice pair needs before it touches memory, computed one pair
      // ahead (as in the AVX-512 kernel) so that its chain of roundings
      // overlaps the previous pair's loads and sums.
      struct Front {
        int mbits, hbits;
        bool rows_ok, one_row;  // one_row: every sampling lane in row r_lo
        int32_t r_lo;
        __m256i m32;
        __m256 w0, w1, w2, w3, d1;
      };
      // Scalar copies of the first and last valid lanes' row coordinates
      // (the same double additions) bound the rows, as in the AVX-512 kernel.
      double vf = vs[bk.lf], vl = vs[bk.ll];
      const double dvf = dvs[bk.lf], dvl = dvs[bk.ll];
      auto front = [&](__m256d va, __m256d vb, double v_edge) CBRECON_BP_FN {
        Front f;
        // Lanes that add nothing hold v = NaN and never pass.
        f.mbits = _mm256_movemask_pd(_mm256_cmp_pd(va, eight, _CMP_GT_OQ)) |
                  _mm256_movemask_pd(_mm256_cmp_pd(vb, eight, _CMP_GT_OQ)) << 4;
        if (!f.mbits) return f;
        const __m256d t0 = _mm256_round_pd(va, kTrunc), t1 = _mm256_round_pd(vb, kTrunc);
        const __m256 fv =
            _mm256_set_m128(_mm256_cvtpd_ps(_mm256_sub_pd(vb, t1)), _mm256_cvtpd_ps(_mm256_sub_pd(va, t0)));
        f.w1 = _mm256_mul_ps(a8, fv);
        f.w0 = _mm256_sub_ps(a8, f.w1);
        f.w3 = _mm256_mul_ps(b8, fv);
        f.w2 = _mm256_sub_ps(b8, f.w3);
        f.hbits = _mm256_movemask_pd(_mm256_cmp_pd(va, topv, _CMP_GE_OQ)) |
                  _mm256_movemask_pd(_mm256_cmp_pd(vb, topv, _CMP_GE_OQ)) << 4;
        f.m32 = lanes32(f.mbits);
        f.rows_ok = false;
        if (bk.narrow && row_loads && !f.hbits) {
          // Sampling lanes must read rows r_lo + d, d = 0 or 1 (unsigned, so
          // a lane below r_lo fails too).
          f.r_lo = !(v_edge >= 0.0) ? 0 : v_edge < 65536.0 ? static_cast<int32_t>(v_edge) : 65536;
          const __m256i iv = _mm256_set_m128i(_mm256_cvttpd_epi32(t1), _mm256_cvttpd_epi32(t0));
          const __m256i d = _mm256_sub_epi32(iv, _mm256_set1_epi32(f.r_lo));
          f.rows_ok = _mm256_testc_si256(_mm256_cmpeq_epi32(_mm256_max_epu32(d, one_i), one_i), f.m32);
          f.d1 = _mm256_castsi256_ps(_mm256_cmpeq_epi32(d, one_i));
          // Most blocks sample one detector row in all their lanes: two row
          // fetches per side then, and no choice of rows.
          const int second = _mm256_movemask_ps(f.d1) & f.mbits;
          f.one_row = second == 0 || second == f.mbits;
          if (second == f.mbits) ++f.r_lo;
        }
        return f;
      };
      Front next = front(v0, v1, std::min(vf, vl));
      for (long j = j0; j < j1; ++j) {
        const Front f = next;
        const __m256d va = v0, vb = v1;  // this pair's row coordinates
        v0 = _mm256_add_pd(v0, dv0);
        v1 = _mm256_add_pd(v1, dv1);
        vf = vf + dvf;
        vl = vl + dvl;
        if (j + 1 < j1) next = front(v0, v1, std::min(vf, vl));
        if (!f.mbits) continue;
        __m256 p00, p01, p10, p11, q00, q01, q10, q11;
        if (f.rows_ok && f.one_row) {
          // Rows r_lo and r_lo + 1; mirrors nrows - 1 - r_lo and nrows - r_lo.
          const float* R = row0 + static_cast<long>(f.r_lo) * ncols;
          fetch(R, p00, p01);
          fetch(R + ncols, p10, p11);
          const float* K = row0 + (nrows - 1 - static_cast<long>(f.r_lo)) * ncols;
          fetch(K, q00, q01);
          fetch(K + ncols, q10, q11);
        } else if (f.rows_ok) {
          // Rows r_lo + d and r_lo + d + 1 (d = 1 where d1 is set); their
          // mirrors nrows - 1 - iv and nrows - iv, counted from
          // nrows - 2 - r_lo, are rows 1 - d and 2 - d there.
          sample(row0 + static_cast<long>(f.r_lo) * ncols, f.d1, p00, p01, p10, p11);
          sample(row0 + (nrows - 2 - static_cast<long>(f.r_lo)) * ncols, _mm256_xor_ps(f.d1, all_ones), q00, q01,
                 q10, q11);
        } else {
          // Gathers; lanes without a sample read row 8 (any row in range
          // would do), held lanes row nrows - 9 twice.
          const __m256d t0 = _mm256_round_pd(va, kTrunc), t1 = _mm256_round_pd(vb, kTrunc);
          const __m256d i0d = _mm256_blendv_pd(_mm256_blendv_pd(eight, t0, _mm256_cmp_pd(va, eight, _CMP_GT_OQ)), topv,
                                               _mm256_cmp_pd(va, topv, _CMP_GE_OQ));
          const __m256d i1d = _mm256_blendv_pd(_mm256_blendv_pd(eight, t1, _mm256_cmp_pd(vb, eight, _CMP_GT_OQ)), topv,
                                               _mm256_cmp_pd(vb, topv, _CMP_GE_OQ));
          const __m256i iv = _mm256_set_m128i(_mm256_cvttpd_epi32(i1d), _mm256_cvttpd_epi32(i0d));
          const __m256i iv1 = _mm256_blendv_epi8(_mm256_add_epi32(iv, one_i), iv, lanes32(f.hbits));
          const __m256i i0 = _mm256_add_epi32(_mm256_mullo_epi32(iv, ncv), iuv);
          const __m256i i1 = _mm256_add_epi32(_mm256_mullo_epi32(iv1, ncv), iuv);
          const __m256i k0 = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(nr1, iv), ncv), iuv);
          const __m256i k1 = _mm256_add_epi32(k0, ncv);
          p00 = _mm256_i32gather_ps(proj, i0, 4);
          p01 = _mm256_i32gather_ps(proj, _mm256_add_epi32(i0, one_i), 4);
          p10 = _mm256_i32gather_ps(proj, i1, 4);
          p11 = _mm256_i32gather_ps(proj, _mm256_add_epi32(i1, one_i), 4);
          q00 = _mm256_i32gather_ps(proj, k0, 4);
          q01 = _mm256_i32gather_ps(proj, _mm256_add_epi32(k0, one_i), 4);
          q10 = _mm256_i32gather_ps(proj, k1, 4);
          q11 = _mm256_i32gather_ps(proj, _mm256_add_epi32(k1, one_i), 4);
        }
        // Sums in double in the scalar order, half by half; lanes that do
        // not sample keep their bits.
        float* lo_ptr = bk.lo + static_cast<size_t>(j) * slice;
        float* hi_ptr = bk.lo + static_cast<size_t>(nz - 1 - j) * slice;
        const __m256 old_lo = _mm256_loadu_ps(lo_ptr), old_hi = _mm256_loadu_ps(hi_ptr);
        __m128 nl[2], nh[2];
        for (int h = 0; h < 2; ++h) {
          auto half = [h](__m256 x) CBRECON_BP_FN {
            return _mm256_cvtps_pd(h ? _mm256_extractf128_ps(x, 1) : _mm256_castps256_ps128(x));
          };
          const __m256d w0 = half(f.w0), w1 = half(f.w1), w2 = half(f.w2), w3 = half(f.w3);
          __m256d sum = _mm256_add_pd(_mm256_mul_pd(w0, half(p00)), _mm256_mul_pd(w1, half(p10)));
          sum = _mm256_add_pd(sum, _mm256_mul_pd(w2, half(p01)));
          sum = _mm256_add_pd(sum, _mm256_mul_pd(w3, half(p11)));
          nl[h] = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(lo_ptr + 4 * h)), sum));
          __m256d sum2 = _mm256_add_pd(_mm256_mul_pd(w1, half(q00)), _mm256_mul_pd(w0, half(q10)));
          sum2 = _mm256_add_pd(sum2, _mm256_mul_pd(w3, half(q01)));
          sum2 = _mm256_add_pd(sum2, _mm256_mul_pd(w2, half(q11)));
          nh[h] = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(hi_ptr + 4 * h)), sum2));
        }
        const __m256 keep = _mm256_castsi256_ps(f.m32);
        _mm256_storeu_ps(lo_ptr, _mm256_blendv_ps(old_lo, _mm256_set_m128(nl[1], nl[0]), keep));
        _mm256_storeu_ps(hi_ptr, _mm256_blendv_ps(old_hi, _mm256_set_m128(nh[1], nh[0]), keep));
      }
      _mm256_store_pd(vs, v0);
      _mm256_store_pd(vs + 4, v1);
    }
  }
#endif
}

// Adds a batch of views to voxel rows [r0, r1), tile by tile: the column
// quantities of the tile's rows for every view of the batch first, then
// slice pairs in chunks of shape.pair_chunk, each chunk view after view (so
// every voxel gets the views in order) and block after block.
template <int W>
CBRECON_BP_FN void backproject_rows_lanes(const ScanGeometry& bg, const FovExtents& fov,
                                          const BackprojView* views, long nviews, float* vol, size_t slice,
                                          long r0, long r1, const BackprojShape& shape) {
  thread_local std::vector<float> S, T;
  thread_local std::vector<std::vector<LaneBlock<W>>> blocks;
  const long tile_rows = std::max(1, shape.tile_rows), pair_chunk = std::max(1, shape.pair_chunk);
  const size_t ahead = static_cast<size_t>(std::max(0, shape.prefetch));
  const long stride = bg.npxls + 2 * W;
  const size_t scratch = static_cast<size_t>(tile_rows * stride);
  if (S.size() < scratch) {
    S.assign(scratch, 0.0f);
    T.assign(scratch, 0.0f);
  }
  if (static_cast<long>(blocks.size()) < nviews) blocks.resize(nviews);
  const long nz = bg.nz, npairs = nz / 2;
  for (long rt = r0; rt < r1; rt += tile_rows) {
    const long rt1 = std::min(r1, rt + tile_rows);
    for (long b = 0; b < nviews; ++b) {
      blocks[b].clear();
      build_blocks<W>(bg, fov, *views[b].vc, views[b].proj, vol, slice, rt, rt1, S.data(), T.data(), stride,
                      blocks[b]);
    }
    for (long j = 0; j < npairs; j += pair_chunk)
      for (long b = 0; b < nviews; ++b)
        pair_pass<W>(blocks[b].data(), blocks[b].size(), views[b].proj, slice, j,
                     std::min(npairs, j + pair_chunk), nz, bg.proj_pitch, bg.nrows, ahead, !shape.gathers);
  }
}

}  // namespace
}  // namespace cbrecon
