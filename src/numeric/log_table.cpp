#include "numeric/log_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "numeric/error.h"
#include "numeric/log_approx-inl.h"

namespace cbrecon {

namespace logs {

const Buckets& buckets() {
  static const Buckets t = [] {
    Buckets b;
    for (int j = 0; j < kBuckets; ++j) {
      const double centre = 1.0 + (j + 0.5) / kBuckets;
      b.invc[j] = static_cast<float>(1.0 / centre);
      // Extended precision where the platform has it; a less precise
      // logarithm only flags more blocks.
      const long double l = -std::log(static_cast<long double>(b.invc[j]));
      b.hi[j] = static_cast<double>(l);
      b.lo[j] = static_cast<double>(l - static_cast<long double>(b.hi[j]));
    }
    return b;
  }();
  return t;
}

}  // namespace logs

double log_approx(uint32_t n) { return logs::log_approx_lanes<logs::ScalarLogLanes>(n, logs::buckets()); }

LogTable::LogTable(uint32_t size) : size_(size) {
  if (size >= (uint32_t{1} << 31)) throw RunError(strprintf("log table: %u counts are too many", size));
  const long words = static_cast<long>(size >> logs::kWordShift) + 1;
  flags_ = Matrix<uint32_t>(0, 0, 0, words - 1, "allocation failure 1 in matrix()", "allocation failure 2 in matrix()");
  std::fill(flags_.data(), flags_.data() + words, ~uint32_t{0});
}

void LogTable::fill(uint32_t begin, uint32_t end, LogApprox8 approx8) {
  end = std::min(end, size_);
  const logs::Buckets& t = logs::buckets();
  double a[8];
  for (uint32_t w0 = begin; w0 < end; w0 += logs::kFillUnit) {
    uint32_t word = 0;
    for (uint32_t n0 = w0; n0 < std::min(end, w0 + logs::kFillUnit); n0 += 8) {
      if (approx8) {
        approx8(n0, t, a);
      } else {
        for (uint32_t i = 0; i < 8; ++i) a[i] = logs::log_approx_lanes<logs::ScalarLogLanes>(n0 + i, t);
      }
      for (uint32_t i = 0; i < 8 && n0 + i < end; ++i) {
        const uint32_t n = n0 + i;
        const double exact = std::log(static_cast<double>(n));
        if (n < 2 || std::memcmp(&exact, &a[i], sizeof exact) != 0) word |= uint32_t{1} << (n >> logs::kBlockShift & 31);
      }
    }
    flags_.data()[w0 >> logs::kWordShift] = word;
  }
}

void LogTable::fill(ThreadPool& pool, LogApprox8 approx8) {
  const long unit = logs::kFillUnit;
  const long units = (static_cast<long>(size_) + unit - 1) / unit;
  pool.parallel_for(units, [&](long b, long e, int) {
    fill(static_cast<uint32_t>(unit * b), static_cast<uint32_t>(std::min<long>(unit * e, size_)), approx8);
  });
}

}  // namespace cbrecon
