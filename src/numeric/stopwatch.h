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

// Seconds of CPU time the calling thread has used: unlike the wall clock,
// it does not count the time the thread waited while other processes ran,
// so that timing a short block of work on a busy machine still compares
// the work itself (the backprojection planner times its candidates so).
double thread_cpu_seconds();

// Milliseconds since the process started (wall clock), as 32-bit readings:
// the console's per-view and total times.
int32_t clock_ms();

}  // namespace cbrecon
