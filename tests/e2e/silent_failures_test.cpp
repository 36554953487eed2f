// Runs that cannot do what was asked say so: nothing reconstructed means
// nothing written (status 2), the detector size comes from the files, a file
// that cannot be a view leaves the view list, legal surprises are warned
// about on stderr, bad command lines are refused, and the statuses can be
// the conventional ones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "input/projection.h"
#include "support/e2e_support.h"
#include "support/small_scan.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

namespace fs = std::filesystem;
using testing::mask_times;
using testing::ProcessResult;
using testing::read_bytes;
using testing::run_process;
using testing::write_bytes;
using namespace testing::small_scan;

// The header-stated image size of every view set to cols x rows.
void state_size(const Scan& scan, uint32_t cols, uint32_t rows) {
  for (size_t i = 0; i < scan.nviews(); ++i) {
    std::vector<uint8_t> b = read_bytes(scan.view(i));
    for (int k = 0; k < 4; ++k) {
      b[kWidthOffset + k] = static_cast<uint8_t>(cols >> (8 * k));
      b[kHeightOffset + k] = static_cast<uint8_t>(rows >> (8 * k));
    }
    write_bytes(scan.view(i), b);
  }
}

TEST(NothingReconstructed, LeavesTheEarlierVolumeAndEndsWithStatus2) {
  Scan scan(24, true);
  ASSERT_EQ(scan.run().status, 1);
  const std::vector<uint8_t> good = read_bytes(scan.output());

  // A wrong prefix finds no file.
  ProcessResult r = run_process(CBRECON_BIN, {scan.dir.file("Q_"), scan.mask(), "0", "-d", "64", "-z", "48", "-pz", "0.5"},
                                scan.dir.str());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "cbrecon: no view to reconstruct: no projection file " + scan.dir.file("Q_00000.hnd") +
                       " found (nor any of the next 100 numbers): check the prefix; nothing written\n");
  EXPECT_FALSE(fs::exists(scan.dir.file("Q__bp4d.seq")));

  // Every view's pixel data undecodable (intact headers): each is skipped
  // with its line, and the good volume stays.
  for (size_t i = 0; i < scan.nviews(); ++i) {
    std::vector<uint8_t> b = read_bytes(scan.view(i));
    std::fill(b.begin() + kHeaderSize, b.begin() + kHeaderSize + code_table_length(kRows, kCols), 0xFF);
    write_bytes(scan.view(i), b);
  }
  r = scan.run();
  EXPECT_EQ(r.status, 2);
  const std::string last = r.err.substr(r.err.rfind("cbrecon: ", r.err.size() - 2));
  EXPECT_EQ(last, "cbrecon: no view could be used (each was skipped: check -d 64 -z 48 against the files); " +
                      scan.output() + " not written\n");
  EXPECT_EQ(r.out.find("Total time"), std::string::npos);
  EXPECT_EQ(read_bytes(scan.output()), good);
}

TEST(NothingReconstructed, EmptyBinsOfAllPhasesAreNotWritten) {
  Scan scan(24, true);  // bins 3, 4 and 5 hold no view
  const ProcessResult r = scan.run({"--all-phases"}, scan.vxp());
  EXPECT_EQ(r.status, 2);
  for (int bin = 1; bin <= 10; ++bin) {
    const std::string name = scan.output("4d_ph" + std::to_string(bin) + ".seq");
    const bool empty = bin >= 3 && bin <= 5;
    EXPECT_EQ(fs::exists(name), !empty) << name;
    EXPECT_EQ(r.err.find("phase bin " + std::to_string(bin) + ": no view falls in this bin; " + name +
                         " not written\n") != std::string::npos, empty) << r.err;
  }
}

