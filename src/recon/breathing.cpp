#include "recon/breathing.h"

#include <algorithm>
#include <cmath>

#include "input/coverage.h"
#include "numeric/error.h"
#include "numeric/files.h"
#include "numeric/stopwatch.h"
#include "output/preview.h"
#include "recon/outputs.h"

namespace cbrecon {

namespace {

// The detector columns a view's profile takes: every 4th is plenty for a
// mean over hundreds of columns and keeps the logarithms to a quarter.
constexpr long kProfileColumnStep = 4;
constexpr long kMaxProfileRows = 1024;

// Reads every projection file from `first` on (the numbering the trigger
// samples pair with; the listing gives up after 101 missing numbers in a row,
// as a 3-D listing does) and makes the images' signal.  A file that is
// missing or does not decode is a gap in the signal, bridged from its
// neighbours for the phase.
BreathSignal image_signal(RunContext& ctx, int32_t first) {
  const RunParams& p = ctx.p;
  std::vector<long> present;  // indices from `first` of the files that open
  for (long i = 0, base = 0; i < p.nviews && i - base <= 100; ++i) {
    if (!open_regular_file(projection_name(p.fn_proj, static_cast<long long>(first) + i))) continue;
    present.push_back(i);
    base = i + 1;
  }
  if (present.empty()) throw RunError("no projection file to take the breathing signal from");
  // The signal's work grows with the square of the rows: a tall detector is
  // taken in groups of rows (their mean), at most kMaxProfileRows of them.
  const long group = (p.nslices + kMaxProfileRows - 1) / kMaxProfileRows;
  ShroudImage sh;
  sh.nviews = present.back() + 1;
  sh.nrows = p.nslices / group;
  sh.p.assign(static_cast<size_t>(sh.nviews * sh.nrows), NAN);
  std::vector<ViewScratch> scratch(static_cast<size_t>(ctx.pool->size()));
  ctx.pool->parallel_for(static_cast<long>(present.size()), [&](long a, long b, int worker) {
    ViewScratch& sc = scratch[static_cast<size_t>(worker)];
    Header head;
    std::vector<double> profile(static_cast<size_t>(p.nslices));
    for (long j = a; j < b; ++j) {
      const long i = present[static_cast<size_t>(j)];
      const std::string name = projection_name(p.fn_proj, static_cast<long long>(first) + i);
      if (!load_view(p, name, head, sc).message.empty()) continue;  // its pass reports it
      shroud_profile(sc.raw.data(), p.nslices, p.ndets, kProfileColumnStep, profile.data());
      for (long r = 0; r < sh.nrows; ++r) {
        double sum = 0;
        for (long q = 0; q < group; ++q) sum += profile[static_cast<size_t>(r * group + q)];
        sh.row(i)[r] = sum / static_cast<double>(group);
      }
    }
  });
  return breathing_signal(sh);
}

void set_bins(PhaseTable& t, const std::vector<int>& bins) {
  for (long i = 0; i < t.count; ++i) t.tab[3][i] = static_cast<float>(bins[static_cast<size_t>(i)]);
}

}  // namespace

bool breathing_extras(const RunParams& p) {
  const Extras& x = p.extras;
  return x.breathing_from_images || x.sync_check || x.amplitude_bins || p.nbins != 10 ||
         !x.bins_summary.empty();
}

PhaseTable image_phase_table(const BreathSignal& s, int nbins) {
  PhaseTable t;
  const size_t n = std::min<size_t>(s.value.size(), kMaxTriggers);
  t.count = static_cast<uint16_t>(n);
  t.nsamples = t.capacity = n;
  t.tab = matrix(0, 3, 0, n > 0 ? static_cast<long>(n) - 1 : 0);
  for (long r = 0; r < 4; ++r) t.tab[r][0] = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const long c = static_cast<long>(i);
    t.tab[0][c] = static_cast<float>(i);
    t.tab[1][c] = static_cast<float>(s.phase[i] * 2.0 * pi);
    t.tab[2][c] = static_cast<float>(s.value[i]);
    // A view without a signal goes into no bin.
    t.tab[3][c] = std::isnan(s.value[i]) ? 0.0f : static_cast<float>(phase_bin(s.phase[i], nbins));
  }
  return t;
}

