// Hostile input, faults and resources, end to end: the program is run on a
// small simulated scan whose files are damaged one way at a time, and each
// case checks the exact outcome (exit status and messages, or the defined
// degraded result).  A few cases that need many files or exact limits are
// checked on the library functions instead.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "input/mask.h"
#include "input/phase.h"
#include "input/projection.h"
#include "input/rpm.h"
#include "numeric/error.h"
#include "sim/phantom.h"
#include "sim/scan.h"
#include "support/small_scan.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;
using testing::read_bytes;
using testing::run_process;
using testing::TempDir;
using testing::write_bytes;
using namespace testing::small_scan;
using testing::kAddressSanitizer;

std::string too_short_line(const std::string& name, size_t bytes) {
  return "cbrecon: " + name + ": " + std::to_string(bytes) + " bytes of pixel data, a 64 x 48 detector needs at least " +
         std::to_string(min_pixel_bytes(kRows, kCols)) + "; view skipped\n";
}

std::string undecodable_line(const std::string& name) {
  return "cbrecon: " + name + ": the pixel data do not decode to a 64 x 48 image; view skipped\n";
}

// ---------------------------------------------------------------------------
// Damaged projection files: each damaged view is reported and left out of
// the volume; the run completes (status 1).  Every way of losing view 5
// gives the same volume, and that volume is the clean one less a view, not
// one poisoned by it.

class DamagedView : public ::testing::Test {
 protected:
  static constexpr size_t kVictim = 5;

  void SetUp() override {
    const ProcessResult r = scan.run();
    ASSERT_EQ(r.status, 1) << r.err;
    clean = read_bytes(scan.output());
    original = read_bytes(scan.view(kVictim));
    fs::remove(scan.output());
  }

  // Runs with view 5 replaced by `bytes`; expects a complete run whose
  // stderr is `err`, and returns the volume file.
  std::vector<uint8_t> run_with(const std::vector<uint8_t>& bytes, const std::string& err) {
    write_bytes(scan.view(kVictim), bytes);
    const ProcessResult r = scan.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err);
    // The view is still reported in its place.
    EXPECT_NE(r.out.find("i=  5, time backproj="), std::string::npos);
    EXPECT_NE(r.out.find("image has been saved in " + scan.output()), std::string::npos);
    std::vector<uint8_t> out = read_bytes(scan.output());
    fs::remove(scan.output());
    write_bytes(scan.view(kVictim), original);
    return out;
  }

  // Volume with view 5 left out: the same for every kind of damage.
  void expect_view_left_out(const std::vector<uint8_t>& out) {
    ASSERT_EQ(out.size(), clean.size());
    if (reference.empty()) {
      reference = out;
      // Close to the clean volume: one view of 24 missing, not NaN (which
      // would write 0 everywhere inside the circle).
      const std::vector<int16_t> a = volume_words(clean), b = volume_words(out);
      double diff = 0, mag = 0;
      for (size_t i = 0; i < a.size(); ++i) {
        diff += std::abs(a[i] - b[i]);
        mag += std::abs(a[i]);
      }
      EXPECT_GT(diff, 0.0);
      EXPECT_LT(diff, 0.25 * mag);
    }
    EXPECT_EQ(out, reference);
  }

  // The volume of the scan with view 5's file deleted.
  const std::vector<uint8_t>& removed() {
    if (removed_.empty()) {
      fs::remove(scan.view(kVictim));
      const ProcessResult r = scan.run();
      EXPECT_EQ(r.status, 1) << r.err;
      removed_ = read_bytes(scan.output());
      fs::remove(scan.output());
      write_bytes(scan.view(kVictim), original);
    }
    return removed_;
  }

  Scan scan;
  std::vector<uint8_t> clean, original, reference, removed_;
};

