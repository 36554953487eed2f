#include "input/image_signal.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "input/rpm.h"
#include "numeric/common.h"
#include "numeric/error.h"

namespace cbrecon {

namespace {

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  const size_t m = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(m), v.end());
  return v[m];
}

// Signal values with the missing ones (NaN) filled in linearly from their
// neighbours, so that smoothing and peak finding see one curve.
std::vector<double> bridged(const std::vector<double>& v) {
  std::vector<double> out = v;
  const long n = static_cast<long>(v.size());
  long last = -1;
  for (long k = 0; k < n; ++k) {
    if (std::isnan(v[k])) continue;
    if (last < 0) {
      for (long j = 0; j < k; ++j) out[j] = v[k];
    } else {
      for (long j = last + 1; j < k; ++j)
        out[j] = v[last] + (v[k] - v[last]) * static_cast<double>(j - last) / static_cast<double>(k - last);
    }
    last = k;
  }
  if (last < 0) return std::vector<double>(v.size(), 0.0);
  for (long j = last + 1; j < n; ++j) out[j] = v[last];
  return out;
}

// Centred moving average of half-width h (shorter at the ends).
std::vector<double> smoothed(const std::vector<double>& v, long h) {
  const long n = static_cast<long>(v.size());
  std::vector<double> sum(v.size() + 1, 0.0), out(v.size());
  for (long k = 0; k < n; ++k) sum[k + 1] = sum[k] + v[k];
  for (long k = 0; k < n; ++k) {
    const long a = std::max(0L, k - h), b = std::min(n - 1, k + h);
    out[k] = (sum[b + 1] - sum[a]) / static_cast<double>(b - a + 1);
  }
  return out;
}

// The breathing component of the profiles: each view's profile less the
// mean profile of the valid views within `w` of it (the template: it follows
// the gantry angle and any drift, and with a window of one cycle holds no
// breathing), then the first principal component of these residuals over
// the rows (power iteration on their row covariance), and each view's score
// on it, signed so that inhale (less attenuation in the rows that move)
// scores high.  NaN for a view without profile.
std::vector<double> principal_motion(const ShroudImage& s, long w) {
  const long nv = s.nviews, nr = s.nrows;
  auto valid = [&](long k) { return !std::isnan(s.row(k)[0]); };
  std::vector<double> sum(static_cast<size_t>((nv + 1) * nr), 0.0);
  std::vector<long> count(static_cast<size_t>(nv + 1), 0);
  for (long k = 0; k < nv; ++k) {
    count[k + 1] = count[k] + (valid(k) ? 1 : 0);
    for (long v = 0; v < nr; ++v) sum[(k + 1) * nr + v] = sum[k * nr + v] + (valid(k) ? s.row(k)[v] : 0.0);
  }
  std::vector<double> res(static_cast<size_t>(nv * nr), 0.0);
  for (long k = 0; k < nv; ++k) {
    if (!valid(k)) continue;
    const long a = std::max(0L, k - w), b = std::min(nv - 1, k + w);
    const double n = static_cast<double>(count[b + 1] - count[a]);
    for (long v = 0; v < nr; ++v) res[k * nr + v] = s.row(k)[v] - (sum[(b + 1) * nr + v] - sum[a * nr + v]) / n;
  }
  // Row covariance of the residuals (symmetric; the upper triangle first).
  std::vector<double> cov(static_cast<size_t>(nr * nr), 0.0);
  for (long k = 0; k < nv; ++k) {
    const double* r = res.data() + k * nr;
    for (long i = 0; i < nr; ++i) {
      if (r[i] == 0) continue;
      double* c = cov.data() + i * nr;
      for (long j = i; j < nr; ++j) c[j] += r[i] * r[j];
    }
  }
  for (long i = 0; i < nr; ++i)
    for (long j = 0; j < i; ++j) cov[i * nr + j] = cov[j * nr + i];
  std::vector<double> e(static_cast<size_t>(nr)), next(static_cast<size_t>(nr));
  for (long i = 0; i < nr; ++i) e[i] = cov[i * nr + i];  // start from the rows' variances
  for (int it = 0; it < 200; ++it) {
    double norm = 0;
    for (long i = 0; i < nr; ++i) {
      double x = 0;
      const double* c = cov.data() + i * nr;
      for (long j = 0; j < nr; ++j) x += c[j] * e[j];
      next[i] = x;
      norm += x * x;
    }
    if (!(norm > 0)) break;
    norm = std::sqrt(norm);
    double change = 0;
    for (long i = 0; i < nr; ++i) {
      const double x = next[i] / norm;
      change += std::fabs(x - e[i]);
      e[i] = x;
    }
    if (change < 1e-10) break;
  }
  // Sign: breathing in moves air into the lungs where the diaphragm and the
  // liver were, so the line integrals of the rows that move fall.  The
  // component's pattern of line integrals is its running sum over the rows
  // (the profiles are row derivatives); at a positive score (inhale) its
  // larger lobe must be negative.
  double run = 0, lobe = 0;
  for (long i = 0; i < nr; ++i) {
    run += e[i];
    lobe += run * std::fabs(run);
  }
  const double sign = lobe > 0 ? -1.0 : 1.0;
  std::vector<double> out(static_cast<size_t>(nv), NAN);
  for (long k = 0; k < nv; ++k) {
    if (!valid(k)) continue;
    double x = 0;
    for (long i = 0; i < nr; ++i) x += res[k * nr + i] * e[i];
    out[k] = sign * x;
  }
  return out;
}

