// The command line: the classic positional arguments and options, the long
// options, and the texts of usage, --help and --version.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "geometry/params.h"

namespace cbrecon {

enum class Mode { normal, no_argument };

// Reads the command line into `p` and prints the "fov=" line on `out`.
// Usage mode (and the argument counts we answer with the usage text) prints
// the usage text on `out` and throws ExitRequest(1).  --help and --version
// print on `out` and throw ExitRequest(0).  A malformed long option, an
// unknown classic option, or a classic option whose value is missing or not
// wholly a number throws RunError.
Mode parse_command_line(int argc, const char* const* argv, RunParams& p, std::FILE* out);

// Whether the process should end with conventional statuses: the
// environment variable CBRECON_CONVENTIONAL_STATUS is "1" or the flag
// --conventional-status is on the line (known before the line is parsed,
// so that a refused line ends conventionally too).
bool conventional_status_requested(int argc, const char* const* argv);

// The usage text, exactly as the classic program prints it.
void print_usage(std::FILE* out, const char* progname, float pxlz);

// The complete --help text.
void print_help(std::FILE* out, const char* progname);

// "%d" and "%f" semantics of the formatted scanner: leading blanks, a sign,
// the longest number prefix; false (value untouched) if no number starts
// the text.
bool scan_int(const char* text, int32_t& value);
bool scan_float(const char* text, float& value);

// The name the volume is written under with the -ext given: output_name(fn_proj, ext).
std::string output_name(const RunParams& p);

}  // namespace cbrecon
