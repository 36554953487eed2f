// End-to-end reconstructions of simulated scans, run as a user runs the
// program: files in a folder, the cbrecon binary, the volume file read back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
// GCC 12 reports a false "may be used uninitialized" inside libstdc++'s
// regex compiler when built with sanitizers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

#include "backproj/backproject.h"
#include "input/projection.h"
#include "sim/phantom.h"
#include "sim/scan.h"
#include "sim/truth.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

using testing::ProcessResult;
using testing::read_bytes;
using testing::run_process;
using testing::TempDir;

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t b = 0;
  for (size_t e; (e = text.find('\n', b)) != std::string::npos; b = e + 1) lines.push_back(text.substr(b, e - b));
  return lines;
}

// A 256 x 192 detector: phantoms at a quarter of their size, a 128^2 x 12
// volume over 80 mm.
constexpr int kCols = 256, kRows = 192, kNpxls = 128;
constexpr float kFov = 80.0f;

struct Scan {
  TempDir dir;
  sim::ScanSummary summary;
  std::string prefix() const { return dir.file("PROJ_"); }
  std::string mask() const { return dir.file("NormImage.hnd"); }
};

std::unique_ptr<Scan> simulate(const std::string& phantom, int views, double start, double step,
                               float xoff = 0.0f, int64_t gap_every = 0, int64_t gap_size = 0) {
  auto s = std::make_unique<Scan>();
  sim::ScanConfig c;
  c.cols = kCols;
  c.rows = kRows;
  c.views = views;
  c.start = start;
  c.step = step;
  c.xoff = xoff;
  c.gap_every = gap_every;
  c.gap_size = gap_size;
  c.prefix = s->prefix();
  c.phantom = sim::scaled(sim::make_phantom(phantom), 0.25);
  s->summary = sim::simulate_scan(c);
  return s;
}

struct Volume {
  int nz = 0;
  std::vector<uint8_t> bytes;
  int16_t at(int j, int r, int c) const {
    const size_t o = 1024 + 2 * ((static_cast<size_t>(j) * kNpxls + r) * kNpxls + c);
    return static_cast<int16_t>(bytes[o] | bytes[o + 1] << 8);
  }
  // Mean over a disc of `radius` voxels around the centre of slice j.
  double disc_mean(int j, double radius) const {
    double sum = 0;
    int n = 0;
    for (int r = 0; r < kNpxls; ++r)
      for (int c = 0; c < kNpxls; ++c)
        if (std::hypot(r - 63.5, c - 63.5) <= radius) {
          sum += at(j, r, c);
          ++n;
        }
    return sum / n;
  }
};

Volume load(const std::string& path, int nz) {
  Volume v;
  v.nz = nz;
  v.bytes = read_bytes(path);
  EXPECT_EQ(v.bytes.size(), 1024u + static_cast<size_t>(nz) * kNpxls * kNpxls * 2) << path;
  return v;
}

ProcessResult recon(const Scan& s, std::vector<std::string> extra, const std::string& resp = "0") {
  std::vector<std::string> args{s.prefix(), s.mask(), resp, "-d", std::to_string(kCols), "-z",
                                std::to_string(kRows), "-p", std::to_string(kNpxls), "-fov", "80"};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_process(CBRECON_BIN, args, s.dir.str());
}

// With 192 rows and 2.5 mm slices the geometry gives 12 slices.
constexpr int kNz = 12;

