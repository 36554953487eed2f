// 4-D runs that take the breathing from the projections themselves: the
// phase found on a simulated thorax with irregular breathing against the
// simulator's truth, the check of right and out-of-step respiratory files,
// and the refusals of options that need a 4-D run.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace cbrecon {
namespace {

using testing::ProcessResult;
using testing::run_process;
using testing::TempDir;

// The numbers of the JSON array `key` in `text`.
std::vector<double> json_array(const std::string& text, const std::string& key) {
  std::vector<double> v;
  const size_t at = text.find("\"" + key + "\": [");
  if (at == std::string::npos) return v;
  std::istringstream in(text.substr(text.find('[', at) + 1, text.find(']', at) - text.find('[', at) - 1));
  for (std::string x; std::getline(in, x, ',');) v.push_back(std::stod(x));
  return v;
}

// A column of the simulator's per-view truth.
std::vector<double> truth_column(const std::string& path, int column) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  std::vector<double> v;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string x;
    for (int c = 0; c <= column; ++c) std::getline(f, x, ',');
    v.push_back(std::stod(x));
  }
  return v;
}

class BreathingScan : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const std::vector<std::string> sim = {"--phantom", "thorax", "--scale", "0.25", "--cols", "256", "--rows", "192",
                                          "--views", "200", "--breath-period-var", "0.15", "--breath-amp-var", "0.2",
                                          "--prefix", dir_->file("PROJ_"), "--quiet"};
    auto with = [&](std::vector<std::string> extra) {
      std::vector<std::string> a = sim;
      a.insert(a.end(), extra.begin(), extra.end());
      return a;
    };
    ASSERT_EQ(run_process(CBRECON_SIM_BIN, with({"--vxp", dir_->file("b.vxp"), "--breath-truth", dir_->file("t.csv")})).status, 0);
    ASSERT_EQ(run_process(CBRECON_SIM_BIN, with({"--vxp", dir_->file("late.vxp"), "--vxp-shift", "3", "--vxp-only"})).status, 0);
    ASSERT_EQ(run_process(CBRECON_SIM_BIN, with({"--vxp", dir_->file("other.vxp"), "--breath-seed", "9",
                                                 "--breath-period", "3.3", "--vxp-only"})).status, 0);
  }
  static void TearDownTestSuite() { delete dir_; }

  ProcessResult recon(const std::string& resp, std::vector<std::string> extra) const {
    std::vector<std::string> a = {dir_->file("PROJ_"), dir_->file("NormImage.hnd"), resp, "-d", "256", "-z", "192",
                                  "-s", "200", "-p", "32", "-fov", "60", "-pz", "5", "--quiet",
                                  "--trace-file", dir_->file("trace.out")};
    a.insert(a.end(), extra.begin(), extra.end());
    return run_process(CBRECON_BIN, a, dir_->str());
  }
  static TempDir* dir_;
};
TempDir* BreathingScan::dir_ = nullptr;

TEST_F(BreathingScan, PhaseFromTheImagesFollowsTheTrueBreathing) {
  const std::string json = dir_->file("bins.json");
  const ProcessResult r = recon("0", {"--breathing-from-images", "--all-phases", "--bins-summary", json,
                                      "--breathing-trace", dir_->file("trace.png")});
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("breathing from the images: 200 views"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("phase bin 10:"), std::string::npos) << r.err;
  std::ifstream in(json);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::vector<double> phase = json_array(text, "view_phase");
  const std::vector<double> truth = truth_column(dir_->file("t.csv"), 4);
  ASSERT_EQ(phase.size(), 200u);
  ASSERT_EQ(truth.size(), 200u);
  long within = 0;
  for (size_t k = 0; k < phase.size(); ++k) {
    double d = std::fabs(phase[k] - truth[k]);
    d -= std::floor(d);
    within += std::min(d, 1.0 - d) <= 0.1;
  }
  EXPECT_GE(within, 190);
  // Every bin was written, and the picture.
  for (int bin = 1; bin <= 10; ++bin)
    EXPECT_TRUE(std::filesystem::exists(dir_->file("PROJ__4d_ph" + std::to_string(bin) + ".seq"))) << bin;
  EXPECT_GT(std::filesystem::file_size(dir_->file("trace.png")), 100u);
  const std::vector<double> bins = json_array(text, "view_bins");
  ASSERT_EQ(bins.size(), 200u);
  for (const double b : bins) EXPECT_TRUE(b >= 1 && b <= 10) << b;
}

