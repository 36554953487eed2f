// Hostile use of a run's resources and outputs: memory limits the machine
// does not show, series folders holding someone else's files, signals from
// job controllers, output names that only fail at the end, values whose
// arithmetic overflows, and runs racing for the same names.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "input/coverage.h"
#include "numeric/files.h"
#include "numeric/memory_limit.h"
#include "support/small_scan.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

using namespace testing::small_scan;
using testing::ProcessResult;
using testing::read_bytes;
using testing::run_process;
using testing::TempDir;
using testing::write_bytes;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// ---------------------------------------------------------------------------
// Memory limits other than the machine's.

TEST(MemoryLimits, ControlGroupLimitsAreFoundAlongTheGroupsPath) {
  TempDir root;
  // v2: the tightest memory.max along the path, less the group's use
  // without its reclaimable cache.
  fs::create_directories(root.file("job/step"));
  write_text(root.file("job/memory.max"), "100000000\n");
  write_text(root.file("job/memory.current"), "30000000\n");
  write_text(root.file("job/memory.stat"), "anon 1\ninactive_file 10000000\n");
  write_text(root.file("job/step/memory.max"), "max\n");
  write_text(root.file("job/step/memory.current"), "5\n");
  MemoryLimit m = cgroup_memory_limit(root.str(), "0::/job/step\n");
  EXPECT_EQ(m.bytes, 80000000u);
  EXPECT_TRUE(contains(m.source, "memory.max")) << m.source;
  EXPECT_TRUE(contains(m.source, "/job")) << m.source;
  // v1: the memory controller's hierarchy only.
  fs::create_directories(root.file("memory/batch"));
  write_text(root.file("memory/batch/memory.limit_in_bytes"), "64000000\n");
  write_text(root.file("memory/batch/memory.usage_in_bytes"), "4000000\n");
  m = cgroup_memory_limit(root.str(), "4:memory:/batch\n3:cpu:/job\n");
  EXPECT_EQ(m.bytes, 60000000u);
  EXPECT_TRUE(contains(m.source, "memory.limit_in_bytes")) << m.source;
  // No limit anywhere: nothing.
  EXPECT_EQ(cgroup_memory_limit(root.str(), "0::/elsewhere\n").source, "");
}

TEST(MemoryLimits, AnAddressSpaceLimitIsRefusedBeforeReadingWithItsSource) {
  if (testing::kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
  Scan scan(8);
  // A 1024 x 1024 x 64 volume (256 MiB) under a 200 MB address space.
  const std::string line = "ulimit -v 200000; exec '" + std::string(CBRECON_BIN) + "'";
  std::string args;
  for (const std::string& a : scan.args({"-p", "1024", "-pz", "0.125"})) args += " '" + a + "'";
  const ProcessResult r = run_process("/bin/sh", {"-c", line + args}, scan.dir.str());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err, "needs about")) << r.err;
  EXPECT_TRUE(contains(r.err, "limit from the address-space limit RLIMIT_AS")) << r.err;
  EXPECT_FALSE(contains(r.out, "has been read")) << r.out;
  EXPECT_FALSE(fs::exists(scan.output()));
}

// ---------------------------------------------------------------------------
// Series folders: replaced only when wholly a series this program wrote.

TEST(SeriesFolder, InputsAndForeignFilesInsideAnOldSeriesAreNeverDeleted) {
  Scan scan(8);
  const std::vector<std::string> dcm = {"--format", "dcm", "--hu-water", "2000"};
  ASSERT_EQ(scan.run(dcm).status, 1);
  const std::string folder = scan.output("bp4d_dicom");
  ASSERT_TRUE(fs::is_directory(folder));
  // A second run replaces its own series.
  ASSERT_EQ(scan.run(dcm).status, 1);
  EXPECT_EQ(files_in(scan.dir.str()).count("P__bp4d_dicom"), 1u);

  // The mask, moved into the folder under a .dcm name, is an input: refused
  // before anything is read.
  fs::copy_file(scan.mask(), folder + "/mask.dcm");
  std::vector<std::string> args = scan.args(dcm);
  args[1] = folder + "/mask.dcm";
  ProcessResult r = run_process(CBRECON_BIN, args, scan.dir.str());
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(contains(r.err, "mask")) << r.err;
  EXPECT_FALSE(contains(r.out, "has been read")) << r.out;
  EXPECT_EQ(read_bytes(folder + "/mask.dcm"), read_bytes(scan.mask()));

  // Someone else's .dcm file: the folder is not replaced, the run refused.
  fs::rename(folder + "/mask.dcm", folder + "/IM00001.dcm");
  r = scan.run(dcm);
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_TRUE(contains(r.err, "IM00001.dcm")) << r.err;
  EXPECT_EQ(read_bytes(folder + "/IM00001.dcm"), read_bytes(scan.mask()));
}

// ---------------------------------------------------------------------------
// Every catchable ending signal removes the temporaries.

