// The backprojection planner: shape names, the file of saved plans, which
// rows a batch's tasks cover, and how a plan is chosen, reused and
// protected against damaged or foreign files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "backproj/plan.h"
#include "geometry/geometry.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

TEST(BackprojShapeNames, RoundTripAndRejectEverythingElse) {
  for (const BackprojShape& s : shape_candidates()) {
    BackprojShape back{1, 1, 0, true};
    ASSERT_TRUE(parse_shape(shape_name(s), back)) << shape_name(s);
    EXPECT_EQ(back, s);
  }
  EXPECT_EQ(shape_name(BackprojShape{}), "t16-c4-p3-rows");
  BackprojShape s;
  for (const char* bad : {"", "auto", "t16-c4-p3", "t16-c4-p3-rows ", " t16-c4-p3-rows", "t016-c4-p3-rows",
                          "t+16-c4-p3-rows", "t0-c4-p3-rows", "t65-c4-p3-rows", "t16-c0-p3-rows",
                          "t16-c4-p-1-rows", "t16-c4-p65-rows", "t16-c4-p3-gather", "t16-c4-p3-rowsx",
                          "t99999999999-c4-p3-rows", "t16-c4-p3-rows\n"}) {
    EXPECT_FALSE(parse_shape(bad, s)) << '"' << bad << '"';
    EXPECT_EQ(s, BackprojShape{}) << "a refused name must leave the shape alone: " << bad;
  }
}

TEST(WisdomFiles, ParseOnlyWholeFilesOfPlans) {
  std::vector<std::pair<std::string, std::string>> e;
  std::string why;
  const std::string good = format_wisdom({{"cpu=X|grid=1", "t8-c4-p3-rows"}, {"cpu=Y", "t16-c2-p0-gathers"}});
  ASSERT_TRUE(parse_wisdom(good, e, why)) << why;
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[1].second, "t16-c2-p0-gathers");
  const struct {
    std::string text, why;
  } bad[] = {
      {"", "empty"},
      {"P5\n640 480\n", "not a file of backprojection plans"},
      {good.substr(0, good.size() - 1), "the last line is incomplete"},
      {good + "cpu=Z\tt16-c4-p3-foo\n", "line 4 is damaged"},
      {good + "cpu=Z\n", "line 4 is damaged"},
      {good + "\tt16-c4-p3-rows\n", "line 4 is damaged"},
      {good + "cpu=\x01\tt16-c4-p3-rows\n", "line 4 is damaged"},
      {good + "cpu=Z\tt16-c4-p3-rows\textra\n", "line 4 is damaged"},
  };
  for (const auto& b : bad) {
    why.clear();
    EXPECT_FALSE(parse_wisdom(b.text, e, why)) << b.text;
    EXPECT_EQ(why, b.why);
  }
}

// A 128 x 128 grid over a 64 x 48 detector: large enough to time.
struct Grid {
  explicit Grid(int npxls = 128) {
    RunParams p;
    p.npxls = npxls;
    p.fov = 20.0f;
    p.pxlz = 0.5f;
    p.nslices = 48;
    p.ndets = 64;
    g = setup_geometry(p);
    bg = make_scan_geometry(p, g);
    fov = build_fov_extents(p.npxls, g.dx, p.fov);
  }
  Geometry g;
  ScanGeometry bg;
  FovExtents fov;
};

PlanSettings settings(const std::string& wisdom = "", const std::string& forced = "auto") {
  PlanSettings s;
  s.kernel = "avx2";
  s.forced = forced;
  s.wisdom = wisdom;
  s.threads = 2;
  return s;
}

// Every row of the volume exactly once, timed blocks or not.
void expect_cover(const std::vector<BackprojPlan::Task>& tasks, long npxls) {
  std::vector<int> seen(npxls, 0);
  for (const BackprojPlan::Task& t : tasks) {
    ASSERT_LT(t.r0, t.r1);
    for (long r = t.r0; r < t.r1; ++r) ++seen.at(r);
  }
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int n) { return n == 1; }));
}

