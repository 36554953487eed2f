#include "filter/preprocess.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "numeric/cpu.h"

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

namespace {

// Line integral of one count: 10000 * (M - ln n + lnorm), or without the
// logarithm for n = 0.
inline float line_integral(uint32_t n, float m, double ln, const LogTable* logs) {
  if (n == 0) return static_cast<float>((static_cast<double>(m) + ln) * 10000.0);
  const double logn = logs ? logs->log(n) : std::log(static_cast<double>(n));
  return static_cast<float>((static_cast<double>(m) - logn + ln) * 10000.0);
}

// The lanes (bits of `lanes`) of the eight pixels at `c` that a vector loop
// leaves to the scalar routine: counts past the table and flagged counts.
inline void redo_lanes(unsigned lanes, const uint32_t* in, const float* m, double ln, const LogTable* logs,
                       float* out, long c) {
  for (int l = 0; l < 8; ++l)
    if (lanes >> l & 1) out[c + l] = line_integral(in[c + l], m[c + l], ln, logs);
}

// The two per-row loops, one pixel at a time.  One count at a time the
// library's own logarithm is the quickest way to its bits (the table's
// sequence pays off eight lanes at a time).
void log_row(const uint32_t* in, const float* m, double ln, const LogTable*, float* out, long c0, long c1) {
  for (long c = c0; c < c1; ++c) out[c] = line_integral(in[c], m[c], ln, nullptr);
}
void approx_scalar(uint32_t n0, const logs::Buckets& t, double* out) {
  for (uint32_t i = 0; i < 8; ++i) out[i] = log_approx(n0 + i, t);
}
void weight_row(float* row, const double* ww, const float* rd, long ncols) {
  for (long c = 0; c < ncols; ++c) row[c] = static_cast<float>(ww[c] * row[c] / rd[c]);
}

#if defined(__x86_64__)
// The same loops eight pixels at a time (the AVX-512 intrinsics in their
// zero-masked forms with full masks: the plain ones draw GCC 12's
// uninitialised-operand warnings).  Every lane runs the scalar operations
// in double and rounds once, so the results are the scalar ones.
// Logarithms follow log_approx (numeric/log_table.h) operation for operation;
// flagged counts, counts past the table and runs without a table go through
// the scalar routine.

#define CBRECON_PP_FN __attribute__((target(CBRECON_TARGET_PREPROCESS_AVX512)))
// log_approx of eight counts; the bucket tables are two registers each.
CBRECON_PP_FN inline __m512d approx8_avx512(__m256i n, const logs::Buckets& t) {
  using namespace logs;
  const __m512i b = _mm512_castpd_si512(_mm512_maskz_cvtepu32_pd(0xff, n));
  const __m512d e = _mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(_mm512_maskz_srli_epi64(0xff, b, 52),
                                                                      _mm512_castpd_si512(_mm512_set1_pd(kTwo52)))),
                                  _mm512_set1_pd(kExpBias));
  const __m512i j = _mm512_maskz_srli_epi64(0xff, b, kBucketShift);  // the permutes read the low 4 bits
  const __m512d m = _mm512_castsi512_pd(_mm512_or_si512(_mm512_and_si512(b, _mm512_set1_epi64(kMantissa)),
                                                        _mm512_set1_epi64(kOne)));
  auto pick = [&](const double* tab) CBRECON_PP_FN {
    return _mm512_permutex2var_pd(_mm512_loadu_pd(tab), j, _mm512_loadu_pd(tab + 8));
  };
  const __m512d r = _mm512_sub_pd(_mm512_mul_pd(m, pick(t.invc)), _mm512_set1_pd(1.0));
  __m512d p = _mm512_set1_pd(kC[8]);
  for (int i = 7; i >= 0; --i) p = _mm512_add_pd(_mm512_set1_pd(kC[i]), _mm512_mul_pd(r, p));
  const __m512d q = _mm512_mul_pd(_mm512_mul_pd(r, r), p);
  const __m512d a = _mm512_mul_pd(e, _mm512_set1_pd(kLn2Hi)), c = pick(t.hi);
  const __m512d s = _mm512_add_pd(a, c), sc = _mm512_sub_pd(s, a);
  const __m512d s_lo = _mm512_add_pd(_mm512_sub_pd(a, _mm512_sub_pd(s, sc)), _mm512_sub_pd(c, sc));
  const __m512d u = _mm512_add_pd(s, r), ur = _mm512_sub_pd(u, s);
  const __m512d u_lo = _mm512_add_pd(_mm512_sub_pd(s, _mm512_sub_pd(u, ur)), _mm512_sub_pd(r, ur));
  const __m512d small = _mm512_add_pd(q, _mm512_add_pd(_mm512_mul_pd(e, _mm512_set1_pd(kLn2Lo)),
                                                      _mm512_add_pd(pick(t.lo), s_lo)));
  return _mm512_add_pd(u, _mm512_add_pd(u_lo, small));
}
CBRECON_PP_FN void log_row_avx512(const uint32_t* in, const float* m, double ln, const LogTable* logs, float* out,
                                  long c0, long c1) {
  long c = c0;
  if (logs && logs->size() > 0) {
    const logs::Buckets& t = logs::buckets();
    const __m512d lnv = _mm512_set1_pd(ln), scale = _mm512_set1_pd(10000.0);
    const __m256i size = _mm256_set1_epi32(static_cast<int32_t>(logs->size())), one = _mm256_set1_epi32(1);
    for (; c + 8 <= c1; c += 8) {
      const __m256i n = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + c));
      const __mmask8 nonzero = _mm256_test_epi32_mask(n, n);
      const __mmask8 in_table = _mm256_cmplt_epu32_mask(n, size);
      // The count's flag: bit (n >> kBlockShift) & 31 of word n >> kWordShift.
      const __m256i word = _mm256_mmask_i32gather_epi32(_mm256_setzero_si256(), in_table, _mm256_srli_epi32(n, logs::kWordShift),
                                                        logs->flags(), 4);
      const __mmask8 good = _mm256_mask_testn_epi32_mask(
          in_table, _mm256_srlv_epi32(word, _mm256_and_si256(_mm256_srli_epi32(n, logs::kBlockShift), _mm256_set1_epi32(31))),
          one);
      const __m512d logn = approx8_avx512(n, t);
      const __m512d mv = _mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(m + c));
      const __m512d with_log = _mm512_add_pd(_mm512_sub_pd(mv, logn), lnv);
      const __m512d without = _mm512_add_pd(mv, lnv);
      const __m512d v = _mm512_mask_blend_pd(nonzero, without, with_log);
      _mm256_storeu_ps(out + c, _mm512_maskz_cvtpd_ps(0xff, _mm512_mul_pd(v, scale)));
      if (const unsigned redo = nonzero & ~good & 0xff) redo_lanes(redo, in, m, ln, logs, out, c);
    }
  }
  for (; c < c1; ++c) out[c] = line_integral(in[c], m[c], ln, logs);
}
CBRECON_PP_FN void approx_avx512(uint32_t n0, const logs::Buckets& t, double* out) {
  const __m256i n = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(n0)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  _mm512_storeu_pd(out, approx8_avx512(n, t));
}
CBRECON_PP_FN void weight_row_avx512(float* row, const double* ww, const float* rd, long ncols) {
  long c = 0;
  for (; c + 8 <= ncols; c += 8) {
    const __m512d x = _mm512_mul_pd(_mm512_loadu_pd(ww + c), _mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(row + c)));
    _mm256_storeu_ps(row + c, _mm512_maskz_cvtpd_ps(0xff, _mm512_div_pd(x, _mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(rd + c)))));
  }
  weight_row(row + c, ww + c, rd + c, ncols - c);
}
#undef CBRECON_PP_FN