// Root mean square of `dev` over the views within w of each one.
std::vector<double> envelope(const std::vector<double>& dev, long w) {
  std::vector<double> sq(dev.size());
  for (size_t k = 0; k < dev.size(); ++k) sq[k] = dev[k] * dev[k];
  std::vector<double> e = smoothed(sq, std::max(1L, w));
  for (double& x : e) x = std::sqrt(x);
  return e;
}

// Divides a signal by its strength over about three cycles, so that a
// swing that changes with the gantry angle (an offset detector sees the
// diaphragm from one side) does not pass for deeper or shallower breathing.
void scale_to_local_strength(std::vector<double>& value);

// Pearson correlation of the pairs where both are numbers (0 for fewer than 8).
double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
  long m = 0;
  for (size_t k = 0; k < std::min(a.size(), b.size()); ++k) {
    if (std::isnan(a[k]) || std::isnan(b[k])) continue;
    sa += a[k], sb += b[k], saa += a[k] * a[k], sbb += b[k] * b[k], sab += a[k] * b[k], ++m;
  }
  if (m < 8) return 0.0;
  const double cov = sab - sa * sb / m, va = saa - sa * sa / m, vb = sbb - sb * sb / m;
  return va > 0 && vb > 0 ? cov / std::sqrt(va * vb) : 0.0;
}

// Views per breathing cycle: the first maximum of the signal's
// autocorrelation after its first fall below zero; 0 if there is none.
double cycle_length(const std::vector<double>& value) {
  const std::vector<double> v = bridged(value);
  const long n = static_cast<long>(v.size());
  const double mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(n);
  auto ac = [&](long lag) {
    double s = 0;
    for (long k = 0; k + lag < n; ++k) s += (v[k] - mean) * (v[k + lag] - mean);
    return s / static_cast<double>(n - lag);
  };
  long lag = 1;
  while (lag < n / 2 && ac(lag) > 0) ++lag;
  double best = 0;
  long at = 0;
  for (; lag < n / 2; ++lag) {
    const double a = ac(lag);
    if (a > best) best = a, at = lag;
    else if (at > 0 && a < 0) break;  // past the first positive lobe
  }
  return static_cast<double>(at);
}

void scale_to_local_strength(std::vector<double>& value) {
  const double cycle = cycle_length(value);
  if (!(cycle >= 4)) return;
  const std::vector<double> env = envelope(bridged(value), std::lround(1.5 * cycle));
  double mean = 0;
  for (const double e : env) mean += e / static_cast<double>(env.size());
  for (size_t k = 0; k < value.size(); ++k)
    if (env[k] > 0) value[k] *= mean / env[k];
}

}  // namespace

