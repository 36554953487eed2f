#include "output/volume_io.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "input/projection.h"
#include "numeric/error.h"
#include "numeric/files.h"

namespace cbrecon {

int16_t convert_voxel(float voxel, float scale_cal, float offset_cal) {
  const double v = static_cast<double>(scale_cal) * voxel + offset_cal;
  if (!(v > -2147483649.0 && v < 2147483648.0)) return 0;
  const int32_t i = static_cast<int32_t>(v);
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(i)));
}

void convert_slice(const float* slice, const FovExtents& fov, int32_t npxls, float scale_cal,
                   float offset_cal, int16_t* words) {
  for (int32_t r = 0; r < npxls; ++r) {
    // The row in three runs (outside, inside, outside the field of view),
    // so that the inside run is one branch-free loop.
    const int32_t lo = std::min<int32_t>(fov.fov_start[r], npxls), hi = std::max(lo, npxls - fov.fov_start[r]);
    const float* in = slice + static_cast<size_t>(r) * npxls;
    int16_t* out = words + static_cast<size_t>(r) * npxls;
    std::fill(out, out + lo, int16_t{-2000});
    for (int32_t q = lo; q < hi; ++q) out[q] = convert_voxel(in[q], scale_cal, offset_cal);
    std::fill(out + hi, out + npxls, int16_t{-2000});
  }
}

void write_volume_file(const std::string& name, const uint8_t* headout, const float* volume,
                       size_t pitch, uint16_t nz, int32_t npxls, const FovExtents& fov,
                       float scale_cal, float offset_cal) {
  const size_t slice = static_cast<size_t>(npxls) * npxls;
  std::vector<int16_t> slicebuf(slice);
  write_file_atomically(name, [&](std::FILE* f) {
    if (std::fwrite(headout, 1, kHeaderSize, f) != kHeaderSize) return false;
    for (uint16_t j = 0; j < nz; ++j) {
      convert_slice(volume + j * pitch, fov, npxls, scale_cal, offset_cal, slicebuf.data());
      if (std::fwrite(slicebuf.data(), sizeof(int16_t), slice, f) != slice) return false;
      if (j % 8 == 7) start_writeback(f);
    }
    return true;
  });
}

}  // namespace cbrecon
