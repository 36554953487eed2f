// The normalisation (mask) image and its log image.
//
// Mask file: the 1024-byte projection header (CTnorm at byte 440), then
// rows x cols plain little-endian uint32 counts of the open detector.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "input/projection.h"
#include "numeric/arrays.h"
#include "numeric/parallel.h"

namespace cbrecon {

// Reads the mask file: header into `head` (missing bytes 0), pixels into a
// new uimatrix (missing pixels 0).  If the file cannot be opened, prints
// "Can't Open Mask File %s.\n" on `out` and throws RunError.
Matrix<uint32_t> read_mask(const std::string& fn_msk, long nslices, long ndets, uint8_t* head,
                           std::FILE* out);

// The same from an open stream positioned at the start of the file: reads
// the header and at most nslices x ndets counts, nothing more.  A stream
// shorter than the header gives no pixels (all 0).
Matrix<uint32_t> read_mask_from(std::FILE* f, long nslices, long ndets, uint8_t* head);

// Mask log image: 0 on the 8-pixel frame; inside, ln(m) - ln(CTnorm) with m
// the count as a float; a zero count takes the mean of the final pixel above
// and the one to the left.  `ctnorm` must be positive and finite.  `pool`
// (may be null) shares out the logarithms.
Matrix<float> mask_log_image(const Matrix<uint32_t>& raw, long nslices, long ndets, double ctnorm,
                             ThreadPool* pool = nullptr);

}  // namespace cbrecon
