// The command line's DICOM options, checked without the DICOM library, so
// that the command line can refuse them before anything is read.
#pragma once

#include <cstddef>

#include "geometry/params.h"

namespace cbrecon {

// The checks of the DICOM options: --format dcm needs --hu-water; W must be
// finite and above the -so offset; patient ID (LO: at most 64 characters)
// and name (PN: at most three '='-separated groups of 64 characters, at most
// five '^'-separated components each) hold printable ASCII without '\'.
// RunError naming the option.
void check_dicom_options(const RunParams& p);

// Whether the run writes DICOM series.
bool wants_dicom(const Extras& x);

}  // namespace cbrecon
