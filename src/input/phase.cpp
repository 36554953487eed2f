#include "input/phase.h"

#include <vector>

#include "numeric/common.h"
#include "numeric/error.h"

namespace cbrecon {

std::string phase_suffix(uint16_t ph_recon, uint16_t hscan) {
  std::string s = hscan == 1 ? "hf4d_ph" : "4d_ph";
  s += ph_recon >= 10 ? strprintf("%2.2d", ph_recon) : strprintf("%1d", ph_recon);
  return s + ".seq";
}

int32_t first_projection_number(const std::string& fn_proj, int32_t nviews) {
  for (int32_t n = 0; n < nviews; ++n) {
    std::FILE* f = std::fopen(projection_name(fn_proj, n).c_str(), "rb");
    if (f) {
      std::fclose(f);
      return n;
    }
  }
  return nviews;
}

ViewList phase_views(const PhaseTable& table, int32_t first, const std::string& fn_proj,
                     int32_t nviews, uint16_t ph_recon, uint16_t hscan, double hscan_range) {
  std::vector<std::string> names;
  const double bin = ph_recon;
  for (long i = 0; i < table.count; ++i) {
    if (static_cast<double>(table.tab[3][i]) != bin) continue;
    if (static_cast<long long>(names.size()) >= nviews) break;  // the list is full
    names.push_back(projection_name(fn_proj, static_cast<long long>(first) + i));
  }

  ViewList vl;
  vl.nlisted = static_cast<int32_t>(names.size());
  Header head;
  for (std::string& name : names) {
    if (!read_header(name, head.data())) break;
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

ViewList select_phase_views(const std::string& rpmfilename, const std::string& fn_proj,
                            int32_t nviews, uint16_t ph_recon, uint16_t hscan,
                            double hscan_range, std::string& ext, std::FILE* out,
                            const std::string& trace_path, std::FILE* err) {
  const PhaseTable table = read_rpm_signal(rpmfilename, out, trace_path);
  if (err && !table.warning.empty()) std::fprintf(err, "%s\n", table.warning.c_str());
  std::fprintf(out, "RPM signal file name %s  %s\n", rpmfilename.c_str(), ext.c_str());
  std::fprintf(out, "size=%5d \n", static_cast<int>(table.count));
  const int32_t first = first_projection_number(fn_proj, nviews);
  ext = phase_suffix(ph_recon, hscan);
  return phase_views(table, first, fn_proj, nviews, ph_recon, hscan, hscan_range);
}

}  // namespace cbrecon
