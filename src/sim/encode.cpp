#include "sim/encode.h"

#include <algorithm>

#include "input/projection.h"

namespace cbrecon::sim {

namespace {
inline uint8_t* put_u32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
  return p + 4;
}
}  // namespace

std::vector<uint8_t> encode_projection(const uint32_t* img, long rows, long cols) {
  std::vector<uint8_t> out;
  encode_projection_into(img, rows, cols, out);
  return out;
}

void encode_projection_into(const uint32_t* v, long rows, long cols, std::vector<uint8_t>& out) {
  out.clear();
  if (rows < 1 || cols < 1) return;
  const size_t n = static_cast<size_t>(cols);
  const size_t total = static_cast<size_t>(rows) * n;
  const size_t L = code_table_length(rows, cols);
  const size_t plain = std::min(total, n + (rows > 1 ? 1 : 0));
  // Worst case: every coded pixel needs 4 bytes.  The buffer is cut to the
  // bytes used at the end.
  out.resize(L + 4 * total);
  uint8_t* const table = out.data();
  std::fill(table, table + L, uint8_t{0});
  uint8_t* p = table + L;
  for (size_t k = 0; k < plain; ++k) p = put_u32(p, v[k]);
  for (size_t k = n + 1; k < total; ++k) {
    const uint32_t pred = v[k - 1] + v[k - n] - v[k - n - 1];
    const int32_t d = static_cast<int32_t>(v[k] - pred);
    const size_t q = k - n - 1;
    unsigned code;
    if (d >= -128 && d <= 127) {
      code = 0;
      *p++ = static_cast<uint8_t>(d);
    } else if (d >= -32768 && d <= 32767) {
      code = 1;
      p[0] = static_cast<uint8_t>(d);
      p[1] = static_cast<uint8_t>(static_cast<uint32_t>(d) >> 8);
      p += 2;
    } else {
      code = 2;
      p = put_u32(p, static_cast<uint32_t>(d));
    }
    table[q >> 2] = static_cast<uint8_t>(table[q >> 2] | code << (2 * (q & 3)));
  }
  out.resize(static_cast<size_t>(p - table));
}

}  // namespace cbrecon::sim