TEST_F(DamagedView, TruncatedAtEverySixteenthOfTheFile) {
  const std::string name = scan.view(kVictim);
  const size_t need = min_pixel_bytes(kRows, kCols);
  for (size_t f = 0; f < 16; ++f) {
    SCOPED_TRACE("truncated to " + std::to_string(f) + "/16");
    const size_t size = original.size() * f / 16;
    const std::vector<uint8_t> part(original.begin(), original.begin() + static_cast<long>(size));
    const size_t pixel_bytes = size >= kHeaderSize ? size - kHeaderSize : 0;
    const std::string err =
        pixel_bytes < need ? too_short_line(name, pixel_bytes) : undecodable_line(name);
    const std::vector<uint8_t> out = run_with(part, err);
    // Too short to be a view: it leaves the view list, as if the file were
    // not there (its neighbours keep their weights).  Long enough but not
    // decodable: it keeps its place and adds nothing.
    if (pixel_bytes < need)
      EXPECT_EQ(out, removed());
    else
      expect_view_left_out(out);
  }
}

TEST_F(DamagedView, HeaderShorterThan1024Bytes) {
  std::vector<uint8_t> part(original.begin(), original.begin() + 1000);
  // No angle to list it at: the view leaves the list, as a missing file.
  EXPECT_EQ(run_with(part, too_short_line(scan.view(kVictim), 0)), removed());
  EXPECT_EQ(run_with({}, too_short_line(scan.view(kVictim), 0)), removed());
}

TEST_F(DamagedView, CodeTableFullOfCode3) {
  std::vector<uint8_t> bad = original;
  const size_t L = code_table_length(kRows, kCols);
  std::fill(bad.begin() + kHeaderSize, bad.begin() + static_cast<long>(kHeaderSize + L), 0xFF);
  expect_view_left_out(run_with(bad, undecodable_line(scan.view(kVictim))));
}

TEST_F(DamagedView, DifferencesRunPastTheEnd) {
  // Every code 2: four bytes per difference, far more than the file holds.
  std::vector<uint8_t> bad = original;
  const size_t L = code_table_length(kRows, kCols);
  std::fill(bad.begin() + kHeaderSize, bad.begin() + static_cast<long>(kHeaderSize + L), 0xAA);
  expect_view_left_out(run_with(bad, undecodable_line(scan.view(kVictim))));
}

TEST_F(DamagedView, UnusableCTnormIsReportedButNotBackprojected) {
  const struct {
    double ctnorm;
    const char* printed;
  } cases[] = {{0.0, "CTnorm =0"},
               {-3.0e5, "CTnorm =-300000"},
               {std::numeric_limits<double>::quiet_NaN(), "CTnorm =nan"},
               {std::numeric_limits<double>::infinity(), "CTnorm =inf"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.printed);
    std::vector<uint8_t> bad = original;
    header_set_double(bad.data(), kCtnormOffset, c.ctnorm);
    write_bytes(scan.view(kVictim), bad);
    const ProcessResult r = scan.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    // The per-view line of view 5 shows the value that made it unusable.
    const size_t at = r.out.find("i=  5,");
    ASSERT_NE(at, std::string::npos);
    const std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    EXPECT_EQ(line.substr(line.size() - std::strlen(c.printed)), c.printed) << line;
    expect_view_left_out(read_bytes(scan.output()));
    write_bytes(scan.view(kVictim), original);
  }
}

TEST_F(DamagedView, OversizedFileIsReadOnlyAsFarAsAViewCanReach) {
  // A sparse terabyte file: reading it all would exhaust memory; the
  // decoder never needs more than max_pixel_bytes, so nothing changes.
  std::error_code ec;
  fs::resize_file(scan.view(kVictim), 1ULL << 40, ec);
  if (ec) GTEST_SKIP() << "no sparse files here: " << ec.message();
  const Clock::time_point t0 = Clock::now();
  const ProcessResult r = scan.run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_LT(seconds_since(t0), 30.0);
  EXPECT_EQ(read_bytes(scan.output()), clean);
}

TEST(ViewFiles, ViewDeletedBetweenListingAndReadingIsSkipped) {
  // The run is paused right after its listing line, the file of view 110
  // removed, and the run resumed.
  Scan scan(120);
  const std::string out_path = scan.dir.file("stdout"), err_path = scan.dir.file("stderr");
  const pid_t pid = start(scan.args({"-p", "128"}), scan.dir.str());
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(wait_for_text(out_path, "has been read"));
  kill(pid, SIGSTOP);
  fs::remove(scan.view(110));
  kill(pid, SIGCONT);
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 1);
  EXPECT_EQ(text_of(err_path), "Can not open file " + scan.view(110) + "\n");
  const std::string out = text_of(out_path);
  EXPECT_NE(out.find("i=110, time backproj="), std::string::npos);
  EXPECT_NE(out.find("image has been saved in"), std::string::npos);
  // The volume still carries the last view's header.
  const std::vector<uint8_t> vol = read_bytes(scan.output()), last = read_bytes(scan.view(119));
  ASSERT_GE(vol.size(), kHeaderSize);
  EXPECT_TRUE(std::equal(vol.begin(), vol.begin() + kHeaderSize, last.begin()));
}