TEST(Reconstruction, FullScanOfWaterReadsScaleTimes10000Mu) {
  auto s = simulate("water", 180, 0, 2);
  const ProcessResult r = recon(*s, {});
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "");
  // The console lines, timings aside (matched line by line: a regex over
  // the whole output recurses too deeply).
  const std::vector<std::string> lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 2u + 1 + 180 + 1 + 3);  // progress lines for views 0 and 100
  EXPECT_EQ(lines[0], "fov= 80.0 mm");
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("180 files of # 1000 has been read. Installation time +[0-9.]+ ")));
  EXPECT_EQ(lines[2], "processing projection view #0");
  const std::regex view_line("i= *[0-9]+, time backproj= *[0-9.]+ filename: \\S+PROJ_[0-9]{5}.hnd [0-9.]+ "
                             "scale =0.0349066 CTnorm =[0-9.e+]+");
  int views = 0;
  for (size_t i = 3; i + 3 < lines.size(); ++i) {
    if (lines[i] == "processing projection view #100") continue;
    EXPECT_TRUE(std::regex_match(lines[i], view_line)) << lines[i];
    ++views;
  }
  EXPECT_EQ(views, 180);
  EXPECT_EQ(lines[lines.size() - 3], "saving imagine index=32768");
  EXPECT_TRUE(std::regex_match(lines[lines.size() - 2], std::regex("image has been saved in \\S+PROJ__bp4d.seq, zdim = 12")));
  EXPECT_TRUE(std::regex_match(lines.back(), std::regex("Total time backproj= *[0-9.]+ ")));
  const Volume v = load(s->prefix() + "_bp4d.seq", kNz);
  // Water (mu 0.02/mm) reads scale_cal * 10^4 * mu = 2000.
  for (int j = 2; j < kNz - 2; ++j) EXPECT_NEAR(v.disc_mean(j, 20), 2000.0, 20.0) << j;
  // Outside the field of view: -2000.
  EXPECT_EQ(v.at(0, 0, 0), -2000);
  // The header is the last view's, byte for byte.
  const std::vector<uint8_t> last = read_bytes(s->summary.views.back().name);
  EXPECT_TRUE(std::equal(last.begin(), last.begin() + 1024, v.bytes.begin()));
}

TEST(Reconstruction, AgreesWithTheTruthInsideTheFieldOfView) {
  auto s = simulate("shepp", 180, 0, 2);
  ASSERT_EQ(recon(*s, {}).status, 1);
  const Volume v = load(s->prefix() + "_bp4d.seq", kNz);
  sim::TruthGrid grid;
  grid.npxls = kNpxls;
  grid.fov = kFov;
  grid.rows = kRows;
  const sim::TruthVolume truth = sim::truth_volume(sim::scaled(sim::make_phantom("shepp"), 0.25), grid);
  ASSERT_EQ(truth.nz, kNz);
  double se = 0;
  long n = 0;
  for (int j = 3; j < kNz - 3; ++j)
    for (int r = 0; r < kNpxls; ++r)
      for (int c = 0; c < kNpxls; ++c) {
        if (std::hypot(r - 63.5, c - 63.5) > 50) continue;  // inside the detector's reach
        const double want = 1e5 * truth.mu[(static_cast<size_t>(j) * kNpxls + r) * kNpxls + c];
        se += (v.at(j, r, c) - want) * (v.at(j, r, c) - want);
        ++n;
      }
  const double rmse = std::sqrt(se / n);
  EXPECT_LT(rmse, 250.0);  // measured 181: edges of the small phantom dominate
}