BreathingRecord breathing_listing(RunContext& ctx) {
  const RunParams& p = ctx.p;
  const Extras& x = p.extras;
  BreathingRecord r;
  const bool file = !p.fn_tmp.empty();
  if (file) {
    r.listing = read_phase_listing(p.fn_tmp, p.fn_proj, p.nviews, p.ext, ctx.console.out, trace_file_name(p));
    if (!r.listing.table.warning.empty()) ctx.console.note(r.listing.table.warning);
    r.source = "respiratory file";
  } else {
    r.listing.first = first_projection_number(p.fn_proj, p.nviews);
  }
  if (x.breathing_from_images || x.sync_check) {
    Stopwatch sw;
    r.images = image_signal(ctx, r.listing.first);
    r.seconds = sw.lap();
    const BreathSignal& s = r.images;
    ctx.console.note(strprintf("breathing from the images: %zu views, %d cycles of %.1f views (median), %d too "
                               "short and %d too shallow left out, %ld views outside the first and last cycle; %.2f s",
                               s.value.size(), s.cycles(), s.period, s.short_cycles, s.shallow_cycles,
                               s.views_outside, r.seconds));
    if (file) {
      const SyncCheck c = sync_check(r.listing.table, s);
      ctx.console.note(sync_summary(c));
      if (std::string w = sync_warning(c); !w.empty() && !x.breathing_from_images) ctx.console.note(std::move(w));
    }
    if (x.breathing_from_images) {
      r.listing.table = image_phase_table(s, p.nbins);
      r.source = "images";
    }
  }
  PhaseTable& t = r.listing.table;
  if (x.amplitude_bins) {
    std::vector<double> value(t.count), phase(t.count);
    for (long i = 0; i < t.count; ++i) {
      value[i] = t.tab[3][i] == 0 && r.source == "images" ? NAN : t.tab[2][i];
      phase[i] = t.tab[1][i] / (2.0 * pi);
    }
    set_bins(t, amplitude_bins(value, phase, p.nbins, x.amplitude_split));
  } else if (p.nbins != 10 && r.source != "images") {
    std::vector<int> bins(t.count);
    for (long i = 0; i < t.count; ++i) bins[i] = phase_bin(t.tab[1][i] / (2.0 * pi), p.nbins);
    set_bins(t, bins);
  }
  return r;
}

