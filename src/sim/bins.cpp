#include "sim/bins.h"

#include <fstream>
#include <unordered_map>

#include "input/phase.h"
#include "input/rpm.h"
#include "numeric/error.h"

namespace cbrecon::sim {

std::array<std::vector<long>, kPhaseBins> phase_bin_views(const ScanConfig& cfg,
                                                          const std::vector<ViewInfo>& views,
                                                          int32_t recon_views) {
  if (cfg.vxp.empty()) throw RunError("phase bins need the scan's respiratory file (--vxp)");
  std::ifstream in(cfg.vxp, std::ios::binary);
  if (!in) throw RunError("cannot open the respiratory file " + cfg.vxp);
  // Read in pieces up to the reader's limit, as the reconstruction would.
  std::string text;
  char piece[1 << 16];
  while (in.read(piece, sizeof piece) || in.gcount() > 0) {
    text.append(piece, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxRpmBytes) break;
  }
  if (text.size() > kMaxRpmBytes) throw RunError("the respiratory file " + cfg.vxp + " is too large");
  const PhaseTable table = parse_rpm_signal(text, nullptr, cfg.vxp);

  std::unordered_map<std::string, long> index;
  for (size_t i = 0; i < views.size(); ++i) index.emplace(views[i].name, static_cast<long>(i));
  const int32_t first = first_projection_number(cfg.prefix, recon_views);
  std::array<std::vector<long>, kPhaseBins> bins;
  for (int b = 1; b <= kPhaseBins; ++b) {
    const ViewList vl = phase_views(table, first, cfg.prefix, recon_views, static_cast<uint16_t>(b), 0, 0.0);
    for (const std::string& name : vl.names) {
      const auto it = index.find(name);
      if (it == index.end()) throw RunError("projection file " + name + " is not part of this scan");
      bins[static_cast<size_t>(b - 1)].push_back(it->second);
    }
  }
  return bins;
}

std::vector<double> shifts_of(const std::vector<ViewInfo>& views, const std::vector<long>& which) {
  std::vector<double> s;
  s.reserve(which.size());
  for (const long i : which) s.push_back(views.at(static_cast<size_t>(i)).shift);
  return s;
}

BinTruthSummary write_bin_truths(const std::string& prefix, const ScanConfig& cfg,
                                 const TruthGrid& grid, int32_t recon_views) {
  const std::vector<ViewInfo> views = plan_views(cfg);
  const auto bins = phase_bin_views(cfg, views, recon_views);
  size_t listed = 0;
  for (const auto& bin : bins) listed += bin.size();
  if (listed == 0)
    throw RunError("no projection file of this scan is sorted into a phase bin: simulate the scan "
                   "(without --truth-only) before writing the bins' truth");
  BinTruthSummary sum;
  std::vector<double> every;
  for (int b = 0; b < kPhaseBins; ++b) {
    const std::vector<double> shifts = shifts_of(views, bins[static_cast<size_t>(b)]);
    const TruthVolume t = averaged_truth(cfg.phantom, grid, shifts, cfg.threads);
    write_truth(prefix + "_ph" + std::to_string(b + 1) + ".raw", t);
    sum.views[static_cast<size_t>(b)] = static_cast<long>(shifts.size());
    sum.nz = t.nz;
    sum.npxls = t.npxls;
  }
  // Every bin's views in view order (the bins are disjoint).
  std::vector<char> used(views.size(), 0);
  for (const auto& bin : bins)
    for (const long i : bin) used[static_cast<size_t>(i)] = 1;
  for (size_t i = 0; i < views.size(); ++i)
    if (used[i]) every.push_back(views[i].shift);
  sum.all = static_cast<long>(every.size());
  write_truth(prefix + "_avg.raw", averaged_truth(cfg.phantom, grid, every, cfg.threads));
  return sum;
}

}  // namespace cbrecon::sim