TEST(ImageSize, FromTheHeadersRefusesOtherOptionsBeforeReadingViews) {
  Scan scan;
  for (const auto& [d, z] : {std::pair{"128", "48"}, std::pair{"64", "40"}, std::pair{"64", "64"}}) {
    const ProcessResult r = run_process(CBRECON_BIN, {scan.prefix(), scan.mask(), "0", "-d", d, "-z", z, "-p",
                                                      "32", "-fov", "20", "-pz", "0.5"}, scan.dir.str());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cbrecon: " + scan.view(0) + " holds 64 x 48 images (columns x rows), but the run was given -d " +
                         d + " -z " + z + ": run with -d 64 -z 48\n");
    EXPECT_EQ(r.out.find("i="), std::string::npos);
    EXPECT_FALSE(fs::exists(scan.output()));
  }
  // A header that states no size (or one the file's length cannot hold) is
  // not checked: the views decode as before.
  ASSERT_EQ(scan.run().status, 1);
  const std::vector<uint16_t> stated = [&] {
    std::vector<int16_t> w = volume_words(read_bytes(scan.output()));
    return std::vector<uint16_t>(w.begin(), w.end());
  }();
  for (const auto& [c, rws] : {std::pair{0u, 0u}, std::pair{4096u, 4096u}}) {
    state_size(scan, c, rws);
    const ProcessResult r = scan.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    std::vector<int16_t> w = volume_words(read_bytes(scan.output()));
    EXPECT_EQ(std::vector<uint16_t>(w.begin(), w.end()), stated);
  }
}

TEST(UnusableView, LeavesTheViewListAsIfTheFileWereMissing) {
  Scan scan;
  const std::string victim = scan.view(12);
  const std::vector<uint8_t> original = read_bytes(victim);
  fs::remove(victim);
  ASSERT_EQ(scan.run().status, 1);
  const std::vector<uint8_t> removed = read_bytes(scan.output());
  const std::string removed_out = mask_times(scan.run().out);
  // Empty, header only, and cut inside the pixels' plain first row.
  for (const size_t size : {size_t{0}, kHeaderSize, kHeaderSize + 40}) {
    write_bytes(victim, std::vector<uint8_t>(original.begin(), original.begin() + static_cast<long>(size)));
    const ProcessResult r = scan.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cbrecon: " + short_view_message(victim, size > kHeaderSize ? size - kHeaderSize : 0, kCols,
                                                       kRows) + "\n");
    EXPECT_EQ(read_bytes(scan.output()), removed);
    EXPECT_EQ(mask_times(r.out), removed_out);
  }
}