void shroud_profile(const uint32_t* counts, long rows, long cols, long col_step, double* out) {
  std::vector<double> mean(static_cast<size_t>(rows), 0.0);
  col_step = std::max(1L, col_step);
  for (long r = 0; r < rows; ++r) {
    const uint32_t* line = counts + r * cols;
    double s = 0;
    long n = 0;
    for (long c = col_step / 2; c < cols; c += col_step)
      if (line[c] > 0) s -= std::log(static_cast<double>(line[c])), ++n;
    mean[r] = n > 0 ? s / static_cast<double>(n) : 0.0;
  }
  for (long r = 0; r < rows; ++r)
    out[r] = r == 0 || r == rows - 1 ? 0.0 : 0.5 * (mean[r + 1] - mean[r - 1]);
}

BreathSignal breathing_signal(const ShroudImage& shroud) {
  if (shroud.nviews < 16 || shroud.nrows < 16)
    throw RunError("a breathing signal from the images needs at least 16 views of at least 16 rows");
  BreathSignal s;
  long w = std::max(4L, shroud.nviews / 16);
  s.value = principal_motion(shroud, w);
  const double first = cycle_length(s.value);
  if (first >= 4) {
    // A window of one cycle takes the breathing out of the template whole.
    w = std::clamp(std::lround(first / 2), 2L, std::max(2L, shroud.nviews / 8));
    s.value = principal_motion(shroud, w);
  }
  s.window = static_cast<int>(w);
  scale_to_local_strength(s.value);
  phase_from_peaks(s);
  // The amplitude: a template over one cycle takes each cycle's mean out of
  // it, so that deeper and shallower cycles look alike; one over three
  // cycles keeps most of that (measured on the simulated thorax: the spread
  // of the true displacement within an amplitude bin fell by a third).  It
  // replaces the values only while it still follows the same breathing.
  if (first >= 4) {
    const long wide = std::clamp(std::lround(1.5 * first), 2L, std::max(2L, shroud.nviews / 8));
    std::vector<double> deep = principal_motion(shroud, wide);
    scale_to_local_strength(deep);
    if (correlation(deep, s.value) > 0.8) s.value = std::move(deep);
  }
  return s;
}

