// Constants shared by every subsystem.
#pragma once

#include <cstddef>

namespace cbrecon {

// π as the program uses it everywhere (angles: a·π/180 is (a·π)/180).
inline constexpr double pi = 3.141592653589793;

// Longest file name the program forms or accepts (names live in 80-byte rows).
inline constexpr size_t kMaxName = 79;

}  // namespace cbrecon