// ---------------------------------------------------------------------------
// The mask file.

TEST(DamagedMask, MissingMaskEndsTheRunWithoutOutput) {
  Scan scan;
  fs::remove(scan.mask());
  const ProcessResult r = scan.run();
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("Can't Open Mask File " + scan.mask() + ".\n"), std::string::npos);
  EXPECT_EQ(r.err, "cbrecon: cannot open mask file " + scan.mask() + ": No such file or directory\n");
  EXPECT_FALSE(fs::exists(scan.output()));
}

TEST(DamagedMask, UnusableCTnormIsRefused) {
  Scan scan;
  const std::vector<uint8_t> original = read_bytes(scan.mask());
  const std::set<std::string> before = files_in(scan.dir.str());
  const struct {
    double ctnorm;
    const char* printed;
  } cases[] = {{0.0, "0"}, {-1.0, "-1"}, {std::numeric_limits<double>::quiet_NaN(), "nan"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.printed);
    set_header_double(scan.mask(), kCtnormOffset, c.ctnorm);
    const ProcessResult r = scan.run();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cbrecon: mask file " + scan.mask() + ": CTnorm (header byte 440) is " + c.printed +
                         "; a positive number is needed\n");
    EXPECT_EQ(files_in(scan.dir.str()), before);
  }
  write_bytes(scan.mask(), original);
}

TEST(DamagedMask, ShortMaskReadsMissingCountsAsZero) {
  Scan scan;
  ASSERT_EQ(scan.run().status, 1);
  const std::vector<uint8_t> clean = read_bytes(scan.output());
  const std::vector<uint8_t> full = read_bytes(scan.mask());
  ASSERT_EQ(full.size(), kHeaderSize + 4 * kRows * kCols);

  // Longer than the detector: the surplus is ignored.
  std::vector<uint8_t> longer = full;
  longer.resize(full.size() + 5000, 0x5A);
  write_bytes(scan.mask(), longer);
  ASSERT_EQ(scan.run().status, 1);
  EXPECT_EQ(read_bytes(scan.output()), clean);

  // Half the counts and two bytes of the next one: the rest reads as 0,
  // the partial count included.
  const size_t kept = kRows * kCols / 2;
  std::vector<uint8_t> shorter(full.begin(), full.begin() + static_cast<long>(kHeaderSize + 4 * kept + 2));
  write_bytes(scan.mask(), shorter);
  Header head;
  const Matrix<uint32_t> raw = read_mask(scan.mask(), kRows, kCols, head.data(), stdout);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), full.begin()));
  EXPECT_EQ(std::memcmp(raw.data(), full.data() + kHeaderSize, 4 * kept), 0);
  for (size_t k = kept; k < raw.size(); ++k) ASSERT_EQ(raw.data()[k], 0u) << k;
  const ProcessResult r = scan.run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_bytes(scan.output()).size(), clean.size());
}

// ---------------------------------------------------------------------------
// The respiratory-signal file of a 4-D run.

// The header of the simulated file and its data lines.
struct VxpParts {
  std::string header;
  std::vector<std::string> lines;
};

VxpParts split_vxp(const std::string& path) {
  VxpParts p;
  std::istringstream in(text_of(path));
  std::string line;
  bool data = false;
  while (std::getline(in, line)) {
    if (data)
      p.lines.push_back(line);
    else
      p.header += line + "\n";
    if (line == "[Data]") data = true;
  }
  return p;
}

