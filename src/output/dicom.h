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
// Identity.  One run makes one DicomRun: a study (its Study ID the run's
// start, YYYYMMDDHHMMSS) and a frame of reference shared by every volume it
// writes.  Patient names and IDs outside ASCII are written in UTF-8 with
// Specific Character Set "ISO_IR 192".  Each volume is its own series,
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
  std::string study_id;      // Study ID: date and time, YYYYMMDDHHMMSS
  std::string patient_id, patient_name;
  PatientPosition position = PatientPosition::HFS;
  double hu_water = 0, offset_cal = 0;
};

// Made once per run: fresh UIDs (the library's generator), the current
// date and time, the patient strings and the HU scale from the options.
DicomRun make_dicom_run(const RunParams& p);

// Which volume of the run a series holds.
// A volume made from the bins of a 4-D run after they are reconstructed.
enum class VolumeProduct { none, mip, average };

struct VolumeLabel {
  int bin = 0;               // 0: 3-D volume; 1..10: respiratory phase bin
  bool prior_image = false;  // a prior-image reconstruction of the bin
  VolumeProduct product = VolumeProduct::none;  // over every bin (bin 0)
  int nbins = 10;            // bins of the run
  bool amplitude = false;    // the bins are breathing amplitudes, not phases
  bool iterative = false;    // an iterative reconstruction of the bin
  int series_number = 1;
};

// The label of a 3-D volume (bin 0) or a phase bin; series numbers 1 for
// 3-D, the bin for 4-D, 10 + bin for prior-image bins.
// The maximum-intensity and average volumes over the bins: series 101 and
// 102 (103 and 104 from prior-image bins, 105 and 106 from iterative bins);
// iterative bins 20 + bin.
VolumeLabel volume_label(int bin, bool prior_image = false, VolumeProduct product = VolumeProduct::none,
                         bool iterative = false);

// "3D volume", "4D phase 3 (15.1-25.1%)", "4D phase 3 (15.1-25.1%)
// prior-image".  The range is that of the phase binning (input/rpm.h:
// bin = trunc(10 phase/2pi + 1.49), 11 wrapping to 1), so bin 1 spans
// 95.1-5.1%.
std::string series_description(const VolumeLabel& label);

// The centre of a phase bin's range in percent of the breathing cycle
// (10 bin - 9.9: 0.1 for bin 1, 20.1 for bin 3).  The series of bin N
// (1..10) carry Temporal Position Identifier N, Number of Temporal
// Positions 10 and Nominal Percentage of Respiratory Phase at this value,
// besides the shared study and frame of reference.
double respiratory_phase_percent(int bin);


// The series folder of the volume `seq_name`: ".seq" replaced by "_dicom"
// (appended when the name has no ".seq" ending).
std::string dicom_folder_name(const std::string& seq_name);

// Refuses, before the long part of the run, a series folder that could not
// be written (safe_folder.h: check_folder_target), or an existing one that
// is not wholly a series this program wrote (series_not_ours).
void check_dicom_folder(const std::string& folder);

// Empty when every entry of the existing `folder` is a slice this program
// wrote for one series (IM#####.dcm, a regular file with one name, made by
// cbrecon, one series UID, the instance number its name says): only then
// is the folder replaced.  Otherwise the first thing in the way.
std::string series_not_ours(const std::string& folder);

// Writes the series of `v` (16-bit words, as_float false) into `folder`
// atomically (safe_folder.h).  Returns "" or one line about an old folder of
// that name that was kept under another name.  RunError on failure, with
// nothing left behind.
std::string write_dicom_series(const std::string& folder, const OutputVolume& v,
                               const DicomRun& run, const VolumeLabel& label);

}  // namespace cbrecon
