// Fuzz target for the mask reader and the mask log image.  The first two
// bytes choose a small detector (1..48 columns, 1..48 rows, so that both
// frame-only and framed images occur); the rest is the mask file, read
// through a memory stream.  The reader must take exactly the detector's
// counts that the file holds and 0 for the rest; for any positive finite
// CTnorm the log image must be finite with a zero frame, since every view
// is normalised against it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "input/mask.h"
#include "input/projection.h"

#include "fuzz_check.h"

FUZZ_ENTRY(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const long cols = 1 + data[0] % 48;
  const long rows = 1 + data[1] % 48;
  // The mask file; one spare byte keeps the buffer non-null when it is empty.
  std::vector<uint8_t> file(data + 2, data + size);
  const size_t len = file.size();
  file.push_back(0);
  std::FILE* f = fmemopen(file.data(), len, "rb");
  FUZZ_CHECK(f != nullptr);
  if (!f) return 0;
  cbrecon::Header head;
  const cbrecon::Matrix<uint32_t> raw = cbrecon::read_mask_from(f, rows, cols, head.data());
  std::fclose(f);

  const size_t n = static_cast<size_t>(rows * cols);
  const size_t body = len > cbrecon::kHeaderSize ? len - cbrecon::kHeaderSize : 0;
  for (size_t k = 0; k < n; ++k) {
    uint32_t want = 0;
    if (4 * k + 4 <= body) {
      const uint8_t* p = file.data() + cbrecon::kHeaderSize + 4 * k;
      want = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    }
    FUZZ_CHECK(raw.data()[k] == want);
  }

  const double ctnorm = cbrecon::header_ctnorm(head.data());
  if (!(std::isfinite(ctnorm) && ctnorm > 0)) return 0;  // the driver refuses such a mask
  const cbrecon::Matrix<float> M = cbrecon::mask_log_image(raw, rows, cols, ctnorm);
  for (long r = 0; r < rows; ++r)
    for (long c = 0; c < cols; ++c) {
      const float m = M[r][c];
      FUZZ_CHECK(std::isfinite(m));
      const bool frame = r < 8 || c < 8 || r > rows - 9 || c > cols - 9;
      if (frame) FUZZ_CHECK(m == 0.0f);
    }
  return 0;
}
