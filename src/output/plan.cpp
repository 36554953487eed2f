#include "output/plan.h"

#include "numeric/error.h"
#include "output/dicom_options.h"
#include "output/volume_io.h"

namespace cbrecon {

std::string output_name(const std::string& fn_proj, const std::string& ext) {
  return fn_proj + "_" + (ext != "NULL" ? ext : std::string("bp4d.seq"));
}

OutputOptions output_options(const RunParams& p) {
  const Extras& x = p.extras;
  OutputOptions o;
  o.fn_proj = p.fn_proj;
  o.formats = requested_formats(x);
  o.dicom = wants_dicom(x);
  o.as_float = x.float_out;
  o.preview = x.preview;
  o.window_set = x.window_set;
  o.window = {x.window_lo, x.window_hi};
  o.several = x.all_phases;
  o.trace = p.rpm_on != 0;
  o.scale_cal = p.scale_cal;
  o.offset_cal = p.offset_cal;
  o.npxls = p.npxls;
  o.position = parse_patient_position(x.patient_position);
  return o;
}

std::string PlannedFile::what() const {
  switch (kind) {
    case OutputKind::seq: return "volume";
    case OutputKind::format: return "volume file";
    case OutputKind::preview: return "preview";
    case OutputKind::dicom: return "DICOM series";
    case OutputKind::trace: return "trace file";
  }
  return "file";
}

OutputPlan make_output_plan(const RunParams& p, const std::vector<PlannedVolume>& volumes) {
  OutputPlan plan;
  plan.options = output_options(p);
  const OutputOptions& o = plan.options;
  for (const PlannedVolume& v : volumes) {
    VolumeOutputs vo{v, {}};
    const std::string seq = output_name(o.fn_proj, v.ext);
    vo.files.push_back({OutputKind::seq, seq});
    for (const VolumeFormat f : o.formats) vo.files.push_back({OutputKind::format, format_file_name(seq, f), f});
    if (!o.preview.empty())
      vo.files.push_back({OutputKind::preview, preview_file_name(o.preview, v.ext, o.several)});
    if (o.dicom) vo.files.push_back({OutputKind::dicom, dicom_folder_name(seq)});
    plan.volumes.push_back(std::move(vo));
  }
  if (o.trace) plan.run_files.push_back({OutputKind::trace, kTraceFile});
  return plan;
}

std::vector<PlannedFile> OutputPlan::files() const {
  std::vector<PlannedFile> all;
  for (const VolumeOutputs& v : volumes) all.insert(all.end(), v.files.begin(), v.files.end());
  all.insert(all.end(), run_files.begin(), run_files.end());
  return all;
}

void write_volume_outputs(const OutputPlan& plan, const VolumeOutputs& v, const VolumeData& d,
                          const VoxelGrid& vg, const FovExtents& fov, const DicomRun& dicom_run,
                          std::FILE* out, std::vector<std::string>& failures, std::vector<std::string>& notes) {
  const OutputOptions& o = plan.options;
  VolumeGrid grid = volume_grid(vg);
  grid.position = o.position;
  const OutputVolume formatted(d.volume, fov, grid, o.scale_cal, o.offset_cal, o.as_float, d.pitch);
  const OutputVolume words(d.volume, fov, grid, o.scale_cal, o.offset_cal, false, d.pitch);
  auto attempt = [&](auto&& write) {
    try {
      write();
    } catch (const RunError& e) {
      failures.push_back(e.what());
    }
  };
  for (const PlannedFile& f : v.files) {
    switch (f.kind) {
      case OutputKind::seq:
        std::fprintf(out, "saving imagine index=%-d\n", o.npxls * o.npxls * 2);
        std::fflush(out);
        attempt([&] {
          write_volume_file(f.path, d.head, d.volume, d.pitch, grid.nz, o.npxls, fov, o.scale_cal, o.offset_cal);
          std::fprintf(out, "image has been saved in %s, zdim = %-d\n", f.path.c_str(), static_cast<int>(grid.nz));
          std::fflush(out);
        });
        break;
      case OutputKind::format:
        attempt([&] { write_volume_format(f.path, f.format, formatted); });
        break;
      case OutputKind::preview:
        attempt([&] {
          write_png(f.path, render_preview(formatted, o.window_set ? o.window : percentile_window(formatted)));
        });
        break;
      case OutputKind::dicom:
        attempt([&] {
          const std::string note =
              write_dicom_series(f.path, words, dicom_run, volume_label(v.volume.bin, v.volume.prior_image));
          if (!note.empty()) notes.push_back(note);
        });
        break;
      case OutputKind::trace:
        break;  // written while the views are listed
    }
  }
}

}  // namespace cbrecon