void phase_from_peaks(BreathSignal& s) {
  const long n = static_cast<long>(s.value.size());
  double period = cycle_length(s.value);
  if (!(period >= 4)) throw RunError("no breathing cycle found in the images' signal");
  const std::vector<double> v = smoothed(bridged(s.value), std::max(1L, std::lround(period / 10)));

  // Segments above +h and below -h about the local mean (hysteresis): one
  // peak per high segment, one trough per low one.
  const std::vector<double> base = smoothed(v, std::lround(period));
  std::vector<double> dev(v.size());
  for (long k = 0; k < n; ++k) dev[k] = v[k] - base[k];
  // The threshold follows the signal's local strength: with an offset
  // detector what moves is seen well from some angles and barely from
  // others, and the breathing's swing changes with the gantry angle.
  const std::vector<double> env = envelope(dev, std::lround(1.5 * period));
  struct Extremum {
    long at;
    bool peak;
  };
  std::vector<Extremum> ext;
  int state = 0;  // 1 high, -1 low
  for (long k = 0; k < n; ++k) {
    const double h = 0.25 * env[k];
    const int now = dev[k] > h ? 1 : dev[k] < -h ? -1 : 0;
    if (now == 0) continue;
    if (now != state) {
      ext.push_back({k, now > 0});
      state = now;
    } else if ((now > 0 && v[k] > v[ext.back().at]) || (now < 0 && v[k] < v[ext.back().at])) {
      ext.back().at = k;
    }
  }
  std::vector<long> peaks;
  auto trough_near = [&](size_t i, int dir) -> double {
    for (long j = static_cast<long>(i) + dir; j >= 0 && j < static_cast<long>(ext.size()); j += dir)
      if (!ext[j].peak) return v[ext[j].at];
    return NAN;
  };
  std::vector<double> depth;
  for (size_t i = 0; i < ext.size(); ++i) {
    // A highest value on the first or last view may still be rising: no peak.
    if (!ext[i].peak || ext[i].at == 0 || ext[i].at == n - 1) continue;
    const double a = trough_near(i, -1), b = trough_near(i, 1);
    const double low = std::isnan(a) ? b : std::isnan(b) ? a : std::max(a, b);
    peaks.push_back(ext[i].at);
    depth.push_back(std::isnan(low) ? NAN : v[ext[i].at] - low);
  }
  // Too shallow: depth below a quarter of the median depth.
  std::vector<double> known;
  for (const double d : depth)
    if (!std::isnan(d)) known.push_back(d);
  const double dmed = median(known);
  s.shallow_cycles = s.short_cycles = 0;
  std::vector<long> kept;
  for (size_t i = 0; i < peaks.size(); ++i) {
    if (!std::isnan(depth[i]) && depth[i] < 0.25 * dmed) {
      ++s.shallow_cycles;
      continue;
    }
    kept.push_back(peaks[i]);
  }
  // Too short: a cycle under 40 % of the median length loses its lower peak.
  std::vector<double> lengths;
  for (size_t i = 1; i < kept.size(); ++i) lengths.push_back(static_cast<double>(kept[i] - kept[i - 1]));
  const double lmed = median(lengths);
  for (size_t i = 1; i < kept.size();) {
    if (static_cast<double>(kept[i] - kept[i - 1]) < 0.4 * lmed) {
      kept.erase(kept.begin() + static_cast<long>(v[kept[i]] < v[kept[i - 1]] ? i : i - 1));
      ++s.short_cycles;
    } else {
      ++i;
    }
  }
  if (kept.size() < 2) throw RunError("fewer than two breathing cycles found in the images' signal");

  // Peak positions refined by a parabola through the peak and its neighbours.
  s.peaks.clear();
  for (const long p : kept) {
    double at = static_cast<double>(p);
    if (p > 0 && p < n - 1) {
      const double a = v[p - 1], b = v[p], c = v[p + 1], den = a - 2 * b + c;
      if (den < 0) at += std::clamp(0.5 * (a - c) / den, -0.5, 0.5);
    }
    s.peaks.push_back(at);
  }
  lengths.clear();
  for (size_t i = 1; i < s.peaks.size(); ++i) lengths.push_back(s.peaks[i] - s.peaks[i - 1]);
  s.period = median(lengths);

  // Before the first and after the last peak the cycle is incomplete: a
  // trough there, if any, anchors phase 0.5 (end-exhale), and beyond it the
  // phase runs on at the rate between trough and peak; without one the
  // neighbouring cycle's length is extrapolated.
  double head_trough = NAN, tail_trough = NAN;
  for (const Extremum& x : ext) {
    if (x.peak) continue;
    const double at = static_cast<double>(x.at);
    if (at < s.peaks.front()) head_trough = at;
    if (at > s.peaks.back() && std::isnan(tail_trough)) tail_trough = at;
  }
  s.phase.assign(v.size(), NAN);
  s.views_outside = 0;
  size_t i = 0;
  for (long k = 0; k < n; ++k) {
    const double x = static_cast<double>(k);
    while (i + 2 < s.peaks.size() && x >= s.peaks[i + 1]) ++i;
    const double a = s.peaks[i], b = s.peaks[i + 1];
    double ph;
    if (x < s.peaks.front()) {
      ++s.views_outside;
      const double half = std::isnan(head_trough) ? (b - a) / 2 : s.peaks.front() - head_trough;
      ph = 1.0 - 0.5 * (s.peaks.front() - x) / half;
    } else if (x > s.peaks.back()) {
      ++s.views_outside;
      const double half = std::isnan(tail_trough) ? (b - a) / 2 : tail_trough - s.peaks.back();
      ph = 0.5 * (x - s.peaks.back()) / half;
    } else {
      ph = (x - a) / (b - a);
    }
    ph -= std::floor(ph);
    s.phase[k] = ph;
  }
}

int phase_bin(double cycles, int nbins) {
  if (std::isnan(cycles) || nbins < 1) return 0;
  if (nbins == 10) return grp_of_phase(static_cast<float>(cycles * 2.0 * pi));
  const long b = static_cast<long>(cycles * nbins + 1.49);
  return static_cast<int>((b - 1) % nbins + 1);
}

