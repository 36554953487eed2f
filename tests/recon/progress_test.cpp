#include "recon/progress.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/e2e_support.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

using testing::Capture;
using testing::TempDir;

TEST(ProgressLine, BarCountsAndTimes) {
  EXPECT_EQ(progress_line(0, 360, 0.4),
            "[------------------------------]   0%  0/360 views  elapsed 0:00  left --:--");
  EXPECT_EQ(progress_line(180, 360, 12.0),
            "[###############---------------]  50%  180/360 views  elapsed 0:12  left 0:12");
  EXPECT_EQ(progress_line(1, 1000, 4.0),
            "[------------------------------]   0%  1/1000 views  elapsed 0:04  left 1:06:36");
  // No view at all: complete at once.
  EXPECT_EQ(progress_line(0, 0, 0.0),
            "[##############################] 100%  0/0 views  elapsed 0:00  left --:--");
}

TEST(ProgressBar, DrawsInPlaceClearsAndStaysSilentWhenHidden) {
  Capture err;
  {
    ProgressBar bar(err.get(), 10, true);
    bar.update(5);
    bar.clear();
    bar.update(10);  // the last view is always drawn
    bar.finish();
    bar.update(10);  // finished: nothing more
  }
  const std::string t = err.text();
  EXPECT_EQ(t.find("\n"), std::string::npos);
  EXPECT_NE(t.find("\r[###############---------------]  50%  5/10 views"), std::string::npos) << t;
  EXPECT_NE(t.find("10/10 views"), std::string::npos) << t;
  EXPECT_EQ(t.substr(t.size() - 4), "\r\033[K");  // finish leaves an empty line

  Capture quiet;
  ProgressBar hidden(quiet.get(), 10, false);
  hidden.update(10);
  hidden.finish();
  EXPECT_EQ(quiet.text(), "");
  EXPECT_FALSE(progress_wanted(quiet.get(), false));  // a file is not a terminal
}

// Runs a program with stderr on a pseudo-terminal and stdout to a file.
struct TerminalRun {
  int status = -1;
  std::string out, terminal;
};

TerminalRun run_on_terminal(const std::vector<std::string>& args, const std::string& cwd) {
  TerminalRun tr;
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return tr;
  TempDir io;
  const std::string out_path = io.file("out");
  const pid_t pid = fork();
  if (pid == 0) {
    close(master);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(slave, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(slave);
  char buf[4096];
  for (;;) {
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the child has closed the terminal
    tr.terminal.append(buf, static_cast<size_t>(n));
  }
  close(master);
  int st = 0;
  waitpid(pid, &st, 0);
  tr.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  const std::vector<uint8_t> out = testing::read_bytes(out_path);
  tr.out.assign(out.begin(), out.end());
  return tr;
}

TEST(ProgressBar, OnATerminalOnlyAndNeverOnStdout) {
  TempDir scan;
  const testing::ProcessResult sim =
      testing::run_process(CBRECON_SIM_BIN, {"--prefix", scan.file("PROJ_"), "--scale", "0.25",
                                             "--cols", "256", "--rows", "192", "--views", "40", "--quiet"});
  ASSERT_EQ(sim.status, 0) << sim.err;
  const std::vector<std::string> run = {CBRECON_BIN, scan.file("PROJ_"), scan.file("NormImage.hnd"),
                                        "0", "-d", "256", "-z", "192", "-s", "40", "-p", "32", "-fov", "60"};
  const TerminalRun shown = run_on_terminal(run, scan.str());
  ASSERT_EQ(shown.status, 1) << shown.terminal;
  EXPECT_NE(shown.terminal.find("40/40 views"), std::string::npos) << shown.terminal;
  EXPECT_NE(shown.terminal.find("elapsed"), std::string::npos);

  std::vector<std::string> quiet = run;
  quiet.push_back("--quiet");
  const TerminalRun hidden = run_on_terminal(quiet, scan.str());
  ASSERT_EQ(hidden.status, 1);
  EXPECT_EQ(hidden.terminal, "");
  // stdout is the same either way, timings aside.
  EXPECT_EQ(testing::mask_times(shown.out), testing::mask_times(hidden.out));
  EXPECT_EQ(shown.out.find("views  elapsed"), std::string::npos);
}

}  // namespace
}  // namespace cbrecon
