// Command line: positional arguments, classic single-dash options, and the
// long options that this program adds.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

#include "backproj/shape.h"
#include "numeric/error.h"
#include "output/dicom_options.h"
#include "output/names.h"
#include "recon/cli.h"

namespace cbrecon {

namespace {

// Built-in data folder of the no-argument mode (a build setting).
#ifndef CBRECON_DATA_DIR
#define CBRECON_DATA_DIR "./"
#endif
#ifndef CBRECON_VERSION
#define CBRECON_VERSION "0"
#endif

void check_name(const std::string& name, const char* what) {
  if (name.size() > kMaxName)
    throw RunError(strprintf("%s name is %zu characters long; at most %zu are allowed: %s", what,
                             name.size(), kMaxName, name.c_str()));
}

// A whole number from lo to hi, or RunError "--NAME needs <what>, got ...".
int parse_whole(const std::string& v, long lo, long hi, const std::string& name, const char* what) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || errno || n < lo || n > hi)
    throw RunError("--" + name + " needs " + what + ", got \"" + v + "\"");
  return static_cast<int>(n);
}

// A number (the whole text), or RunError as above; `ok` checks its range.
double parse_number(const std::string& v, bool (*ok)(double), const std::string& name, const char* what) {
  char* end = nullptr;
  const double d = std::strtod(v.c_str(), &end);
  if (v.empty() || *end != '\0' || !ok(d)) throw RunError("--" + name + " needs " + what + ", got \"" + v + "\"");
  return d;
}

