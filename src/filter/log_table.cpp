#include "filter/log_table.h"

#include <algorithm>

#include "numeric/error.h"

namespace cbrecon {

LogTable::LogTable(uint32_t size) : size_(size) {
  if (size >= (uint32_t{1} << 31)) throw RunError(strprintf("log table: %u counts are too many", size));
  // Bucket j holds mantissas [1 + j/128, 1 + (j+1)/128); r = m * invc - 1
  // stays within about 1/256 of 0 around the bucket's centre.
  for (int j = 0; j < logs::kBuckets; ++j) {
    const double centre = 1.0 + (j + 0.5) / logs::kBuckets;
    invc_[j] = 1.0 / centre;
    logc_[j] = -std::log(invc_[j]);
  }
  const long bytes = static_cast<long>(size / 4) + 1 + 4;
  codes_ = Matrix<uint8_t>(0, 0, 0, bytes - 1, "allocation failure 1 in matrix()", "allocation failure 2 in matrix()");
  std::fill(codes_.data(), codes_.data() + bytes, uint8_t{0});
}

void LogTable::fill(uint32_t begin, uint32_t end, LogApprox8 approx8) {
  end = std::min(end, size_);
  double a[8];
  for (uint32_t n0 = begin; n0 < end; n0 += 8) {
    if (approx8) {
      approx8(n0, invc_, logc_, a);
    } else {
      for (uint32_t i = 0; i < 8; ++i) a[i] = log_approx(n0 + i, invc_, logc_);
    }
    for (uint32_t q = 0; q < 8 && n0 + q < end; q += 4) {
      uint8_t byte = 0;
      for (uint32_t i = q; i < q + 4 && n0 + i < end; ++i) {
        const uint32_t n = n0 + i;
        uint32_t k = logs::kEscape;
        if (n >= 2) {
          const double exact = std::log(static_cast<double>(n));
          int64_t be, ba;
          std::memcpy(&be, &exact, sizeof be);
          std::memcpy(&ba, &a[i], sizeof ba);
          const int64_t d = be - ba;
          if (d >= -1 && d <= 1) k = static_cast<uint32_t>(d + 1);
        }
        byte = static_cast<uint8_t>(byte | k << (2 * (i - q)));
      }
      codes_.data()[(n0 + q) >> 2] = byte;
    }
  }
}

}  // namespace cbrecon
