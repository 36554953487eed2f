// The reconstruction driver: the whole run from the command line to the
// written volume, stage by stage.
//
//   1. clock t_start; command line ("fov=" line)
//   2. geometry, fanw, ramp-kernel spectrum (parameters validated here)
//   3. mask file -> mask log image; half-scan set-up
//   4. view list: 3-D by file number, 4-D by respiratory phase
//   5. volume and field-of-view extents; listing line
//   6. per-run tables (filter scale, view-order reversal, rdist, dbeta)
//   7. view loop: read, decode, preprocess, filter, backproject, report
//   8. write the volume, closing lines
#pragma once

#include <cstdint>
#include <cstdio>

namespace cbrecon {

// Runs the program.  Returns the exit status of a completed run (1).
// Throws RunError (refused run: the caller prints the message and exits 2),
// FatalError (allocation failure: the caller prints the three lines and
// quick-exits 1) or ExitRequest (usage, --help, unreadable respiratory file).
int run(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

// run() with the endings handled as the program does (exit_status, with
// conventional statuses when conventional_status_requested()), except that a
// fatal error returns instead of quick-exiting.  For tests and embedding.
int run_and_report(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

// How a run ended, and the process status for it: the classic statuses by
// default; with conventional statuses 0 for a completed run (and --help,
// --version) and 2 for every refusal or failure (a fatal error and the usage
// text included).  `classic` is the status the classic program gives.
enum class Ending { completed, refused, fatal, exit_request, failed_exit_request };
int exit_status(Ending how, int classic, bool conventional);

// Milliseconds since the process started (wall clock), as 32-bit readings.
int32_t clock_ms();

}  // namespace cbrecon
