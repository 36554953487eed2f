#include "output/plan.h"

#include "numeric/error.h"
#include "output/dicom_options.h"
#include "output/volume_io.h"

namespace cbrecon {

OutputOptions output_options(const RunParams& p) {
  const Extras& x = p.extras;
  OutputOptions o;
  o.fn_proj = output_prefix(p);
  o.formats = requested_formats(x);
  o.dicom = wants_dicom(x);
  o.as_float = x.float_out;
  o.preview = x.preview;
  if (!x.output_dir.empty() && !o.preview.empty() && o.preview[0] != '/')
    o.preview = in_folder(x.output_dir, o.preview);
  o.trace_file = trace_file_name(p);
  o.nifti_4d = x.nifti_4d && x.all_phases && p.rpm_on != 0;
  o.window_set = x.window_set;
  o.window = {x.window_lo, x.window_hi};
  o.several = x.all_phases;
  o.trace = p.rpm_on != 0 && !p.fn_tmp.empty();  // the images' breathing writes no trace
  o.scale_cal = p.scale_cal;
  o.offset_cal = p.offset_cal;
  o.npxls = p.npxls;
  o.position = parse_patient_position(x.patient_position);
  o.hu = {x.hu_water_set, x.hu_water, p.offset_cal};
  o.nbins = p.nbins;
  o.amplitude = x.amplitude_bins;
  return o;
}

std::string PlannedFile::what() const {
  switch (kind) {
    case OutputKind::seq: return "volume";
    case OutputKind::format: return "volume file";
    case OutputKind::preview: return "preview";
    case OutputKind::dicom: return "DICOM series";
    case OutputKind::trace: return "trace file";
    case OutputKind::nifti_4d: return "4-D volume file";
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
  if (o.nifti_4d) plan.run_files.push_back({OutputKind::nifti_4d, o.fn_proj + "_4d.nii", VolumeFormat::nii});
  if (o.trace) plan.run_files.push_back({OutputKind::trace, o.trace_file});
  return plan;
}

std::vector<PlannedFile> OutputPlan::files() const {
  std::vector<PlannedFile> all;
  for (const VolumeOutputs& v : volumes) all.insert(all.end(), v.files.begin(), v.files.end());
  all.insert(all.end(), run_files.begin(), run_files.end());
  return all;
}

namespace {

// The volume as the standard formats and the preview see it.
OutputVolume formatted_volume(const OutputOptions& o, const VolumeData& d, const VolumeGrid& grid,
                              const FovExtents& fov) {
  return OutputVolume(d.volume, fov, grid, o.scale_cal, o.offset_cal, o.as_float, d.pitch, o.hu);
}

VolumeGrid output_grid(const OutputOptions& o, const VoxelGrid& vg) {
  VolumeGrid grid = volume_grid(vg);
  grid.position = o.position;
  return grid;
}

}  // namespace

std::optional<DisplayWindow> run_preview_window(const OutputPlan& plan, const std::vector<VolumeData>& volumes,
                                                const VoxelGrid& vg, const FovExtents& fov) {
  const OutputOptions& o = plan.options;
  if (o.window_set) return o.window;
  if (o.preview.empty() || !o.several || volumes.empty()) return std::nullopt;
  const VolumeGrid grid = output_grid(o, vg);
  std::vector<OutputVolume> vs;
  vs.reserve(volumes.size());
  for (const VolumeData& d : volumes) vs.push_back(formatted_volume(o, d, grid, fov));
  std::vector<const OutputVolume*> ptrs;
  for (const OutputVolume& v : vs) ptrs.push_back(&v);
  return percentile_window(ptrs);
}

void write_run_nifti_4d(const OutputPlan& plan, const PlannedFile& f, const std::vector<VolumeData>& bins,
                        const VoxelGrid& vg, const FovExtents& fov, std::vector<std::string>& failures) {
  const OutputOptions& o = plan.options;
  const VolumeGrid grid = output_grid(o, vg);
  std::vector<OutputVolume> vs;
  vs.reserve(bins.size());
  for (size_t b = 0; b < bins.size(); ++b) {
    if (!bins[b].volume) {
      failures.push_back(strprintf("%s not written: phase bin %zu has no volume", f.path.c_str(), b + 1));
      return;
    }
    vs.push_back(formatted_volume(o, bins[b], grid, fov));
  }
  std::vector<const OutputVolume*> ptrs;
  for (const OutputVolume& v : vs) ptrs.push_back(&v);
  try {
    write_nifti_4d(f.path, ptrs);
  } catch (const RunError& e) {
    failures.push_back(e.what());
  }
}

void write_volume_outputs(const OutputPlan& plan, const VolumeOutputs& v, const VolumeData& d,
                          const VoxelGrid& vg, const FovExtents& fov, const DicomRun& dicom_run,
                          const std::optional<DisplayWindow>& window, std::FILE* out,
                          std::vector<std::string>& failures, std::vector<std::string>& notes) {
  const OutputOptions& o = plan.options;
  const VolumeGrid grid = output_grid(o, vg);
  const OutputVolume formatted = formatted_volume(o, d, grid, fov);
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
          write_png(f.path, render_preview(formatted, window ? *window : percentile_window(formatted)));
        });
        break;
      case OutputKind::dicom:
        attempt([&] {
          VolumeLabel label = volume_label(v.volume.bin, v.volume.prior_image, v.volume.product, v.volume.iterative);
          label.nbins = o.nbins;
          label.amplitude = o.amplitude;
          const std::string note = write_dicom_series(f.path, words, dicom_run, label);
          if (!note.empty()) notes.push_back(note);
        });
        break;
      case OutputKind::trace:
      case OutputKind::nifti_4d:
        break;  // the run's files: written while the views are listed, or after the bins
    }
  }
}

}  // namespace cbrecon
