// Replays the saved fuzz inputs (seed corpora and every input that once
// crashed a target) through the fuzz targets' own checks, so that a fault
// the fuzzer found stays fixed in the ordinary test run, sanitizer build
// included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Everything the targets include, here at global scope, so that including
// them again inside the namespaces below adds nothing but the entries.
#include "input/mask.h"
#include "input/projection.h"
#include "input/rpm.h"
#include "numeric/error.h"
#include "geometry/geometry.h"
#include "recon/cli.h"
#include "sim/encode.h"
#include "support/test_support.h"

// Each target's source, with a named entry and checks that fail the test.
#define FUZZ_CHECK(cond)                   \
  do {                                     \
    if (!(cond)) {                         \
      ADD_FAILURE() << "fails: " #cond;    \
      return 0;                            \
    }                                      \
  } while (0)

namespace projection_target {
#define FUZZ_ENTRY int entry
#include "../fuzz/projection_fuzz.cpp"
#undef FUZZ_ENTRY
}  // namespace projection_target
namespace mask_target {
#define FUZZ_ENTRY int entry
#include "../fuzz/mask_fuzz.cpp"
#undef FUZZ_ENTRY
}  // namespace mask_target
namespace rpm_target {
#define FUZZ_ENTRY int entry
#include "../fuzz/rpm_fuzz.cpp"
#undef FUZZ_ENTRY
}  // namespace rpm_target
namespace cli_target {
#define FUZZ_ENTRY int entry
#include "../fuzz/cli_fuzz.cpp"
#undef FUZZ_ENTRY
}  // namespace cli_target

namespace cbrecon {
namespace {

namespace fs = std::filesystem;

// tests/fuzz, beside the test data folder (which need not exist).
const fs::path kFuzzDir = fs::path(CBRECON_TEST_DATA).parent_path() / "fuzz";

// Every saved input of a target: its seed corpus and its crash files.
std::vector<fs::path> saved_inputs(const std::string& target) {
  std::vector<fs::path> files;
  for (const char* kind : {"corpus", "crashes"}) {
    const fs::path dir = kFuzzDir / kind / target;
    if (!fs::is_directory(dir)) continue;
    for (const auto& e : fs::directory_iterator(dir))
      if (e.is_regular_file()) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void replay(const std::string& target, int (*entry)(const uint8_t*, size_t)) {
  const std::vector<fs::path> files = saved_inputs(target);
  ASSERT_FALSE(files.empty()) << "no saved inputs for " << target << " under " << kFuzzDir;
  for (const fs::path& f : files) {
    SCOPED_TRACE(f.string());
    const std::vector<uint8_t> bytes = testing::read_bytes(f.string());
    entry(bytes.data(), bytes.size());
  }
}

TEST(FuzzReplay, ProjectionDecoder) { replay("projection", projection_target::entry); }
TEST(FuzzReplay, MaskReader) { replay("mask", mask_target::entry); }
TEST(FuzzReplay, RespiratorySignal) { replay("rpm", rpm_target::entry); }
TEST(FuzzReplay, CommandLine) { replay("cli", cli_target::entry); }

}  // namespace
}  // namespace cbrecon
