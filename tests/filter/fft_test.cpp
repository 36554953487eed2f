#include "filter/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <complex>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "numeric/error.h"

namespace cbrecon {
namespace {

std::vector<float> random_samples(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = u(gen);
  return x;
}

// X_k = sum_j x_j exp(sign 2 pi i j k / n), in long double.
std::vector<std::complex<long double>> dft(const std::vector<std::complex<long double>>& x,
                                           int sign) {
  const size_t n = x.size();
  std::vector<std::complex<long double>> w(n);  // exact angles from j*k mod n
  for (size_t m = 0; m < n; ++m)
    w[m] = std::polar(1.0L, sign * 6.283185307179586476925286766559L * m / n);
  std::vector<std::complex<long double>> out(n);
  for (size_t k = 0; k < n; ++k)
    for (size_t j = 0; j < n; ++j) out[k] += x[j] * w[(j * k) % n];
  return out;
}

// The documented operation sequence transcribed with 1-based indexing
// (a[1..n]), independently of the library's 0-based lane kernels.
void reference_cfft(float* a, int nc, int d) {
  const int nd = 2 * nc;
  for (int i = 1, j = 1; i < nd; i += 2) {
    if (j > i) std::swap(a[j], a[i]), std::swap(a[j + 1], a[i + 1]);
    int m = nd / 2;
    while (m >= 2 && j > m) j -= m, m /= 2;
    j += m;
  }
  for (int mmax = 2; nd > mmax;) {
    const int istep = 2 * mmax;
    const double theta = 6.28318530717959 / (d * mmax);
    double wtemp = std::sin(theta / 2);
    const double wpr = -2.0 * wtemp * wtemp, wpi = std::sin(theta);
    double wr = 1.0, wi = 0.0;
    for (int m = 1; m < mmax; m += 2) {
      for (int i = m; i <= nd; i += istep) {
        const int j = i + mmax;
        const float tempr = static_cast<float>(wr * a[j] - wi * a[j + 1]);
        const float tempi = static_cast<float>(wr * a[j + 1] + wi * a[j]);
        a[j] = a[i] - tempr;
        a[j + 1] = a[i + 1] - tempi;
        a[i] = a[i] + tempr;
        a[i + 1] = a[i + 1] + tempi;
      }
      wtemp = wr;
      wr = wr * wpr - wi * wpi + wr;
      wi = wi * wpr + wtemp * wpi + wi;
    }
    mmax = istep;
  }
}

void reference_rfft(float* a, int n, int d) {
  const int nh = n / 2;
  const double ha = 0.5;
  double hb, theta = 3.141592653589793 / nh;
  if (d == 1) {
    hb = -0.5;
    reference_cfft(a, nh, 1);
  } else {
    hb = 0.5;
    theta = -theta;
  }
  double wtemp = std::sin(theta / 2);
  const double wpr = -2.0 * wtemp * wtemp, wpi = std::sin(theta);
  double wr = 1.0 + wpr, wi = wpi;
  for (int i = 2; i <= nh / 2; ++i) {
    const int i1 = 2 * i - 1, i2 = i1 + 1, i3 = n + 3 - i2, i4 = i3 + 1;
    const float h1r = static_cast<float>(ha * (double(a[i1]) + a[i3]));
    const float h1i = static_cast<float>(ha * (double(a[i2]) - a[i4]));
    const float h2r = static_cast<float>(-hb * (double(a[i2]) + a[i4]));
    const float h2i = static_cast<float>(hb * (double(a[i1]) - a[i3]));
    a[i1] = static_cast<float>(h1r + wr * h2r - wi * h2i);
    a[i2] = static_cast<float>(h1i + wr * h2i + wi * h2r);
    a[i3] = static_cast<float>(h1r - wr * h2r + wi * h2i);
    a[i4] = static_cast<float>(-h1i + wr * h2i + wi * h2r);
    wtemp = wr;
    wr = wr * wpr - wi * wpi + wr;
    wi = wi * wpr + wtemp * wpi + wi;
  }
  const float h1r = a[1];
  if (d == 1) {
    a[1] = h1r + a[2];
    a[2] = h1r - a[2];
  } else {
    a[1] = static_cast<float>(ha * (double(h1r) + a[2]));
    a[2] = static_cast<float>(ha * (double(h1r) - a[2]));
    reference_cfft(a, nh, -1);
  }
}

TEST(Rfft, BitIdenticalToTheDocumentedSequence) {
  for (int n : {2, 4, 8, 2048, 4096}) {
    std::vector<float> impulse(n, 0.0f);  // its zeros expose any extra operation
    impulse[1] = 1.0f;
    for (auto [d, x] : {std::pair{1, random_samples(n, n)}, {-1, random_samples(n, n + 1)},
                        {0, random_samples(n, n + 2)}, {1, impulse}, {-1, impulse}}) {
      std::vector<float> ref(n + 1);
      std::copy(x.begin(), x.end(), ref.begin() + 1);
      reference_rfft(ref.data(), n, d);
      std::vector<float> got = x;
      rfft(got.data(), n, d);
      EXPECT_EQ(std::memcmp(got.data(), ref.data() + 1, sizeof(float) * n), 0) << n << " " << d;
    }
  }
}

TEST(Rfft, ImpulseAtZeroIsFlatSpectrum) {
  std::vector<float> x(2048, 0.0f);
  x[0] = 1.0f;
  rfft(x.data(), 2048, 1);
  for (int k = 0; k < 2048; ++k) EXPECT_EQ(x[k], k < 2 || k % 2 == 0 ? 1.0f : 0.0f) << k;
}

TEST(Rfft, ImpulseAtOneShowsPositiveExponent) {
  const int n = 256;
  std::vector<float> x(n, 0.0f);
  x[1] = 1.0f;
  rfft(x.data(), n, 1);
  EXPECT_NEAR(x[0], 1.0f, 1e-6);
  EXPECT_NEAR(x[1], -1.0f, 1e-6);
  for (int k = 1; k < n / 2; ++k) {
    EXPECT_NEAR(x[2 * k], std::cos(2 * M_PI * k / n), 1e-6) << k;
    EXPECT_NEAR(x[2 * k + 1], std::sin(2 * M_PI * k / n), 1e-6) << k;
  }
}

TEST(Rfft, ConstantAndLengthTwo) {
  std::vector<float> x(1024, 0.25f);
  rfft(x.data(), 1024, 1);
  EXPECT_FLOAT_EQ(x[0], 256.0f);
  for (int k = 1; k < 1024; ++k) EXPECT_NEAR(x[k], 0.0f, 1e-4) << k;

  float two[2] = {3.0f, 5.0f};
  rfft(two, 2, 1);
  EXPECT_EQ(two[0], 8.0f);
  EXPECT_EQ(two[1], -2.0f);
  rfft(two, 2, -1);
  EXPECT_EQ(two[0], 3.0f);
  EXPECT_EQ(two[1], 5.0f);
}

TEST(Rfft, ForwardMatchesLongDoubleDft) {
  for (int n : {8, 64, 2048}) {
    const std::vector<float> x = random_samples(n, 7u + n);
    std::vector<std::complex<long double>> xc(x.begin(), x.end());
    const auto ref = dft(xc, +1);
    std::vector<float> y = x;
    rfft(y.data(), n, 1);
    const double tol = 4e-7 * n;
    EXPECT_NEAR(y[0], static_cast<double>(ref[0].real()), tol);
    EXPECT_NEAR(y[1], static_cast<double>(ref[n / 2].real()), tol);
    for (int k = 1; k < n / 2; ++k) {
      EXPECT_NEAR(y[2 * k], static_cast<double>(ref[k].real()), tol) << n << " " << k;
      EXPECT_NEAR(y[2 * k + 1], static_cast<double>(ref[k].imag()), tol) << n << " " << k;
    }
  }
}

TEST(Rfft, InverseGainIsHalfTheLengthForAnyNonForwardDirection) {
  for (int n : {2048, 4096}) {
    const std::vector<float> x = random_samples(n, n);
    std::vector<float> spectrum = x;
    rfft(spectrum.data(), n, 1);
    std::vector<float> back = spectrum;
    rfft(back.data(), n, -1);
    for (int j = 0; j < n; ++j) ASSERT_NEAR(back[j], x[j] * (n / 2), 2e-3 * n / 2) << j;
    for (int d : {0, -2, 7}) {  // every direction but +1 is the inverse, bit for bit
      std::vector<float> other = spectrum;
      rfft(other.data(), n, d);
      EXPECT_EQ(other, back) << d;
    }
  }
}

TEST(Cfft, BothSignsMatchLongDoubleDft) {
  const int nc = 32;
  const std::vector<float> x = random_samples(2 * nc, 3);
  std::vector<std::complex<long double>> xc(nc);
  for (int k = 0; k < nc; ++k) xc[k] = {x[2 * k], x[2 * k + 1]};
  for (int d : {1, -1}) {
    const auto ref = dft(xc, d);
    std::vector<float> y = x;
    cfft(y.data(), nc, d);
    for (int k = 0; k < nc; ++k) {
      EXPECT_NEAR(y[2 * k], static_cast<double>(ref[k].real()), 1e-5) << d << " " << k;
      EXPECT_NEAR(y[2 * k + 1], static_cast<double>(ref[k].imag()), 1e-5) << d << " " << k;
    }
  }
}

TEST(Fft, RefusesBadLengthsAndDirections) {
  std::vector<float> x(16, 0.0f);
  for (int n : {-4, 0, 1, 3, 12}) EXPECT_THROW(rfft(x.data(), n, 1), RunError) << n;
  for (int nc : {0, 3, 6}) EXPECT_THROW(cfft(x.data(), nc, 1), RunError) << nc;
  EXPECT_THROW(cfft(x.data(), 4, 0), RunError);
}

}  // namespace
}  // namespace cbrecon