// Pulls the long options out of argv; returns the remaining arguments.
std::vector<const char*> take_long_options(int argc, const char* const* argv, Extras& x,
                                           std::FILE* out) {
  std::vector<const char*> rest;
  rest.push_back(argc > 0 ? argv[0] : "cbrecon");
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.size() < 3 || a.compare(0, 2, "--") != 0) {
      rest.push_back(argv[i]);
      continue;
    }
    std::string name = a.substr(2), value;
    bool has_value = false;
    if (const size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      has_value = true;
    }
    // A flag takes no value: "--timings=no" must not silently mean yes.
    auto flag = [&]() {
      if (has_value) throw RunError("option --" + name + " takes no value, got \"" + value + "\"");
      return true;
    };
    auto need_value = [&]() -> std::string {
      if (has_value) return value;
      if (i + 1 >= argc) throw RunError("option --" + name + " needs a value");
      return argv[++i];
    };
    if (name == "help") {
      flag();
      print_help(out, rest[0]);
      throw ExitRequest(0);
    } else if (name == "version") {
      flag();
      std::fprintf(out, "cbrecon %s\n", CBRECON_VERSION);
      throw ExitRequest(0);
    } else if (name == "threads") {
      x.threads = parse_whole(need_value(), 0, 1024, name, "a whole number from 0 (all cores) to 1024");
    } else if (name == "timings") {
      x.timings = flag();
    } else if (name == "quiet") {
      x.quiet = flag();
    } else if (name == "isa") {
      x.isa = need_value();
      if (x.isa != "auto" && x.isa != "scalar" && x.isa != "avx2" && x.isa != "avx512")
        throw RunError("--isa takes auto, scalar, avx2 or avx512, got \"" + x.isa + "\"");
    } else if (name == "bp-shape") {
      x.bp_shape = need_value();
      BackprojShape shape;
      if (x.bp_shape != "auto" && !parse_shape(x.bp_shape, shape))
        throw RunError("--bp-shape takes auto or a shape such as t16-c4-p3-rows (tile rows 1-64, slice-pair "
                       "chunk 1-64, prefetch 0-64, rows or gathers), got \"" + x.bp_shape + "\"");
    } else if (name == "plan-wisdom") {
      x.plan_wisdom = need_value();
      if (x.plan_wisdom.empty()) throw RunError("--plan-wisdom needs a file name");
    } else if (name == "format") {
      const std::string f = need_value();
      if (f != "dcm" && !is_volume_format(f))
        throw RunError("--format takes mha, nrrd, nii, nii.gz or dcm, got \"" + f + "\"");
      x.formats.push_back(f);
    } else if (name == "float") {
      x.float_out = flag();
    } else if (name == "preview") {
      x.preview = need_value();
      if (x.preview.empty()) throw RunError("--preview needs a file name");
    } else if (name == "window") {
      const std::string v = need_value();
      char* end = nullptr;
      x.window_lo = std::strtod(v.c_str(), &end);
      bool ok = end != v.c_str() && *end == ',';
      if (ok) {
        const char* p2 = end + 1;
        x.window_hi = std::strtod(p2, &end);
        ok = end != p2 && *end == '\0' && std::isfinite(x.window_lo) &&
             std::isfinite(x.window_hi) && x.window_hi > x.window_lo &&
             std::isfinite(x.window_hi - x.window_lo);
      }
      if (!ok)
        throw RunError("--window needs LOW,HIGH with LOW < HIGH and a finite width, got \"" + v + "\"");
      x.window_set = true;
    } else if (name == "all-phases") {
      x.all_phases = flag();
    } else if (name == "output-dir" || name == "trace-file") {
      std::string& v = name == "output-dir" ? x.output_dir : x.trace_file;
      v = need_value();
      if (v.empty()) throw RunError("--" + name + " needs a name");
    } else if (name == "nifti-4d") {
      x.nifti_4d = flag();
    } else if (name == "offset-centred-values") {
      x.offset_centred = flag();
    } else if (name == "hu-water") {
      x.hu_water = parse_number(need_value(), [](double) { return true; }, name,
                                "a number (the output value of water)");
      x.hu_water_set = true;
    } else if (name == "patient-position") {
      x.patient_position = need_value();
    } else if (name == "patient-id") {
      x.patient_id = need_value();
    } else if (name == "patient-name") {
      x.patient_name = need_value();
    } else if (name == "conventional-status") {
      x.conventional_status = flag();
    } else if (name == "mkb") {
      x.mkb = flag();
    } else if (name == "breathing-from-images") {
      x.breathing_from_images = flag();
    } else if (name == "mip") {
      x.mip = flag();
    } else if (name == "average") {
      x.average = flag();
    } else if (name == "sync-check") {
      x.sync_check = flag();
    } else if (name == "amplitude-bins") {
      x.amplitude_bins = flag();
    } else if (name == "amplitude-split") {
      x.amplitude_split = flag();
    } else if (name == "bins") {
      x.bins = parse_whole(need_value(), 2, 99, name, "a whole number from 2 to 99");
    } else if (name == "bins-summary" || name == "breathing-trace") {
      std::string& v = name == "bins-summary" ? x.bins_summary : x.breathing_trace;
      v = need_value();
      if (v.empty()) throw RunError("--" + name + " needs a file name");
    } else if (name == "mkb-cutoff") {
      if (x.mkb_tuning.empty()) x.mkb_tuning = "--" + name;
      x.mkb_cutoff = parse_number(need_value(), [](double f) { return f >= 0.05 && f <= 4.0; }, name,
                                  "a multiple of the grid's Nyquist frequency from 0.05 to 4");
    } else if (name == "mkb-step") {
      if (x.mkb_tuning.empty()) x.mkb_tuning = "--" + name;
      x.mkb_step = parse_whole(need_value(), 1, 16, name, "a whole number from 1 to 16");
    } else if (name == "iterative") {
      x.iterative = flag();
    } else if (name == "iterations" || name == "subsets" || name == "iter-binning") {
      if (x.iter_tuning.empty()) x.iter_tuning = "--" + name;
      if (name == "iterations") x.iterations = parse_whole(need_value(), 1, 200, name, "a whole number from 1 to 200");
      if (name == "subsets") x.subsets = parse_whole(need_value(), 1, 1000, name, "a whole number from 1 to 1000");
      if (name == "iter-binning") x.iter_binning = parse_whole(need_value(), 1, 16, name, "a whole number from 1 to 16");
    } else if (name == "tv-weight") {
      if (x.iter_tuning.empty()) x.iter_tuning = "--" + name;
      x.tv_weight = parse_number(need_value(), [](double w) { return w >= 0 && w <= 10; }, name,
                                 "a number from 0 (no regularisation) to 10");
    } else {
      throw RunError("unknown option --" + name + " (see --help)");
    }
  }
  return rest;
}

