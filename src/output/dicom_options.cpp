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

void check_hu_water(double w, double offset_cal) {
  const double so = offset_cal;
  auto refuse = [&](const std::string& why) {
    throw RunError(strprintf("--hu-water %g: %s", w, why.c_str()));
  };
  if (std::isnan(w)) refuse("not a number; the output value of water is needed");
  if (std::isinf(w)) refuse("infinite; the output value of water is a finite number");
  if (!(w > so)) refuse(strprintf("water must lie above the output offset -so (%g)", so));
  // HU = 1000 (word - W) / (W - so) for the 16-bit words: one word step is
  // 1000 / (W - so) HU.  Past these bounds the whole word range maps to
  // less than one HU, or a single step to more than the whole HU range:
  // every voxel would get the same value or the clipped extremes.
  const double span = w - so;
  if (span > kMaxHuWaterSpan)
    refuse(strprintf("water %g above -so makes the whole 16-bit range less than 1 HU (at most %g)", span,
                     kMaxHuWaterSpan));
  if (span < kMinHuWaterSpan)
    refuse(strprintf("water %g above -so makes one output step more than the whole HU range (at least %g)",
                     span, kMinHuWaterSpan));
}

void check_dicom_options(const RunParams& p) {
  const Extras& x = p.extras;
  parse_patient_position(x.patient_position);
  check_patient_id(x.patient_id);
  check_patient_name(x.patient_name);
  if (x.hu_water_set) check_hu_water(x.hu_water, p.offset_cal);
  if (wants_dicom(x) && !x.hu_water_set)
    throw RunError("--format dcm needs --hu-water W, the output value of water (see --help)");
}

bool wants_dicom(const Extras& x) {
  return std::find(x.formats.begin(), x.formats.end(), "dcm") != x.formats.end();
}

}  // namespace cbrecon
