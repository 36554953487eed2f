// The command line's run: parse, plan and check the outputs, reconstruct
// (reconstruct.h), write every planned file, closing lines.
#include "recon/driver.h"

#include <new>
#include <string>
#include <vector>

#include "numeric/error.h"
#include "numeric/files.h"
#include "numeric/stopwatch.h"
#include "output/plan.h"
#include "recon/api.h"
#include "recon/cli.h"
#include "recon/outputs.h"
#include "recon/reconstruct.h"
#include "recon/run_checks.h"

namespace cbrecon {

void literal_baseline(RunParams& p) {
  p.extras.literal = true;
  p.extras.isa = "scalar";
  p.extras.threads = 1;
}

int run(int argc, const char* const* argv, std::FILE* out, std::FILE* err, ParamsHook adjust) {
  Console con(out, err);
  con.t_start = clock_ms();
  RunParams params;
  parse_command_line(argc, argv, params, out);
  if (adjust) adjust(params);
  std::fflush(out);
  Reconstructor rec(params, con);
  const RunParams& p = rec.params();
  const PreparedOutputs outputs = prepare_outputs(p, rec.volumes());

  ReconResult result = rec.run();

  Stopwatch sw;
  std::vector<std::string> failures;
  write_outputs(p, outputs, result, con, failures);
  result.times.write += sw.lap();
  if (!failures.empty()) {
    // Every other output was written; each failure is one line.
    std::fflush(out);
    for (const std::string& f : failures) std::fprintf(err, "cbrecon: %s\n", f.c_str());
    return 2;
  }
  std::fprintf(out, "Total time backproj=%7.2f \n", (con.t_last - con.t_start) / 1000.0);
  std::fflush(out);
  if (p.extras.timings) rec.report_timings(err, result, clock_ms() / 1000.0);
  return 1;
}

int exit_status(Ending how, int classic, bool conventional) {
  if (!conventional) return classic;
  switch (how) {
    case Ending::completed: return classic == 1 ? 0 : 2;  // 2: an output could not be written
    case Ending::exit_request: return classic == 0 ? 0 : 2;  // the usage text is a refused line
    default: return 2;
  }
}

int run_and_report(int argc, const char* const* argv, std::FILE* out, std::FILE* err, ParamsHook adjust) {
  const bool conventional = conventional_status_requested(argc, argv);
  try {
    const int status = run(argc, argv, out, err, adjust);
    return exit_status(Ending::completed, status, conventional);
  } catch (const ExitRequest& e) {
    std::fflush(out);
    if (conventional && !e.failure().empty()) {
      std::fprintf(err, "cbrecon: %s\n", e.failure().c_str());
      return exit_status(Ending::failed_exit_request, e.status(), conventional);
    }
    return exit_status(Ending::exit_request, e.status(), conventional);
  } catch (const RunError& e) {
    std::fflush(out);
    std::fprintf(err, "cbrecon: %s\n", e.what());
    return exit_status(Ending::refused, 2, conventional);
  } catch (const FatalError& e) {
    if (!e.detail().empty()) std::fprintf(err, "%s\n", e.detail().c_str());
    print_fatal_lines(err, e.what());
    return exit_status(Ending::fatal, 1, conventional);
  }
}

}  // namespace cbrecon