#define CBRECON_PP_FN __attribute__((target(CBRECON_TARGET_PREPROCESS_AVX2)))
// log_approx of four counts (as doubles); the bucket tables by gathers.
CBRECON_PP_FN inline __m256d approx4_avx2(__m256d x, const logs::Buckets& t) {
  using namespace logs;
  const __m256i b = _mm256_castpd_si256(x);
  const __m256d e = _mm256_sub_pd(
      _mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(b, 52), _mm256_castpd_si256(_mm256_set1_pd(kTwo52)))),
      _mm256_set1_pd(kExpBias));
  const __m256i j = _mm256_and_si256(_mm256_srli_epi64(b, kBucketShift), _mm256_set1_epi64x(kBuckets - 1));
  const __m256d m = _mm256_castsi256_pd(_mm256_or_si256(_mm256_and_si256(b, _mm256_set1_epi64x(kMantissa)),
                                                        _mm256_set1_epi64x(kOne)));
  const __m256d r = _mm256_sub_pd(_mm256_mul_pd(m, _mm256_i64gather_pd(t.invc, j, 8)), _mm256_set1_pd(1.0));
  __m256d p = _mm256_set1_pd(kC[8]);
  for (int i = 7; i >= 0; --i) p = _mm256_add_pd(_mm256_set1_pd(kC[i]), _mm256_mul_pd(r, p));
  const __m256d q = _mm256_mul_pd(_mm256_mul_pd(r, r), p);
  const __m256d a = _mm256_mul_pd(e, _mm256_set1_pd(kLn2Hi)), c = _mm256_i64gather_pd(t.hi, j, 8);
  const __m256d s = _mm256_add_pd(a, c), sc = _mm256_sub_pd(s, a);
  const __m256d s_lo = _mm256_add_pd(_mm256_sub_pd(a, _mm256_sub_pd(s, sc)), _mm256_sub_pd(c, sc));
  const __m256d u = _mm256_add_pd(s, r), ur = _mm256_sub_pd(u, s);
  const __m256d u_lo = _mm256_add_pd(_mm256_sub_pd(s, _mm256_sub_pd(u, ur)), _mm256_sub_pd(r, ur));
  const __m256d small = _mm256_add_pd(q, _mm256_add_pd(_mm256_mul_pd(e, _mm256_set1_pd(kLn2Lo)),
                                                      _mm256_add_pd(_mm256_i64gather_pd(t.lo, j, 8), s_lo)));
  return _mm256_add_pd(u, _mm256_add_pd(u_lo, small));
}
CBRECON_PP_FN void log_row_avx2(const uint32_t* in, const float* m, double ln, const LogTable* logs, float* out,
                                long c0, long c1) {
  long c = c0;
  if (logs && logs->size() > 0) {
    const logs::Buckets& t = logs::buckets();
    const __m256d lnv = _mm256_set1_pd(ln), scale = _mm256_set1_pd(10000.0);
    const __m256i one = _mm256_set1_epi32(1), bits = _mm256_set1_epi32(31);
    const __m256i last = _mm256_set1_epi32(static_cast<int32_t>(logs->size() - 1));
    for (; c + 8 <= c1; c += 8) {
      const __m256i n = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + c));
      // Counts below the table's size (unsigned), by their minimum with its last count.
      const __m256i in_table = _mm256_cmpeq_epi32(_mm256_min_epu32(n, last), n);
      const __m256i word = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int*>(logs->flags()),
                                                       _mm256_srli_epi32(n, logs::kWordShift), in_table, 4);
      const __m256i flag = _mm256_and_si256(
          _mm256_srlv_epi32(word, _mm256_and_si256(_mm256_srli_epi32(n, logs::kBlockShift), bits)), one);
      const __m256i good = _mm256_andnot_si256(_mm256_cmpeq_epi32(flag, one), in_table);
      const __m256i zero = _mm256_cmpeq_epi32(n, _mm256_setzero_si256());
      __m128 half[2];
      for (int h = 0; h < 2; ++h) {
        const __m128i nh = h ? _mm256_extracti128_si256(n, 1) : _mm256_castsi256_si128(n);
        const __m128i zh = h ? _mm256_extracti128_si256(zero, 1) : _mm256_castsi256_si128(zero);
        // Counts below 2^31 convert exactly as signed; larger ones are past
        // the table and redone below.
        const __m256d logn = approx4_avx2(_mm256_cvtepi32_pd(nh), t);
        const __m256d mv = _mm256_cvtps_pd(_mm_loadu_ps(m + c + 4 * h));
        const __m256d with_log = _mm256_add_pd(_mm256_sub_pd(mv, logn), lnv);
        const __m256d without = _mm256_add_pd(mv, lnv);
        const __m256d v = _mm256_blendv_pd(with_log, without, _mm256_castsi256_pd(_mm256_cvtepi32_epi64(zh)));
        half[h] = _mm256_cvtpd_ps(_mm256_mul_pd(v, scale));
      }
      _mm256_storeu_ps(out + c, _mm256_set_m128(half[1], half[0]));
      const unsigned redo = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(good, zero)))) & 0xff;
      if (redo) redo_lanes(redo, in, m, ln, logs, out, c);
    }
  }
  for (; c < c1; ++c) out[c] = line_integral(in[c], m[c], ln, logs);
}
CBRECON_PP_FN void approx_avx2(uint32_t n0, const logs::Buckets& t, double* out) {
  const __m256i n = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(n0)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  _mm256_storeu_pd(out, approx4_avx2(_mm256_cvtepi32_pd(_mm256_castsi256_si128(n)), t));
  _mm256_storeu_pd(out + 4, approx4_avx2(_mm256_cvtepi32_pd(_mm256_extracti128_si256(n, 1)), t));
}
CBRECON_PP_FN void weight_row_avx2(float* row, const double* ww, const float* rd, long ncols) {
  long c = 0;
  for (; c + 4 <= ncols; c += 4) {
    const __m256d x = _mm256_mul_pd(_mm256_loadu_pd(ww + c), _mm256_cvtps_pd(_mm_loadu_ps(row + c)));
    _mm_storeu_ps(row + c, _mm256_cvtpd_ps(_mm256_div_pd(x, _mm256_cvtps_pd(_mm_loadu_ps(rd + c)))));
  }
  weight_row(row + c, ww + c, rd + c, ncols - c);
}
#undef CBRECON_PP_FN
#endif

