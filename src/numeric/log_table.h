// Natural logarithms of detector counts, equal bit for bit to the C
// library's std::log, without a table of doubles.
//
// A table holding every count's logarithm as a double costs 8 bytes per
// count: 32 MiB for counts up to 4 Mi.  Counts spread over that range, so
// nearly every lookup missed the caches and the logarithms took as long as
// the ramp filter.  Here each logarithm is computed by one fixed sequence of
// double operations (`log_approx`: the exponent, a 16-entry table of
// reciprocals and their logarithms in two parts, a degree-10 polynomial and
// two exact sums), accurate to about 1e-4 of a unit in the last place, so
// that it rounds as std::log does for all but a few hundred of 4 Mi counts.
// Those are found when the table is made (against this process's std::log,
// whatever library that is) and their blocks of 64 counts are flagged: one
// bit per block, 8 KiB for 4 Mi counts, small enough to stay in the
// first-level cache.  A flagged count is given to std::log itself.
//
// The sequence is written once (numeric/log_approx-inl.h) over a lane type;
// the preprocessing kernels compile it for their own lanes, without fused
// multiply-adds, so every lane gives the scalar doubles.
#pragma once

#include <cmath>
#include <cstdint>

#include "numeric/arrays.h"
#include "numeric/parallel.h"

namespace cbrecon {

namespace logs {
inline constexpr int kBuckets = 16;        // reciprocal table entries: the top 4 mantissa bits
inline constexpr int kBucketShift = 48;    // bit of the double where they start
inline constexpr int kBlockShift = 6;      // 64 counts per flag bit
inline constexpr int kWordShift = kBlockShift + 5;       // 32 flag bits per word: 2048 counts
inline constexpr uint32_t kFillUnit = uint32_t{1} << kWordShift;  // counts per word of flags
// ln 2 in two parts; the high part has 21 zero bits at the bottom, so
// e * kLn2Hi is exact for every exponent of a 32-bit count.
inline constexpr double kLn2Hi = 6.93147180369123816490e-01;
inline constexpr double kLn2Lo = 1.90821492927058770002e-10;
// log1p(r) ~ r + r^2 (kC[0] + r (kC[1] + ... + r kC[8])), kC[i] = (-1)^(i+1) / (i + 2).
inline constexpr double kC[9] = {-1.0 / 2, 1.0 / 3, -1.0 / 4, 1.0 / 5, -1.0 / 6, 1.0 / 7, -1.0 / 8, 1.0 / 9, -1.0 / 10};
// 2^52 + 1023: (2^52 + E) - kExpBias is E - 1023 exactly, for the vector
// kernels that place the biased exponent E in the low bits of 2^52.
inline constexpr double kTwo52 = 4503599627370496.0, kExpBias = 4503599627371519.0;
inline constexpr uint64_t kMantissa = 0x000FFFFFFFFFFFFFull, kOne = 0x3FF0000000000000ull;

// Bucket j covers mantissas [1 + j/16, 1 + (j+1)/16): invc is the
// reciprocal of its centre rounded to float (so that m * invc is exact for
// counts below 2^29 and r = m * invc - 1 is exact), hi + lo is -log(invc)
// to about 64 bits.
struct Buckets {
  double invc[kBuckets], hi[kBuckets], lo[kBuckets];
};
const Buckets& buckets();
}  // namespace logs

// The fixed sequence for a count n >= 1 (see above; numeric/log_approx-inl.h
// writes it once for every lane width).
double log_approx(uint32_t n);

class LogTable;
// log_approx of the counts n0 .. n0 + 7 into out[0 .. 7] (a preprocessing
// kernel's form of it; see filter/preprocess.h).
using LogApprox8 = void (*)(uint32_t n0, const logs::Buckets& t, double* out);

class LogTable {
 public:
  LogTable() = default;  // no counts: every logarithm comes from std::log
  // Counts [0, size), size < 2^31; flags still to fill (every block is
  // flagged until then).
  explicit LogTable(uint32_t size);

  // Flags of counts [begin, end): begin a multiple of logs::kFillUnit, end
  // one too or size().  Disjoint ranges may be filled by different threads.
  // `approx8` (optional) computes the sequence eight counts at a time.
  void fill(uint32_t begin, uint32_t end, LogApprox8 approx8 = nullptr);
  // Every count's flag, in whole words of flags shared out over `pool`.
  void fill(ThreadPool& pool, LogApprox8 approx8 = nullptr);

  uint32_t size() const { return size_; }
  // std::log(n) for every n.
  double log(uint32_t n) const {
    if (n < size_ && !flagged(n)) return log_approx(n);
    return std::log(static_cast<double>(n));
  }
  // Whether count n < size() goes to std::log.
  bool flagged(uint32_t n) const { return flags_.data()[n >> logs::kWordShift] >> (n >> logs::kBlockShift & 31) & 1; }
  const uint32_t* flags() const { return flags_.data(); }

 private:
  uint32_t size_ = 0;
  Matrix<uint32_t> flags_;
};

}  // namespace cbrecon
