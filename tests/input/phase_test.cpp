#include "input/phase.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>


namespace cbrecon {
namespace {

namespace fs = std::filesystem;

TEST(PhaseSuffix, NamesTheBin) {
  EXPECT_EQ(phase_suffix(3, 0), "4d_ph3.seq");
  EXPECT_EQ(phase_suffix(9, 0), "4d_ph9.seq");
  EXPECT_EQ(phase_suffix(10, 0), "4d_ph10.seq");
  EXPECT_EQ(phase_suffix(9, 1), "hf4d_ph9.seq");
  EXPECT_EQ(phase_suffix(10, 1), "hf4d_ph10.seq");
  EXPECT_EQ(phase_suffix(4464, 0), "4d_ph4464.seq");
}

// A folder of tiny projection files: just the 1024-byte header with the
// gantry angle.  Removed at the end of the test.
class PhaseFiles : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() /
                 ("cbph_" + std::to_string(::getpid()));
  std::string prefix = (dir / "PROJ_").string();

  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }

  void make_view(int num, double angle) {
    Header head{};
    header_set_double(head.data(), kAngleOffset, angle);
    std::ofstream(projection_name(prefix, num), std::ios::binary)
        .write(reinterpret_cast<const char*>(head.data()), head.size());
  }

  // A phase table of the given bins, as the reader leaves it.
  static PhaseTable table_of(const std::vector<int>& bins) {
    PhaseTable t;
    t.count = static_cast<uint16_t>(bins.size());
    t.tab = matrix(0, 3, 0, static_cast<long>(bins.size()) - 1);
    for (long i = 0; i < t.count; ++i) {
      t.tab[0][i] = static_cast<float>(100 * (i + 1));
      t.tab[1][i] = t.tab[2][i] = 0.0f;
      t.tab[3][i] = static_cast<float>(bins[static_cast<size_t>(i)]);
    }
    return t;
  }

  std::vector<std::string> names(std::initializer_list<int> nums) const {
    std::vector<std::string> v;
    for (int n : nums) v.push_back(projection_name(prefix, n));
    return v;
  }
};

TEST_F(PhaseFiles, FirstProjectionNumber) {
  EXPECT_EQ(first_projection_number(prefix, 20), 20);  // none: nviews
  make_view(7, 0.0);
  make_view(5, 0.0);
  EXPECT_EQ(first_projection_number(prefix, 20), 5);
  EXPECT_EQ(first_projection_number(prefix, 5), 5);  // files start above nviews-1
}

TEST_F(PhaseFiles, TriggerIPairsWithFileFirstPlusI) {
  for (int n = 5; n < 17; ++n) make_view(n, 10.0 * n);
  const PhaseTable t = table_of({1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3});
  ViewList vl = phase_views(t, 5, prefix, 100, 1, 0, 0.0);
  EXPECT_EQ(vl.names, names({5, 8, 11, 14}));
  EXPECT_EQ(vl.angles, (std::vector<double>{50, 80, 110, 140}));
  EXPECT_EQ(vl.ik, 4);
  EXPECT_EQ(vl.nlisted, 4);

  // Bin 0 holds nothing here.
  vl = phase_views(t, 5, prefix, 100, 0, 0, 0.0);
  EXPECT_EQ(vl.ik, 0);
  EXPECT_EQ(vl.nlisted, 0);

  // No more names than nviews: the surplus is dropped.
  vl = phase_views(t, 5, prefix, 3, 2, 0, 0.0);
  EXPECT_EQ(vl.names, names({6, 9, 12}));
  EXPECT_EQ(vl.nlisted, 3);
}

TEST_F(PhaseFiles, HeaderPassStopsAtTheFirstMissingFile) {
  for (int n : {0, 3, 9}) make_view(n, 0.0);  // 6 is missing
  const PhaseTable t = table_of({4, 1, 1, 4, 1, 1, 4, 1, 1, 4});
  const ViewList vl = phase_views(t, 0, prefix, 100, 4, 0, 0.0);
  EXPECT_EQ(vl.names, names({0, 3}));
  EXPECT_EQ(vl.ik, 2);
  EXPECT_EQ(vl.nlisted, 4);
}

TEST_F(PhaseFiles, HalfScanStopsAtTheFirstViewOutOfRange) {
  // 10 degrees back lies inside the range again but comes too late.
  const double angles[] = {30.0, 120.0, 210.0, 211.0, 40.0};
  for (int n = 0; n < 5; ++n) make_view(n, angles[n]);
  const PhaseTable t = table_of({2, 2, 2, 2, 2});
  const double range = 180.0 * pi / 180;
  ViewList vl = phase_views(t, 0, prefix, 100, 2, 1, range);
  EXPECT_EQ(vl.angles, (std::vector<double>{30.0, 120.0, 210.0}));  // 180 beyond: kept
  EXPECT_EQ(vl.ik, 3);
  EXPECT_EQ(vl.nlisted, 5);
  // Without the half scan everything is read.
  vl = phase_views(t, 0, prefix, 100, 2, 0, range);
  EXPECT_EQ(vl.ik, 5);
}

TEST_F(PhaseFiles, SelectPhaseViewsReadsPrintsAndNamesTheOutput) {
  for (int n = 5; n < 11; ++n) make_view(n, 1.0 * n);
  const std::string rpm = (dir / "resp.vxp").string();
  const std::string trace = (dir / "4dcbctrpm.out").string();
  {
    std::ofstream f(rpm);
    f << "h1 h2 h3 h4 h5 h6 Total_study_time=10 Samples_per_second=10 h7 h8\n";
    const char* phases[] = {"0.0", "0.63", "1.26"};  // bins 1, 2, 3
    for (int i = 0; i < 6; ++i) f << "0.1," << phases[i % 3] << ',' << 100 * (i + 1) << ",0,0,,1\n";
  }
  std::FILE* out = std::tmpfile();
  std::string ext = "NULL";
  const ViewList vl = select_phase_views(rpm, prefix, 20, 2, 0, 0.0, ext, out, trace);
  EXPECT_EQ(ext, "4d_ph2.seq");
  EXPECT_EQ(vl.names, names({6, 9}));
  EXPECT_EQ(vl.angles, (std::vector<double>{6.0, 9.0}));
  std::rewind(out);
  char buf[512] = {};
  EXPECT_GT(std::fread(buf, 1, sizeof buf - 1, out), 0u);
  std::fclose(out);
  EXPECT_EQ(std::string(buf), "RPM signal file name " + rpm + "  NULL\nsize=    6 \n");
  EXPECT_TRUE(fs::exists(trace));
}

}  // namespace
}  // namespace cbrecon