std::vector<int> amplitude_bins(const std::vector<double>& value, const std::vector<double>& phase, int nbins,
                                bool split) {
  std::vector<int> bin(value.size(), 0);
  std::vector<double> known;
  for (const double x : value)
    if (!std::isnan(x)) known.push_back(x);
  if (known.empty() || nbins < 1) return bin;
  std::sort(known.begin(), known.end());
  auto pct = [&](double q) { return known[static_cast<size_t>(q * static_cast<double>(known.size() - 1))]; };
  const double lo = pct(0.02), hi = pct(0.98);
  const int half = split ? nbins / 2 : nbins;
  for (size_t k = 0; k < value.size(); ++k) {
    if (std::isnan(value[k])) continue;
    const int levels = split && !(phase[k] < 0.5) ? nbins - half : half;
    // 0: highest amplitude .. levels - 1: lowest.
    const double u = hi > lo ? (hi - value[k]) / (hi - lo) : 0.5;
    const int step = std::clamp(static_cast<int>(u * levels), 0, levels - 1);
    if (!split || phase[k] < 0.5)
      bin[k] = 1 + step;
    else
      bin[k] = nbins - step;  // inhaling: from the lowest (half + 1) up to the highest (nbins)
  }
  return bin;
}

}  // namespace cbrecon

namespace cbrecon {

SyncCheck sync_check(const PhaseTable& file, const BreathSignal& images) {
  SyncCheck c;
  c.triggers = file.count;
  for (const double x : images.value)
    if (!std::isnan(x)) ++c.views;
  const long n = std::min<long>(file.count, static_cast<long>(images.value.size()));
  auto corr = [&](long lag) {
    // The file's amplitude of trigger i against the signal of view i + lag.
    std::vector<double> a, b;
    for (long i = 0; i < file.count; ++i) {
      const long k = i + lag;
      if (k < 0 || k >= static_cast<long>(images.value.size())) continue;
      a.push_back(file.tab[2][i]);
      b.push_back(images.value[k]);
    }
    return correlation(a, b);
  };
  c.corr0 = corr(0);
  c.best_corr = c.corr0;
  const long reach = std::max(1L, std::lround(images.period / 2));
  for (long lag = -reach; lag <= reach; ++lag)
    if (const double r = corr(lag); r > c.best_corr) c.best_corr = r, c.best_lag = static_cast<int>(lag);
  long agree = 0, paired = 0;
  for (long i = 0; i < n; ++i) {
    if (std::isnan(images.phase[i]) || std::isnan(images.value[i])) continue;
    double d = std::fabs(file.tab[1][i] / (2.0 * pi) - images.phase[i]);
    d -= std::floor(d);
    d = std::min(d, 1.0 - d);
    ++paired;
    if (d <= 0.1) ++agree;
  }
  c.phase_agree = paired > 0 ? static_cast<double>(agree) / static_cast<double>(paired) : 0.0;
  c.flagged = c.triggers != c.views || std::abs(c.best_lag) > kSyncMaxLag || c.corr0 < kSyncMinCorr;
  return c;
}

std::string sync_summary(const SyncCheck& c) {
  return strprintf("respiratory file against the images: %ld triggers, %ld views, correlation %.2f, best lag %+d "
                   "views (correlation %.2f), phases within 0.1 cycle for %.0f%% of the views",
                   c.triggers, c.views, c.corr0, c.best_lag, c.best_corr, 100.0 * c.phase_agree);
}

std::string sync_warning(const SyncCheck& c) {
  if (!c.flagged) return "";
  std::string why;
  if (c.triggers != c.views) why = strprintf("it has %ld triggers for %ld views", c.triggers, c.views);
  if (std::abs(c.best_lag) > kSyncMaxLag)
    why += (why.empty() ? "" : ", ") + strprintf("its breathing runs %d views %s the images'", std::abs(c.best_lag),
                                                  c.best_lag > 0 ? "ahead of" : "behind");
  if (c.corr0 < kSyncMinCorr)
    why += (why.empty() ? "" : ", ") + strprintf("its amplitude correlates only %.2f with the images' signal", c.corr0);
  return "warning: the respiratory file does not match the views (" + why +
         "): it may be out of step or from another scan; --breathing-from-images bins by the images' own phase";
}

}  // namespace cbrecon