TEST(Reconstruction, HalfScanOffsetAndCounterClockwiseScans) {
  // Half scan: views up to 180 + fan angle; the half-scan weights give half
  // the full-scan scale, and the volume is flat left to right.
  {
    auto s = simulate("water", 110, 0, 2);
    const ProcessResult r = recon(*s, {"-hscan"});
    ASSERT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find(" half scan reconstruction!!!\n"), std::string::npos);
    const Volume v = load(s->prefix() + "_hf4d_cali.seq", kNz);
    EXPECT_NEAR(v.disc_mean(6, 20), 1000.0, 10.0);
    double left = 0, right = 0;
    for (int r = 44; r < 84; ++r)
      for (int c = 0; c < 20; ++c) {
        left += v.at(6, r, 44 + c);
        right += v.at(6, r, 64 + c);
      }
    EXPECT_NEAR(left / right, 1.0, 0.01);
  }
  // Offset detector (half fan): half the scale as well.  The half-fan
  // weights act after the ramp filter on a row extended by its edge value,
  // which leaves the centre a few per cent low (measured 962 here, 948..972
  // at 1024 columns and -148 mm).
  {
    auto s = simulate("water", 180, 0, 2, -20.0f);
    const ProcessResult r = recon(*s, {"-xoff", "-20"});
    ASSERT_EQ(r.status, 1) << r.err;
    const Volume v = load(s->prefix() + "_bp4d.seq", kNz);
    EXPECT_NEAR(v.disc_mean(6, 20), 1000.0, 50.0);
    EXPECT_NEAR(v.disc_mean(6, 5), v.disc_mean(6, 20), 10.0);  // flat inside the water
  }
  // Counter-clockwise: angles decrease in file order, processing reverses.
  {
    auto s = simulate("water", 180, 0, -2);
    const ProcessResult r = recon(*s, {"-ccw"});
    ASSERT_EQ(r.status, 1) << r.err;
    // The first view processed is the last file.
    EXPECT_NE(r.out.find("i=  0, time backproj="), std::string::npos);
    const size_t at = r.out.find("i=  0,");
    EXPECT_NE(r.out.find(s->summary.views.back().name, at), std::string::npos);
    const Volume v = load(s->prefix() + "_bp4d.seq", kNz);
    EXPECT_NEAR(v.disc_mean(6, 20), 2000.0, 20.0);
  }
}

TEST(Reconstruction, NumberingWithGapsIsListedAcross) {
  auto s = simulate("water", 90, 0, 4, 0.0f, 10, 100);  // 100 numbers missing every 10 files
  const ProcessResult r = recon(*s, {});
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("90 files of # 1000 has been read."), std::string::npos);
  EXPECT_NEAR(load(s->prefix() + "_bp4d.seq", kNz).disc_mean(6, 20), 2000.0, 20.0);
}

// Every thread count and every kernel gives the same bytes.
TEST(Reconstruction, BitIdenticalForEveryThreadCountAndKernel) {
  struct Variant {
    const char* name;
    double step;
    float xoff;
    std::vector<std::string> args;
    const char* out;
  } variants[] = {
      {"full", 3, 0.0f, {}, "_bp4d.seq"},
      {"half", 3, 0.0f, {"-hscan"}, "_hf4d_cali.seq"},
      {"offset", 3, -20.0f, {"-xoff", "-20"}, "_bp4d.seq"},
  };
  for (const Variant& var : variants) {
    auto s = simulate("shepp", 120, 0, var.step, var.xoff);
    // The 16-bit words hide small differences; the float volume (NRRD,
    // --float) shows every bit.  120 views: 15 batches of 8 views up to 8
    // threads; 11 threads take batches of 11, the last one partial.
    std::vector<uint8_t> reference, reference_float;
    for (const std::vector<std::string>& config :
         {std::vector<std::string>{"--threads", "1", "--isa", "scalar"},
          {"--threads", "2"}, {"--threads", "3", "--isa", "avx2"}, {"--threads", "11"},
          // Timed plans (the runs above) and forced shapes.
          {"--threads", "2", "--bp-shape", "t8-c2-p0-gathers"}, {"--threads", "3", "--bp-shape", "t5-c9-p1-rows"}}) {
      std::vector<std::string> args = var.args;
      args.insert(args.end(), config.begin(), config.end());
      args.insert(args.end(), {"--format", "nrrd", "--float"});
      const ProcessResult r = recon(*s, args);
      if (r.status == 2 && r.err.find("this CPU lacks") != std::string::npos) continue;
      ASSERT_EQ(r.status, 1) << r.err;
      const std::vector<uint8_t> bytes = read_bytes(s->prefix() + var.out);
      std::string nrrd = s->prefix() + var.out;
      nrrd.replace(nrrd.size() - 4, 4, ".nrrd");
      const std::vector<uint8_t> floats = read_bytes(nrrd);
      ASSERT_FALSE(floats.empty()) << nrrd;
      if (reference.empty()) {
        reference = bytes;
        reference_float = floats;
      } else {
        EXPECT_TRUE(bytes == reference) << var.name << " differs with " << config[1];
        EXPECT_TRUE(floats == reference_float) << var.name << " float volume differs with " << config[1];
      }
    }
  }
}