TEST(DamagedRespiratoryFile, HeaderWithoutValuesIsRefused) {
  Scan scan(24, true);
  const std::set<std::string> before = files_in(scan.dir.str());
  write_bytes(scan.vxp(), std::vector<uint8_t>{'a', ' ', 'b', ' ', 'c', ' ', 'd', ' ', 'e', ' ', 'f', '\n'});
  ProcessResult r = scan.run({"-ph", "3"}, scan.vxp());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "cbrecon: respiratory file " + scan.vxp() + ": no recording time in the header\n");
  EXPECT_EQ(files_in(scan.dir.str()), before);

  const std::string no_rate = "a b c d e f Total_study_time=10\nSamples_per_second=\n[x] [y]\n1,0,100,0,0,,1\n";
  write_bytes(scan.vxp(), std::vector<uint8_t>(no_rate.begin(), no_rate.end()));
  r = scan.run({"-ph", "3"}, scan.vxp());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "cbrecon: respiratory file " + scan.vxp() + ": no sampling frequency in the header\n");
  EXPECT_EQ(files_in(scan.dir.str()), before);
}

TEST(DamagedRespiratoryFile, MissingFileEndsWithStatus0) {
  Scan scan;
  const ProcessResult r = scan.run({"-ph", "3"}, scan.dir.file("none.vxp"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Can not open file " + scan.dir.file("none.vxp") + "\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(scan.output("4d_ph3.seq")));
}

TEST(DamagedRespiratoryFile, LinesWithNonNumericFieldsAreDropped) {
  Scan scan(24, true);
  ASSERT_EQ(scan.run({"-ph", "2"}, scan.vxp()).status, 1);
  const std::vector<uint8_t> clean = read_bytes(scan.output("4d_ph2.seq"));
  const std::string clean_trace = text_of(scan.dir.file("4dcbctrpm.out"));
  ASSERT_NE(clean_trace, "");

  // Garbage between every two lines: none of it parses, so none of it
  // counts towards the samples the header announces.
  const VxpParts parts = split_vxp(scan.vxp());
  std::string text = parts.header;
  const char* junk[] = {"x,y,z,0,0,,1", "0.5,abc,100,0,0,,1", "0.5,0.1,,0,0,,1", "", "0.5,0.1,200,0,0,,",
                        "\t", "nan,nan,nan,nan,nan,nan,nan", "1,2,3"};
  size_t j = 0;
  for (const std::string& line : parts.lines) text += line + "\n" + junk[j++ % 8] + "\n";
  write_bytes(scan.vxp(), std::vector<uint8_t>(text.begin(), text.end()));
  const ProcessResult r = scan.run({"-ph", "2"}, scan.vxp());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(without_coverage_warnings(r.err), "");
  EXPECT_EQ(read_bytes(scan.output("4d_ph2.seq")), clean);
  EXPECT_EQ(text_of(scan.dir.file("4dcbctrpm.out")), clean_trace);
}

TEST(DamagedRespiratoryFile, AMillionLinesTakeBoundedTime) {
  Scan scan(24, true);
  ASSERT_EQ(scan.run({"-ph", "2"}, scan.vxp()).status, 1);
  const std::vector<uint8_t> clean = read_bytes(scan.output("4d_ph2.seq"));

  // The recording, then a million samples that are no triggers; the header
  // announces room for all of them.
  const VxpParts parts = split_vxp(scan.vxp());
  std::string text = parts.header;
  const size_t key = text.find("Total_study_time=") + 17;
  text.replace(key, text.find('\n', key) - key, "40000");
  for (const std::string& line : parts.lines) text += line + "\n";
  for (int i = 0; i < 1000000; ++i) text += "0.5,1.0," + std::to_string(100000 + 33 * i) + ",0,1,,0\n";
  write_bytes(scan.vxp(), std::vector<uint8_t>(text.begin(), text.end()));
  const Clock::time_point t0 = Clock::now();
  const ProcessResult r = scan.run({"-ph", "2"}, scan.vxp());
  EXPECT_LT(seconds_since(t0), 60.0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_bytes(scan.output("4d_ph2.seq")), clean);
}

TEST(DamagedRespiratoryFile, NoTriggerSamplesWriteNothing) {
  Scan scan(24, true);
  const VxpParts parts = split_vxp(scan.vxp());
  std::string text = parts.header;
  for (std::string line : parts.lines) {
    line.back() = '0';  // trigger output level 0: no trigger sample
    text += line + "\n";
  }
  write_bytes(scan.vxp(), std::vector<uint8_t>(text.begin(), text.end()));
  const ProcessResult r = scan.run({"-ph", "3"}, scan.vxp());
  // An empty bin is no reconstruction: refused, and no volume of zeros.
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "cbrecon: no view to reconstruct: the respiratory file " + scan.vxp() +
                       " holds no trigger sample; nothing written\n");
  EXPECT_NE(r.out.find("size=    0 \n"), std::string::npos);
  EXPECT_EQ(r.out.find("i="), std::string::npos);
  EXPECT_FALSE(fs::exists(scan.output("4d_ph3.seq")));
}