// Runs the plan's trial batches with made-up times: candidate `fast` takes
// `ratio` of the others' time per voxel update.
void time_batches(BackprojPlan& plan, const Grid& grid, int fast, double ratio) {
  while (plan.deciding()) {
    const std::vector<BackprojPlan::Task> tasks = plan.tasks();
    expect_cover(tasks, grid.bg.npxls);
    for (const BackprojPlan::Task& t : tasks) {
      const double updates = plan.columns(t.r0, t.r1) * grid.g.nz * 8;
      plan.record(t, updates * 1e-9 * (t.candidate == fast ? ratio : 1.0), updates);
    }
    plan.end_batch();
  }
}

TEST(BackprojPlanner, TimesEveryCandidateAndKeepsTheDefaultUnlessAnotherIsClearlyFaster) {
  const Grid grid;
  std::vector<std::string> warnings;
  {
    BackprojPlan plan(grid.bg, grid.fov, settings(), warnings);
    ASSERT_TRUE(plan.deciding());
    EXPECT_EQ(plan.source(), "timed");
    time_batches(plan, grid, 3, 0.9);
    EXPECT_EQ(plan.shape(), shape_candidates()[3]);
    for (const BackprojPlan::Measure& m : plan.measures()) EXPECT_GT(m.blocks, 0) << shape_name(m.shape);
    expect_cover(plan.tasks(), grid.bg.npxls);
    EXPECT_NE(plan.summary().find("backprojection plan " + shape_name(shape_candidates()[3]) + " (timed"),
              std::string::npos)
        << plan.summary();
  }
  {
    // 1 % faster is within the noise: the default stays.
    BackprojPlan plan(grid.bg, grid.fov, settings(), warnings);
    time_batches(plan, grid, 3, 0.99);
    EXPECT_EQ(plan.shape(), BackprojShape{});
  }
  {
    // A candidate far slower than the rest is dropped after the first batch.
    BackprojPlan plan(grid.bg, grid.fov, settings(), warnings);
    time_batches(plan, grid, 6, 2.0);
    EXPECT_EQ(plan.measures()[6].blocks, 2);
    EXPECT_GT(plan.measures()[1].blocks, 2);
  }
  EXPECT_TRUE(warnings.empty());
}

TEST(BackprojPlanner, ForcedScalarAndSmallRunsTimeNothing) {
  std::vector<std::string> warnings;
  const Grid grid, small(32);
  BackprojPlan forced(grid.bg, grid.fov, settings("", "t8-c2-p0-gathers"), warnings);
  EXPECT_FALSE(forced.deciding());
  EXPECT_EQ(shape_name(forced.shape()), "t8-c2-p0-gathers");
  expect_cover(forced.tasks(), grid.bg.npxls);
  EXPECT_THROW(BackprojPlan(grid.bg, grid.fov, settings("", "fast"), warnings), RunError);
  PlanSettings scalar = settings();
  scalar.kernel = "scalar";
  EXPECT_FALSE(BackprojPlan(grid.bg, grid.fov, scalar, warnings).deciding());
  BackprojPlan tiny(small.bg, small.fov, settings(), warnings);
  EXPECT_FALSE(tiny.deciding());
  EXPECT_EQ(tiny.source(), "default");
  expect_cover(tiny.tasks(), small.bg.npxls);
  EXPECT_TRUE(warnings.empty());
}