// The classic options, walked as a reader of the usage text expects (a
// value belongs to its option): RunError for an unknown option, a missing
// value, or a value that is not wholly a number of the option's kind.  The
// classic scan above it still sets the values.  Notes -ph and the options
// that are accepted but do nothing.
void check_classic_options(const std::vector<const char*>& args, Extras& x) {
  static const char* const kWhole[] = {"-s", "-d", "-p", "-z", "-st", "-ph", "-xb", "-yb", "-w"};
  static const char* const kReal[] = {"-fov", "-xoff", "-pz", "-sc", "-so"};
  auto in = [](const std::string& a, const auto& list) {
    return std::find(std::begin(list), std::end(list), a) != std::end(list);
  };
  for (size_t i = 4; i < args.size(); ++i) {
    const std::string a = args[i];
    // A word that is no option is passed over, as the classic scan does.
    if (a == "-ccw" || a == "-hscan" || a.empty() || a[0] != '-') continue;
    const bool whole = in(a, kWhole), real = in(a, kReal);
    if (a == "-userfn") {
      // Listed in the usage text, never used: the output name comes from the
      // prefix and -ext.
      x.inert_options.push_back(a);
      if (i + 1 < args.size() && args[i + 1][0] != '-') ++i;
      continue;
    }
    if (!whole && !real && a != "-ext")
      throw RunError("unknown option " + a + " (see --help)");
    if (i + 1 >= args.size()) throw RunError("option " + a + " needs a value");
    const std::string v = args[++i];
    char* end = nullptr;
    errno = 0;
    if (whole) (void)std::strtoll(v.c_str(), &end, 10);
    if (real) (void)std::strtod(v.c_str(), &end);
    if ((whole || real) && (v.empty() || *end != '\0' || errno == ERANGE))
      throw RunError(a + " needs " + (whole ? "a whole number" : "a number") + ", got \"" + v + "\"");
    if (a == "-ph") x.ph_given = true;
    if (a == "-xb" || a == "-yb" || a == "-w") x.inert_options.push_back(a);
  }
}

}  // namespace

bool conventional_status_requested(int argc, const char* const* argv) {
  const char* env = std::getenv("CBRECON_CONVENTIONAL_STATUS");
  if (env && std::strcmp(env, "1") == 0) return true;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--conventional-status") == 0) return true;
  return false;
}

bool scan_int(const char* text, int32_t& value) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (end == text) return false;
  // The scanner converts through a long and stores its low 32 bits.
  value = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(v)));
  return true;
}

bool scan_float(const char* text, float& value) {
  char* end = nullptr;
  const float v = std::strtof(text, &end);
  if (end == text) return false;
  value = v;
  return true;
}

void print_usage(std::FILE* out, const char* progname, float pxlz) {
  std::fprintf(out, "\n");
  std::fprintf(out, "Cone Beam CT) Filtered backprojection reconstruction\n");
  std::fprintf(out,
               "Usage: %s proj maskfile 4D-RPMfile -p pxls[%-d] -pz zthick[%3.2f mm] -d dets[%-d] "
               "-st IMGOFF[%-d] -s steps[%-d] -z slice[%-d] -fov [%5.1fmm]\n",
               progname, 512, static_cast<double>(pxlz), 1024, 0, 1000, 768, 500.0);
  std::fprintf(out, "       [-ext char] [-userfn (user specified output fn)]\n\n");
}

