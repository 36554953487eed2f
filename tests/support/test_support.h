// Helpers shared by the tests: temporary folders, captured streams, running
// the programs as a user would.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace cbrecon::testing {

// Whether the tests (and the programs they run) are built with
// AddressSanitizer, which needs far more address space than a ulimit -v
// leaves.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

// A fresh folder removed at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A FILE* whose content can be read back as a string.
class Capture {
 public:
  Capture();
  ~Capture();
  std::FILE* get() const { return f_; }
  std::string text() const;

 private:
  std::FILE* f_;
};

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Runs a program with arguments in folder `cwd` (empty: current).
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& cwd = "");

std::vector<uint8_t> read_bytes(const std::string& path);
void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace cbrecon::testing
