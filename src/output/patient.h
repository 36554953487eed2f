// How the patient lay on the couch, and the patient frame every output
// format uses.
//
// The reconstruction frame (formats.h): x along the stored columns, y
// against the rows, z along the slices, the rotation axis at x = y = 0.  It
// is the scanner's frame (HACKING.md, "The patient frame", derives it): +y
// points up from the couch to where the source stands at gantry angle 0,
// +x to where it stands at 90 degrees, +z away from the gantry.  For a
// patient lying head first and supine (HFS) that is x towards the patient's
// left, y towards anterior, z towards the feet: LPS = (x, -y, -z).  The
// other positions are the patient turned relative to the scanner:
//   HFP  head first, prone:  180 degrees about z      LPS = (-x,  y, -z)
//   FFS  feet first, supine: 180 degrees about y      LPS = (-x, -y,  z)
//   FFP  feet first, prone:  both                     LPS = ( x,  y,  z)
// Each is a rotation (the signs multiply to +1), so the voxel grid keeps its
// handedness and every format states the same points.
#pragma once

#include <array>
#include <string>

namespace cbrecon {

enum class PatientPosition { HFS, HFP, FFS, FFP };

// "HFS", "HFP", "FFS" or "FFP"; RunError for anything else.
PatientPosition parse_patient_position(const std::string& name);

// The DICOM defined term: "HFS", "HFP", "FFS" or "FFP".
const char* patient_position_name(PatientPosition pos);

// The signs s with LPS = (s0 x, s1 y, s2 z).
std::array<int, 3> patient_axis_signs(PatientPosition pos);

// A point or a direction of the reconstruction frame in LPS (mm): sign
// changes only, so every coordinate keeps its bits up to the sign.
std::array<double, 3> to_patient(PatientPosition pos, const std::array<double, 3>& recon);

}  // namespace cbrecon
