// Wall-clock laps, for the per-stage times of --timings, and the process clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace cbrecon {

class Stopwatch {
 public:
  Stopwatch() : t0_(std::chrono::steady_clock::now()) {}
  // Seconds since the start or the previous lap.
  double lap() {
    const auto t = std::chrono::steady_clock::now();
    const double s = std::chrono::duration<double>(t - t0_).count();
    t0_ = t;
    return s;
  }

 private:
  std::chrono::steady_clock::time_point t0_;
};

// Milliseconds since the process started (wall clock), as 32-bit readings:
// the console's per-view and total times.
int32_t clock_ms();

}  // namespace cbrecon
