// Kernel bodies of preprocessing (line integrals of counts, weighting),
// written once over a lane type L and compiled once per instruction set:
// preprocess.cpp (one lane, the scalar code), preprocess_avx2.cpp (4 double
// lanes) and preprocess_avx512.cpp (8 double lanes).
//
// - Every lane runs the scalar operations in double and rounds once, so the
//   results are the scalar ones.
// - Counts go eight at a time (one 256-bit load): their logarithms follow
//   log_approx (numeric/log_approx-inl.h) in 8 / L::w steps of L::w lanes;
//   counts of a flagged block, counts past the table and runs without a
//   table go through the scalar routine.  The scalar kernel takes the
//   library's std::log for every count: one count at a time it is the
//   quickest way to its bits (the sequence pays off several lanes at once).
// - L gives, besides the lanes of log_approx_lanes: w, whether its log rows
//   use the table (table_logs), counts(p) (w counts as doubles; counts past
//   the table may convert wrongly, they are redone), wide(p) (w floats as
//   doubles), load(p) (w doubles), store(p, x) (w doubles rounded to floats)
//   and redo(p, logs) (the bits of those of the 8 counts at p that are
//   neither 0 nor in an unflagged block of the table).
//
// Include once per translation unit, after defining CBRECON_LANES_FN as the
// target attribute of that unit's instruction set and CBRECON_LANES_ISA as
// its level (both left undefined for the baseline).  The lane types and the
// bodies sit in an anonymous namespace, so copies compiled for different
// instruction sets are never merged by the linker.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "filter/preprocess.h"
#include "numeric/log_approx-inl.h"
#include "numeric/log_table.h"

#ifndef CBRECON_LANES_ISA
#define CBRECON_LANES_ISA 0
#endif
#if CBRECON_LANES_ISA
#include <immintrin.h>
#endif

#pragma GCC diagnostic ignored "-Wpsabi"

namespace cbrecon {

namespace detail {
// One compiled set of preprocessing loops (see preprocess_rows).
struct PreprocessKernel {
  const char* name;
  // Line integrals of real columns [c0, c1) of one row.
  void (*log_row)(const uint32_t* in, const float* m, double ln, const LogTable* logs, float* out, long c0,
                  long c1);
  // row[c] <- ww[c] * row[c] / rd[c] for c < ncols.
  void (*weight_row)(float* row, const double* ww, const float* rd, long ncols);
  LogApprox8 approx8;
};
}  // namespace detail

namespace {

// Line integral of one count: 10000 * (M - ln n + lnorm), or without the
// logarithm for n = 0.
CBRECON_LANES_FN inline float line_integral(uint32_t n, float m, double ln, const LogTable* logs) {
  if (n == 0) return static_cast<float>((static_cast<double>(m) + ln) * 10000.0);
  const double logn = logs ? logs->log(n) : std::log(static_cast<double>(n));
  return static_cast<float>((static_cast<double>(m) - logn + ln) * 10000.0);
}

// The lanes (bits of `lanes`) of the eight pixels at `c` that the lanes
// leave to the scalar routine.
CBRECON_LANES_FN inline void redo_lanes(unsigned lanes, const uint32_t* in, const float* m, double ln,
                                        const LogTable* logs, float* out, long c) {
  for (int l = 0; l < 8; ++l)
    if (lanes >> l & 1) out[c + l] = line_integral(in[c + l], m[c + l], ln, logs);
}

template <int W>
struct PpLanes;

template <>
struct PpLanes<1> : logs::ScalarLogLanes {  // the scalar code
  static constexpr int w = 1;
  static constexpr bool table_logs = false;
  CBRECON_LANES_FN static D counts(const uint32_t* p) { return static_cast<double>(*p); }
  CBRECON_LANES_FN static D wide(const float* p) { return *p; }
  CBRECON_LANES_FN static D load(const double* p) { return *p; }
  CBRECON_LANES_FN static void store(float* p, D x) { *p = static_cast<float>(x); }
};

// GCC vector types of 4 and 8 lanes.
typedef double d4v __attribute__((vector_size(32)));
typedef uint64_t u4v __attribute__((vector_size(32)));
typedef double d8v __attribute__((vector_size(64)));
typedef uint64_t u8v __attribute__((vector_size(64)));

template <class DV, class UV>
struct PpVecLanes {
  static constexpr int w = sizeof(DV) / sizeof(double);
  static constexpr bool table_logs = true;
  using D = DV;
  using U = UV;
  CBRECON_LANES_FN static U bits(D x) { return (U)x; }
  CBRECON_LANES_FN static D from_bits(U b) { return (D)b; }
  CBRECON_LANES_FN static D load(const double* p) {
    D x;
    std::memcpy(&x, p, sizeof x);
    return x;
  }
};

#if CBRECON_LANES_ISA == 2
template <>
struct PpLanes<4> : PpVecLanes<d4v, u4v> {  // AVX2: ymm doubles, the bucket tables by gathers
  CBRECON_LANES_FN static D pick(const double* table, U j) { return (D)_mm256_i64gather_pd(table, (__m256i)j, 8); }
  // Counts below 2^31 convert exactly as signed; larger ones are past the
  // table and redone.
  CBRECON_LANES_FN static D counts(const uint32_t* p) {
    return (D)_mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  CBRECON_LANES_FN static D wide(const float* p) { return (D)_mm256_cvtps_pd(_mm_loadu_ps(p)); }
  CBRECON_LANES_FN static void store(float* p, D x) { _mm_storeu_ps(p, _mm256_cvtpd_ps((__m256d)x)); }
  CBRECON_LANES_FN static unsigned redo(const uint32_t* p, const LogTable& logs) {
    const __m256i n = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i one = _mm256_set1_epi32(1), bits = _mm256_set1_epi32(31);
    const __m256i last = _mm256_set1_epi32(static_cast<int32_t>(logs.size() - 1));
    // Counts below the table's size (unsigned), by their minimum with its last count.
    const __m256i in_table = _mm256_cmpeq_epi32(_mm256_min_epu32(n, last), n);
    // The count's flag: bit (n >> kBlockShift) & 31 of word n >> kWordShift.
    const __m256i word = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int*>(logs.flags()),
                                                     _mm256_srli_epi32(n, logs::kWordShift), in_table, 4);
    const __m256i flag =
        _mm256_and_si256(_mm256_srlv_epi32(word, _mm256_and_si256(_mm256_srli_epi32(n, logs::kBlockShift), bits)), one);
    const __m256i good = _mm256_andnot_si256(_mm256_cmpeq_epi32(flag, one), in_table);
    const __m256i zero = _mm256_cmpeq_epi32(n, _mm256_setzero_si256());
    return ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(good, zero)))) & 0xff;
  }
};
#endif