Mode parse_command_line(int argc, const char* const* argv, RunParams& p, std::FILE* out) {
  const std::vector<const char*> args = take_long_options(argc, argv, p.extras, out);
  const int n = static_cast<int>(args.size());

  p.scale_cal = 10.0f;
  p.offset_cal = 0.0f;
  p.cw = 1;
  p.rpm_on = 1;
  p.xbin = 1;
  p.ybin = 1;

  Mode mode = Mode::normal;
  if (const char* env = std::getenv("CBRECON_CONVENTIONAL_STATUS"); env && std::strcmp(env, "1") == 0)
    p.extras.conventional_status = true;
  if (n >= 4) {
    check_classic_options(args, p.extras);
    p.fn_proj = args[1];
    p.fn_msk = args[2];
    if (std::strcmp(args[3], "0") == 0)
      p.rpm_on = 0;
    else
      p.fn_tmp = args[3];
    p.ext = "NULL";
    p.xoff = 0.0f;
    p.nslices = 768;
    p.ndets = 1024;
    p.npxls = 512;
    p.nviews = 1000;
    p.fov = 500.0f;
    p.pxlz = 2.5f;
    p.ist = 0;
    p.hscan = 0;
    p.w = 0;
    p.ph_recon = 0;
    // Options from the 4th argument on.  The scan advances by one argument,
    // so a value is itself examined as an option name on the next step.
    for (int i = 4; i < n; ++i) {
      const std::string a = args[i];
      const char* v = (i + 1 < n) ? args[i + 1] : nullptr;  // no value: option ignored
      int32_t iv = 0;
      auto int_opt = [&](int32_t& field) {
        if (v && scan_int(v, iv)) field = iv;
      };
      auto u16_opt = [&](uint16_t& field) {
        if (v && scan_int(v, iv)) field = static_cast<uint16_t>(static_cast<uint32_t>(iv));
      };
      auto float_opt = [&](float& field) {
        if (v) scan_float(v, field);
      };
      if (a == "-s") int_opt(p.nviews);
      else if (a == "-d") int_opt(p.ndets);
      else if (a == "-p") int_opt(p.npxls);
      else if (a == "-z") int_opt(p.nslices);
      else if (a == "-fov") float_opt(p.fov);
      else if (a == "-xoff") float_opt(p.xoff);
      else if (a == "-pz") float_opt(p.pxlz);
      else if (a == "-ph") u16_opt(p.ph_recon);
      else if (a == "-xb") u16_opt(p.xbin);
      else if (a == "-yb") u16_opt(p.ybin);
      else if (a == "-st") int_opt(p.ist);
      else if (a == "-w") int_opt(p.w);
      else if (a == "-ccw") p.cw = 0;
      else if (a == "-sc") float_opt(p.scale_cal);
      else if (a == "-so") float_opt(p.offset_cal);
      else if (a == "-hscan") p.hscan = 1;
      else if (a == "-ext") {
        if (v) p.ext = v;
      }
    }
  } else if (n == 1) {
    const std::string dir = CBRECON_DATA_DIR;
    p.fn_proj = dir + "PROJ_";
    p.fn_msk = dir + "NormImage.hnd";
    p.ext = "NULL";
    p.nslices = 768;
    p.ndets = 1024;
    p.npxls = 512;
    p.nviews = 1000;
    p.fov = 240.0f;
    p.pxlz = 2.5f;
    p.ist = 0;
    p.hscan = 0;
    p.ph_recon = 0;
    p.xbin = 6;
    p.ybin = 9;
    p.rpm_on = 0;
    p.xoff = 0.0f;
    p.cw = 0;
    mode = Mode::no_argument;
  } else {
    // "?" asks for the usage text; any other one or two arguments cannot
    // make a run, so they get the usage text too.
    p.pxlz = 3.0f;
    print_usage(out, args[0], p.pxlz);
    throw ExitRequest(1);
  }

  check_name(p.fn_proj, "projection prefix");
  check_name(p.fn_msk, "mask file");
  if (p.rpm_on) check_name(p.fn_tmp, "respiratory file");
  if (p.extras.bins > 0) p.nbins = static_cast<uint16_t>(p.extras.bins);
  // "0" with the images' signal: a 4-D run without a respiratory file.
  if (p.extras.breathing_from_images && mode == Mode::normal) p.rpm_on = 1;
  check_name(p.ext, "-ext");
  check_dicom_options(p);

  std::fprintf(out, "fov=%5.1f mm\n", static_cast<double>(p.fov));
  return mode;
}

std::string output_name(const RunParams& p) { return output_name(output_prefix(p), p.ext); }