TEST(Reconstruction, TimingsNameTheKernelOfEveryStage) {
  auto s = simulate("water", 20, 0, 18);
  const ProcessResult r = recon(*s, {"--timings", "--isa", "scalar"});
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("kernels: preprocess scalar, filter scalar, backprojection scalar, projection scalar\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("timings: backprojection plan none (the scalar kernel has no shape)\n"), std::string::npos)
      << r.err;
}

// The plan is timed on the first batches, saved, and read back by the
// next run of the same geometry, which then times nothing.
TEST(Reconstruction, BackprojectionPlanIsTimedSavedAndReused) {
  if (backproject_isas().size() < 2) GTEST_SKIP() << "no vector backprojection kernel on this CPU";
  auto s = simulate("water", 40, 0, 9);
  const std::string plans = s->dir.file("plans");
  const ProcessResult first = recon(*s, {"--timings", "--plan-wisdom", plans});
  ASSERT_EQ(first.status, 1) << first.err;
  EXPECT_NE(first.err.find("timings: backprojection plan t"), std::string::npos) << first.err;
  EXPECT_NE(first.err.find(" (timed on 2 batches, "), std::string::npos) << first.err;
  EXPECT_NE(first.err.find("t16-c4-p3-gathers "), std::string::npos) << first.err;
  const std::vector<uint8_t> volume = read_bytes(s->prefix() + "_bp4d.seq");
  const ProcessResult second = recon(*s, {"--timings", "--plan-wisdom", plans});
  ASSERT_EQ(second.status, 1) << second.err;
  EXPECT_NE(second.err.find("(wisdom from " + plans + ")"), std::string::npos) << second.err;
  EXPECT_TRUE(read_bytes(s->prefix() + "_bp4d.seq") == volume);
  // A damaged file: one warning line, the run goes on and times the plan.
  cbrecon::testing::write_bytes(plans, {'x', '\n'});
  const ProcessResult third = recon(*s, {"--timings", "--plan-wisdom", plans, "--quiet"});
  ASSERT_EQ(third.status, 1) << third.err;
  EXPECT_NE(third.err.find("cbrecon: warning: plan file " + plans +
                           ": not a file of backprojection plans; ignored, the plan is timed again and not saved\n"),
            std::string::npos)
      << third.err;
  EXPECT_TRUE(read_bytes(s->prefix() + "_bp4d.seq") == volume);
}

TEST(Reconstruction, OutputThatCannotBeWrittenIsRefusedBeforeAnyView) {
  auto s = simulate("water", 20, 0, 18);
  // A folder in the way of the output name: the rename could not succeed.
  std::filesystem::create_directory(s->prefix() + "_bp4d.seq");
  const ProcessResult r = recon(*s, {});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "cbrecon: cannot create output file " + s->prefix() +
                       "_bp4d.seq: a folder of that name is in the way\n");
  EXPECT_EQ(r.out.find("i="), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(s->prefix() + "_bp4d.seq"));
  for (const auto& e : std::filesystem::directory_iterator(s->dir.path()))
    EXPECT_EQ(e.path().string().find(".tmp-"), std::string::npos) << e.path();
}

TEST(Reconstruction, NoViewFoundWritesNothing) {
  auto s = simulate("water", 3, 0, 120);
  const ProcessResult r = recon(*s, {"-st", "500"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no view to reconstruct: no projection file " + s->prefix() + "00500.hnd found"),
            std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("i="), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(s->prefix() + "_bp4d.seq"));
}

}  // namespace
}  // namespace cbrecon
