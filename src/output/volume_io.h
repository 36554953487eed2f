// The volume file (".seq"): the 1024-byte header of the last view read,
// then nz slices of npxls x npxls little-endian 16-bit words, slice 0 (lowest
// z) first, row 0 first, column 0 first.  Inside the field of view a word
// is the low 16 bits of trunc(scale_cal * voxel + offset_cal); outside it is
// -2000.
#pragma once

#include <cstdint>
#include <string>

#include "geometry/fov.h"
#include "numeric/arrays.h"
#include "numeric/files.h"

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

}  // namespace cbrecon