// The compiled loops, narrowest first; numeric/cpu.h chooses among them.
struct PreprocessKernel {
  const char* name;
  void (*log_row)(const uint32_t*, const float*, double, const LogTable*, float*, long, long);
  void (*weight_row)(float*, const double*, const float*, long);
  LogApprox8 approx8;
};
const PreprocessKernel scalar_kernel{"scalar", log_row, weight_row, approx_scalar};
#if defined(__x86_64__)
const PreprocessKernel avx2_kernel{"avx2", log_row_avx2, weight_row_avx2, approx_avx2};
const PreprocessKernel avx512_kernel{"avx512", log_row_avx512, weight_row_avx512, approx_avx512};
#endif
const PreprocessKernel* const kernels[] = {
    &scalar_kernel,
#if defined(__x86_64__)
    &avx2_kernel,
    &avx512_kernel,
#endif
};

}  // namespace

void set_preprocess_isa(const std::string& name) { set_stage_isa(Stage::preprocess, name); }

const char* preprocess_isa() { return chosen_kernel(Stage::preprocess, kernels).name; }

LogApprox8 log_approx8() { return chosen_kernel(Stage::preprocess, kernels).approx8; }

std::vector<std::string> preprocess_isas() { return runnable_kernel_names(Stage::preprocess, kernels); }

