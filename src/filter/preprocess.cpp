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
inline float line_integral(uint32_t n, float m, double ln, const double* lt, uint32_t nlt) {
  const double logn = n < nlt ? lt[n] : std::log(static_cast<double>(n));
  const double v = n != 0 ? (static_cast<double>(m) - logn + ln) : (static_cast<double>(m) + ln);
  return static_cast<float>(v * 10000.0);
}

// The two per-row loops, one pixel at a time.
void log_row(const uint32_t* in, const float* m, double ln, const double* lt, uint32_t nlt, float* out,
             long c0, long c1) {
  // The table is far larger than the caches and neighbouring counts may
  // land far apart in it: ask for the entry a few pixels ahead.
  constexpr long kAhead = 16;
  for (long c = c0; c < c1; ++c) {
    if (c + kAhead < c1 && in[c + kAhead] < nlt) __builtin_prefetch(lt + in[c + kAhead]);
    out[c] = line_integral(in[c], m[c], ln, lt, nlt);
  }
}
void weight_row(float* row, const double* ww, const float* rd, long ncols) {
  for (long c = 0; c < ncols; ++c) row[c] = static_cast<float>(ww[c] * row[c] / rd[c]);
}

#if defined(__x86_64__)
// The same loops eight pixels at a time: every lane does the scalar
// operations in double and rounds once, so the results are the scalar
// ones; table entries come by gathers, counts past the table through the
// scalar routine.
#define CBRECON_PP_FN __attribute__((target(CBRECON_TARGET_PREPROCESS_AVX512)))
CBRECON_PP_FN void log_row_avx512(const uint32_t* in, const float* m, double ln, const double* lt, uint32_t nlt,
                                  float* out, long c0, long c1) {
  const __m512d lnv = _mm512_set1_pd(ln), scale = _mm512_set1_pd(10000.0);
  const __m256i ntab = _mm256_set1_epi32(static_cast<int32_t>(nlt));
  long c = c0;
  for (; c + 8 <= c1; c += 8) {
    const __m256i n = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + c));
    const __mmask8 in_table = _mm256_cmplt_epu32_mask(n, ntab);
    const __mmask8 nonzero = _mm256_test_epi32_mask(n, n);
    __m512d logn = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), in_table, n, lt, 8);
    const __m512d mv = _mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(m + c));
    const __m512d with_log = _mm512_add_pd(_mm512_sub_pd(mv, logn), lnv);
    const __m512d without = _mm512_add_pd(mv, lnv);
    const __m512d v = _mm512_mask_blend_pd(nonzero, without, with_log);
    _mm256_storeu_ps(out + c, _mm512_maskz_cvtpd_ps(0xff, _mm512_mul_pd(v, scale)));
    if (in_table != 0xff)
      for (int l = 0; l < 8; ++l)
        if (!(in_table >> l & 1)) out[c + l] = line_integral(in[c + l], m[c + l], ln, lt, nlt);
  }
  for (; c < c1; ++c) out[c] = line_integral(in[c], m[c], ln, lt, nlt);
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
#endif

// The compiled loops, narrowest first; numeric/cpu.h chooses among them.
struct PreprocessKernel {
  const char* name;
};
const PreprocessKernel scalar_kernel{"scalar"};
#if defined(__x86_64__)
const PreprocessKernel avx512_kernel{"avx512"};
#endif
const PreprocessKernel* const kernels[] = {
    &scalar_kernel,
#if defined(__x86_64__)
    &avx512_kernel,
#endif
};

}  // namespace

void set_preprocess_isa(const std::string& name) { set_stage_isa(Stage::preprocess, name); }

const char* preprocess_isa() { return chosen_kernel(Stage::preprocess, kernels).name; }

std::vector<std::string> preprocess_isas() { return runnable_kernel_names(Stage::preprocess, kernels); }

void preprocess_rows(const uint32_t* raw, const Matrix<float>& M, float lnorm,
                     const Geometry& g, int32_t ndets, int32_t nslices,
                     const std::vector<double>& ww, const Matrix<float>& rdist, float* proj,
                     long pitch, long r0, long r1, std::span<const double> logtab,
                     const float* minus, double minus_scale) {
  const double* lt = logtab.data();
  const uint32_t nlt = static_cast<uint32_t>(logtab.size());
  const long ncols = g.ncols_ext;
  const long s = g.ishift;
  const double ln = lnorm;
#if defined(__x86_64__)
  const bool wide = std::strcmp(preprocess_isa(), "avx512") == 0;
#else
  const bool wide = false;
#endif
  for (long r = r0; r < r1; ++r) {
    float* row = proj + r * pitch;
    const bool data_row = r >= 8 && r <= nslices - 9;
    // Line integrals inside the frame; the frame columns of a data row and
    // whole frame rows are 0.
    std::fill(row, row + ncols, 0.0f);
    if (data_row) {
      const uint32_t* in = raw + r * static_cast<long>(ndets);
      // Real column c lands on processed column c + s.
      float* out = row + s;
#if defined(__x86_64__)
      if (wide)
        log_row_avx512(in, M[r], ln, lt, nlt, out, 8, ndets - 8);
      else
#endif
        log_row(in, M[r], ln, lt, nlt, out, 8, ndets - 8);
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
#if defined(__x86_64__)
    if (wide)
      weight_row_avx512(row, ww.data(), rdist[r], ncols);
    else
#endif
      weight_row(row, ww.data(), rdist[r], ncols);
  }
}

}  // namespace cbrecon
