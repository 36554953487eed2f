// Kernel bodies of the transforms, the spectrum product and the row filter,
// written once over a "lane pack" L and compiled once per instruction set.
//
// PERF NOTES
// - The operation sequence of the transforms is contractual (the rounding of
//   every float temporary shows in the reconstructed volume), so no faster FFT
//   algorithm may replace it.  What can be made faster is how many rows run
//   through it at once: the kernels below vectorise ACROSS ROWS.  L::w rows
//   are packed into the lanes of one vector (element e of lane l lives at
//   data[e * w + l]) and every operation is the lane-wise twin of the scalar
//   one, so each lane repeats the scalar sequence bit for bit.  Lanes<1> *is*
//   the scalar code: rfft/cfft and filter_row are its instantiations.
// - Where the scalar code computes in double, the lanes widen floats to
//   doubles (vcvtps2pd), compute, and narrow once (vcvtpd2ps, round to
//   nearest).  Float-only steps (butterfly add/sub, the last split step, the
//   row scale) stay in float vectors: a float sum equals the double sum
//   rounded to float, so both forms are the scalar result.
// - Twiddles are scalar doubles broadcast to all lanes (the kernel spectrum
//   too), so every lane sees the same wr, wi.  The scalar entry points run
//   the recurrence live; filter_rows replays the sequence one rfft call
//   uses, recorded once per thread and length from that same recurrence
//   (TableTwiddle): identical doubles, minus a serial mul-sub-add chain per
//   butterfly column that the late stages (one butterfly per column) cannot
//   hide.  The butterfly order within each stage is the scalar one.
// - One lane pack is one double register: 4 rows for AVX2 (xmm floats, ymm
//   doubles), 8 for AVX-512F (ymm floats, zmm doubles).  Scratch is nfft * w
//   floats (32 KiB / 64 KiB at nfft 2048), cache-resident; packing and
//   unpacking are linear and cheap next to the two transforms.  Measured on
//   an AMD EPYC (Zen 5), 768 rows, nfft 2048: scalar 41k rows/s, AVX2 145k,
//   AVX-512 206k.  Tried and dropped: twice as many rows per pack with
//   paired double registers (no gain, AVX-512 slower), and sweeping the late
//   stages in address order over tabulated twiddles (slower).
// - With tabulated twiddles the stages are cache-blocked (cfft_stages_blocked:
//   early stages block by block in 16 KiB, the rest two stages per sweep):
//   the same butterflies with the same twiddles in another order, about 15 %
//   faster (filter_bench, 768 rows, nfft 2048).
// - -ffp-contract=off (set for every source) keeps a*b - c*d from becoming a
//   fused multiply-add, which would round differently from the scalar path.
//
// Include once per translation unit, after defining CBRECON_LANES_FN as the
// target attribute of that unit's instruction set and CBRECON_LANES_ISA as
// its level (both left undefined for the baseline).  Everything sits in an
// anonymous namespace so that instantiations compiled for different
// instruction sets are never merged by the linker.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#define CBRECON_FILTER_X86 1
#else
#define CBRECON_FILTER_X86 0
#endif

// CBRECON_LANES_FN: target attribute of the unit's kernels; CBRECON_LANES_ISA:
// 0 baseline, 2 AVX2, 512 AVX-512F (enables the matching intrinsics).
#ifndef CBRECON_LANES_FN
#define CBRECON_LANES_FN
#endif
#ifndef CBRECON_LANES_ISA
#define CBRECON_LANES_ISA 0
#endif
#if CBRECON_LANES_ISA
#include <immintrin.h>
#endif