void print_help(std::FILE* out, const char* progname) {
  std::fprintf(out,
"Usage: %s PREFIX MASKFILE RESPFILE|0 [options]\n"
"       %s            (no arguments: reconstruct the built-in demo scan)\n"
"       %s ?          (the classic usage text)\n"
"\n"
"Reconstructs a cone-beam CT volume by FDK filtered backprojection from the\n"
"projection files PREFIX00000.hnd, PREFIX00001.hnd, ... normalised by the\n"
"open-field image MASKFILE.  RESPFILE (a respiratory-signal .vxp file) selects\n"
"a 4-D run of one phase bin; 0 makes a 3-D run.  The volume is written to\n"
"PREFIX_bp4d.seq (PREFIX_hf4d_cali.seq for a half scan, PREFIX_4d_phN.seq for\n"
"phase N): a 1024-byte header copied from the last projection, then the slices\n"
"as little-endian 16-bit words.\n"
"\n"
"Options (single dash, from the fourth argument on):\n"
"  -p N        voxels per image row and column (512)\n"
"  -fov MM     field of view, diameter of the reconstructed circle (500.0)\n"
"  -pz MM      slice thickness (2.5)\n"
"  -d N        detector columns (1024)\n"
"  -z N        detector rows (768)\n"
"  -s N        most projection files to list (1000)\n"
"  -st N       first projection file number of a 3-D run (0)\n"
"  -xoff MM    lateral detector offset, zero or negative; non-zero selects\n"
"              half-fan processing (0.0)\n"
"  -hscan      half-scan reconstruction (Parker weights)\n"
"  -ccw        counter-clockwise scan: process the views in reverse order\n"
"  -ph N       respiratory phase bin to reconstruct, 1..10 (0)\n"
"  -sc X       output scale (10.0): word = trunc(X * voxel + offset)\n"
"  -so X       output offset (0.0)\n"
"  -ext NAME   output suffix of a 3-D full-scan run (PREFIX_NAME)\n"
"  -xb N, -yb N, -w N   accepted and stored, no effect (a warning says so)\n"
"  An unknown option, an option without its value or a value that is not a\n"
"  number (-fov abc, -p 12x) is refused.\n"
"\n"
"Long options (anywhere on the line):\n"
"  --threads N       worker threads, 0 = all cores (default 0); results are\n"
"                    bit-identical for every thread count\n"
"  --isa NAME        kernel instruction set: auto, scalar, avx2, avx512 (auto)\n"
"  --bp-shape NAME   backprojection loop shape, e.g. t16-c4-p3-rows (auto: timed\n"
"                    on the run's first batches, the fastest kept)\n"
"  --plan-wisdom FILE  saved backprojection plans, by CPU model and geometry\n"
"                    (default: $CBRECON_WISDOM, else none)\n"
"  --timings         per-stage times, memory and throughput on stderr\n"
"  --format F        also write the volume as mha, nrrd, nii, nii.gz or dcm\n"
"                    (repeatable); dcm: a DICOM CT series in Hounsfield units, one\n"
"                    file per slice, in the folder PREFIX_bp4d_dicom (the volume's\n"
"                    name with .seq replaced by _dicom); needs --hu-water\n"
"  --float           mha/nrrd/nii hold the float volume, not the 16-bit words\n"
"  --hu-water W      output value of water for this scanner, protocol and -sc/-so\n"
"                    (the mean of a reconstructed water phantom's centre); the\n"
"                    DICOM series holds HU = 1000 (w - W) / (W - so) for each word w\n"
"  --patient-position P  HFS, HFP, FFS or FFP (HFS): how the patient lay; every\n"
"                    format places the voxels in the patient's LPS frame by it\n"
"  --patient-id ID   DICOM Patient ID (at most 64 characters)\n"
"  --patient-name N  DICOM Patient Name, e.g. Family^Given (at most 64 characters)\n"
"  --preview FILE    PNG of the central axial, coronal and sagittal slices\n"
"  --window LO,HI    display window of the preview, in output units\n"
"  --all-phases      4-D: reconstruct every phase bin 1..10 in one pass\n"
"  --output-dir DIR  write the volumes, formats, previews (a relative --preview\n"
"                    name) and DICOM series into DIR instead of beside the\n"
"                    projections\n"
"  --trace-file FILE 4-D: the trace of the trigger selection goes to FILE\n"
"                    (default 4dcbctrpm.out in the current folder)\n"
"  --nifti-4d        --all-phases: the ten bins also as one 4-D NIfTI, PREFIX_4d.nii\n"
"                    (fourth axis: bin 1..10, the values of the standard formats)\n"
"  --offset-centred-values  with -xoff: the volume reads as a centred detector's\n"
"                    (by default an offset run reads about half as much)\n"
"  --mkb             4-D: prior-image (McKinnon-Bates) bins, PREFIX_4d_phN_mkb.seq:\n"
"                    the reconstruction of all accepted views plus the bin's\n"
"                    residual against that prior's projections; no view-aliasing\n"
"                    streaks from the static anatomy\n"
"  --mkb-cutoff F    --mkb: the residuals' ramp filter is rolled off to zero at\n"
"                    F x the voxel grid's Nyquist frequency 1/(2 fov/p) (Hann\n"
"                    window; 0.05..4, at most the detector's Nyquist frequency;\n"
"                    default 0.5): less noise in the bins for less detail in\n"
"                    what moves\n"
"  --mkb-step N      --mkb: the prior is projected on every N-th detector column\n"
"                    and row and interpolated between (1..16, default 4)\n"
"  --breathing-from-images  4-D from the views' own breathing signal: with 0 as\n"
"                    RESPFILE instead of a respiratory file; with one, its bins\n"
"                    are replaced and it is checked against the images\n"
"  --sync-check      4-D: check the respiratory file against the images' signal\n"
"                    (one line; a warning when they disagree)\n"
"  --amplitude-bins  4-D: bins by breathing amplitude (bin 1 deepest inhale)\n"
"                    instead of phase\n"
"  --amplitude-split --amplitude-bins: exhaling views in bins 1..N/2, inhaling\n"
"                    ones in the rest\n"
"  --mip, --average  --all-phases: also the maximum-intensity and the average\n"
"                    volume over the bins, PREFIX_4d_mip.seq and PREFIX_4d_avg.seq,\n"
"                    in every format asked for\n"
"  --bins N          4-D: number of bins (2..99, default 10)\n"
"  --bins-summary FILE  4-D: views, coverage and largest gap per bin, and every\n"
"                    view's bin, as JSON\n"
"  --breathing-trace FILE  4-D: PNG of the breathing signal with each view's bin\n"
"  --iterative       4-D: iterative bins, PREFIX_4d_phN_iter.seq: each bin fitted to\n"
"                    its own views only (ordered-subset SART from the plain bin,\n"
"                    spatial total variation after every iteration); no prior\n"
"                    from other phases, far fewer streaks than the plain bins;\n"
"                    about 20 times a 3-D run\n"
"  --iterations N    --iterative: iterations (1..200, default 10)\n"
"  --subsets N       --iterative: ordered subsets per iteration (1..1000; default\n"
"                    about 2 views each)\n"
"  --tv-weight W     --iterative: total-variation steps per iteration, in units of\n"
"                    the iteration's own change (0..10, default 1; 0: none)\n"
"  --iter-binning N  --iterative: N x N detector pixels fitted as one (1..16,\n"
"                    default 4)\n"
"  --quiet           no progress bar on a terminal\n"
"  --conventional-status  exit statuses for scripts and workflow engines (the\n"
"                    environment variable CBRECON_CONVENTIONAL_STATUS=1 does the\n"
"                    same): 0 after a completed run, 2 after a refusal, a\n"
"                    failure, an allocation failure or the usage text, and an\n"
"                    unreadable respiratory file is an error (2); 130 after\n"
"                    SIGINT or SIGTERM\n"
"  --help            this text\n"
"  --version         the program's version\n"
"\n"
"Exit status: 1 after a completed run (and after the usage text or an\n"
"allocation failure), 0 for --help/--version or an unreadable respiratory\n"
"file, 2 when the run is refused (bad parameter, unreadable or unwritable file,\n"
"no view that can be used); see --conventional-status.\n",
               progname, progname, progname);
}

}  // namespace cbrecon