#if CBRECON_LANES_ISA == 512
// AVX-512: zmm doubles, each bucket table two registers.  The conversions
// are the zero-masked forms with full masks: the plain ones draw GCC 12's
// uninitialised-operand warnings.
template <>
struct PpLanes<8> : PpVecLanes<d8v, u8v> {
  CBRECON_LANES_FN static D pick(const double* table, U j) {
    return (D)_mm512_permutex2var_pd(_mm512_loadu_pd(table), (__m512i)j, _mm512_loadu_pd(table + 8));
  }
  CBRECON_LANES_FN static D counts(const uint32_t* p) {
    return (D)_mm512_maskz_cvtepu32_pd(0xff, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  }
  CBRECON_LANES_FN static D wide(const float* p) { return (D)_mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(p)); }
  CBRECON_LANES_FN static void store(float* p, D x) { _mm256_storeu_ps(p, _mm512_maskz_cvtpd_ps(0xff, (__m512d)x)); }
  CBRECON_LANES_FN static unsigned redo(const uint32_t* p, const LogTable& logs) {
    const __m256i n = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __mmask8 nonzero = _mm256_test_epi32_mask(n, n);
    const __mmask8 in_table = _mm256_cmplt_epu32_mask(n, _mm256_set1_epi32(static_cast<int32_t>(logs.size())));
    // The count's flag: bit (n >> kBlockShift) & 31 of word n >> kWordShift.
    const __m256i word = _mm256_mmask_i32gather_epi32(_mm256_setzero_si256(), in_table,
                                                      _mm256_srli_epi32(n, logs::kWordShift), logs.flags(), 4);
    const __mmask8 good = _mm256_mask_testn_epi32_mask(
        in_table,
        _mm256_srlv_epi32(word, _mm256_and_si256(_mm256_srli_epi32(n, logs::kBlockShift), _mm256_set1_epi32(31))),
        _mm256_set1_epi32(1));
    return nonzero & ~good & 0xff;
  }
};
#endif

// Line integrals of real columns [c0, c1) of one row (see line_integral).
template <class L>
CBRECON_LANES_FN void log_row_lanes(const uint32_t* in, const float* m, double ln, const LogTable* logs, float* out,
                                    long c0, long c1) {
  using D = typename L::D;
  long c = c0;
  if constexpr (L::table_logs) {
    if (logs && logs->size() > 0) {
      const logs::Buckets& t = logs::buckets();
      for (; c + 8 <= c1; c += 8) {
        for (int h = 0; h < 8; h += L::w) {
          const D n = L::counts(in + c + h);
          const D logn = logs::log_approx_lanes<L>(n, t);
          const D mv = L::wide(m + c + h);
          const D with_log = (mv - logn) + ln;
          const D without = mv + ln;
          L::store(out + c + h, (n == 0.0 ? without : with_log) * 10000.0);
        }
        if (const unsigned redo = L::redo(in + c, *logs)) redo_lanes(redo, in, m, ln, logs, out, c);
      }
    }
  }
  for (; c < c1; ++c) out[c] = line_integral(in[c], m[c], ln, L::table_logs ? logs : nullptr);
}

// log_approx of the counts n0 .. n0 + 7 (n0 + 7 < 2^31).
template <class L>
CBRECON_LANES_FN void approx8_lanes(uint32_t n0, const logs::Buckets& t, double* out) {
  const uint32_t n[8] = {n0, n0 + 1, n0 + 2, n0 + 3, n0 + 4, n0 + 5, n0 + 6, n0 + 7};
  for (int h = 0; h < 8; h += L::w) {
    const typename L::D a = logs::log_approx_lanes<L>(L::counts(n + h), t);
    std::memcpy(out + h, &a, sizeof a);
  }
}

// row[c] <- ww[c] * row[c] / rd[c], in double, rounded once.
template <class L>
CBRECON_LANES_FN void weight_row_lanes(float* row, const double* ww, const float* rd, long ncols) {
  long c = 0;
  for (; c + L::w <= ncols; c += L::w) L::store(row + c, L::load(ww + c) * L::wide(row + c) / L::wide(rd + c));
  for (; c < ncols; ++c) row[c] = static_cast<float>(ww[c] * row[c] / rd[c]);
}

template <int W>
constexpr detail::PreprocessKernel preprocess_kernel(const char* name) {
  return {name, &log_row_lanes<PpLanes<W>>, &weight_row_lanes<PpLanes<W>>, &approx8_lanes<PpLanes<W>>};
}

}  // namespace
}  // namespace cbrecon
