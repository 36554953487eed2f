// A small simulated scan (64 x 48 detector) in a fresh folder and the
// helpers of the end-to-end tests that run the program on it: starting it
// in the background, watching its folder, comparing its messages.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "input/projection.h"
#include "sim/phantom.h"
#include "sim/scan.h"
#include "support/test_support.h"

namespace cbrecon::testing::small_scan {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline constexpr int kCols = 64, kRows = 48;

inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

inline std::set<std::string> files_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

inline void set_header_double(const std::string& path, size_t offset, double value) {
  std::vector<uint8_t> bytes = read_bytes(path);
  header_set_double(bytes.data(), offset, value);
  write_bytes(path, bytes);
}

inline std::string text_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The 16-bit words of a volume file after its header.
inline std::vector<int16_t> volume_words(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> w(bytes.size() > kHeaderSize ? (bytes.size() - kHeaderSize) / 2 : 0);
  if (!w.empty()) std::memcpy(w.data(), bytes.data() + kHeaderSize, w.size() * 2);
  return w;
}

// `err` without the lines warning that a phase bin covers too little of the
// rotation (the small scans' bins hold a view or two).
inline std::string without_coverage_warnings(const std::string& err) {
  std::istringstream in(err);
  std::string kept, line;
  while (std::getline(in, line))
    if (line.find(" of the rotation; a bin needs at least") == std::string::npos) kept += line + "\n";
  return kept;
}

// True if `text` is `pattern` with each '#' standing for one or more digits.
inline bool matches(const std::string& text, const std::string& pattern) {
  size_t t = 0;
  for (const char c : pattern) {
    if (c != '#') {
      if (t >= text.size() || text[t] != c) return false;
      ++t;
      continue;
    }
    const size_t from = t;
    while (t < text.size() && std::isdigit(static_cast<unsigned char>(text[t]))) ++t;
    if (t == from) return false;
  }
  return t == text.size();
}

// Starts the program in `dir` with stdout and stderr in files there, every
// ending signal at its default (or `ignored` ignored, as nohup does).
inline pid_t start(const std::vector<std::string>& args, const std::string& dir, int ignored = 0) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv = {const_cast<char*>(CBRECON_BIN)};
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(dir.c_str()) != 0) _exit(127);
  const int o = open("stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int e = open("stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(o, 1);
  dup2(e, 2);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, sig == ignored ? SIG_IGN : SIG_DFL);
  execv(CBRECON_BIN, argv.data());
  _exit(127);
}

// The temporary file being written in `dir`, or "" when there is none.
inline std::string temporary_in(const std::string& dir) {
  for (const std::string& n : files_in(dir))
    if (n.find(".tmp-") != std::string::npos) return n;
  return "";
}

// Waits until the file `path` holds `text`, looking every 0.1 ms.
inline bool wait_for_text(const std::string& path, const std::string& text) {
  const Clock::time_point t0 = Clock::now();
  while (text_of(path).find(text) == std::string::npos) {
    if (seconds_since(t0) > 60) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

// A small simulated scan (64 x 48 detector) in a fresh folder, and the
// command line that reconstructs it (32 x 32 x 16 voxels).
class Scan {
 public:
  explicit Scan(int views = 24, bool vxp = false) {
    sim::ScanConfig c;
    c.cols = kCols;
    c.rows = kRows;
    c.views = views;
    c.prefix = dir.file("P_");
    c.mask = dir.file("mask.hnd");
    if (vxp) c.vxp = dir.file("resp.vxp");
    c.phantom = sim::scaled(sim::make_phantom("shepp"), 0.0625);
    c.threads = 1;
    views_ = sim::simulate_scan(c).views;
  }

  std::string prefix() const { return dir.file("P_"); }
  std::string mask() const { return dir.file("mask.hnd"); }
  std::string vxp() const { return dir.file("resp.vxp"); }
  std::string view(size_t i) const { return views_.at(i).name; }
  size_t nviews() const { return views_.size(); }
  std::string output(const std::string& ext = "bp4d.seq") const { return prefix() + "_" + ext; }

  std::vector<std::string> args(const std::vector<std::string>& extra = {},
                                const std::string& third = "0") const {
    std::vector<std::string> a = {prefix(), mask(), third, "-d", "64", "-z", "48", "-p", "32",
                                  "-fov", "20", "-pz", "0.5", "--threads", "2"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }
  // Runs the reconstruction in the scan's folder (a 4-D run writes its
  // trace file there).
  ProcessResult run(const std::vector<std::string>& extra = {}, const std::string& third = "0") const {
    return run_process(CBRECON_BIN, args(extra, third), dir.str());
  }

  TempDir dir;

 private:
  std::vector<sim::ViewInfo> views_;
};

// A breathing scan of the spheres phantom at a quarter of its size (256 x
// 192 detector; the moving sphere, 3 mm in radius, at x = 7.5, y = -10 mm)
// and the command line that reconstructs it on a 48 x 48 x 12 grid over
// 80 mm.
class BreathingSpheres {
 public:
  BreathingSpheres(double motion, const std::string& xoff = "0", int views = 120)
      : xoff_(xoff), views_(std::to_string(views)) {
    const ProcessResult sim = run_process(
        CBRECON_SIM_BIN, {"--prefix", dir.file("PROJ_"), "--scale", "0.25", "--cols", "256", "--rows", "192",
                          "--views", views_, "--phantom", "spheres", "--motion", std::to_string(motion),
                          "--xoff", xoff, "--vxp", dir.file("breath.vxp"), "--quiet"});
    EXPECT_EQ(sim.status, 0) << sim.err;
  }
  std::vector<std::string> args(const std::string& third, std::vector<std::string> extra) const {
    std::vector<std::string> a = {dir.file("PROJ_"), dir.file("NormImage.hnd"), third, "-d", "256", "-z", "192",
                                  "-s", views_, "-p", "48", "-fov", "80", "-xoff", xoff_};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }
  ProcessResult run(const std::string& third, const std::vector<std::string>& extra) const {
    return run_process(CBRECON_BIN, args(third, extra), dir.str());
  }
  std::string out(const std::string& ext) const { return dir.file("PROJ__" + ext); }

  // Each run of `cases` (third argument, options, the expected line) is
  // refused: status 2, that one line on stderr, nothing written beside the scan.
  struct Refusal {
    std::string third;
    std::vector<std::string> extra;
    std::string line;
  };
  void expect_refusals(const std::vector<Refusal>& cases) const {
    for (const Refusal& c : cases) {
      const ProcessResult r = run(c.third, c.extra);
      EXPECT_EQ(r.status, 2) << c.line;
      EXPECT_EQ(r.err, c.line);
      for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        const std::string n = e.path().filename().string();
        EXPECT_TRUE(n.rfind("PROJ_0", 0) == 0 || n == "NormImage.hnd" || n == "breath.vxp") << n;
      }
    }
  }

  TempDir dir;

 private:
  std::string xoff_, views_;
};

}  // namespace cbrecon::testing::small_scan
