#include "input/mask.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include "numeric/error.h"
#include "numeric/files.h"

namespace cbrecon {

Matrix<uint32_t> read_mask_from(std::FILE* f, long nslices, long ndets, uint8_t* head) {
  std::memset(head, 0, kHeaderSize);
  Matrix<uint32_t> raw = uimatrix(0, nslices - 1, 0, ndets - 1);
  std::memset(raw.data(), 0, raw.size() * sizeof(uint32_t));
  if (std::fread(head, 1, kHeaderSize, f) == kHeaderSize) {
    const size_t n = std::fread(raw.data(), sizeof(uint32_t), raw.size(), f);
    // A short mask leaves its missing pixels at 0; a partial last count is
    // not used either.
    if (n < raw.size()) std::memset(raw.data() + n, 0, (raw.size() - n) * sizeof(uint32_t));
  }
  // Counts are little-endian on disk; this program targets little-endian hosts.
  static_assert(std::endian::native == std::endian::little);
  return raw;
}

Matrix<uint32_t> read_mask(const std::string& fn_msk, long nslices, long ndets, uint8_t* head,
                           std::FILE* out) {
  std::memset(head, 0, kHeaderSize);
  bool special = false;
  const UniqueFile f = open_regular_file(fn_msk, &special);
  if (!f) {
    const int e = errno;
    std::fprintf(out, "Can't Open Mask File %s.\n", fn_msk.c_str());
    throw RunError("cannot open mask file " + fn_msk + ": " + open_failure_reason(e, special));
  }
  return read_mask_from(f.get(), nslices, ndets, head);
}

Matrix<float> mask_log_image(const Matrix<uint32_t>& raw, long nslices, long ndets, double ctnorm,
                             ThreadPool* pool) {
  Matrix<float> M = matrix(0, nslices - 1, 0, ndets - 1);
  std::memset(M.data(), 0, M.size() * sizeof(float));
  const float g = static_cast<float>(std::log(ctnorm));
  // The logarithms of the counts, row by row on any thread; then the zero
  // counts in raster order, each from its final neighbours above and to the
  // left (the same values as one pass in raster order).
  auto logs = [&](long r0, long r1, int) {
    for (long r = std::max(r0, 8L); r < std::min(r1, nslices - 8); ++r)
      for (long c = 8; c <= ndets - 9; ++c) {
        const float m = static_cast<float>(raw[r][c]);
        if (m > 0) M[r][c] = static_cast<float>(std::log(static_cast<double>(m)) - static_cast<double>(g));
      }
  };
  if (pool)
    pool->parallel_for(nslices, logs);
  else
    logs(0, nslices, 0);
  for (long r = 8; r <= nslices - 9; ++r)
    for (long c = 8; c <= ndets - 9; ++c)
      if (!(static_cast<float>(raw[r][c]) > 0))
        M[r][c] = static_cast<float>(0.5 * (static_cast<double>(M[r - 1][c]) + static_cast<double>(M[r][c - 1])));
  return M;
}

}  // namespace cbrecon
