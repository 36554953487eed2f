// Natural logarithms of detector counts, equal bit for bit to the C
// library's std::log, without a table of doubles.
//
// A table holding every count's logarithm as a double costs 8 bytes per
// count: 32 MiB for counts up to 4 Mi.  Counts spread over that range, so
// nearly every lookup missed the caches and the logarithms took as long as
// the ramp filter.  Here each logarithm is computed by one fixed sequence of
// double operations (`log_approx`: exponent, a 128-entry table of
// reciprocals and their logarithms, a degree-6 polynomial), which lands
// within a unit in the last place of std::log; a 2-bit code per count says
// which double std::log returned: the one just below, the same or the one
// just above (the doubles of positive logarithms are ordered like their bit
// patterns), or "ask std::log" (counts 0 and 1 and the rare count where the
// sequence is further off).  4 Mi counts take 1 MiB of codes.
//
// The codes are made at run time against this process's std::log, so the
// values are whatever that library returns.  The vector kernels
// (filter/preprocess.cpp) run the same operations in the same order, without
// fused multiply-adds, so every lane gives the scalar doubles.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "numeric/arrays.h"

namespace cbrecon {

namespace logs {
inline constexpr int kBuckets = 128;  // reciprocal table entries: 7 mantissa bits
// ln 2 in two parts; the high part has 21 zero bits at the bottom, so
// e * kLn2Hi is exact for every exponent of a 32-bit count.
inline constexpr double kLn2Hi = 6.93147180369123816490e-01;
inline constexpr double kLn2Lo = 1.90821492927058770002e-10;
// log1p(r) ~ r + r^2 (kC2 + r (kC3 + r (kC4 + r (kC5 + r kC6)))) for |r| < 1/256.
inline constexpr double kC2 = -0.5, kC3 = 1.0 / 3.0, kC4 = -0.25, kC5 = 0.2, kC6 = -1.0 / 6.0;
// 2^52 + 1023: (2^52 + E) - kExpBias is E - 1023 exactly, for the vector
// kernels that place the biased exponent E in the low bits of 2^52.
inline constexpr double kExpBias = 4503599627371519.0;
inline constexpr uint64_t kMantissa = 0x000FFFFFFFFFFFFFull, kOne = 0x3FF0000000000000ull;
inline constexpr uint32_t kEscape = 3;  // code: ask std::log
}  // namespace logs

// The fixed sequence for a count n >= 1 (see above).  `invc` and `logc` are
// the table of a LogTable.
inline double log_approx(uint32_t n, const double* invc, const double* logc) {
  using namespace logs;
  const double x = static_cast<double>(n);
  uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  const double e = static_cast<double>(static_cast<int>(b >> 52) - 1023);
  const uint32_t j = static_cast<uint32_t>(b >> 45) & (kBuckets - 1);
  const uint64_t mb = (b & kMantissa) | kOne;
  double m;
  std::memcpy(&m, &mb, sizeof m);
  const double r = m * invc[j] - 1.0;
  const double q = r * r * (kC2 + r * (kC3 + r * (kC4 + r * (kC5 + r * kC6))));
  return (e * kLn2Hi + logc[j]) + (r + (q + e * kLn2Lo));
}

// log_approx of the counts n0 .. n0 + 7 into out[0 .. 7] (a vector kernel's
// form of it; see filter/preprocess.h).
using LogApprox8 = void (*)(uint32_t n0, const double* invc, const double* logc, double* out);

class LogTable {
 public:
  LogTable() = default;  // no counts: every logarithm comes from std::log
  // Counts [0, size), size < 2^31; the codes are filled by fill().
  explicit LogTable(uint32_t size);

  // Codes of counts [begin, end): begin a multiple of 4, end a multiple of 4
  // or size().  Disjoint ranges may be filled by different threads.
  // `approx8` (optional) computes the sequence eight counts at a time.
  void fill(uint32_t begin, uint32_t end, LogApprox8 approx8 = nullptr);

  uint32_t size() const { return size_; }
  // std::log(n) for every n (n >= size() and escapes by std::log itself).
  double log(uint32_t n) const {
    if (n < size_) {
      const uint32_t k = code(n);
      if (k != logs::kEscape) return neighbour(log_approx(n, invc_, logc_), k);
    }
    return std::log(static_cast<double>(n));
  }
  uint32_t code(uint32_t n) const { return codes_.data()[n >> 2] >> ((n & 3) * 2) & 3; }
  // The double `k - 1` places above a positive double.
  static double neighbour(double a, uint32_t k) {
    uint64_t b;
    std::memcpy(&b, &a, sizeof b);
    b += static_cast<uint64_t>(static_cast<int64_t>(k) - 1);
    std::memcpy(&a, &b, sizeof a);
    return a;
  }

  const double* invc() const { return invc_; }
  const double* logc() const { return logc_; }
  // 2-bit codes, four counts per byte from the low bits, and 4 bytes past
  // the last so that a 32-bit load at any count's byte stays inside.
  const uint8_t* codes() const { return codes_.data(); }

 private:
  uint32_t size_ = 0;
  double invc_[logs::kBuckets] = {}, logc_[logs::kBuckets] = {};
  Matrix<uint8_t> codes_;
};

}  // namespace cbrecon
