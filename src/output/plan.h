// The output plan: every file a run writes, with its final name, known
// before the first view is read.  A volume becomes its ".seq" file, then the
// standard formats asked for, the preview and the DICOM series folder; a 4-D
// run adds the trace of its trigger selection and, with --nifti-4d, one 4-D
// NIfTI of its bins.  --output-dir moves every volume file (not the trace:
// --trace-file names that).  The early checks, the
// memory estimate and the final write all walk this one plan.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "geometry/fov.h"
#include "geometry/grid.h"
#include "geometry/params.h"
#include "output/dicom.h"
#include "output/formats.h"
#include "output/names.h"
#include "output/patient.h"
#include "output/preview.h"

namespace cbrecon {

// One volume a run produces: its output suffix (the ".seq" name ending, or
// "NULL" for the default "bp4d.seq") and what it is.
struct PlannedVolume {
  std::string ext;
  int bin = 0;               // 0: a 3-D volume; else the respiratory phase bin
  bool prior_image = false;  // a prior-image reconstruction of the bin
  VolumeProduct product = VolumeProduct::none;  // made from every bin (bin 0)
  bool iterative = false;    // an iterative reconstruction of the bin
};

// What the options ask of the outputs, read once from the run parameters.
struct OutputOptions {
  std::string fn_proj;                // names: output_name(fn_proj, ext)
  std::vector<VolumeFormat> formats;  // standard formats, each once, in the order asked
  bool dicom = false;                 // --format dcm
  bool as_float = false;              // --float
  std::string preview;                // --preview name ("" for none)
  bool window_set = false;            // --window
  DisplayWindow window{};
  bool several = false;               // several volumes (--all-phases): previews get the suffix
  bool nifti_4d = false;              // --nifti-4d with --all-phases: PREFIX_4d.nii
  bool trace = false;                 // a 4-D run writes the trace file
  std::string trace_file;             // its name (--trace-file)
  float scale_cal = 10.0f, offset_cal = 0.0f;
  HuScale hu;                         // --hu-water: the standard formats and previews in HU
  int32_t npxls = 0;
  PatientPosition position = PatientPosition::HFS;
  int nbins = 10;                     // --bins
  bool amplitude = false;             // --amplitude-bins
};
OutputOptions output_options(const RunParams& p);

enum class OutputKind { seq, format, preview, dicom, trace, nifti_4d };

struct PlannedFile {
  OutputKind kind = OutputKind::seq;
  std::string path;                      // a folder for the DICOM series
  VolumeFormat format = VolumeFormat::mha;  // kind format
  // "volume", "volume file", "preview", "DICOM series", "trace file".
  std::string what() const;
};

// The files of one volume: its ".seq" file first, then the standard
// formats, the preview and the DICOM series folder.
struct VolumeOutputs {
  PlannedVolume volume;
  std::vector<PlannedFile> files;
  const std::string& seq() const { return files.front().path; }
};

struct OutputPlan {
  OutputOptions options;
  std::vector<VolumeOutputs> volumes;  // in the order they are written
  std::vector<PlannedFile> run_files;  // the 4-D NIfTI and the trace file of a 4-D run
  // Every file and folder of the run: the volumes' in order, then the run's.
  std::vector<PlannedFile> files() const;
};

OutputPlan make_output_plan(const RunParams& p, const std::vector<PlannedVolume>& volumes);

// A reconstructed volume as the writers take it: [slice][row][column]
// floats, `pitch` floats from one slice to the next, and the header of its
// ".seq" file.
struct VolumeData {
  const float* volume = nullptr;
  size_t pitch = 0;
  const uint8_t* head = nullptr;  // 1024 bytes
};

// The preview window of every volume of a run: --window when given, else,
// for a run that writes several volumes, the 1-99 % window of all of them
// together (`volumes`), so that the bins of a 4-D run compare; empty for a
// single volume's own window.
std::optional<DisplayWindow> run_preview_window(const OutputPlan& plan, const std::vector<VolumeData>& volumes,
                                                const VoxelGrid& vg, const FovExtents& fov);

// Writes the run's 4-D NIfTI (its planned file `f`) from the bins in order;
// a bin with no data (nullptr volume) leaves it unwritten, with one line in
// `failures`, as does a file that cannot be written.
void write_run_nifti_4d(const OutputPlan& plan, const PlannedFile& f, const std::vector<VolumeData>& bins,
                        const VoxelGrid& vg, const FovExtents& fov, std::vector<std::string>& failures);

// Writes every file of `v`, printing the classic ".seq" lines on `out`.  A
// file that cannot be written does not stop the others: its one-line
// reason goes to `failures`; a note about an old DICOM folder kept goes to
// `notes`.  The preview uses `window`, or the volume's own 1-99 % window.
void write_volume_outputs(const OutputPlan& plan, const VolumeOutputs& v, const VolumeData& d,
                          const VoxelGrid& vg, const FovExtents& fov, const DicomRun& dicom_run,
                          const std::optional<DisplayWindow>& window, std::FILE* out,
                          std::vector<std::string>& failures, std::vector<std::string>& notes);

}  // namespace cbrecon
