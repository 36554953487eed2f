// Errors and process endings raised by library code.
//
// Library code never prints to stderr and never exits; it throws one of the
// types below and the application (apps/) turns it into the program's
// documented ending:
//   FatalError  -> the three allocation-failure lines on stderr, quick exit 1
//   RunError    -> one line on stderr, exit status 2 (our own checks)
//   ExitRequest -> exit with the given status after flushing stdout
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

namespace cbrecon {

// An allocation that cannot be satisfied.  `what()` is the allocator's
// numbered message, e.g. "allocation failure 2 in usimatrix()".
// `detail`, when not empty, is one explanatory line printed before the
// three fatal-error lines (for instance how much memory the run needs).
class FatalError : public std::runtime_error {
 public:
  explicit FatalError(const std::string& msg, std::string detail = {})
      : std::runtime_error(msg), detail_(std::move(detail)) {}
  const std::string& detail() const { return detail_; }

 private:
  std::string detail_;
};

// A condition the program refuses with one clear message (exit status 2).
class RunError : public std::runtime_error {
 public:
  explicit RunError(const std::string& msg) : std::runtime_error(msg) {}
};

// A documented early end of the run with a fixed status (usage: 1, an
// unreadable respiratory file: 0).  Whatever had to be printed was printed.
// `failure`, when not empty, says (one line) why this ending is a failure:
// conventional statuses report it on stderr and end with status 2.
class ExitRequest : public std::exception {
 public:
  explicit ExitRequest(int status, std::string failure = {})
      : status_(status), failure_(std::move(failure)) {}
  int status() const noexcept { return status_; }
  const std::string& failure() const noexcept { return failure_; }
  const char* what() const noexcept override { return "exit requested"; }

 private:
  int status_;
  std::string failure_;
};

// Throws FatalError(message).  The name follows the program's vocabulary.
[[noreturn]] void fatal_error(const std::string& message);

// Writes the three fatal-error lines to `err` ("Run-time error...", the
// message, "...now exiting to system...").
void print_fatal_lines(std::FILE* err, const char* message);

// printf into a std::string.
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace cbrecon
