// cbrecon-sim: writes a simulated scan (projection files, mask file,
// optionally a respiratory-signal file and the ground truth).
#include <chrono>
#include <cstdio>
#include <exception>

#include "numeric/error.h"
#include "sim/bins.h"
#include "sim/options.h"

int main(int argc, char** argv) {
  using namespace cbrecon;
  using namespace cbrecon::sim;
  const char* prog = argc > 0 ? argv[0] : "cbrecon-sim";
  try {
    const SimOptions o = parse_sim_options(argc, argv);
    if (o.help) {
      print_sim_help(stdout, prog);
      return 0;
    }
    const auto t0 = std::chrono::steady_clock::now();
    auto seconds = [&] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    if (o.vxp_only) {
      write_breathing_files(o.scan, plan_views(o.scan));
    } else if (!o.truth_only) {
      const ScanSummary s = simulate_scan(o.scan);
      if (!o.quiet)
        std::printf("%zu views of %d x %d: %s .. %s, mask %s, %.1f MB in %.2f s\n", s.views.size(),
                    o.scan.cols, o.scan.rows, s.views.front().name.c_str(),
                    s.views.back().name.c_str(), s.mask.c_str(), s.bytes / 1e6, seconds());
      if (!o.quiet && !o.scan.vxp.empty()) std::printf("respiratory signal %s\n", o.scan.vxp.c_str());
    }
    if (!o.truth.empty()) {
      const TruthVolume t = truth_volume(truth_phantom(o), o.grid, o.scan.threads);
      write_truth(o.truth, t);
      if (!o.quiet)
        std::printf("truth %s: %d slices of %d x %d float32\n", o.truth.c_str(), t.nz, t.npxls, t.npxls);
    }
    if (!o.truth_bins.empty()) {
      const BinTruthSummary b = write_bin_truths(o.truth_bins, o.scan, o.grid, o.recon_views);
      if (!o.quiet) {
        std::printf("bin truths %s_ph1..10.raw, %s_avg.raw: %d slices of %d x %d float32; views per bin",
                    o.truth_bins.c_str(), o.truth_bins.c_str(), b.nz, b.npxls, b.npxls);
        for (const long n : b.views) std::printf(" %ld", n);
        std::printf(", %ld in all\n", b.all);
      }
    }
    return 0;
  } catch (const RunError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", prog, e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", prog, e.what());
    return 1;
  }
}