// ---------------------------------------------------------------------------
// Resources: sizes are checked before anything large is allocated.

// The three fatal-error lines, after the line with the memory needed ('#'
// stands for a number).
const char* const kRefusedForMemory =
    "cbrecon: this run needs about # MiB of memory (a volume of # x # x # voxels is # MiB), "
    "but only # MiB are available (limit from )\n"
    "Run-time error...\nallocation failure 3 in f3tensor()\n...now exiting to system...\n";

// The refusal for memory, whichever limit it names (the source is blanked).
bool refused_for_memory(const std::string& err) {
  const size_t from = err.find("(limit from "), to = err.find(")\n", from);
  if (from == std::string::npos || to == std::string::npos) return false;
  return matches(err.substr(0, from + 12) + err.substr(to), kRefusedForMemory);
}

TEST(Resources, AbsurdSizesAreRefusedBeforeAllocating) {
  Scan scan;
  const std::set<std::string> before = files_in(scan.dir.str());
  for (const std::vector<std::string>& sizes :
       {std::vector<std::string>{"-p", "100000"}, {"-z", "60000", "-d", "2000", "-p", "4096"},
        {"-p", "2147483647"}}) {
    SCOPED_TRACE(sizes[0] + " " + sizes[1]);
    const Clock::time_point t0 = Clock::now();
    const ProcessResult r = scan.run(sizes);
    EXPECT_LT(seconds_since(t0), 10.0);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(refused_for_memory(r.err)) << r.err;
    EXPECT_EQ(files_in(scan.dir.str()), before);
  }
}

