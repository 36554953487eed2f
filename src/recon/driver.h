// The command line's run, from the arguments to the written files:
//
//   1. clock t_start; command line ("fov=" line)
//   2. geometry and mode (reconstruct.h), the output names and folders
//      checked before anything is read
//   3. the reconstruction: mask, view lists, passes (reconstruct.cpp and
//      the mode's file)
//   4. every volume written with its formats, preview and DICOM series;
//      closing lines
#pragma once

#include <cstdint>
#include <cstdio>

namespace cbrecon {

struct RunParams;
// Adjusts the parsed parameters before the run (the benchmarks' baseline).
using ParamsHook = void (*)(RunParams&);

// The benchmarks' literal baseline (bench/literal.cpp): one thread, the
// scalar kernels, each view read, filtered and added to the whole volume
// before the next.  The same bytes as --isa scalar --threads 1.
void literal_baseline(RunParams& p);

// Runs the program.  Returns the exit status of a completed run (1).
// Throws RunError (refused run: the caller prints the message and exits 2),
// FatalError (allocation failure: the caller prints the three lines and
// quick-exits 1) or ExitRequest (usage, --help, unreadable respiratory file).
int run(int argc, const char* const* argv, std::FILE* out, std::FILE* err, ParamsHook adjust = nullptr);

// run() with the endings handled as the program does (exit_status, with
// conventional statuses when conventional_status_requested()), except that a
// fatal error returns instead of quick-exiting.  For tests and embedding.
int run_and_report(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
                   ParamsHook adjust = nullptr);

// How a run ended, and the process status for it: the classic statuses by
// default; with conventional statuses 0 for a completed run (and --help,
// --version) and 2 for every refusal or failure (a fatal error and the usage
// text included).  `classic` is the status the classic program gives.
enum class Ending { completed, refused, fatal, exit_request, failed_exit_request };
int exit_status(Ending how, int classic, bool conventional);

}  // namespace cbrecon
