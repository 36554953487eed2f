#include "input/phase.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "numeric/common.h"
#include "numeric/error.h"
#include "numeric/files.h"

namespace cbrecon {

std::string phase_suffix(uint16_t ph_recon, uint16_t hscan) {
  std::string s = hscan == 1 ? "hf4d_ph" : "4d_ph";
  s += ph_recon >= 10 ? strprintf("%2.2d", ph_recon) : strprintf("%1d", ph_recon);
  return s + ".seq";
}

namespace {

// True if fn_proj + n ("%5.5d") + ".hnd" opens for reading.
bool projection_opens(const std::string& fn_proj, int32_t n) {
  return open_regular_file(projection_name(fn_proj, n)) != nullptr;
}

// Below this many numbers every one is simply tried.
constexpr int32_t kTryEveryNumber = 4096;

}  // namespace

int32_t first_projection_number(const std::string& fn_proj, int32_t nviews) {
  auto try_every_number = [&] {
    for (int32_t n = 0; n < nviews; ++n)
      if (projection_opens(fn_proj, n)) return n;
    return nviews;
  };
  if (nviews <= kTryEveryNumber) return try_every_number();
  projection_name(fn_proj, 0);  // refuses a prefix too long for any name, as the first try would

  // Trying each of millions of numbers costs seconds per million; read the
  // folder once instead and try, in increasing order, only the numbers whose
  // file name ("%5.5d", so no other spelling of the number) is present.
  // Numbers from `too_long` on have names longer than 79 characters: trying
  // every number would stop there with RunError, and so do we.
  const size_t digits_allowed = kMaxName - 4 - fn_proj.size();  // at least 5, checked above
  long long too_long = 1;
  for (size_t d = 0; d < digits_allowed && too_long <= nviews; ++d) too_long *= 10;
  auto none_found = [&] {
    if (too_long < nviews) projection_name(fn_proj, too_long);  // throws
    return nviews;
  };

  const size_t slash = fn_proj.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : fn_proj.substr(0, slash + 1);
  const std::string stem = slash == std::string::npos ? fn_proj : fn_proj.substr(slash + 1);
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  if (ec) {
    // A folder that does not exist holds no file; one we cannot list may
    // still let us open files, so try every number.
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory)
      return none_found();
    return try_every_number();
  }
  const size_t ext = 4;  // ".hnd"
  std::vector<int32_t> present;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (name.size() < stem.size() + 5 + ext || name.compare(0, stem.size(), stem) != 0 ||
        name.compare(name.size() - ext, ext, ".hnd") != 0)
      continue;
    const std::string digits = name.substr(stem.size(), name.size() - stem.size() - ext);
    if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const long long n = std::stoll(digits);
    if (n >= nviews || n >= too_long || strprintf("%5.5lld", n) != digits) continue;
    present.push_back(static_cast<int32_t>(n));
  }
  if (ec) return try_every_number();  // the listing broke off: it may be incomplete
  std::sort(present.begin(), present.end());
  for (const int32_t n : present)
    if (projection_opens(fn_proj, n)) return n;
  return none_found();
}

ViewList phase_views(const PhaseTable& table, int32_t first, const std::string& fn_proj,
                     int32_t nviews, uint16_t ph_recon, uint16_t hscan, double hscan_range,
                     const ViewScreen* screen) {
  std::vector<std::string> names;
  const double bin = ph_recon;
  for (long i = 0; i < table.count; ++i) {
    if (static_cast<double>(table.tab[3][i]) != bin) continue;
    if (static_cast<long long>(names.size()) >= nviews) break;  // the list is full
    names.push_back(projection_name(fn_proj, static_cast<long long>(first) + i));
  }

  ViewList vl;
  vl.nlisted = static_cast<int32_t>(names.size());
  vl.triggers = table.count;
  vl.first = first;
  Header head;
  for (std::string& name : names) {
    bool special = false;
    uint64_t bytes = 0;
    if (!read_header(name, head.data(), &special, &bytes)) {
      if (special) vl.skipped.push_back(name);
      break;
    }
    if (screen && !screen_view(*screen, name, head.data(), bytes, vl)) continue;
    const double angle = header_angle(head.data());
    if (hscan == 1) {
      const double angle0 = vl.angles.empty() ? angle : vl.angles[0];
      const double delta = (angle - angle0) * pi / 180;
      if (hscan_range < delta) break;
    }
    vl.names.push_back(std::move(name));
    vl.angles.push_back(angle);
    ++vl.ik;
  }
  return vl;
}

PhaseListing read_phase_listing(const std::string& rpmfilename, const std::string& fn_proj, int32_t nviews,
                                const std::string& ext_shown, std::FILE* out, const std::string& trace_path) {
  PhaseListing l;
  l.table = read_rpm_signal(rpmfilename, out, trace_path);
  std::fprintf(out, "RPM signal file name %s  %s\n", rpmfilename.c_str(), ext_shown.c_str());
  std::fprintf(out, "size=%5d \n", static_cast<int>(l.table.count));
  l.first = first_projection_number(fn_proj, nviews);
  return l;
}

ViewList select_phase_views(const std::string& rpmfilename, const std::string& fn_proj,
                            int32_t nviews, uint16_t ph_recon, uint16_t hscan,
                            double hscan_range, std::string& ext, std::FILE* out,
                            const std::string& trace_path, std::string* warning,
                            const ViewScreen* screen) {
  const PhaseListing l = read_phase_listing(rpmfilename, fn_proj, nviews, ext, out, trace_path);
  if (warning) *warning = l.table.warning;
  ext = phase_suffix(ph_recon, hscan);
  return phase_views(l.table, l.first, fn_proj, nviews, ph_recon, hscan, hscan_range, screen);
}

}  // namespace cbrecon
