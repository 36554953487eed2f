// A scan folder that other users and other runs share: each test plays one
// attack or accident end to end and checks that no file outside the run's
// own outputs changes, that every output is a complete regular file written
// by this run, and that no temporary file stays behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

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

const std::vector<uint8_t> kVictim = {'v', 'i', 'c', 't', 'i', 'm'};

// Runs a shell command line (the program's path is $CB) in `dir`.
ProcessResult shell(const std::string& line, const std::string& dir) {
  return run_process("/bin/sh", {"-c", "CB='" + std::string(CBRECON_BIN) + "'; " + line}, dir);
}

std::string quoted(const std::vector<std::string>& args) {
  std::string s;
  for (const std::string& a : args) s += " '" + a + "'";
  return s;
}

bool no_temporary_left(const std::string& dir) { return temporary_in(dir).empty(); }

// The process ids the next runs will most likely get.
std::vector<long> likely_next_pids(int count) {
  long last = 0;
  std::ifstream("/proc/sys/kernel/ns_last_pid") >> last;
  std::vector<long> pids;
  for (long p = last + 1; p <= last + count; ++p) pids.push_back(p);
  return pids;
}

TEST(SharedFolder, PlantedLinksAreReplacedNeverFollowed) {
  Scan scan(24, true);
  TempDir elsewhere;
  const std::vector<std::string> finals = {scan.output("4d_ph2.seq"), scan.output("4d_ph2.nrrd"),
                                           scan.dir.file("look.png"), scan.dir.file("4dcbctrpm.out")};
  // Links at the names the run writes, and at the temporary names a
  // predictable scheme (final name, ".tmp-", process id) would use.
  std::vector<std::string> victims;
  auto plant = [&](const std::string& at) {
    const std::string victim = elsewhere.file("victim" + std::to_string(victims.size()));
    write_bytes(victim, kVictim);
    fs::create_symlink(victim, at);
    victims.push_back(victim);
  };
  for (const std::string& f : finals) {
    plant(f);
    for (long pid : likely_next_pids(40)) plant(f + ".tmp-" + std::to_string(pid));
  }
  const ProcessResult r =
      scan.run({"-ph", "2", "--format", "nrrd", "--preview", scan.dir.file("look.png")}, scan.vxp());
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(without_coverage_warnings(r.err), "");
  for (const std::string& v : victims) EXPECT_EQ(read_bytes(v), kVictim) << v;
  for (const std::string& f : finals) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(f))) << f;
    EXPECT_GT(fs::file_size(f), 0u) << f;
  }
  for (const std::string& n : files_in(scan.dir.str())) {
    if (n.find(".tmp-") != std::string::npos) {
      EXPECT_TRUE(fs::is_symlink(scan.dir.file(n))) << "left behind: " << n;
    }
  }
}

TEST(SharedFolder, TwoRunsWithTheSameProcessIdWriteOneCompleteVolume) {
  if (run_process("/usr/bin/unshare", {"-p", "-f", "--mount-proc", "true"}).status != 0)
    GTEST_SKIP() << "no pid namespaces here (unshare -p)";
  Scan scan(60);
  // Two different volumes for one name: scale 10 and scale 20.
  ASSERT_EQ(scan.run({"-ext", "a.seq"}).status, 1);
  ASSERT_EQ(scan.run({"-ext", "b.seq", "-sc", "20"}).status, 1);
  const std::vector<uint8_t> a = read_bytes(scan.output("a.seq")), b = read_bytes(scan.output("b.seq"));
  ASSERT_NE(a, b);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    // Each run is process 1 of its own namespace.
    const std::string one = "unshare -p -f --mount-proc \"$CB\"" + quoted(scan.args());
    const std::string two = "unshare -p -f --mount-proc \"$CB\"" + quoted(scan.args({"-sc", "20"}));
    const ProcessResult r = shell(one + " >o1 2>e1 & " + two + " >o2 2>e2; s2=$?; wait $!; s1=$?; echo $s1 $s2",
                                  scan.dir.str());
    EXPECT_EQ(r.out, "1 1\n") << text_of(scan.dir.file("e1")) << text_of(scan.dir.file("e2"));
    const std::vector<uint8_t> got = read_bytes(scan.output());
    EXPECT_TRUE(got == a || got == b) << "a mix of both runs";
    EXPECT_TRUE(no_temporary_left(scan.dir.str()));
  }
}

TEST(SharedFolder, SizeAndTimeLimitsEndWithoutATemporaryFile) {
  Scan scan;
  // A file-size limit: the write fails as on a full disk, other outputs are
  // still tried, each failure is one line.
  const ProcessResult r = shell("ulimit -f 20 && exec \"$CB\"" + quoted(scan.args({"--format", "mha"})),
                                scan.dir.str());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "cbrecon: cannot write output file " + scan.output() +
                       ": File too large\ncbrecon: cannot write output file " + scan.output("bp4d.mha") +
                       ": File too large\n");
  EXPECT_FALSE(fs::exists(scan.output()));
  EXPECT_TRUE(no_temporary_left(scan.dir.str()));
}

