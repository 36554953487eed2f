// Prior-image phase bins (--mkb), end to end on small simulated scans.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "support/small_scan.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;
using testing::read_bytes;

// The 16-bit words of a volume file after its header.
std::vector<int16_t> words(const std::string& path) { return testing::small_scan::volume_words(read_bytes(path)); }

using Breathing = testing::small_scan::BreathingSpheres;

class StaticAnatomy : public ::testing::TestWithParam<const char*> {};

// Nothing moves: every bin's residual is only what the prior's voxels and
// the projector cannot represent, so the bin is the reconstruction of all
// views up to a small correction without bias (the offset detector's volume
// reads about half as much: a projection taken at face value would leave
// half the anatomy in every residual).  The field of view reaches beyond
// what this small detector covers, which the projection must leave out.
TEST_P(StaticAnatomy, GivesTheReconstructionOfAllViewsBack) {
  const Breathing scan(0.0, GetParam());
  ProcessResult r = scan.run("0", {});
  ASSERT_EQ(r.status, 1) << r.err;
  r = scan.run(scan.dir.file("breath.vxp"), {"-ph", "4", "--mkb"});
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<int16_t> all = words(scan.out("bp4d.seq")), bin = words(scan.out("4d_ph4_mkb.seq"));
  ASSERT_EQ(all.size(), bin.size());
  double sum = 0, sum2 = 0, level = 0;
  long n = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] == -2000) continue;  // outside the field of view
    const double d = static_cast<double>(bin[i]) - all[i];
    sum += d;
    sum2 += d * d;
    level += std::fabs(static_cast<double>(all[i]));
    ++n;
  }
  ASSERT_GT(n, 0);
  level /= n;
  EXPECT_GT(level, 100.0);
  EXPECT_LT(std::fabs(sum / n), 0.03 * level) << "mean correction";
  EXPECT_LT(std::sqrt(sum2 / n), 0.15 * level) << "rms correction";
}

INSTANTIATE_TEST_SUITE_P(Detectors, StaticAnatomy, ::testing::Values("0", "-20"),
                         [](const auto& info) { return info.index == 0 ? "Centred" : "Offset"; });

TEST(PriorImage, OnePassGivesEachBinsOwnRunOnEveryKernelAndThreadCount) {
  const Breathing scan(10.0);
  const std::string vxp = scan.dir.file("breath.vxp");
  ProcessResult r = scan.run(vxp, {"--all-phases", "--mkb", "--format", "nrrd", "--float"});
  ASSERT_EQ(r.status, 1) << r.err;
  for (int bin = 1; bin <= 10; ++bin) {
    const std::string name = "4d_ph" + std::to_string(bin) + "_mkb.seq";
    EXPECT_TRUE(fs::exists(scan.out(name))) << name;
    EXPECT_FALSE(fs::exists(scan.out("4d_ph" + std::to_string(bin) + ".seq"))) << "plain bin written";
  }
  const std::vector<uint8_t> seq = read_bytes(scan.out("4d_ph7_mkb.seq"));
  const std::vector<uint8_t> nrrd = read_bytes(scan.out("4d_ph7_mkb.nrrd"));
  for (const std::vector<std::string>& config :
       {std::vector<std::string>{}, {"--threads", "1", "--isa", "scalar"}, {"--threads", "3"}}) {
    std::vector<std::string> extra = {"-ph", "7", "--mkb", "--format", "nrrd", "--float"};
    extra.insert(extra.end(), config.begin(), config.end());
    r = scan.run(vxp, extra);
    ASSERT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(read_bytes(scan.out("4d_ph7_mkb.seq")) == seq);
    EXPECT_TRUE(read_bytes(scan.out("4d_ph7_mkb.nrrd")) == nrrd);
  }
}

TEST(PriorImage, RefusedWithoutPhasesOrWithAHalfScan) {
  const Breathing scan(0.0);
  const std::string vxp = scan.dir.file("breath.vxp");
  scan.expect_refusals({
      {"0", {"--mkb"},
       "cbrecon: --mkb reconstructs phase bins: it needs a respiratory-signal file as the third argument\n"},
      {vxp, {"-ph", "2", "--mkb-step", "2"}, "cbrecon: --mkb-step tunes the prior-image bins: it needs --mkb\n"},
      {vxp, {"-ph", "2", "--mkb", "-hscan"},
       "cbrecon: --mkb does not work with -hscan: a half scan per bin cannot use a prior from every angle\n"},
  });
}

}  // namespace
}  // namespace cbrecon
