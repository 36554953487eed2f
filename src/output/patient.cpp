#include "output/patient.h"

#include "numeric/error.h"

namespace cbrecon {

PatientPosition parse_patient_position(const std::string& name) {
  if (name == "HFS") return PatientPosition::HFS;
  if (name == "HFP") return PatientPosition::HFP;
  if (name == "FFS") return PatientPosition::FFS;
  if (name == "FFP") return PatientPosition::FFP;
  throw RunError("--patient-position takes HFS, HFP, FFS or FFP, got \"" + name + "\"");
}

const char* patient_position_name(PatientPosition pos) {
  switch (pos) {
    case PatientPosition::HFS: return "HFS";
    case PatientPosition::HFP: return "HFP";
    case PatientPosition::FFS: return "FFS";
    case PatientPosition::FFP: return "FFP";
  }
  return "HFS";
}

std::array<int, 3> patient_axis_signs(PatientPosition pos) {
  switch (pos) {
    case PatientPosition::HFS: return {1, -1, -1};
    case PatientPosition::HFP: return {-1, 1, -1};
    case PatientPosition::FFS: return {-1, -1, 1};
    case PatientPosition::FFP: return {1, 1, 1};
  }
  return {1, -1, -1};
}

std::array<double, 3> to_patient(PatientPosition pos, const std::array<double, 3>& recon) {
  const std::array<int, 3> s = patient_axis_signs(pos);
  std::array<double, 3> out{};
  for (int i = 0; i < 3; ++i) out[i] = s[i] < 0 ? -recon[i] : recon[i];
  return out;
}

}  // namespace cbrecon