std::vector<BinSummary> summarise_bins(const std::vector<ViewList>& bins) {
  std::vector<BinSummary> out;
  for (size_t b = 0; b < bins.size(); ++b) {
    BinSummary s;
    s.bin = static_cast<int>(b + 1);
    s.views = std::min<long>(bins[b].ik, static_cast<long>(bins[b].angles.size()));
    s.largest_gap = largest_angular_gap(bins[b]);
    s.coverage = 360.0 - s.largest_gap;
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> bin_summary_lines(const std::vector<BinSummary>& s, const std::string& how) {
  std::vector<std::string> lines;
  for (const BinSummary& b : s)
    lines.push_back(strprintf("%s bin %2d: %5ld views, %5.1f degrees covered, largest gap %5.1f degrees",
                              how.c_str(), b.bin, b.views, b.coverage, b.largest_gap));
  return lines;
}

std::string bin_summary_json(const std::vector<BinSummary>& s, const BreathingRecord& r, const std::string& how) {
  std::string j = "{\n";
  j += strprintf("  \"binning\": \"%s\",\n  \"source\": \"%s\",\n", how.c_str(), r.source.c_str());
  if (!r.images.value.empty())
    j += strprintf("  \"image_signal\": {\"views\": %zu, \"cycles\": %d, \"views_per_cycle\": %.3f, "
                   "\"short_cycles\": %d, \"shallow_cycles\": %d, \"seconds\": %.3f},\n",
                   r.images.value.size(), r.images.cycles(), r.images.period, r.images.short_cycles,
                   r.images.shallow_cycles, r.seconds);
  j += "  \"bins\": [\n";
  for (size_t i = 0; i < s.size(); ++i)
    j += strprintf("    {\"bin\": %d, \"views\": %ld, \"coverage_deg\": %.3f, \"largest_gap_deg\": %.3f}%s\n", s[i].bin,
                   s[i].views, s[i].coverage, s[i].largest_gap, i + 1 < s.size() ? "," : "");
  j += "  ],\n  \"view_bins\": [";
  const PhaseTable& t = r.listing.table;
  for (long i = 0; i < t.count; ++i)
    j += strprintf("%s%d", i ? ", " : "", static_cast<int>(t.tab[3][i]));
  j += "],\n  \"view_phase\": [";
  for (long i = 0; i < t.count; ++i) j += strprintf("%s%.4f", i ? ", " : "", t.tab[1][i] / (2.0 * pi));
  j += "],\n  \"view_signal\": [";
  for (long i = 0; i < t.count; ++i) j += strprintf("%s%.4f", i ? ", " : "", static_cast<double>(t.tab[2][i]));
  j += "]\n}\n";
  return j;
}

PreviewImage breathing_trace_image(const PhaseTable& t, int nbins, bool amplitude) {
  PreviewImage img;
  const long n = t.count;
  if (n < 1 || nbins < 1) return img;
  constexpr int kTrace = 200, kGap = 6, kPerBin = 8;
  img.width = static_cast<int>(std::clamp<long>(n, 200, 2000));
  img.height = kTrace + kGap + kPerBin * nbins;
  img.pixels.assign(static_cast<size_t>(img.width) * static_cast<size_t>(img.height), 255);
  auto put = [&](long x, long y, uint8_t g) {
    if (x >= 0 && x < img.width && y >= 0 && y < img.height)
      img.pixels[static_cast<size_t>(y) * static_cast<size_t>(img.width) + static_cast<size_t>(x)] = g;
  };
  auto column = [&](long k) { return k * img.width / n; };
  float lo = INFINITY, hi = -INFINITY;
  for (long k = 0; k < n; ++k)
    if (std::isfinite(t.tab[2][k])) lo = std::min(lo, t.tab[2][k]), hi = std::max(hi, t.tab[2][k]);
  if (!(hi > lo)) hi = lo + 1;
  auto row_of = [&](double value) { return std::lround((hi - value) / (hi - lo) * (kTrace - 5)) + 2; };
  if (amplitude) {
    // Bin boundaries: a light line midway between neighbouring bins' values.
    std::vector<double> top(static_cast<size_t>(nbins) + 2, -INFINITY), bottom(top.size(), INFINITY);
    for (long k = 0; k < n; ++k) {
      const int bin = static_cast<int>(t.tab[3][k]);
      if (bin < 1 || bin > nbins || !std::isfinite(t.tab[2][k])) continue;
      top[bin] = std::max<double>(top[bin], t.tab[2][k]);
      bottom[bin] = std::min<double>(bottom[bin], t.tab[2][k]);
    }
    for (int b = 1; b < nbins; ++b)
      if (std::isfinite(bottom[b]) && std::isfinite(top[b + 1]) && bottom[b] >= top[b + 1])
        for (long x = 0; x < img.width; ++x) put(x, row_of(0.5 * (bottom[b] + top[b + 1])), 200);
  } else {
    // Bin boundaries: a light line where the next view is in another bin.
    for (long k = 1; k < n; ++k)
      if (t.tab[3][k] != t.tab[3][k - 1])
        for (long y = 0; y < kTrace; ++y) put(column(k), y, 215);
  }
  for (int b = 1; b < nbins; ++b)
    for (long x = 0; x < img.width; ++x) put(x, kTrace + kGap + kPerBin * b, 225);
  for (long k = 0; k < n; ++k) {
    const long x = column(k);
    if (std::isfinite(t.tab[2][k])) {
      // Inhale (high signal) at the top.
      const long y = row_of(t.tab[2][k]);
      for (long dy = -1; dy <= 1; ++dy) put(x, y + dy, 0);
    }
    const int bin = static_cast<int>(t.tab[3][k]);
    if (bin >= 1 && bin <= nbins)
      for (long dy = 1; dy < kPerBin - 1; ++dy) put(x, kTrace + kGap + kPerBin * (bin - 1) + dy, 60);
  }
  return img;
}

void report_bins(RunContext& ctx, const BreathingRecord& r, const std::vector<ViewList>& bins) {
  const Extras& x = ctx.p.extras;
  const std::string how = x.amplitude_bins ? (x.amplitude_split ? "amplitude (exhale/inhale apart)" : "amplitude")
                                           : "phase";
  const std::vector<BinSummary> s = summarise_bins(bins);
  for (std::string& line : bin_summary_lines(s, how)) ctx.console.note(std::move(line));
  if (!x.bins_summary.empty()) {
    const std::string text = bin_summary_json(s, r, how);
    write_file_atomically(x.bins_summary, [&](std::FILE* f) { return std::fwrite(text.data(), 1, text.size(), f) == text.size(); });
  }
  if (!x.breathing_trace.empty()) write_png(x.breathing_trace, breathing_trace_image(r.listing.table, ctx.p.nbins, x.amplitude_bins));
}

}  // namespace cbrecon