namespace cbrecon {

namespace detail {
// What filter_rows hands a kernel: the row geometry, the kernel spectrum, the
// row scale, and the twiddles of a forward and an inverse rfft of length
// nfft in order of use (recorded once from the recurrence).
struct RowFilterPlan {
  int ncols_ext, nfft;
  const float* spectrum;
  float scale;
  const double* tw_fwd;
  const double* tw_inv;
};
// One compiled row-filter kernel: filters `count` rows in place (see
// filter_rows in ramp.h).  `scratch` holds nfft * lanes + ncols_ext floats,
// 64-byte aligned, owned by the caller.
struct RowFilterKernel {
  const char* name;
  int lanes;
  void (*run)(float* rows, size_t stride, int count, const RowFilterPlan& plan,
              float* scratch);
};
}  // namespace detail

namespace {

// GCC vector types: W floats and W doubles; arithmetic is lane-wise and a
// scalar operand is broadcast.
typedef float f4v __attribute__((vector_size(16)));
typedef float f8v __attribute__((vector_size(32)));
typedef double d4v __attribute__((vector_size(32)));
typedef double d8v __attribute__((vector_size(64)));

template <class FV, class DV>
struct VecLanes {
  static constexpr int w = sizeof(FV) / sizeof(float);
  using F = FV;
  using D = DV;
  CBRECON_LANES_FN static F load(const float* p) {
    F v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  CBRECON_LANES_FN static void store(float* p, F v) { std::memcpy(p, &v, sizeof v); }
};

template <int W>
struct Lanes;

// One double register of lanes.  The float/double conversions are
// intrinsics: GCC 12 splits __builtin_convertvector into 128-bit pieces.
#if CBRECON_LANES_ISA >= 2
template <>
struct Lanes<4> : VecLanes<f4v, d4v> {  // AVX2: xmm floats, ymm doubles
  CBRECON_LANES_FN static D wide(F x) { return (D)_mm256_cvtps_pd((__m128)x); }
  CBRECON_LANES_FN static F narrow(D x) { return (F)_mm256_cvtpd_ps((__m256d)x); }
};
#endif
#if CBRECON_LANES_ISA >= 512
template <>
struct Lanes<8> : VecLanes<f8v, d8v> {  // AVX-512F: ymm floats, zmm doubles
  // The maskz forms with a full mask are the plain instructions; they avoid
  // GCC 12's uninitialised-operand warning in _mm512_cvtpd_ps.
  CBRECON_LANES_FN static D wide(F x) { return (D)_mm512_maskz_cvtps_pd(0xff, (__m256)x); }
  CBRECON_LANES_FN static F narrow(D x) { return (F)_mm512_maskz_cvtpd_ps(0xff, (__m512d)x); }
};
#endif

template <>
struct Lanes<1> {  // the scalar code
  static constexpr int w = 1;
  using F = float;
  using D = double;
  static D wide(F x) { return x; }
  static F narrow(D x) { return static_cast<float>(x); }
  static F load(const float* p) { return *p; }
  static void store(float* p, F v) { *p = v; }
};

// Twiddle sources.  The kernels ask one for the twiddle of each butterfly
// column in program order: start(theta, split) opens a stage, use() gives
// the current factor, advance() moves on.  LiveTwiddle runs the double
// recurrence w <- w + w * (wpr + i wpi), wpr = -2 sin^2(theta/2),
// wpi = sin(theta); TableTwiddle replays a sequence recorded from it (the
// same doubles, so the same bits) without the serial recurrence.
struct Tw {
  double wr, wi;
};

struct LiveTwiddle {
  double wr = 1.0, wi = 0.0, wpr = 0.0, wpi = 0.0;
  CBRECON_LANES_FN void start(double theta, bool split) {
    const double wtemp = std::sin(0.5 * theta);
    wpr = -2.0 * wtemp * wtemp;
    wpi = std::sin(theta);
    wr = split ? 1.0 + wpr : 1.0;
    wi = split ? wpi : 0.0;
  }
  CBRECON_LANES_FN Tw use() const { return {wr, wi}; }
  CBRECON_LANES_FN void advance() {
    const double wtemp = wr;
    wr = wr * wpr - wi * wpi + wr;
    wi = wi * wpr + wtemp * wpi + wi;
  }
};

struct TableTwiddle {
  const double* p;  // (wr, wi) pairs in order of use
  CBRECON_LANES_FN void start(double, bool) {}
  CBRECON_LANES_FN Tw use() const { return {p[0], p[1]}; }
  CBRECON_LANES_FN void advance() { p += 2; }
};

// One butterfly of the transform: elements i and i + mmax with twiddle w.
template <class L>
CBRECON_LANES_FN inline void butterfly(float* data, int i, int mmax, Tw w) {
  constexpr int W = L::w;
  float* pi = data + i * W;
  float* pj = data + (i + mmax) * W;
  const auto xr = L::wide(L::load(pj)), xi = L::wide(L::load(pj + W));
  const auto tempr = L::narrow(w.wr * xr - w.wi * xi);
  const auto tempi = L::narrow(w.wr * xi + w.wi * xr);
  const auto ar = L::load(pi), ai = L::load(pi + W);
  L::store(pj, ar - tempr);
  L::store(pj + W, ai - tempi);
  L::store(pi, ar + tempr);
  L::store(pi + W, ai + tempi);
}

// Elements per cache block of the blocked stages: 512 elements of 8 lanes
// are 16 KiB, well inside the first-level cache.
inline constexpr int kFftBlock = 512;

// The Danielson-Lanczos stages with recorded twiddles, cache-blocked: the
// stages whose butterflies stay within blocks of kFftBlock elements run
// block by block (each block through all of them before the next block),
// then the remaining stages over the whole array.  Every butterfly is the
// one of the plain stage loop, with the same twiddle and inputs (stage s
// only reads what stage s - 1 wrote in the same block), so the result is
// the same bits; only the data stay in cache.  Twiddles of stage mmax and
// column m sit at (mmax / 2 - 1) + m / 2 in the recorded sequence.
template <class L>
CBRECON_LANES_FN void cfft_stages_blocked(float* data, int nd, TableTwiddle& tw) {
  const double* t = tw.p;
  for (int b0 = 0; b0 < nd; b0 += kFftBlock)
    for (int mmax = 2; 2 * mmax <= kFftBlock; mmax *= 2) {
      const int istep = 2 * mmax;
      const double* ts = t + 2 * (mmax / 2 - 1);
      for (int m = 0; m < mmax; m += 2) {
        const Tw w{ts[m], ts[m + 1]};
        for (int i = b0 + m; i < b0 + kFftBlock; i += istep) butterfly<L>(data, i, mmax, w);
      }
    }
  int mmax = kFftBlock;
  // The remaining stages two at a time: elements m + g, m + g + mmax,
  // m + g + 2 mmax and m + g + 3 mmax (g a multiple of 4 mmax) only meet
  // each other in stages mmax and 2 mmax, so both stages run on the group
  // while it is loaded.
  for (; nd > 2 * mmax; mmax *= 4) {
    const double* ts = t + 2 * (mmax / 2 - 1);       // stage mmax
    const double* ts2 = t + 2 * (mmax - 1);          // stage 2 mmax
    for (int m = 0; m < mmax; m += 2) {
      const Tw w{ts[m], ts[m + 1]};
      const Tw w2{ts2[m], ts2[m + 1]}, w3{ts2[m + mmax], ts2[m + mmax + 1]};
      for (int g = m; g < nd; g += 4 * mmax) {
        butterfly<L>(data, g, mmax, w);
        butterfly<L>(data, g + 2 * mmax, mmax, w);
        butterfly<L>(data, g, 2 * mmax, w2);
        butterfly<L>(data, g + mmax, 2 * mmax, w3);
      }
    }
  }
  for (; nd > mmax; mmax *= 2) {
    const int istep = 2 * mmax;
    const double* ts = t + 2 * (mmax / 2 - 1);
    for (int m = 0; m < mmax; m += 2) {
      const Tw w{ts[m], ts[m + 1]};
      for (int i = m; i < nd; i += istep) butterfly<L>(data, i, mmax, w);
    }
  }
  tw.p = t + 2 * (nd / 2 - 1);  // one (wr, wi) pair per column of every stage
}

// Complex transform of nc lane-packed complex values (2 * nc elements).
template <class L, class T>
CBRECON_LANES_FN void cfft_lanes(float* data, int nc, int d, T& tw) {
  constexpr int W = L::w;
  const int nd = 2 * nc;
  for (int i = 0, j = 0; i < nd; i += 2) {  // bit-reversal reordering
    if (j > i) {
      const auto ir = L::load(data + i * W), ii = L::load(data + (i + 1) * W);
      L::store(data + i * W, L::load(data + j * W));
      L::store(data + (i + 1) * W, L::load(data + (j + 1) * W));
      L::store(data + j * W, ir);
      L::store(data + (j + 1) * W, ii);
    }
    int m = nc;
    while (m >= 2 && j >= m) {
      j -= m;
      m >>= 1;
    }
    j += m;
  }
  if constexpr (std::is_same_v<T, TableTwiddle>) {
    if (nd > kFftBlock) {
      cfft_stages_blocked<L>(data, nd, tw);
      return;
    }
  }
  for (int mmax = 2; nd > mmax; mmax *= 2) {  // Danielson-Lanczos stages
    const int istep = 2 * mmax;
    tw.start(6.28318530717959 / (d * mmax), false);
    for (int m = 0; m < mmax; m += 2) {
      const Tw w = tw.use();
      for (int i = m; i < nd; i += istep) butterfly<L>(data, i, mmax, w);
      tw.advance();
    }
  }
}

// Real transform of n lane-packed samples: d == 1 forward, otherwise inverse
// (gain n/2).  See rfft in fft.h.
template <class L, class T>
CBRECON_LANES_FN void rfft_lanes(float* data, int n, int d, T& tw) {
  constexpr int W = L::w;
  const int nh = n >> 1;
  const double ha = 0.5;
  double hb = 0.5, theta = 3.141592653589793 / static_cast<double>(nh);
  if (d == 1) {
    hb = -0.5;
    cfft_lanes<L>(data, nh, 1, tw);
  } else {
    theta = -theta;
  }
  tw.start(theta, true);
  for (int k = 1; k < nh / 2; ++k) {
    float* p1 = data + 2 * k * W;  // X_k and its mirror X_{nh-k}
    float* p3 = data + (n - 2 * k) * W;
    const auto a1 = L::wide(L::load(p1)), a2 = L::wide(L::load(p1 + W));
    const auto a3 = L::wide(L::load(p3)), a4 = L::wide(L::load(p3 + W));
    const auto h1r = L::wide(L::narrow(ha * (a1 + a3)));
    const auto h1i = L::wide(L::narrow(ha * (a2 - a4)));
    const auto h2r = L::wide(L::narrow(-hb * (a2 + a4)));
    const auto h2i = L::wide(L::narrow(hb * (a1 - a3)));
    const Tw w = tw.use();
    L::store(p1, L::narrow(h1r + w.wr * h2r - w.wi * h2i));
    L::store(p1 + W, L::narrow(h1i + w.wr * h2i + w.wi * h2r));
    L::store(p3, L::narrow(h1r - w.wr * h2r + w.wi * h2i));
    L::store(p3 + W, L::narrow(-h1i + w.wr * h2i + w.wi * h2r));
    tw.advance();
  }
  const auto x0 = L::load(data), x1 = L::load(data + W);
  if (d == 1) {
    L::store(data, x0 + x1);
    L::store(data + W, x0 - x1);
  } else {
    const auto y0 = L::wide(x0), y1 = L::wide(x1);
    L::store(data, L::narrow(ha * (y0 + y1)));
    L::store(data + W, L::narrow(ha * (y0 - y1)));
    cfft_lanes<L>(data, nh, -1, tw);
  }
}

// a <- a * b for lane-packed half spectra a and one (broadcast) spectrum b.
template <class L>
CBRECON_LANES_FN void spec_mul_lanes(float* a, const float* b, int n) {
  constexpr int W = L::w;
  L::store(a, L::load(a) * b[0]);
  L::store(a + W, L::load(a + W) * b[1]);
  for (int k = 2; k < n - 1; k += 2) {
    const auto ar = L::wide(L::load(a + k * W)), ai = L::wide(L::load(a + (k + 1) * W));
    const double br = b[k], bi = b[k + 1];
    L::store(a + k * W, L::narrow(ar * br - ai * bi));
    L::store(a + (k + 1) * W, L::narrow(ar * bi + br * ai));
  }
}

// Forward transform, product with spectrum, inverse transform (gain n/2);
// fwd and inv supply the twiddles of the two transforms.
template <class L, class T>
CBRECON_LANES_FN void fft_convolve_lanes(float* data, const float* spectrum, int n, T fwd, T inv) {
  rfft_lanes<L>(data, n, 1, fwd);
  spec_mul_lanes<L>(data, spectrum, n);
  rfft_lanes<L>(data, n, -1, inv);
}

#if CBRECON_LANES_ISA >= 2
// W float registers of W floats (AVX for 8, SSE for 4): loads, stores, a
// product and the W x W transpose by shuffles.
template <int W>
struct FloatRegs;
template <>
struct FloatRegs<8> {
  using V = __m256;
  CBRECON_LANES_FN static V load(const float* p) { return _mm256_loadu_ps(p); }
  CBRECON_LANES_FN static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
  CBRECON_LANES_FN static V mul(V a, float b) { return _mm256_mul_ps(a, _mm256_set1_ps(b)); }
  CBRECON_LANES_FN static void transpose(V r[8]) {
    V t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
      t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
      t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
    }
    for (int i = 0; i < 8; i += 4) {
      u[i] = _mm256_shuffle_ps(t[i], t[i + 2], 0x44);
      u[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], 0xEE);
      u[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0x44);
      u[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0xEE);
    }
    for (int i = 0; i < 4; ++i) {
      r[i] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x20);
      r[i + 4] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x31);
    }
  }
};
template <>
struct FloatRegs<4> {
  using V = __m128;
  CBRECON_LANES_FN static V load(const float* p) { return _mm_loadu_ps(p); }
  CBRECON_LANES_FN static void store(float* p, V v) { _mm_storeu_ps(p, v); }
  CBRECON_LANES_FN static V mul(V a, float b) { return _mm_mul_ps(a, _mm_set1_ps(b)); }
  CBRECON_LANES_FN static void transpose(V r[4]) { _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]); }
};
#endif

