// The command line's run: parse, plan and check the outputs, reconstruct
// (reconstruct.h), write every planned file, closing lines.
#include "recon/driver.h"

#include <string>
#include <vector>

#include "numeric/error.h"
#include "numeric/stopwatch.h"
#include "output/dicom.h"
#include "output/formats.h"
#include "output/volume_io.h"
#include "recon/cli.h"
#include "recon/outputs.h"
#include "recon/reconstruct.h"

namespace cbrecon {

namespace {

void check_names(const RunParams& p, const std::vector<PlannedVolume>& volumes) {
  for (const PlannedVolume& v : volumes) {
    const std::string out = output_name(p.fn_proj, v.ext);
    if (out.size() > kMaxName)
      throw RunError(strprintf("output file name is %zu characters long; at most %zu are allowed: %s",
                               out.size(), kMaxName, out.c_str()));
  }
  projection_name(p.fn_proj, 0);  // throws if even a five-digit name is too long
}

// Writes one volume and what goes beside it.  A file that cannot be
// written does not stop the others: its reason goes to `failures`.
void write_volume(const RunParams& p, const ReconResult& r, const ReconVolume& vol, const DicomRun& dicom_run,
                  Console& con, std::vector<std::string>& failures) {
  const std::string name = output_name(p.fn_proj, vol.what.ext);
  const size_t pitch = static_cast<size_t>(vol.data.plane_pitch());
  const int slice_bytes = p.npxls * p.npxls * 2;
  std::fprintf(con.out, "saving imagine index=%-d\n", slice_bytes);
  std::fflush(con.out);
  try {
    write_volume_file(name, vol.head.data(), vol.data.data(), pitch, r.g.nz, p.npxls, r.fov, p.scale_cal,
                      p.offset_cal);
    std::fprintf(con.out, "image has been saved in %s, zdim = %-d\n", name.c_str(), static_cast<int>(r.g.nz));
    std::fflush(con.out);
  } catch (const RunError& e) {
    failures.push_back(e.what());
  }
  write_extra_outputs(name, vol.what.ext, vol.data.data(), pitch, p, r.bg, r.fov, failures);
  // DICOM series (--format dcm); a kept old folder is reported.
  try {
    const std::string note = write_dicom_output(name, vol.data.data(), pitch, p, r.bg, r.fov, dicom_run,
                                                volume_label(vol.what.bin, vol.what.prior_image));
    if (!note.empty()) std::fprintf(con.err, "cbrecon: %s\n", note.c_str());
  } catch (const RunError& e) {
    failures.push_back(e.what());
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
  check_outputs(p, planned_outputs(p, rec.volumes()));
  // DICOM series: the run's identity, and the series folders checked now.
  DicomRun dicom_run;
  if (wants_dicom(p.extras)) {
    dicom_run = make_dicom_run(p);
    for (const PlannedVolume& v : rec.volumes()) check_dicom_folder(dicom_folder_name(output_name(p.fn_proj, v.ext)));
  }

  ReconResult result = rec.run();

  Stopwatch sw;
  std::vector<std::string> failures;
  for (const ReconVolume& vol : result.volumes) write_volume(p, result, vol, dicom_run, con, failures);
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

int run_and_report(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  try {
    return run(argc, argv, out, err);
  } catch (const ExitRequest& e) {
    std::fflush(out);
    return e.status();
  } catch (const RunError& e) {
    std::fflush(out);
    std::fprintf(err, "cbrecon: %s\n", e.what());
    return 2;
  } catch (const FatalError& e) {
    if (!e.detail().empty()) std::fprintf(err, "%s\n", e.detail().c_str());
    print_fatal_lines(err, e.what());
    return 1;
  }
}

}  // namespace cbrecon
