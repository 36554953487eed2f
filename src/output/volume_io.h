// The volume file (".seq"): the 1024-byte header of the last view read,
// then nz slices of npxls x npxls little-endian 16-bit words, slice 0 (lowest
// z) first, row 0 first, column 0 first.  Inside the field of view a word
// is the low 16 bits of trunc(scale_cal * voxel + offset_cal); outside it is
// -2000.
#pragma once

#include <cstdint>
#include <string>

#include "backproj/backproject.h"
#include "numeric/arrays.h"

namespace cbrecon {

// One output word: scale * voxel + offset in double, truncated toward zero
// to 32 bits, low 16 bits kept.  NaN or a value outside the 32-bit range is
// written as 0.
int16_t convert_voxel(float voxel, float scale_cal, float offset_cal);

// Converts one slice (npxls x npxls) into `words`.
void convert_slice(const float* slice, const FovExtents& fov, int32_t npxls, float scale_cal,
                   float offset_cal, int16_t* words);

// Writes the volume file.  The data go to a temporary file in the same
// folder, renamed to `name` only once every write and the close succeeded;
// on failure nothing appears under `name` (an older file of that name stays
// as it was) and RunError is thrown.
// `pitch`: floats from one slice to the next (npxls * npxls when packed).
void write_volume_file(const std::string& name, const uint8_t* headout, const float* volume,
                       size_t pitch, uint16_t nz, int32_t npxls, const FovExtents& fov,
                       float scale_cal, float offset_cal);

// Writes any file atomically: `fill` writes the content to the FILE* it is
// given and returns false on a failed write.  Same guarantees as above.
template <class Fill>
void write_file_atomically(const std::string& name, Fill&& fill);

// The temporary file currently being written (empty if none), so that an
// interrupted run can remove it.  Async-signal-safe to read.
const char* pending_temporary_file();

namespace detail {
std::FILE* open_temporary(const std::string& name, std::string& tmp);
void finish_temporary(std::FILE* f, const std::string& tmp, const std::string& name, bool ok);
}  // namespace detail

template <class Fill>
void write_file_atomically(const std::string& name, Fill&& fill) {
  std::string tmp;
  std::FILE* f = detail::open_temporary(name, tmp);
  bool ok = false;
  try {
    ok = fill(f);
  } catch (...) {
    detail::finish_temporary(f, tmp, name, false);
    throw;
  }
  detail::finish_temporary(f, tmp, name, ok);
}

}  // namespace cbrecon