TEST(Resources, FailedAllocationEndsThroughTheFatalErrorLines) {
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
  // About 1 GB on paper, which any machine has; with 300 MB of address
  // space the volume cannot be allocated: refused before allocating, naming
  // the address-space limit.
  Scan scan;
  std::string cmd = "ulimit -v 300000 && exec " + std::string(CBRECON_BIN);
  for (const std::string& a : scan.args({"-p", "4000", "--threads", "1"}))
    cmd += " '" + a + "'";
  const ProcessResult r = run_process("/bin/sh", {"-c", cmd}, scan.dir.str());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(refused_for_memory(r.err)) << r.err;
  EXPECT_NE(r.err.find("RLIMIT_AS"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(scan.output()));
}

TEST(Resources, AHugeViewCountCostsNothingUntilFilesAreFound) {
  Scan scan(24, true);
  Clock::time_point t0 = Clock::now();
  ProcessResult r = scan.run({"-s", "2000000000"});
  EXPECT_LT(seconds_since(t0), 10.0);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("24 files of # 2000000000 has been read."), std::string::npos);

  // A 4-D run looks for its first file among all numbers below -s.
  t0 = Clock::now();
  r = scan.run({"-s", "2000000000", "-ph", "2"}, scan.vxp());
  EXPECT_LT(seconds_since(t0), 10.0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(without_coverage_warnings(r.err), "");
}

TEST(Resources, FirstProjectionNumberOfALargeRequestListsTheFolder) {
  TempDir dir;
  const std::string prefix = dir.file("P_");
  // Only the "%5.5d" spelling of a number names its file.
  write_bytes(dir.file("P_000007.hnd"), {});
  write_bytes(dir.file("P_7.hnd"), {});
  write_bytes(dir.file("P_00012.hnd"), {});
  write_bytes(dir.file("P_00009.txt"), {});
  fs::create_directory(dir.file("Q"));
  write_bytes(dir.file("Q/P_00003.hnd"), {});
  // The same answer whether every number is tried or the folder is listed.
  EXPECT_EQ(first_projection_number(prefix, 4096), 12);
  EXPECT_EQ(first_projection_number(prefix, 2000000000), 12);
  EXPECT_EQ(first_projection_number(prefix, 12), 12);
  EXPECT_EQ(first_projection_number(dir.file("Q/P_"), 5000), 3);
  write_bytes(dir.file("P_123456.hnd"), {});
  EXPECT_EQ(first_projection_number(dir.file("X_"), 2000000000), 2000000000);
  EXPECT_EQ(first_projection_number(dir.file("none/P_"), 2000000000), 2000000000);
  fs::remove(dir.file("P_00012.hnd"));
  EXPECT_EQ(first_projection_number(prefix, 200000), 123456);
  EXPECT_EQ(first_projection_number(prefix, 123456), 123456);

  // A prefix that leaves room for five digits only: trying every number
  // would stop with RunError at 100000, and so does the listing.
  const std::string longp = dir.file(std::string(70 - dir.str().size() - 1, 'L'));
  ASSERT_EQ(longp.size(), 70u);
  EXPECT_EQ(first_projection_number(longp, 100000), 100000);
  EXPECT_THROW(first_projection_number(longp, 100001), RunError);
  write_bytes(projection_name(longp, 99999), {});
  EXPECT_EQ(first_projection_number(longp, 2000000000), 99999);
}

TEST(Resources, MoreThan65535ViewsAreRefused) {
  // 65536 empty files (a header of zeros each), in memory where possible:
  // on a disk, making them can take many seconds.  The count of views is
  // 16-bit; the 65536th must not wrap it.
  struct Folder {
    fs::path path;
    Folder() {
      const fs::path base = fs::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0
                                ? fs::path("/dev/shm")
                                : fs::temp_directory_path();
      path = base / ("cbrecon-views-" + std::to_string(getpid()));
      fs::create_directories(path);
    }
    ~Folder() { fs::remove_all(path); }
  } dir;
  const std::string prefix = (dir.path / "P_").string();
  for (int i = 0; i < 65536; ++i) {
    const int fd = open(projection_name(prefix, i).c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  try {
    list_projections(prefix, ".hnd", 70000, 0, 0, 0.0);
    ADD_FAILURE() << "65536 views were listed";
  } catch (const RunError& e) {
    EXPECT_STREQ(e.what(), "more than 65535 projection files to list; split the scan or use -s to list fewer");
  }
}

TEST(Resources, ViewReadStopsAtItsLimit) {
  TempDir dir;
  std::vector<uint8_t> file(kHeaderSize + 5000, 7);
  write_bytes(dir.file("v.hnd"), file);
  Header head;
  std::vector<uint8_t> data;
  ASSERT_TRUE(read_projection(dir.file("v.hnd"), head.data(), data, 100));
  EXPECT_EQ(data.size(), 100u);
  ASSERT_TRUE(read_projection(dir.file("v.hnd"), head.data(), data));
  EXPECT_EQ(data.size(), 5000u);
  // The limit is what a view of every 32-bit difference takes.
  EXPECT_EQ(max_pixel_bytes(768, 1024), 196352u + 4u * 768 * 1024);
  EXPECT_EQ(min_pixel_bytes(768, 1024), 196352u + 4u * 1024 + 4);
  EXPECT_EQ(min_pixel_bytes(1, 5), 20u);  // one row: no pixel (1, 0)
  EXPECT_EQ(max_pixel_bytes(0, 5), 0u);
  std::vector<uint32_t> none(1, 9);
  EXPECT_EQ(decode_projection_into({}, 5, -1, none.data()).decoded, 0u);
}

// ---------------------------------------------------------------------------
// Faults while writing: nothing appears under the output name unless every
// write succeeded, and no temporary file stays behind.

TEST(OutputFaults, UnwritableLocationsAreRefusedBeforeAnyView) {
  Scan scan;
  write_bytes(scan.dir.file("P__file"), {1, 2, 3});
  const std::set<std::string> before = files_in(scan.dir.str());
  const struct {
    const char* ext;
    std::string why;
  } cases[] = {{"nofolder/x.seq", "folder " + scan.output("nofolder") + ": No such file or directory"},
               {"file/x.seq", scan.output("file") + " is not a folder"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ext);
    const ProcessResult r = scan.run({"-ext", c.ext});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cbrecon: cannot create output file " + scan.output(c.ext) + ": " + c.why + "\n");
    EXPECT_EQ(r.out.find("i="), std::string::npos);
    EXPECT_EQ(r.out.find("saving imagine"), std::string::npos);
    EXPECT_EQ(files_in(scan.dir.str()), before);
  }
}

TEST(OutputFaults, FullDiskKeepsTheOldOutput) {
  // A file-size limit below the volume's size fails a write the way a full
  // disk does (EFBIG instead of ENOSPC).
  Scan scan;
  write_bytes(scan.output(), {'o', 'l', 'd'});
  const std::set<std::string> before = files_in(scan.dir.str());
  std::string cmd = "ulimit -f 20 && exec " + std::string(CBRECON_BIN);
  for (const std::string& a : scan.args()) cmd += " '" + a + "'";
  const ProcessResult r = run_process("/bin/sh", {"-c", cmd}, scan.dir.str());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "cbrecon: cannot write output file " + scan.output() + ": File too large\n");
  EXPECT_EQ(read_bytes(scan.output()), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(files_in(scan.dir.str()), before);
}

// ---------------------------------------------------------------------------
// Interrupts.

// Sends `sig`; the run must end killed by it, leaving in `dir` nothing but
// `inputs` and its captured output.
void interrupt_and_expect_only(pid_t pid, int sig, const std::string& dir,
                               const std::set<std::string>& inputs) {
  kill(pid, sig);
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFSIGNALED(st)) << "exit status " << WEXITSTATUS(st);
  EXPECT_EQ(WTERMSIG(st), sig);
  std::set<std::string> expected = inputs;
  expected.insert({"stdout", "stderr"});
  EXPECT_EQ(files_in(dir), expected);
}

TEST(Interrupts, SignalWhileWritingLeavesNoTemporaryFile) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGXCPU}) {
    SCOPED_TRACE(strsignal(sig));
    // One view and a 31 MB volume file: the run goes almost straight to a long write.
    Scan scan(1);
    const std::set<std::string> inputs = files_in(scan.dir.str());
    // (One view: a run with none is refused before writing anything.)
    std::vector<std::string> args = scan.args({"-p", "256", "-pz", "0.05", "-s", "1"});
    const pid_t pid = start(args, scan.dir.str());
    ASSERT_GT(pid, 0);
    const Clock::time_point t0 = Clock::now();
    std::string tmp;
    while ((tmp = temporary_in(scan.dir.str())).empty() && !fs::exists(scan.output()) &&
           seconds_since(t0) < 60)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    ASSERT_NE(tmp, "") << "the run finished before it could be interrupted";
    interrupt_and_expect_only(pid, sig, scan.dir.str(), inputs);
  }
}

