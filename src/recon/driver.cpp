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
#include "recon/cli.h"
#include "recon/outputs.h"
#include "recon/reconstruct.h"
#include "recon/run_checks.h"

namespace cbrecon {

namespace {

void check_names(const RunParams& p, const std::vector<PlannedVolume>& volumes) {
  for (const PlannedVolume& v : volumes) {
    const std::string out = output_name(output_prefix(p), v.ext);
    if (out.size() > kMaxName)
      throw RunError(strprintf("output file name is %zu characters long; at most %zu are allowed: %s",
                               out.size(), kMaxName, out.c_str()));
  }
  projection_name(p.fn_proj, 0);  // throws if even a five-digit name is too long
}

std::string join_lines(const std::string& a, const std::string& b) {
  return a.empty() ? b : b.empty() ? a : a + "\n" + b;
}

// "volumes written: ...; not written: ..." for a write phase stopped at
// volume `done` (whose outputs may be partly written).
std::string unwritten_note(const OutputPlan& plan, size_t done) {
  auto names = [&](size_t from, size_t to) {
    std::string list;
    for (size_t j = from; j < to && j < plan.volumes.size(); ++j)
      list += (list.empty() ? "" : ", ") + plan.volumes[j].seq();
    return list.empty() ? std::string("none") : list;
  };
  return strprintf("cbrecon: out of memory while writing %s and what goes beside it; written before: %s; "
                   "not written: %s",
                   names(done, done + 1).c_str(), names(0, done).c_str(),
                   names(done + 1, plan.volumes.size()).c_str());
}

// Writes every volume of the plan, with the output folders locked so that
// two runs on the same names commit one after the other.  A file that
// cannot be written does not stop the others: its reason goes to
// `failures`, and so does a volume none of whose views could be used
// (nothing is written for it).  An allocation failure on the way ends the run as any other
// does, but first says which volumes were written and which not.
void write_outputs(const RunParams& p, const OutputPlan& plan, const ReconResult& result, const DicomRun& dicom_run,
                   Console& con, std::vector<std::string>& failures) {
  const OutputLock lock(output_folders(plan.files()));
  size_t done = 0;
  try {
    // Every volume in plan order; one none of whose views could be used
    // has no data.
    std::vector<VolumeData> data, written;
    for (const ReconVolume& vol : result.volumes) {
      data.push_back(vol.used == 0 ? VolumeData{}
                                   : VolumeData{vol.data.data(), static_cast<size_t>(vol.data.plane_pitch()),
                                                vol.head.data()});
      if (data.back().volume) written.push_back(data.back());
    }
    const std::optional<DisplayWindow> window = run_preview_window(plan, written, result.bg, result.fov);
    for (; done < result.volumes.size(); ++done) {
      const ReconVolume& vol = result.volumes[done];
      if (vol.used == 0) {
        // Every view of it was skipped: an empty volume must not replace a good one.
        failures.push_back(nothing_used_line(p, result.volumes.size() > 1 ? vol.what.bin : 0, vol.listed,
                                             plan.volumes[done].seq()));
        continue;
      }
      std::vector<std::string> notes;
      write_volume_outputs(plan, plan.volumes[done],
                           {vol.data.data(), static_cast<size_t>(vol.data.plane_pitch()), vol.head.data()},
                           result.bg, result.fov, dicom_run, window, con.out, failures, notes);
      for (const std::string& note : notes) std::fprintf(con.err, "cbrecon: %s\n", note.c_str());
    }
    for (const PlannedFile& f : plan.run_files)
      if (f.kind == OutputKind::nifti_4d) write_run_nifti_4d(plan, f, data, result.bg, result.fov, failures);
  } catch (const FatalError& e) {
    throw FatalError(e.what(), join_lines(e.detail(), unwritten_note(plan, done)));
  } catch (const std::bad_alloc&) {
    throw FatalError("out of memory", unwritten_note(plan, done));
  }
}

}  // namespace

int run(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  Console con(out, err);
  con.t_start = clock_ms();
  RunParams params;
  parse_command_line(argc, argv, params, out);
  std::fflush(out);
  Reconstructor rec(params, con);
  const RunParams& p = rec.params();
  check_names(p, rec.volumes());
  const OutputPlan plan = make_output_plan(p, rec.volumes());
  check_outputs(p, plan.files());
  // DICOM series: the run's identity, and the series folders checked now.
  DicomRun dicom_run;
  if (plan.options.dicom) {
    dicom_run = make_dicom_run(p);
    for (const PlannedFile& f : plan.files())
      if (f.kind == OutputKind::dicom) check_dicom_folder(f.path);
  }

  ReconResult result = rec.run();

  Stopwatch sw;
  std::vector<std::string> failures;
  write_outputs(p, plan, result, dicom_run, con, failures);
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

int run_and_report(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  const bool conventional = conventional_status_requested(argc, argv);
  try {
    const int status = run(argc, argv, out, err);
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
