#include "numeric/error.h"

#include <cstdarg>
#include <vector>

namespace cbrecon {

void fatal_error(const std::string& message) { throw FatalError(message); }

void print_fatal_lines(std::FILE* err, const char* message) {
  std::fprintf(err, "Run-time error...\n");
  std::fprintf(err, "%s\n", message);
  std::fprintf(err, "...now exiting to system...\n");
  std::fflush(err);
}

std::string strprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, ap2);
    out.assign(buf.data(), static_cast<size_t>(n));
  }
  va_end(ap2);
  return out;
}

}  // namespace cbrecon
