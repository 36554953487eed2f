// Fuzz target for the projection decoder.  The first two bytes choose a
// small detector (1..64 columns, 1..64 rows), the rest is the pixel data
// that follows a file's header.  Whatever the bytes, decoding must stay
// inside the data (ASan), report a consistent status, leave every pixel it
// did not decode at 0, and a complete image must survive a round trip
// through the encoder.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "input/projection.h"
#include "sim/encode.h"

#include "fuzz_check.h"

FUZZ_ENTRY(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const long cols = 1 + data[0] % 64;
  const long rows = 1 + data[1] % 64;
  // A copy of exactly the data bytes, so that ASan sees a read one past
  // the end of the span.
  const std::vector<uint8_t> bytes(data + 2, data + size);
  const size_t total = static_cast<size_t>(rows * cols);
  std::vector<uint32_t> img(total, 0xDEADBEEFu);
  const cbrecon::DecodeStatus st =
      cbrecon::decode_projection_into(std::span<const uint8_t>(bytes), cols, rows, img.data());

  FUZZ_CHECK(st.decoded <= total);
  FUZZ_CHECK(!(st.truncated && st.invalid_code));
  const bool complete = !st.truncated && !st.invalid_code;
  FUZZ_CHECK(complete == (st.decoded == total));
  for (size_t k = st.decoded; k < total; ++k) FUZZ_CHECK(img[k] == 0);
  // The bounds the reader relies on: less than the minimum never decodes
  // completely, and a complete view never needs more than the maximum.
  if (complete) FUZZ_CHECK(bytes.size() >= cbrecon::min_pixel_bytes(rows, cols));
  if (bytes.size() > cbrecon::max_pixel_bytes(rows, cols)) {
    std::vector<uint32_t> cut(total);
    const std::span<const uint8_t> head(bytes.data(), cbrecon::max_pixel_bytes(rows, cols));
    const cbrecon::DecodeStatus st3 = cbrecon::decode_projection_into(head, cols, rows, cut.data());
    FUZZ_CHECK(st3.decoded == st.decoded && st3.truncated == st.truncated);
    FUZZ_CHECK(std::memcmp(cut.data(), img.data(), total * sizeof(uint32_t)) == 0);
  }

  if (complete) {
    const std::vector<uint8_t> again = cbrecon::sim::encode_projection(img.data(), rows, cols);
    std::vector<uint32_t> back(total, 1);
    const cbrecon::DecodeStatus st2 =
        cbrecon::decode_projection_into(std::span<const uint8_t>(again), cols, rows, back.data());
    FUZZ_CHECK(!st2.truncated && !st2.invalid_code && st2.decoded == total);
    FUZZ_CHECK(std::memcmp(back.data(), img.data(), total * sizeof(uint32_t)) == 0);
  }
  return 0;
}
