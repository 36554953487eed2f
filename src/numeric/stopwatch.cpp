#include "numeric/stopwatch.h"

#include <time.h>

namespace cbrecon {

namespace {
const auto g_process_start = std::chrono::steady_clock::now();
}  // namespace

int32_t clock_ms() {
  return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - g_process_start)
                                  .count());
}

double thread_cpu_seconds() {
  timespec ts{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace cbrecon
