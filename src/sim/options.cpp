#include "sim/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "numeric/error.h"

namespace cbrecon::sim {

namespace {

double to_double(const std::string& name, const std::string& v) {
  char* end = nullptr;
  errno = 0;
  const double d = std::strtod(v.c_str(), &end);
  if (v.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(d))
    throw RunError("--" + name + " needs a number, got \"" + v + "\"");
  return d;
}

long long to_int(const std::string& name, const std::string& v, long long lo, long long hi) {
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || errno == ERANGE || n < lo || n > hi)
    throw RunError(strprintf("--%s needs a whole number from %lld to %lld, got \"%s\"", name.c_str(), lo,
                             hi, v.c_str()));
  return n;
}

}  // namespace

SimOptions parse_sim_options(int argc, const char* const* argv) {
  SimOptions o;
  ScanConfig& s = o.scan;
  bool step_set = false;
  bool motion_set = false;
  using Setter = std::function<void(const std::string& name, const std::string& value)>;
  constexpr long long kBig = 2000000000;
  const std::map<std::string, Setter> valued = {
      {"cols", [&](auto& n, auto& v) { s.cols = static_cast<int32_t>(to_int(n, v, 17, 65535)); }},
      {"rows", [&](auto& n, auto& v) { s.rows = static_cast<int32_t>(to_int(n, v, 17, 65535)); }},
      {"views", [&](auto& n, auto& v) { s.views = static_cast<int32_t>(to_int(n, v, 1, 65535)); }},
      {"start", [&](auto& n, auto& v) { s.start = to_double(n, v); }},
      {"step", [&](auto& n, auto& v) { s.step = to_double(n, v); step_set = true; }},
      {"xoff", [&](auto& n, auto& v) { s.xoff = static_cast<float>(to_double(n, v)); }},
      {"first", [&](auto& n, auto& v) { s.first = to_int(n, v, 0, kBig); }},
      {"gap-every", [&](auto& n, auto& v) { s.gap_every = to_int(n, v, 0, kBig); }},
      {"gap-size", [&](auto& n, auto& v) { s.gap_size = to_int(n, v, 0, kBig); }},
      {"phantom", [&](auto&, auto& v) { o.phantom = v; }},
      {"scale", [&](auto& n, auto& v) {
         o.scale = to_double(n, v);
         if (!(o.scale > 0 && o.scale < 1e6)) throw RunError("--scale needs a positive factor");
       }},
      {"motion", [&](auto& n, auto& v) { s.phantom.motion = to_double(n, v); motion_set = true; }},
      {"prefix", [&](auto&, auto& v) { s.prefix = v; }},
      {"mask", [&](auto&, auto& v) { s.mask = v; }},
      {"counts", [&](auto& n, auto& v) { s.counts = to_double(n, v); }},
      {"gain-var", [&](auto& n, auto& v) { s.gain_var = to_double(n, v); }},
      {"ctnorm", [&](auto& n, auto& v) { s.ctnorm = to_double(n, v); }},
      {"ctnorm-var", [&](auto& n, auto& v) { s.ctnorm_var = to_double(n, v); }},
      {"seed", [&](auto& n, auto& v) { s.seed = static_cast<uint64_t>(to_int(n, v, 0, kBig)); }},
      {"vxp", [&](auto&, auto& v) { s.vxp = v; }},
      {"breath-period", [&](auto& n, auto& v) { s.breathing.period = to_double(n, v); }},
      {"breath-amp", [&](auto& n, auto& v) { s.breathing.amp = to_double(n, v); }},
      {"breath-phase", [&](auto& n, auto& v) { s.breathing.phase0 = to_double(n, v); }},
      {"vxp-rate", [&](auto& n, auto& v) { s.breathing.rate = static_cast<int32_t>(to_int(n, v, 1, 10000)); }},
      {"trigger-every", [&](auto& n, auto& v) { s.breathing.trigger_every = static_cast<int32_t>(to_int(n, v, 1, 100000)); }},
      {"lead", [&](auto& n, auto& v) { s.breathing.lead = to_double(n, v); }},
      {"tail", [&](auto& n, auto& v) { s.breathing.tail = to_double(n, v); }},
      {"breath-period-var", [&](auto& n, auto& v) { s.breathing.period_var = to_double(n, v); }},
      {"breath-amp-var", [&](auto& n, auto& v) { s.breathing.amp_var = to_double(n, v); }},
      {"breath-drift", [&](auto& n, auto& v) { s.breathing.drift = to_double(n, v); }},
      {"breath-pause", [&](auto& n, auto& v) { s.breathing.pause = to_double(n, v); }},
      {"breath-seed", [&](auto& n, auto& v) { s.breathing.seed = static_cast<uint64_t>(to_int(n, v, 0, kBig)); }},
      {"breath-truth", [&](auto&, auto& v) { s.breath_truth = v; }},
      {"vxp-shift", [&](auto& n, auto& v) { s.breathing.file_shift = static_cast<int32_t>(to_int(n, v, -100000, 100000)); }},
      {"vxp-cut", [&](auto& n, auto& v) { s.breathing.file_cut = to_double(n, v); }},
      {"truth", [&](auto&, auto& v) { o.truth = v; }},
      {"npxls", [&](auto& n, auto& v) { o.grid.npxls = static_cast<int32_t>(to_int(n, v, 1, 65535)); }},
      {"fov", [&](auto& n, auto& v) { o.grid.fov = static_cast<float>(to_double(n, v)); }},
      {"pxlz", [&](auto& n, auto& v) { o.grid.pxlz = static_cast<float>(to_double(n, v)); }},
      {"truth-bins", [&](auto&, auto& v) { o.truth_bins = v; }},
      {"recon-views", [&](auto& n, auto& v) { o.recon_views = static_cast<int32_t>(to_int(n, v, 1, kBig)); }},
      {"truth-phase", [&](auto& n, auto& v) { o.truth_phase = to_double(n, v); o.truth_phase_set = true; }},
      {"threads", [&](auto& n, auto& v) { s.threads = static_cast<int>(to_int(n, v, 0, 1024)); }},
  };
  const std::map<std::string, bool*> flags = {
      {"noise", &s.noise}, {"truth-only", &o.truth_only}, {"vxp-only", &o.vxp_only}, {"quiet", &o.quiet}, {"help", &o.help}};

  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.size() < 3 || a.compare(0, 2, "--") != 0)
      throw RunError("unexpected argument \"" + a + "\" (options start with --; see --help)");
    const size_t eq = a.find('=');
    const bool has_value = eq != std::string::npos;
    const std::string name = a.substr(2, has_value ? eq - 2 : std::string::npos);
    std::string value = has_value ? a.substr(eq + 1) : std::string();
    if (const auto f = flags.find(name); f != flags.end()) {
      if (has_value) throw RunError("option --" + name + " takes no value");
      *f->second = true;
      continue;
    }
    const auto it = valued.find(name);
    if (it == valued.end()) throw RunError("unknown option --" + name + " (see --help)");
    if (!has_value) {
      if (i + 1 >= argc) throw RunError("option --" + name + " needs a value");
      value = argv[++i];
    }
    it->second(name, value);
  }
  if (!step_set) s.step = 360.0 / s.views;
  const double motion = s.phantom.motion;
  if (!o.help) {
    s.phantom = scaled(make_phantom(o.phantom), o.scale);
    // A phantom's own excursion shrinks with it; one given is taken as is.
    s.phantom.motion = motion_set ? motion : s.phantom.motion * o.scale;
  }
  o.grid.rows = s.rows;
  return o;
}

