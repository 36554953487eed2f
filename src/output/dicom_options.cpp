#include "output/dicom_options.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "numeric/error.h"
#include "output/patient.h"

namespace cbrecon {

namespace {

constexpr size_t kMaxLO = 64;        // Long String: characters
constexpr size_t kMaxPNGroup = 64;   // Person Name: characters per component group

// The characters of a value: code points of well-formed UTF-8 (no overlong
// forms, surrogates or values past U+10FFFF), or -1 when it is not that or
// holds a control character (C0, DEL, C1) or '\\' (the DICOM value
// separator).
long text_chars(const std::string& s) {
  long chars = 0;
  for (size_t i = 0; i < s.size(); ++chars) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if (b < 0x20 || b == 0x7f || b == '\\') return -1;
      ++i;
      continue;
    }
    const int extra = b >= 0xf0 ? 3 : b >= 0xe0 ? 2 : b >= 0xc2 ? 1 : -1;
    if (extra < 0 || b > 0xf4 || i + static_cast<size_t>(extra) >= s.size()) return -1;
    uint32_t cp = b & (0x3fu >> extra);
    for (int k = 1; k <= extra; ++k) {
      const unsigned char c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xc0) != 0x80) return -1;
      cp = (cp << 6) | (c & 0x3fu);
    }
    const uint32_t least[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < least[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff) || (cp >= 0x80 && cp < 0xa0))
      return -1;
    i += static_cast<size_t>(extra) + 1;
  }
  return chars;
}

const char* const kTextRule = "printable characters in UTF-8, without '\\'";

void check_patient_id(const std::string& id) {
  const long n = text_chars(id);
  if (n < 0) throw RunError(std::string("--patient-id may hold ") + kTextRule + " only");
  if (static_cast<size_t>(n) > kMaxLO)
    throw RunError(strprintf("--patient-id is %ld characters long; DICOM allows at most %zu", n, kMaxLO));
}

void check_patient_name(const std::string& name) {
  if (text_chars(name) < 0) throw RunError(std::string("--patient-name may hold ") + kTextRule + " only");
  size_t groups = 0, start = 0;
  while (true) {
    const size_t eq = name.find('=', start);
    const std::string g = name.substr(start, eq == std::string::npos ? std::string::npos : eq - start);
    ++groups;
    const long chars = text_chars(g);
    if (static_cast<size_t>(chars) > kMaxPNGroup)
      throw RunError(strprintf("--patient-name: a name group is %ld characters long; DICOM allows "
                               "at most %zu (groups are separated by '=')",
                               chars, kMaxPNGroup));
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

bool needs_utf8(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool wants_dicom(const Extras& x) {
  return std::find(x.formats.begin(), x.formats.end(), "dcm") != x.formats.end();
}

}  // namespace cbrecon
