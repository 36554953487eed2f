// Command line of the scan simulator.
#pragma once

#include <cstdio>
#include <string>

#include "sim/scan.h"
#include "sim/truth.h"

namespace cbrecon::sim {

struct SimOptions {
  ScanConfig scan;
  std::string phantom = "shepp";
  double scale = 1.0;         // phantom size factor
  std::string truth;          // ground-truth file; empty: none
  TruthGrid grid;             // its grid (grid.rows follows scan.rows)
  std::string truth_bins;     // prefix of the per-bin truths; empty: none
  int32_t recon_views = 1000; // the reconstruction's -s when sorting views into bins
  bool truth_phase_set = false;
  double truth_phase = 0;     // breathing phase of the truth, radians
  bool truth_only = false;    // write the truth and no scan
  bool vxp_only = false;      // write the respiratory file (and --breath-truth) and no scan
  bool quiet = false;
  bool help = false;
};

// Reads the options (argv[1..]).  Every option is long, "--name value" or
// "--name=value".  RunError for an unknown option, a stray argument or a
// value that does not parse; the configuration itself is checked when the
// scan is simulated.
SimOptions parse_sim_options(int argc, const char* const* argv);

// The --help text: every option with its default.
void print_sim_help(std::FILE* out, const char* progname);

// The phantom the truth shows: at truth_phase if set; otherwise the static
// part when the phantom moves, else the whole phantom.
Phantom truth_phantom(const SimOptions& o);

}  // namespace cbrecon::sim