TEST(BackprojPlanner, SavesThePlanAndReusesItForTheSameCpuAndGeometry) {
  const Grid grid, other(120);
  testing::TempDir dir;
  const std::string file = dir.file("plans");
  std::vector<std::string> warnings;
  {
    BackprojPlan plan(grid.bg, grid.fov, settings(file), warnings);
    time_batches(plan, grid, 2, 0.8);
    EXPECT_EQ(plan.save(), "");
  }
  {
    // Another geometry keeps its own entry beside the first.
    BackprojPlan plan(other.bg, other.fov, settings(file), warnings);
    ASSERT_TRUE(plan.deciding());
    time_batches(plan, other, 1, 0.8);
    EXPECT_EQ(plan.save(), "");
  }
  BackprojPlan again(grid.bg, grid.fov, settings(file), warnings);
  EXPECT_FALSE(again.deciding());
  EXPECT_EQ(again.source(), "wisdom");
  EXPECT_EQ(again.shape(), shape_candidates()[2]);
  EXPECT_EQ(BackprojPlan(other.bg, other.fov, settings(file), warnings).shape(), shape_candidates()[1]);
  PlanSettings more_threads = settings(file);
  more_threads.threads = 3;
  EXPECT_TRUE(BackprojPlan(grid.bg, grid.fov, more_threads, warnings).deciding());
  EXPECT_TRUE(warnings.empty());
  const std::vector<uint8_t> bytes = testing::read_bytes(file);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 3);
  EXPECT_TRUE(std::filesystem::is_regular_file(file));
}

TEST(BackprojPlanner, DamagedOrForeignPlanFilesAreIgnoredWithAWarning) {
  const Grid grid;
  testing::TempDir dir;
  std::vector<std::string> warnings;
  // One of ours with a damaged line (a shape this program never writes):
  // not trusted, timed again, rewritten with the new plan alone.
  const std::string damaged = dir.file("damaged");
  std::vector<std::pair<std::string, std::string>> entries;
  {
    BackprojPlan probe(grid.bg, grid.fov, settings(), warnings);
    entries = {{probe.key(), "t16-c4-p3-rows"}, {"cpu=x", "t16-c4-p99-rows"}};
  }
  std::string text = format_wisdom(entries);
  testing::write_bytes(damaged, std::vector<uint8_t>(text.begin(), text.end()));
  {
    BackprojPlan plan(grid.bg, grid.fov, settings(damaged), warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("line 3 is damaged; ignored"), std::string::npos) << warnings[0];
    EXPECT_TRUE(plan.deciding());
    time_batches(plan, grid, 4, 0.5);
    EXPECT_EQ(plan.save(), "");
    BackprojPlan again(grid.bg, grid.fov, settings(damaged), warnings);
    EXPECT_EQ(again.source(), "wisdom");
    EXPECT_EQ(again.shape(), shape_candidates()[4]);
  }
  // Something else under that name (a volume given by mistake): ignored
  // and never overwritten.
  warnings.clear();
  const std::string foreign = dir.file("volume.seq");
  const std::vector<uint8_t> data = {0, 1, 2, 3, '\n', 'x'};
  testing::write_bytes(foreign, data);
  {
    BackprojPlan plan(grid.bg, grid.fov, settings(foreign), warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("not saved"), std::string::npos) << warnings[0];
    time_batches(plan, grid, 4, 0.5);
    EXPECT_EQ(plan.save(), "");
  }
  EXPECT_EQ(testing::read_bytes(foreign), data);
  // A folder in its place: a warning, and the run goes on with a timed plan.
  warnings.clear();
  BackprojPlan in_folder(grid.bg, grid.fov, settings(dir.str()), warnings);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_TRUE(in_folder.deciding());
  // A file that cannot be written: the plan is used, saving it only warns.
  warnings.clear();
  BackprojPlan nowhere(grid.bg, grid.fov, settings(dir.file("missing/plans")), warnings);
  EXPECT_TRUE(warnings.empty());
  time_batches(nowhere, grid, 4, 0.5);
  EXPECT_EQ(nowhere.shape(), shape_candidates()[4]);
  EXPECT_EQ(nowhere.save().rfind("warning: the plan was not saved: cannot create output file", 0), 0u)
      << nowhere.save();
}

}  // namespace
}  // namespace cbrecon