// Lane packing: scratch[c * W + l] = src[l][c] for columns [0, ncols), and
// back: dst[l][c] = scratch[c * W + l] * scale for the first nl lanes, in
// blocks of W x W transposes where the instruction set has them.  Moves
// and one float product each: the same values either way.
template <class L>
CBRECON_LANES_FN void pack_lanes(const float* const* src, int ncols, float* scratch) {
  constexpr int W = L::w;
  int c = 0;
#if CBRECON_LANES_ISA >= 2
  if constexpr (W == 8 || W == 4) {
    using R = FloatRegs<W>;
    for (; c + W <= ncols; c += W) {
      typename R::V r[W];
      for (int l = 0; l < W; ++l) r[l] = R::load(src[l] + c);
      R::transpose(r);
      for (int k = 0; k < W; ++k) R::store(scratch + (c + k) * W, r[k]);
    }
  }
#endif
  for (; c < ncols; ++c)
    for (int l = 0; l < W; ++l) scratch[c * W + l] = src[l][c];
}
template <class L>
CBRECON_LANES_FN void unpack_lanes(const float* scratch, int ncols, float scale, float* const* dst, int nl) {
  constexpr int W = L::w;
  int c = 0;
#if CBRECON_LANES_ISA >= 2
  if constexpr (W == 8 || W == 4) {
    using R = FloatRegs<W>;
    for (; c + W <= ncols; c += W) {
      typename R::V r[W];
      for (int k = 0; k < W; ++k) r[k] = R::load(scratch + (c + k) * W);
      R::transpose(r);
      for (int l = 0; l < nl; ++l) R::store(dst[l] + c, R::mul(r[l], scale));
    }
  }
#endif
  for (int l = 0; l < nl; ++l)
    for (int k = c; k < ncols; ++k) dst[l][k] = scratch[k * W + l] * scale;
}