TEST(EndingSignals, EachRemovesTheFileOrSeriesBeingWritten) {
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);  // SIGQUIT dumps core by default
  for (const bool series : {false, true})
    for (const int sig : {SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGVTALRM, SIGPROF}) {
      SCOPED_TRACE(std::string(strsignal(sig)) + (series ? " during the series" : " during the volume"));
      // One view and a large volume: the run goes quickly to a long write.
      Scan scan(1);
      const std::set<std::string> before = files_in(scan.dir.str());
      std::vector<std::string> args = scan.args({"-p", "256", "-pz", "0.05"});
      if (series) args.insert(args.end(), {"--format", "dcm", "--hu-water", "2000"});
      const pid_t pid = start(args, scan.dir.str());
      ASSERT_GT(pid, 0);
      const Clock::time_point t0 = Clock::now();
      auto writing = [&] {
        for (const std::string& n : files_in(scan.dir.str()))
          if (series ? n.starts_with("P__bp4d_dicom.") : contains(n, ".tmp-")) return true;
        return false;
      };
      while (!writing() && seconds_since(t0) < 60) std::this_thread::sleep_for(std::chrono::microseconds(100));
      kill(pid, sig);
      int st = 0;
      waitpid(pid, &st, 0);
      ASSERT_TRUE(WIFSIGNALED(st)) << "exit status " << WEXITSTATUS(st);
      EXPECT_EQ(WTERMSIG(st), sig);
      for (const std::string& n : files_in(scan.dir.str()))
        if (!before.count(n) && n != "stdout" && n != "stderr" && n != "P__bp4d.seq")
          ADD_FAILURE() << "left behind: " << n;
    }
}

// ---------------------------------------------------------------------------
// Output names refused before the reconstruction, not after it.

TEST(EarlyOutputChecks, NamesThatOnlyFailAtTheEndAreRefusedFirst) {
  Scan scan(8, true);
  const std::string long_preview = scan.dir.file(std::string(248, 'p') + ".png");
  const std::vector<std::vector<std::string>> refused = {
      {"--preview", long_preview},  // with the temporary suffix past NAME_MAX
      {"--format", "dcm", "--hu-water", "2000", "--preview", scan.output("bp4d_dicom")},
  };
  for (const std::vector<std::string>& extra : refused) {
    SCOPED_TRACE(extra.back());
    const ProcessResult r = scan.run(extra);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(contains(r.out, "has been read")) << r.out;
    EXPECT_FALSE(fs::exists(scan.output()));
  }
  // The trace file is only a warning, also when its folder is read-only.
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TempDir ro;
  fs::permissions(ro.path(), fs::perms::owner_read | fs::perms::owner_exec);
  const std::vector<std::string> args = scan.args({"-ph", "3"}, scan.vxp());
  const ProcessResult r = run_process(CBRECON_BIN, args, ro.str());
  fs::permissions(ro.path(), fs::perms::owner_all);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(fs::exists(scan.output("4d_ph3.seq")));
}

TEST(EarlyOutputChecks, ALockMakesConcurrentRunsCommitOneAfterTheOther) {
  TempDir dir;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    const OutputLock lock({dir.str(), dir.str()});
    (void)!write(ready[1], "x", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  const Clock::time_point t0 = Clock::now();
  { const OutputLock lock({dir.str() + "/.", dir.str()}); }
  EXPECT_GT(seconds_since(t0), 0.2);
  int st = 0;
  waitpid(child, &st, 0);
  close(ready[0]);
  close(ready[1]);
}

// ---------------------------------------------------------------------------
// Values whose arithmetic overflows, and what the messages say about them.

TEST(ExtremeValues, UnusableWaterValuesAndOffsetsAreRefusedSayingWhy) {
  Scan scan(8);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--format", "dcm", "--hu-water", "1e306"}, "less than 1 HU"},
      {{"--format", "dcm", "--hu-water", "0.001"}, "more than the whole HU range"},
      {{"--format", "dcm", "--hu-water", "nan"}, "not a number"},
      {{"--format", "dcm", "--hu-water", "-inf"}, "infinite"},
      {{"-xoff", "-inf"}, "infinite"},
  };
  for (const auto& [extra, why] : cases) {
    SCOPED_TRACE(extra.back());
    const ProcessResult r = scan.run(extra);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(contains(r.err, why)) << r.err;
    EXPECT_FALSE(fs::exists(scan.output()));
  }
}

// ---------------------------------------------------------------------------
// Sortings that leave bins without a usable set of angles.

TEST(BinCoverage, NarrowBinsAndUnbinnedViewsAreWarnedAbout) {
  ViewList v;
  v.angles = {10, 20, 30, 100};
  v.ik = 4;
  EXPECT_TRUE(contains(bin_coverage_warning(v, 3), "90.0 degrees")) << bin_coverage_warning(v, 3);
  v.angles = {350, 10, 100, 170, 260};  // around the circle, across 0
  v.ik = 5;
  EXPECT_EQ(bin_coverage_warning(v, 3), "");
  v.angles = {300, 340, 20, 60};  // 120 degrees across 0
  v.ik = 4;
  EXPECT_TRUE(contains(bin_coverage_warning(v, 3), "120.0 degrees"));
  EXPECT_EQ(bin_coverage_warning(ViewList{}, 3), "");

  PhaseTable t;
  t.tab = matrix(0, 3, 0, 9);
  t.count = 10;
  for (int i = 0; i < 10; ++i) t.tab[3][i] = i < 4 ? 0.0f : 5.0f;
  EXPECT_TRUE(contains(unbinned_warning(t, 1000, 10), "4 of the 10 views")) << unbinned_warning(t, 1000, 10);
  EXPECT_TRUE(contains(unbinned_warning(t, 4, 10), "4 of the 4 views"));  // only samples paired with a view
  for (int i = 0; i < 10; ++i) t.tab[3][i] = i < 2 ? 11.0f : 5.0f;
  EXPECT_EQ(unbinned_warning(t, 1000, 10), "");
}

}  // namespace
}  // namespace cbrecon