void preprocess_rows(const uint32_t* raw, const Matrix<float>& M, float lnorm,
                     const Geometry& g, int32_t ndets, int32_t nslices,
                     const std::vector<double>& ww, const Matrix<float>& rdist, float* proj,
                     long pitch, long r0, long r1, const LogTable* logs,
                     const float* minus, double minus_scale) {
  const PreprocessKernel& k = chosen_kernel(Stage::preprocess, kernels);
  const long ncols = g.ncols_ext;
  const long s = g.ishift;
  const double ln = lnorm;
  for (long r = r0; r < r1; ++r) {
    float* row = proj + r * pitch;
    const bool data_row = r >= 8 && r <= nslices - 9;
    // Line integrals inside the frame; the frame columns of a data row and
    // whole frame rows are 0.
    if (!data_row) {
      std::fill(row, row + ncols, 0.0f);
    } else {
      const long inner0 = std::min(ncols, s + 8), inner1 = std::clamp(s + ndets - 8, inner0, ncols);
      std::fill(row, row + inner0, 0.0f);
      std::fill(row + inner1, row + ncols, 0.0f);
      const uint32_t* in = raw + r * static_cast<long>(ndets);
      // Real column c lands on processed column c + s.
      float* out = row + s;
      k.log_row(in, M[r], ln, logs, out, 8, ndets - 8);
      if (minus) {
        const float* sub = minus + r * pitch + s;
        for (long c = 8; c < ndets - 8; ++c) {
          const float model = static_cast<float>(static_cast<double>(sub[c]) * minus_scale);
          out[c] = static_cast<float>(static_cast<double>(out[c]) - static_cast<double>(model));
        }
      }
    }
    if (s != 0) {
      // Half-fan extension: zeros, then copies of the first valid sample up
      // to the real detector.
      const long m = (8 * s + 64) / 11;
      const float first = row[s + 8];
      for (long c = m; c <= s + 7; ++c) row[c] = first;
    }
    k.weight_row(row, ww.data(), rdist[r], ncols);
  }
}

}  // namespace cbrecon