TEST(Interrupts, ConventionalStatusesEndAnInterruptWith130) {
  for (const int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(sig));
    Scan scan(1);
    const std::set<std::string> inputs = files_in(scan.dir.str());
    const pid_t pid = start(scan.args({"-p", "256", "-pz", "0.05", "-s", "1", "--conventional-status"}),
                            scan.dir.str());
    ASSERT_GT(pid, 0);
    const Clock::time_point t0 = Clock::now();
    while (temporary_in(scan.dir.str()).empty() && !fs::exists(scan.output()) && seconds_since(t0) < 60)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    kill(pid, sig);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 130);
    std::set<std::string> expected = inputs;
    expected.insert({"stdout", "stderr"});
    EXPECT_EQ(files_in(scan.dir.str()), expected);
  }
}

TEST(Interrupts, SignalWhileComputingLeavesNothing) {
  Scan scan(120);
  const std::set<std::string> inputs = files_in(scan.dir.str());
  const pid_t pid = start(scan.args({"-p", "128"}), scan.dir.str());
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(wait_for_text(scan.dir.file("stdout"), "i=  0,"));
  interrupt_and_expect_only(pid, SIGTERM, scan.dir.str(), inputs);
}

TEST(Interrupts, AnIgnoredHangupStaysIgnored) {
  // Started under nohup, the run must survive the end of its terminal.
  Scan scan(120);
  const pid_t pid = start(scan.args({"-p", "128"}), scan.dir.str(), SIGHUP);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(wait_for_text(scan.dir.file("stdout"), "has been read"));
  kill(pid, SIGHUP);
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 1);
  EXPECT_TRUE(fs::exists(scan.output()));
}

}  // namespace
}  // namespace cbrecon
