#include "input/coverage.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "numeric/error.h"

namespace cbrecon {

std::string unbinned_warning(const PhaseTable& table, int32_t nviews, int nbins) {
  const long paired = std::min<long>(table.count, std::max<int32_t>(nviews, 0));
  long outside = 0;
  for (long i = 0; i < paired; ++i) {
    const float grp = table.tab[3][i];
    if (!(grp >= 1 && grp <= nbins)) ++outside;
  }
  if (paired == 0 || outside <= kMaxUnbinnedShare * paired) return "";
  return strprintf("warning: %ld of the %ld views (%.0f%%) fall in no phase bin 1..%d (their respiratory "
                   "phase is missing or out of range); the bins are made from the rest",
                   outside, paired, 100.0 * outside / paired, nbins);
}

double largest_angular_gap(const ViewList& views) {
  const size_t n = std::min<size_t>(views.ik, views.angles.size());
  if (n == 0) return 360.0;
  std::vector<double> a;
  for (size_t k = 0; k < n; ++k) {
    const double r = std::fmod(views.angles[k], 360.0);
    a.push_back(r < 0 ? r + 360.0 : r);
  }
  std::sort(a.begin(), a.end());
  double gap = a.front() + 360.0 - a.back();
  for (size_t k = 1; k < a.size(); ++k) gap = std::max(gap, a[k] - a[k - 1]);
  return gap;
}

std::string bin_coverage_warning(const ViewList& views, uint16_t bin) {
  const size_t n = std::min<size_t>(views.ik, views.angles.size());
  if (n == 0) return "";
  const double covered = 360.0 - largest_angular_gap(views);
  if (covered >= kMinBinCoverage) return "";
  return strprintf("warning: the %zu views of phase bin %d cover only %.1f degrees of the rotation; a bin "
                   "needs at least %.0f for an image without limited-angle streaks",
                   n, bin, covered, kMinBinCoverage);
}

}  // namespace cbrecon