Phantom truth_phantom(const SimOptions& o) {
  const Phantom& ph = o.scan.phantom;
  if (o.truth_phase_set) return at_phase(ph, o.truth_phase);
  return ph.motion != 0 ? static_part(ph) : ph;
}

void print_sim_help(std::FILE* out, const char* progname) {
  std::fprintf(out,
               "Usage: %s [options]\n"
               "Simulates a cone-beam CT scan of an analytic phantom and writes the projection files\n"
               "(PREFIX#####.hnd), the mask file and, on request, a respiratory-signal file and the\n"
               "ground truth.  Every option is --name VALUE or --name=VALUE.\n"
               "\n"
               "Detector and orbit:\n"
               "  --cols N            detector columns (1024)\n"
               "  --rows N            detector rows (768)\n"
               "  --views N           number of views (360)\n"
               "  --start DEG         gantry angle of the first view (0)\n"
               "  --step DEG          angle from one view to the next, negative for the other\n"
               "                      direction (360 / views)\n"
               "  --xoff MM           lateral detector offset, zero or negative (0)\n"
               "\n"
               "Files:\n"
               "  --prefix PATH       projection name prefix, may hold a folder (PROJ_)\n"
               "  --mask FILE         mask file (the prefix's folder + NormImage.hnd)\n"
               "  --first N           number of the first projection file (0)\n"
               "  --gap-every K       leave a gap in the numbering after every K files (0: none)\n"
               "  --gap-size G        numbers skipped at each gap (0)\n"
               "\n"
               "Object and exposure:\n"
               "  --phantom NAME      shepp, water, spheres, markers or thorax (shepp)\n"
               "  --scale F           phantom size factor, e.g. 0.5 for a half-size detector (1)\n"
               "  --motion MM         z excursion of the moving shapes at full inhale (thorax 15\n"
               "                      times --scale, others 0)\n"
               "  --counts N          open-field count at gain 1 (2e6)\n"
               "  --gain-var F        relative amplitude of the detector gain pattern (0.10)\n"
               "  --ctnorm F          CTnorm of the mask header (300000)\n"
               "  --ctnorm-var F      relative view-to-view variation of CTnorm (0.05)\n"
               "  --noise             add Poisson counting noise (off: noise-free)\n"
               "  --seed N            noise seed (1)\n"
               "\n"
               "Breathing and respiratory file:\n"
               "  --vxp FILE          write the respiratory-signal file (none)\n"
               "  --breath-period S   seconds per breathing cycle (4)\n"
               "  --breath-amp CM     amplitude column at full inhale (1)\n"
               "  --breath-phase RAD  breathing phase at the start of the recording (0)\n"
               "  --vxp-rate HZ       respiratory samples per second (30)\n"
               "  --trigger-every K   respiratory samples from one projection to the next (3)\n"
               "  --lead S            seconds recorded before the first projection (2)\n"
               "  --tail S            seconds recorded after the last projection (1)\n"
               "  --breath-period-var F  irregular breathing: relative spread of the cycle lengths (0)\n"
               "  --breath-amp-var F  relative spread of the inhale depths (0)\n"
               "  --breath-drift L    baseline drift, inhale depths per minute (0)\n"
               "  --breath-pause S    seconds held at end-exhale in every cycle (0)\n"
               "  --breath-seed N     seed of the cycles' draws (1)\n"
               "  --breath-truth FILE every view's true phase (cycles), level and shift as text (none)\n"
               "  --vxp-shift K       out-of-step file: K > 0 drops the first K trigger marks, K < 0\n"
               "                      adds -K marks before the first projection (0)\n"
               "  --vxp-only          write the respiratory file (and --breath-truth) and no scan\n"
               "  --vxp-cut F         out-of-step file: cuts off that share of the trigger marks at\n"
               "                      the end, and the recording with them (0)\n"
               "\n"
               "Ground truth (raw float32 mu in 1/mm, [slice][row][column], on the reconstruction grid):\n"
               "  --truth FILE        write the ground truth (none)\n"
               "  --npxls N           voxels per row and column (512)\n"
               "  --fov MM            field of view (500)\n"
               "  --pxlz MM           slice thickness; with --rows it fixes the slice count (2.5)\n"
               "  --truth-phase RAD   breathing phase of the truth (static part when the\n"
               "                      phantom moves, else the whole phantom)\n"
               "  --truth-bins PREFIX for each phase bin N = 1..10 of the reconstruction's sorting\n"
               "                      of the views (files and respiratory file of this scan),\n"
               "                      PREFIX_ph<N>.raw: the moving shapes averaged over the bin's\n"
               "                      views; PREFIX_avg.raw: averaged over every view (none)\n"
               "  --recon-views N     the reconstruction's -s for that sorting (1000)\n"
               "  --truth-only        write the truth and no scan\n"
               "\n"
               "Other:\n"
               "  --threads N         worker threads, 0 for every core (0)\n"
               "  --quiet             no summary line\n"
               "  --help              this text\n",
               progname);
}

}  // namespace cbrecon::sim
