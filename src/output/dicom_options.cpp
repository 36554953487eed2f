#include "output/dicom_options.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "numeric/error.h"
#include "output/patient.h"

namespace cbrecon {

namespace {

constexpr size_t kMaxLO = 64;        // Long String: characters
constexpr size_t kMaxPNGroup = 64;   // Person Name: characters per component group

bool printable_ascii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x7f && c != '\\';
  });
}

void check_patient_id(const std::string& id) {
  if (id.size() > kMaxLO)
    throw RunError(strprintf("--patient-id is %zu characters long; DICOM allows at most %zu",
                             id.size(), kMaxLO));
  if (!printable_ascii(id))
    throw RunError("--patient-id may hold printable ASCII characters only, without '\\'");
}

void check_patient_name(const std::string& name) {
  if (!printable_ascii(name))
    throw RunError("--patient-name may hold printable ASCII characters only, without '\\'");
  size_t groups = 0, start = 0;
  while (true) {
    const size_t eq = name.find('=', start);
    const std::string g = name.substr(start, eq == std::string::npos ? std::string::npos : eq - start);
    ++groups;
    if (g.size() > kMaxPNGroup)
      throw RunError(strprintf("--patient-name: a name group is %zu characters long; DICOM allows "
                               "at most %zu (groups are separated by '=')",
                               g.size(), kMaxPNGroup));
    if (std::count(g.begin(), g.end(), '^') > 4)
      throw RunError("--patient-name: at most five components (family^given^middle^prefix^suffix)");
    if (eq == std::string::npos) break;
    start = eq + 1;
  }
  if (groups > 3) throw RunError("--patient-name: at most three '='-separated name groups");
}

}  // namespace

void check_dicom_options(const RunParams& p) {
  const Extras& x = p.extras;
  parse_patient_position(x.patient_position);
  check_patient_id(x.patient_id);
  check_patient_name(x.patient_name);
  if (x.hu_water_set && !(std::isfinite(x.hu_water) && x.hu_water > p.offset_cal))
    throw RunError(strprintf("--hu-water must be a finite value above the output offset -so (%g)",
                             static_cast<double>(p.offset_cal)));
  if (wants_dicom(x) && !x.hu_water_set)
    throw RunError("--format dcm needs --hu-water W, the output value of water (see --help)");
}

bool wants_dicom(const Extras& x) {
  return std::find(x.formats.begin(), x.formats.end(), "dcm") != x.formats.end();
}

}  // namespace cbrecon
