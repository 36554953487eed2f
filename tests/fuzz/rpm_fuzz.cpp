// libFuzzer entry point for the respiratory-signal parser.  Any input must
// either give a phase table or a RunError; the trace lines are formatted
// into /dev/null so that their path runs too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "input/rpm.h"
#include "numeric/error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  try {
    const cbrecon::PhaseTable t =
        cbrecon::parse_rpm_signal(std::string_view(reinterpret_cast<const char*>(data), size), sink);
    if (t.count > 0 && t.tab.ncol() < t.count) __builtin_trap();
  } catch (const cbrecon::RunError&) {
  } catch (const cbrecon::FatalError&) {
  }
  return 0;
}
