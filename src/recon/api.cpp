// Checking and writing a run's outputs through the output plan (api.h).
#include "recon/api.h"

#include <new>
#include <optional>

#include "input/projection.h"
#include "numeric/error.h"
#include "numeric/files.h"
#include "recon/outputs.h"
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

}  // namespace

PreparedOutputs prepare_outputs(const RunParams& p, const std::vector<PlannedVolume>& volumes) {
  check_names(p, volumes);
  PreparedOutputs out{make_output_plan(p, volumes), {}};
  check_outputs(p, out.plan.files());
  // DICOM series: the run's identity, and the series folders checked now.
  if (out.plan.options.dicom) {
    out.dicom_run = make_dicom_run(p);
    for (const PlannedFile& f : out.plan.files())
      if (f.kind == OutputKind::dicom) check_dicom_folder(f.path);
  }
  return out;
}

void write_outputs(const RunParams& p, const PreparedOutputs& out, const ReconResult& result, Console& con,
                   std::vector<std::string>& failures) {
  const OutputPlan& plan = out.plan;
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
      if (!data[done].volume) {
        // Every view of it was skipped: an empty volume must not replace a good one.
        failures.push_back(nothing_used_line(p, result.volumes.size() > 1 ? vol.what.bin : 0, vol.listed,
                                             plan.volumes[done].seq()));
        continue;
      }
      std::vector<std::string> notes;
      write_volume_outputs(plan, plan.volumes[done], data[done], result.bg, result.fov, out.dicom_run, window,
                           con.out, failures, notes);
      for (const std::string& note : notes) std::fprintf(con.err, "cbrecon: %s\n", note.c_str());
    }
    // The 4-D NIfTI holds the bins, not the volumes made from them.
    std::vector<VolumeData> bins;
    for (size_t i = 0; i < data.size(); ++i)
      if (plan.volumes[i].volume.product == VolumeProduct::none) bins.push_back(data[i]);
    for (const PlannedFile& f : plan.run_files)
      if (f.kind == OutputKind::nifti_4d) write_run_nifti_4d(plan, f, bins, result.bg, result.fov, failures);
  } catch (const FatalError& e) {
    throw FatalError(e.what(), join_lines(e.detail(), unwritten_note(plan, done)));
  } catch (const std::bad_alloc&) {
    throw FatalError("out of memory", unwritten_note(plan, done));
  }
}

}  // namespace cbrecon
