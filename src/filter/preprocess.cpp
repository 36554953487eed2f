#include "filter/preprocess.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "filter/preprocess-inl.h"
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

namespace detail {
#if defined(__x86_64__)
extern const PreprocessKernel preprocess_avx2;
extern const PreprocessKernel preprocess_avx512;
#endif
}  // namespace detail

namespace {

const detail::PreprocessKernel scalar_kernel = preprocess_kernel<1>("scalar");

// The compiled loops, narrowest first; numeric/cpu.h chooses among them.
const detail::PreprocessKernel* const kernels[] = {
    &scalar_kernel,
#if defined(__x86_64__)
    &detail::preprocess_avx2,
    &detail::preprocess_avx512,
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
  const detail::PreprocessKernel& k = chosen_kernel(Stage::preprocess, kernels);
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
