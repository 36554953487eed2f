// --all-phases must write, for every phase bin, exactly the files a run of
// that bin alone writes: the volume, its standard formats and the trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace cbrecon {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;
using testing::read_bytes;
using testing::run_process;
using testing::TempDir;

// Moves every file the runs wrote (beside the projections and in the
// working folder) into `to`.
void collect_outputs(const TempDir& scan, const fs::path& to) {
  fs::create_directories(to);
  for (const auto& e : fs::directory_iterator(scan.path())) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && (name.rfind("PROJ__", 0) == 0 || name == "4dcbctrpm.out"))
      fs::rename(e.path(), to / name);
  }
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> v;
  for (const auto& e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
  std::sort(v.begin(), v.end());
  return v;
}

class AllPhases : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(AllPhases, EveryBinIsByteIdenticalToItsOwnRun) {
  TempDir scan;
  const ProcessResult sim = run_process(
      CBRECON_SIM_BIN, {"--prefix", scan.file("PROJ_"), "--scale", "0.25", "--cols", "256", "--rows",
                        "192", "--views", "120", "--phantom", "spheres", "--motion", "10", "--vxp",
                        scan.file("breath.vxp"), "--quiet"});
  ASSERT_EQ(sim.status, 0) << sim.err;
  std::vector<std::string> base = {scan.file("PROJ_"), scan.file("NormImage.hnd"),
                                   scan.file("breath.vxp"), "-d", "256", "-z", "192", "-s", "120",
                                   "-p", "48", "-fov", "80", "--format", "nrrd"};
  base.insert(base.end(), GetParam().begin(), GetParam().end());

  std::vector<std::string> args = base;
  args.push_back("--all-phases");
  const ProcessResult all = run_process(CBRECON_BIN, args, scan.str());
  ASSERT_EQ(all.status, 1) << all.err;
  collect_outputs(scan, scan.path() / "all");

  for (int bin = 1; bin <= 10; ++bin) {
    args = base;
    args.insert(args.end(), {"-ph", std::to_string(bin)});
    const ProcessResult one = run_process(CBRECON_BIN, args, scan.str());
    ASSERT_EQ(one.status, 1) << one.err;
    collect_outputs(scan, scan.path() / ("bin" + std::to_string(bin)));
  }

  // Each single run wrote its bin's volume, its NRRD and the trace; the
  // one pass wrote all of them once.
  std::vector<std::string> expected = {"4dcbctrpm.out"};
  for (int bin = 1; bin <= 10; ++bin) {
    const fs::path dir = scan.path() / ("bin" + std::to_string(bin));
    const std::vector<std::string> files = names_in(dir);
    ASSERT_EQ(files.size(), 3u) << dir;
    for (const std::string& f : files) {
      SCOPED_TRACE(f);
      const std::vector<uint8_t> mine = read_bytes((scan.path() / "all" / f).string());
      EXPECT_FALSE(mine.empty());
      EXPECT_TRUE(mine == read_bytes((dir / f).string()));
      if (f != "4dcbctrpm.out") expected.push_back(f);
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(scan.path() / "all"), expected);
}

INSTANTIATE_TEST_SUITE_P(Scans, AllPhases,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"-hscan", "-ccw", "-xoff", "-20"}),
                         [](const auto& info) { return info.index == 0 ? "FullScan" : "HalfScanCcwOffset"; });

}  // namespace
}  // namespace cbrecon