TEST_F(BreathingScan, SyncCheckFlagsOutOfStepFilesOnly) {
  const ProcessResult good = recon(dir_->file("b.vxp"), {"--sync-check", "-ph", "2"});
  ASSERT_EQ(good.status, 1) << good.err;
  EXPECT_NE(good.err.find("respiratory file against the images: 200 triggers, 200 views"), std::string::npos) << good.err;
  EXPECT_EQ(good.err.find("does not match"), std::string::npos) << good.err;
  // Without the images the counts alone already tell a file three triggers short.
  const ProcessResult plain = recon(dir_->file("late.vxp"), {"-ph", "2"});
  ASSERT_EQ(plain.status, 1) << plain.err;
  EXPECT_NE(plain.err.find("holds 197 trigger samples but 200 projection files"), std::string::npos) << plain.err;
  for (const char* bad : {"late.vxp", "other.vxp"}) {
    const ProcessResult r = recon(dir_->file(bad), {"--sync-check", "-ph", "2"});
    ASSERT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("warning: the respiratory file does not match the views"), std::string::npos) << bad << r.err;
  }
}

TEST_F(BreathingScan, OptionsThatNeedAFourDRunAreRefused) {
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{"--sync-check"}, {"--amplitude-bins"}, {"--bins", "4"}, {"--bins-summary", "x.json"}}) {
    const ProcessResult r = recon("0", extra);
    EXPECT_EQ(r.status, 2) << extra[0];
    EXPECT_NE(r.err.find(extra[0] + " needs a 4-D run"), std::string::npos) << r.err;
  }
  const ProcessResult split = recon(dir_->file("b.vxp"), {"--amplitude-split", "-ph", "1"});
  EXPECT_EQ(split.status, 2);
  const ProcessResult sync = recon("0", {"--breathing-from-images", "--sync-check", "-ph", "1"});
  EXPECT_EQ(sync.status, 2);
  EXPECT_NE(sync.err.find("--sync-check compares a respiratory file"), std::string::npos) << sync.err;
}

TEST_F(BreathingScan, AmplitudeBinsAndOtherBinCounts) {
  const std::string json = dir_->file("amp.json");
  const ProcessResult r = recon(dir_->file("b.vxp"), {"--amplitude-bins", "--bins", "4", "--all-phases",
                                                       "--bins-summary", json});
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("amplitude bin  4:"), std::string::npos) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir_->file("PROJ__4d_ph4.seq")));
  std::ifstream in(json);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::vector<double> bins = json_array(text, "view_bins");
  const std::vector<double> level = truth_column(dir_->file("t.csv"), 5);
  ASSERT_EQ(bins.size(), 200u);
  // Bin 1 holds the deepest inhales, bin 4 the end-exhales.
  double deep = 0, shallow = 0;
  long nd = 0, ns = 0;
  for (size_t k = 0; k < bins.size(); ++k) {
    if (bins[k] == 1) deep += level[k], ++nd;
    if (bins[k] == 4) shallow += level[k], ++ns;
  }
  ASSERT_GT(nd, 0);
  ASSERT_GT(ns, 0);
  EXPECT_GT(deep / nd, 0.75);
  EXPECT_LT(shallow / ns, 0.25);
}

}  // namespace
}  // namespace cbrecon
