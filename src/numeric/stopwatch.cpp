#include "numeric/stopwatch.h"

namespace cbrecon {

namespace {
const auto g_process_start = std::chrono::steady_clock::now();
}  // namespace

int32_t clock_ms() {
  return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - g_process_start)
                                  .count());
}

}  // namespace cbrecon
