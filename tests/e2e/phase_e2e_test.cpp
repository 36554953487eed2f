// 4-D runs end to end: a simulated breathing scan, its respiratory file, and
// reconstructions of single phase bins.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
// GCC 12 reports a false "may be used uninitialized" inside libstdc++'s
// regex compiler when built with sanitizers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

#include "sim/phantom.h"
#include "sim/scan.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

using testing::ProcessResult;
using testing::read_bytes;
using testing::run_process;
using testing::TempDir;

constexpr int kCols = 256, kRows = 192, kNpxls = 128, kNz = 12;

struct BreathingScan {
  TempDir dir;
  sim::ScanSummary summary;
  std::string prefix() const { return dir.file("PROJ_"); }
};

std::unique_ptr<BreathingScan> simulate() {
  auto s = std::make_unique<BreathingScan>();
  sim::ScanConfig c;
  c.cols = kCols;
  c.rows = kRows;
  c.views = 360;
  c.step = 1.0;
  c.prefix = s->prefix();
  c.vxp = s->dir.file("breathing.vxp");
  c.phantom = sim::scaled(sim::make_phantom("spheres"), 0.25);
  c.phantom.motion = 10.0;  // the moving sphere travels 10 mm in z
  s->summary = sim::simulate_scan(c);
  return s;
}

ProcessResult recon(const BreathingScan& s, std::vector<std::string> extra) {
  std::vector<std::string> args{s.prefix(), s.dir.file("NormImage.hnd"), s.dir.file("breathing.vxp"),
                                "-d", std::to_string(kCols), "-z", std::to_string(kRows), "-p",
                                std::to_string(kNpxls), "-fov", "80"};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_process(CBRECON_BIN, args, s.dir.str());
}

// z (in slices) of the centre of mass of the moving sphere's signal.
double sphere_z(const std::vector<uint8_t>& bytes) {
  // The moving sphere sits at x = 7.5 mm, y = -10 mm (a quarter of 30, -40).
  const double dx = 80.0 / kNpxls;
  const int c = static_cast<int>(std::lround(7.5 / dx + kNpxls / 2 - 1.5));
  const int r = static_cast<int>(std::lround(kNpxls / 2 - 0.5 + 10.0 / dx));
  double w = 0, wz = 0;
  for (int j = 0; j < kNz; ++j) {
    const size_t o = 1024 + 2 * ((static_cast<size_t>(j) * kNpxls + r) * kNpxls + c);
    const double v = static_cast<int16_t>(bytes[o] | bytes[o + 1] << 8) - 2000.0;  // above water
    if (v > 0) {
      w += v;
      wz += v * j;
    }
  }
  return w > 0 ? wz / w : -1;
}

TEST(PhaseRuns, OneBinFromTheRespiratoryFile) {
  auto s = simulate();
  const ProcessResult r = recon(*s, {"-ph", "3"});
  ASSERT_EQ(r.status, 1) << r.err;
  // Line by line (a regex over the whole output recurses too deeply).
  std::vector<std::string> lines;
  for (size_t b = 0, e; (e = r.out.find('\n', b)) != std::string::npos; b = e + 1)
    lines.push_back(r.out.substr(b, e - b));
  ASSERT_GT(lines.size(), 8u);
  EXPECT_EQ(lines[0], "fov= 80.0 mm");
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("RPM signal file name \\S+breathing.vxp  NULL"))) << lines[1];
  EXPECT_EQ(lines[2], "size=  360 ");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[3], m, std::regex("([0-9]+) files of # ([0-9]+) has been read. Installation time +[0-9.]+ ")))
      << lines[3];
  EXPECT_EQ(m[1], m[2]);
  EXPECT_GT(std::stoi(m[1]), 20);
  EXPECT_EQ(lines[4], "processing projection view #0");
  EXPECT_TRUE(std::regex_match(lines[lines.size() - 2], std::regex("image has been saved in \\S+PROJ__4d_ph3.seq, zdim = 12")));
  // The trace of the trigger samples lands in the working folder.
  std::ifstream trace(s->dir.file("4dcbctrpm.out"));
  std::string line;
  int trace_lines = 0;
  while (std::getline(trace, line)) ++trace_lines;
  EXPECT_EQ(trace_lines, 360);
  EXPECT_EQ(read_bytes(s->prefix() + "_4d_ph3.seq").size(), 1024u + kNz * kNpxls * kNpxls * 2);
}

TEST(PhaseRuns, BinsShowTheSphereWhereTheBreathingPutsIt) {
  auto s = simulate();
  // Bin 1 holds phases near 0 (full inhale, shift 10 mm), bin 6 near pi
  // (full exhale, shift 0): the sphere sits 4 slices (10 mm) apart.
  ASSERT_EQ(recon(*s, {"-ph", "1"}).status, 1);
  ASSERT_EQ(recon(*s, {"-ph", "6"}).status, 1);
  const double z1 = sphere_z(read_bytes(s->prefix() + "_4d_ph1.seq"));
  const double z6 = sphere_z(read_bytes(s->prefix() + "_4d_ph6.seq"));
  EXPECT_GT(z1 - z6, 2.0) << z1 << " " << z6;
}

TEST(PhaseRuns, BitIdenticalForEveryThreadCount) {
  auto s = simulate();
  ASSERT_EQ(recon(*s, {"-ph", "4", "--threads", "1", "--isa", "scalar"}).status, 1);
  const std::vector<uint8_t> ref = read_bytes(s->prefix() + "_4d_ph4.seq");
  ASSERT_EQ(recon(*s, {"-ph", "4", "--threads", "3"}).status, 1);
  EXPECT_TRUE(read_bytes(s->prefix() + "_4d_ph4.seq") == ref);
  // Half scan of a bin: its own suffix.
  const ProcessResult r = recon(*s, {"-ph", "10", "-hscan"});
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("RPM signal file name " + s->dir.file("breathing.vxp") + "  hf4d_cali.seq\n"),
            std::string::npos);
  EXPECT_FALSE(read_bytes(s->prefix() + "_hf4d_ph10.seq").empty());
}

TEST(PhaseRuns, UnreadableRespiratoryFileEndsWithStatusZero) {
  auto s = simulate();
  const ProcessResult r = run_process(
      CBRECON_BIN, {s->prefix(), s->dir.file("NormImage.hnd"), s->dir.file("missing.vxp"), "-d", "256",
                    "-z", "192", "-p", "128", "-fov", "80", "-ph", "3"},
      s->dir.str());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Can not open file " + s->dir.file("missing.vxp") + "\n"), std::string::npos);
}

}  // namespace
}  // namespace cbrecon
