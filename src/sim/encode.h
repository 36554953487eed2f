// Lossless compression of a detector image into the pixel layout that
// decode_projection_into (input/projection.h) reads back: code table, row 0
// and pixel (1,0) stored plainly, then one difference per remaining pixel
// against the prediction left + above - above-left (32-bit wrapping), in 1,
// 2 or 4 bytes as the smallest signed width that holds it.
#pragma once

#include <cstdint>
#include <vector>

namespace cbrecon::sim {

// Compresses `img` (rows x cols, row-major) into the bytes that follow the
// 1024-byte header of a projection file.  Empty for an empty image.
std::vector<uint8_t> encode_projection(const uint32_t* img, long rows, long cols);

// The same into `out`, whose capacity is kept from call to call; `out` ends
// holding exactly the compressed bytes.
void encode_projection_into(const uint32_t* img, long rows, long cols, std::vector<uint8_t>& out);

}  // namespace cbrecon::sim