TEST(Warnings, OneLineOnStderrAndTheRunGoesOn) {
  Scan scan(24, true);
  Scan other(48, true);
  const std::string p = scan.prefix();
  const struct {
    std::vector<std::string> extra;
    std::string third, line;
  } cases[] = {
      {{"-s", "20"}, "0",
       "warning: only the first 20 projection files were read (-s 20); 4 more follow from " + p +
           "00020.hnd (-s 24 reads them all)"},
      {{"-ph", "2"}, other.vxp(),
       "warning: the respiratory file " + other.vxp() + " holds 48 trigger samples but 24 projection files "
       "follow from " + p + "00000.hnd: the phase bins may hold the wrong views (is it this scan's "
       "respiratory file?)"},
      {{"-hscan", "-xoff", "-2"}, "0",
       "warning: a half scan (-hscan) with an offset detector (-xoff -2) does not cover the field of view: every "
       "view sees one side of it, half a rotation leaves part unseen"},
      {{"-fov", "40"}, "0",
       "warning: -fov 40.0 is wider than the 16.6 mm circle the detector covers (-d 64); the image outside it is "
       "not reconstructed reliably"},
      {{"--hu-water", "100"}, "0",
       "warning: --hu-water has no effect in this run: it applies to the DICOM series, the standard formats and "
       "the preview"},
      {{"--offset-centred-values"}, "0",
       "warning: --offset-centred-values has no effect in this run: it applies to an offset detector (-xoff)"},
      {{"--window", "0,100"}, "0", "warning: --window has no effect in this run: it applies to the preview (--preview FILE)"},
      {{"-w", "3"}, "0", "warning: -w has no effect (accepted for compatibility)"},
      {{"-userfn", "x.seq"}, "0", "warning: -userfn has no effect: the volume's name comes from the prefix (and -ext)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const ProcessResult r = scan.run(c.extra, c.third);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(without_coverage_warnings(r.err), "cbrecon: " + c.line + "\n");
    EXPECT_NE(r.out.find("image has been saved in"), std::string::npos);
    EXPECT_EQ(r.out.find("warning"), std::string::npos);
  }
}

TEST(Refusals, OneLineStatus2AndNothingWritten) {
  Scan scan(24, true);
  const struct {
    std::vector<std::string> extra;
    bool four_d;
    std::string line;
  } cases[] = {
      {{"-fov", "abc"}, false, "-fov needs a number, got \"abc\""},
      {{"-p", "12x"}, false, "-p needs a whole number, got \"12x\""},
      {{"-foo", "3"}, false, "unknown option -foo (see --help)"},
      {{"-pz"}, false, "option -pz needs a value"},
      {{"-ph", "3"}, false,
       "-ph selects a respiratory phase bin: it needs a respiratory-signal file as the third argument (0 makes a "
       "3-D run)"},
      {{"-ph", "11"}, true, "-ph 11: the phase bin must be 1 to 10 (or --all-phases for every bin)"},
      {{}, true, "a 4-D run needs the phase bin to reconstruct: -ph N (1..10) or --all-phases"},
      {{"--mkb"}, true, "--mkb needs the phase bin to reconstruct: -ph N (1..10) or --all-phases"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const ProcessResult r = scan.run(c.extra, c.four_d ? scan.vxp() : "0");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(without_coverage_warnings(r.err), "cbrecon: " + c.line + "\n");
    for (const std::string& n : files_in(scan.dir.str())) EXPECT_EQ(n.find(".seq"), std::string::npos) << n;
  }
  // A negative value is a value, not an option.
  EXPECT_EQ(scan.run({"-xoff", "-2", "-so", "-1"}).status, 1);
}

TEST(ConventionalStatus, ZeroForSuccessTwoForEveryFailure) {
  Scan scan(24, true);
  const std::string missing = scan.dir.file("none.vxp");
  auto status = [&](std::vector<std::string> extra, const std::string& third, bool env) {
    std::string cmd = (env ? "CBRECON_CONVENTIONAL_STATUS=1 exec " : "exec ") + std::string(CBRECON_BIN);
    for (const std::string& a : scan.args(extra, third)) cmd += " '" + a + "'";
    return run_process("/bin/sh", {"-c", cmd}, scan.dir.str());
  };
  for (const bool env : {false, true}) {
    SCOPED_TRACE(env ? "environment variable" : "flag");
    const std::vector<std::string> flag = env ? std::vector<std::string>{} : std::vector<std::string>{"--conventional-status"};
    auto with = [&](std::vector<std::string> extra) {
      extra.insert(extra.end(), flag.begin(), flag.end());
      return extra;
    };
    EXPECT_EQ(status(with({}), "0", env).status, 0);
    EXPECT_EQ(status(with({"-fov", "abc"}), "0", env).status, 2);
    EXPECT_EQ(status(with({"-d", "128"}), "0", env).status, 2);
    const ProcessResult r = status(with({"-ph", "2"}), missing, env);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cbrecon: cannot open respiratory file " + missing + ": No such file or directory\n");
    EXPECT_NE(r.out.find("Can not open file " + missing + "\n"), std::string::npos);
  }
  // The classic statuses stay the default.
  EXPECT_EQ(status({}, "0", false).status, 1);
  EXPECT_EQ(status({"-ph", "2"}, missing, false).status, 0);
  EXPECT_EQ(run_process(CBRECON_BIN, {"?", "--conventional-status"}, scan.dir.str()).status, 2);
  EXPECT_EQ(run_process(CBRECON_BIN, {"--help", "--conventional-status"}, scan.dir.str()).status, 0);
}

}  // namespace
}  // namespace cbrecon
