// The command line's DICOM options, checked without the DICOM library, so
// that the command line can refuse them before anything is read.
#pragma once

#include <cstddef>
#include <string>

#include "geometry/params.h"

namespace cbrecon {

// The checks of the DICOM options: --format dcm needs --hu-water; W must be
// finite and above the -so offset; patient ID (LO: at most 64 characters)
// and name (PN: at most three '='-separated groups of 64 characters, at most
// five '^'-separated components each) hold printable characters in
// well-formed UTF-8 without '\' (no control characters); lengths count
// characters, not bytes.
// RunError naming the option.
void check_dicom_options(const RunParams& p);

// The bounds of W - so for --hu-water: the 16-bit word range (65535 steps)
// must span at least 1 HU, and one word step at most that many HU.
inline constexpr double kMaxHuWaterSpan = 1000.0 * 65535.0;
inline constexpr double kMinHuWaterSpan = 1000.0 / 65535.0;

// RunError unless W (--hu-water) is a number whose HU scale is usable with
// the output offset `offset_cal` (-so): finite, above it, and within the
// bounds above; the message says what is wrong with the value.
void check_hu_water(double w, double offset_cal);

// Whether `text` needs the UTF-8 character set (Specific Character Set
// "ISO_IR 192"): any byte outside ASCII.
bool needs_utf8(const std::string& text);

// Whether the run writes DICOM series.
bool wants_dicom(const Extras& x);

}  // namespace cbrecon