TEST(SharedFolder, InputsThatAreNotRegularFilesNeverBlock) {
  Scan scan(24, true);
  auto make_fifo = [](const std::string& path) {
    fs::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  };
  auto run_guarded = [&](const std::vector<std::string>& extra, const std::string& third) {
    std::vector<std::string> args = {"60", CBRECON_BIN};
    for (const std::string& a : scan.args(extra, third)) args.push_back(a);
    return run_process("/usr/bin/timeout", args, scan.dir.str());
  };
  // A view: reported and skipped, the run completes.
  const std::string view = scan.view(5);
  make_fifo(view);
  ProcessResult r = run_guarded({}, "0");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "cbrecon: " + view + " is not a regular file; view skipped\n");
  EXPECT_NE(r.out.find("23 files of # 1000 has been read."), std::string::npos) << r.out;
  // The respiratory file: unreadable, which ends the run with status 0.
  make_fifo(scan.vxp());
  r = run_guarded({"-ph", "2"}, scan.vxp());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Can not open file " + scan.vxp() + "\n"), std::string::npos);
  // The mask: refused with one line.
  make_fifo(scan.mask());
  r = run_guarded({}, "0");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "cbrecon: cannot open mask file " + scan.mask() + ": not a regular file\n");
}

TEST(SharedFolder, OutputsThatWouldReplaceInputsOrEachOtherAreRefused) {
  Scan scan(24, true);
  const std::set<std::string> before = files_in(scan.dir.str());
  const std::string seq = scan.output("4d_ph2.seq");
  write_bytes(seq, kVictim);
  const std::string mask_elsewhere = scan.dir.str() + "/../" + scan.dir.path().filename().string() + "/mask.hnd";
  const struct {
    std::vector<std::string> extra;
    std::string line;
  } cases[] = {
      {{"--preview", mask_elsewhere},
       "cbrecon: the preview " + mask_elsewhere + " would replace the mask file; choose another name\n"},
      {{"--preview", scan.view(3)}, "cbrecon: the preview " + scan.view(3) +
                                        " would replace a projection file; choose another name\n"},
      {{"--preview", scan.vxp()},
       "cbrecon: the preview " + scan.vxp() + " would replace the respiratory file; choose another name\n"},
      {{"--preview", seq}, "cbrecon: the preview " + seq + " is also this run's volume " + seq +
                               "; choose another name\n"},
      {{"--preview", "4dcbctrpm.out"},
       "cbrecon: the trace file 4dcbctrpm.out is also this run's preview 4dcbctrpm.out; choose another name\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<std::string> extra = {"-ph", "2"};
    extra.insert(extra.end(), c.extra.begin(), c.extra.end());
    const ProcessResult r = scan.run(extra, scan.vxp());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, c.line);
    EXPECT_EQ(r.out.find("RPM signal"), std::string::npos) << "refused only after reading inputs";
  }
  EXPECT_EQ(read_bytes(seq), kVictim);
  std::set<std::string> after = files_in(scan.dir.str());
  after.erase(fs::path(seq).filename().string());
  EXPECT_EQ(after, before);
}

TEST(SharedFolder, ReadOnlyFolderIsRefusedBeforeAnyView) {
  Scan scan;
  TempDir out;
  const std::string ro = out.file("ro");
  fs::create_directory(ro);
  // A read-only mount refuses root as well; it needs a mount namespace.
  if (run_process("/usr/bin/unshare", {"-m", "true"}).status != 0) GTEST_SKIP() << "no mount namespaces here";
  std::vector<std::string> args = scan.args({"-ext", "x.seq"});
  args[0] = ro + "/P_";  // the output goes to the read-only folder
  const ProcessResult r = run_process(
      "/usr/bin/unshare",
      {"-m", "/bin/sh", "-c",
       "mount --bind '" + ro + "' '" + ro + "' && mount -o remount,ro,bind '" + ro + "' '" + ro +
           "' && exec '" + CBRECON_BIN + "'" + quoted(args)},
      scan.dir.str());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "cbrecon: cannot create output file " + ro + "/P__x.seq: folder " + ro +
                       ": Read-only file system\n");
  EXPECT_EQ(r.out.find("i="), std::string::npos);
}

TEST(SharedFolder, ABinBlockedAtTheEndDoesNotCostTheOthers) {
  Scan scan(240, true);
  std::vector<std::string> args = scan.args({"--all-phases", "-p", "96", "-pz", "0.1"}, scan.vxp());
  const pid_t pid = start(args, scan.dir.str());
  ASSERT_GT(pid, 0);
  // Once the run has checked its outputs, a folder takes bin 4's name.
  ASSERT_TRUE(wait_for_text(scan.dir.file("stdout"), "has been read"));
  const std::string blocked = scan.output("4d_ph4.seq");
  fs::create_directory(blocked);
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 2);
  const std::string err = text_of(scan.dir.file("stderr"));
  EXPECT_EQ(err, "cbrecon: cannot write output file " + blocked + ": Is a directory\n");
  const std::string out = text_of(scan.dir.file("stdout"));
  for (int bin = 1; bin <= 10; ++bin) {
    if (bin == 4) continue;
    const std::string name = scan.output(bin == 10 ? "4d_ph10.seq" : "4d_ph" + std::to_string(bin) + ".seq");
    EXPECT_TRUE(fs::is_regular_file(name)) << name;
    EXPECT_NE(out.find("image has been saved in " + name), std::string::npos) << name;
  }
  EXPECT_TRUE(no_temporary_left(scan.dir.str()));
}

TEST(SharedFolder, TooFewThreadsForTheRequestStillRun) {
  // Root is exempt from the process limit: run as nobody.
  if (run_process("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "true"}).status != 0)
    GTEST_SKIP() << "cannot change user here (setpriv)";
  Scan scan;
  fs::permissions(scan.dir.path(), fs::perms::all);
  const ProcessResult r = shell(
      "exec prlimit --nproc=3 setpriv --reuid=65534 --regid=65534 --clear-groups \"$CB\"" +
          quoted(scan.args({"--threads", "64"})),
      scan.dir.str());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(matches(r.err, "cbrecon: warning: only # of the 64 threads asked for could be started\n")) << r.err;
  EXPECT_TRUE(fs::is_regular_file(scan.output()));
}

}  // namespace
}  // namespace cbrecon
