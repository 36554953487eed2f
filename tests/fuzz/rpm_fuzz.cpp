// Fuzz target for the respiratory-signal parser.  Any input must either
// give a phase table or a RunError; the trace lines are formatted into
// /dev/null so that their path runs too.  A table never holds more samples
// than the header announced, and every column's bin is its phase's bin.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "input/rpm.h"
#include "numeric/error.h"

#include "fuzz_check.h"

FUZZ_ENTRY(const uint8_t* data, size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  try {
    const cbrecon::PhaseTable t =
        cbrecon::parse_rpm_signal(std::string_view(reinterpret_cast<const char*>(data), size), sink);
    FUZZ_CHECK(t.count == 0 || t.tab.ncol() >= t.count);
    FUZZ_CHECK(t.nsamples <= t.capacity && t.count <= t.nsamples);
    for (long i = 0; i < t.count; ++i)
      FUZZ_CHECK(t.tab[3][i] == static_cast<float>(cbrecon::grp_of_phase(t.tab[1][i])));
  } catch (const cbrecon::RunError&) {
  } catch (const cbrecon::FatalError&) {
  }
  return 0;
}