// Filters rows in groups of L::w: transpose the group into scratch (padding
// with zero rows past `count` and zero columns past ncols_ext), convolve all
// lanes at once, scale and transpose back.
template <class L>
CBRECON_LANES_FN void filter_rows_lanes(float* rows, size_t stride, int count,
                                        const detail::RowFilterPlan& plan, float* scratch) {
  constexpr int W = L::w;
  const int ncols_ext = plan.ncols_ext, nfft = plan.nfft;
  float* zero_row = scratch + static_cast<size_t>(nfft) * W;
  std::memset(zero_row, 0, sizeof(float) * ncols_ext);
  for (int r0 = 0; r0 < count; r0 += W) {
    const int nl = count - r0 < W ? count - r0 : W;
    const float* src[W];
    float* dst[W];
    for (int l = 0; l < W; ++l) {
      src[l] = l < nl ? rows + (r0 + l) * stride : zero_row;
      dst[l] = l < nl ? rows + (r0 + l) * stride : nullptr;
    }
    pack_lanes<L>(src, ncols_ext, scratch);
    std::memset(scratch + ncols_ext * W, 0, sizeof(float) * (nfft - ncols_ext) * W);
    fft_convolve_lanes<L>(scratch, plan.spectrum, nfft, TableTwiddle{plan.tw_fwd},
                          TableTwiddle{plan.tw_inv});
    unpack_lanes<L>(scratch, ncols_ext, plan.scale, dst, nl);
  }
}

}  // namespace
}  // namespace cbrecon
