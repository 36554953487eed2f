// The volume as a DICOM CT Image Storage series (--format dcm): one file per
// slice in a folder beside the ".seq" file, values in Hounsfield units.
//
// Values.  Each voxel's ".seq" word w becomes
//   HU = round(1000 (w - W) / (W - so))     (halves away from zero)
// in double, with W the output value of water (--hu-water) and so the
// output offset (-so, the value of air before truncation).  The stored
// value is the HU itself (signed 16-bit, Rescale Slope 1, Intercept 0),
// limited to -32767..32767; outside the field of view it is the declared
// Pixel Padding Value, -32768.
//
// Geometry.  Slice j of the ".seq" file is instance j + 1; row and column
// order are the file's.  Image Position/Orientation (Patient) give the same
// patient (LPS) coordinates as the other formats for the --patient-position
// (patient.h); Slice Location is the slice's patient z.
//
// Identity.  One run makes one DicomRun: a study and a frame of reference
// shared by every volume it writes.  Each volume is its own series,
// labelled by VolumeLabel.
#pragma once

#include <cstdint>
#include <string>

#include "geometry/params.h"
#include "output/dicom_options.h"
#include "output/formats.h"
#include "output/patient.h"

namespace cbrecon {

// What every series of one run shares.
struct DicomRun {
  std::string study_uid;
  std::string frame_uid;     // Frame of Reference UID
  std::string date, time;    // run start, local time: YYYYMMDD, HHMMSS
  std::string patient_id, patient_name;
  PatientPosition position = PatientPosition::HFS;
  double hu_water = 0, offset_cal = 0;
};

// Made once per run: fresh UIDs (the library's generator), the current
// date and time, the patient strings and the HU scale from the options.
DicomRun make_dicom_run(const RunParams& p);

// Which volume of the run a series holds.
struct VolumeLabel {
  int bin = 0;               // 0: 3-D volume; 1..10: respiratory phase bin
  bool prior_image = false;  // a prior-image reconstruction of the bin
  int series_number = 1;
};

// The label of a 3-D volume (bin 0) or a phase bin; series numbers 1 for
// 3-D, the bin for 4-D, 10 + bin for prior-image bins.
VolumeLabel volume_label(int bin, bool prior_image = false);

// "3D volume", "4D phase 3 (15.1-25.1%)", "4D phase 3 (15.1-25.1%)
// prior-image".  The range is that of the phase binning (input/rpm.h:
// bin = trunc(10 phase/2pi + 1.49), 11 wrapping to 1), so bin 1 spans
// 95.1-5.1%.
std::string series_description(const VolumeLabel& label);

// HU of one ".seq" word (see above), limited to -32767..32767.
int16_t hu_of_word(int16_t word, double hu_water, double offset_cal);
inline constexpr int16_t kHuPadding = -32768;

// The series folder of the volume `seq_name`: ".seq" replaced by "_dicom"
// (appended when the name has no ".seq" ending).
std::string dicom_folder_name(const std::string& seq_name);

// Refuses, before the long part of the run, a series folder that could not
// be written (safe_folder.h: check_folder_target).
void check_dicom_folder(const std::string& folder);

// Writes the series of `v` (16-bit words, as_float false) into `folder`
// atomically (safe_folder.h).  Returns "" or one line about an old folder of
// that name that was kept under another name.  RunError on failure, with
// nothing left behind.
std::string write_dicom_series(const std::string& folder, const OutputVolume& v,
                               const DicomRun& run, const VolumeLabel& label);

// The series of one reconstructed volume, when --format dcm asks for it
// (nothing otherwise), in dicom_folder_name(seq_name).
std::string write_dicom_output(const std::string& seq_name, const float* volume, size_t pitch,
                               const RunParams& p, const VoxelGrid& vg,
                               const FovExtents& fov, const DicomRun& run,
                               const VolumeLabel& label);

}  // namespace cbrecon
