#include "output/volume_io.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "input/projection.h"
#include "numeric/error.h"

namespace cbrecon {

namespace {
// Name of the temporary file being written, for the interrupt handler.  The
// handler may run at any instruction, so it reads the name only while
// g_pending_set says that the name is complete.
char g_pending[4096] = {};
volatile std::sig_atomic_t g_pending_set = 0;

void set_pending(const std::string& tmp) {
  g_pending_set = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (tmp.size() >= sizeof g_pending) return;
  std::memcpy(g_pending, tmp.c_str(), tmp.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_pending_set = 1;
}

void clear_pending() {
  g_pending_set = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}
}  // namespace

const char* pending_temporary_file() { return g_pending_set ? g_pending : ""; }

int16_t convert_voxel(float voxel, float scale_cal, float offset_cal) {
  const double v = static_cast<double>(scale_cal) * voxel + offset_cal;
  if (!(v > -2147483649.0 && v < 2147483648.0)) return 0;
  const int32_t i = static_cast<int32_t>(v);
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(i)));
}

void convert_slice(const float* slice, const FovExtents& fov, int32_t npxls, float scale_cal,
                   float offset_cal, int16_t* words) {
  for (int32_t r = 0; r < npxls; ++r) {
    const int32_t lo = fov.fov_start[r], hi = npxls - fov.fov_start[r];
    const float* in = slice + static_cast<size_t>(r) * npxls;
    int16_t* out = words + static_cast<size_t>(r) * npxls;
    for (int32_t q = 0; q < npxls; ++q)
      out[q] = (q >= lo && q < hi) ? convert_voxel(in[q], scale_cal, offset_cal) : int16_t{-2000};
  }
}

namespace detail {

std::FILE* open_temporary(const std::string& name, std::string& tmp) {
  tmp = name + ".tmp-" + std::to_string(static_cast<long>(getpid()));
  // Named for the interrupt handler before the file exists: an interrupt
  // right after its creation must still find it.
  set_pending(tmp);
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    const int e = errno;
    clear_pending();
    throw RunError("cannot create output file " + name + " (" + tmp + "): " + std::strerror(e));
  }
  return f;
}

void finish_temporary(std::FILE* f, const std::string& tmp, const std::string& name, bool ok) {
  int err = ok ? 0 : errno;
  if (std::fflush(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && fsync(fileno(f)) != 0 && errno != EINVAL && errno != EROFS) {
    ok = false;
    err = errno;
  }
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && std::rename(tmp.c_str(), name.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) std::remove(tmp.c_str());
  clear_pending();
  if (!ok)
    throw RunError("cannot write output file " + name + ": " +
                   (err ? std::strerror(err) : "write failed"));
}

}  // namespace detail

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
    }
    return true;
  });
}

}  // namespace cbrecon
