// The DICOM series as a user gets it: simulate a small scan, reconstruct it
// with --format dcm beside the other formats, and check the files with
// dicom3tools' dciodvfy and read them back with pydicom (tools/read_dicom.py).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "support/e2e_support.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

namespace fs = std::filesystem;
using testing::find_program;
using testing::read_series;
using testing::Series;
using testing::ProcessResult;
using testing::python_with;
using testing::read_back;
using testing::read_bytes;
using testing::run_process;
using testing::TempDir;

constexpr int kNpxls = 64;
constexpr double kFov = 80, kPxlz = 2.5;
constexpr double kWater = 1900, kOffset = -50;

// dciodvfy's error lines for the files of the folder ("" when clean): all
// of them, or only the first one.
std::string dciodvfy_errors(const std::string& folder, bool all) {
  const std::string tool = find_program("dciodvfy");
  std::string errors;
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  if (!all) files.resize(std::min<size_t>(files.size(), 1));
  for (const fs::path& e : files) {
    const ProcessResult r = run_process(tool, {e.string()});
    std::istringstream in(r.out + r.err);
    for (std::string line; std::getline(in, line);)
      if (line.rfind("Error", 0) == 0) errors += e.filename().string() + ": " + line + "\n";
  }
  return errors;
}

std::vector<int16_t> seq_words(const std::string& name) {
  const std::vector<uint8_t> b = read_bytes(name);
  std::vector<int16_t> w(b.size() > 1024 ? (b.size() - 1024) / 2 : 0);
  std::memcpy(w.data(), b.data() + 1024, w.size() * 2);
  return w;
}

// Names in `dir` that start with `prefix`.
std::vector<std::string> entries(const fs::path& dir, const std::string& prefix) {
  std::vector<std::string> v;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (n.rfind(prefix, 0) == 0) v.push_back(n);
  }
  std::sort(v.begin(), v.end());
  return v;
}

class DicomEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scan_ = std::make_unique<TempDir>();
    const ProcessResult sim = run_process(
        CBRECON_SIM_BIN, {"--prefix", scan_->file("PROJ_"), "--scale", "0.25", "--cols", "256",
                          "--rows", "192", "--views", "90", "--phantom", "spheres", "--motion", "10",
                          "--vxp", scan_->file("breath.vxp"), "--quiet"});
    ASSERT_EQ(sim.status, 0) << sim.err;
  }
  static void TearDownTestSuite() { scan_.reset(); }

  // A run on the scan (3-D, or 4-D with the respiratory file).
  static ProcessResult recon(std::vector<std::string> extra, bool four_d = false) {
    std::vector<std::string> args = {scan_->file("PROJ_"), scan_->file("NormImage.hnd"),
                                     four_d ? scan_->file("breath.vxp") : "0",
                                     "-d", "256", "-z", "192", "-s", "90",
                                     "-p", std::to_string(kNpxls), "-fov", "80"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_process(CBRECON_BIN, args, scan_->str());
  }
  static std::string out(const std::string& name) { return scan_->file(name); }
  static void remove_outputs() {
    for (const std::string& n : entries(scan_->path(), "PROJ__")) fs::remove_all(out(n));
  }

  static std::unique_ptr<TempDir> scan_;
};
std::unique_ptr<TempDir> DicomEndToEnd::scan_;

// One run per patient position with every format: the DICOM files are
// valid, hold the HU of every .seq word, and every format puts each voxel
// at the same patient coordinate, the one the position calls for.
TEST_F(DicomEndToEnd, EveryFormatPlacesEveryVoxelAtTheSamePatientCoordinate) {
  struct Case {
    const char* name;
    int sign[3];  // LPS = sign * reconstruction frame
  };
  const Case cases[] = {{"HFS", {1, -1, -1}}, {"HFP", {-1, 1, -1}}, {"FFS", {-1, -1, 1}},
                        {"FFP", {1, 1, 1}}};
  const std::string long_id(64, '7');  // the most an LO holds
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    remove_outputs();
    const ProcessResult r =
        recon({"--format", "dcm", "--format", "nii", "--format", "nrrd", "--format", "mha",
               "--hu-water", "1900", "-so", "-50", "--patient-position", c.name, "--patient-id",
               long_id, "--patient-name", "Doe^Jane"});
    ASSERT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(entries(scan_->path(), "PROJ__bp4d_dicom"), std::vector<std::string>{"PROJ__bp4d_dicom"});
    const std::string folder = out("PROJ__bp4d_dicom");
    if (!find_program("dciodvfy").empty()) {
      // Every file once (HFS); the first file of the other positions.
      EXPECT_EQ(dciodvfy_errors(folder, std::string(c.name) == "HFS"), "");
    } else {
      std::printf("skipping dciodvfy: needs dicom3tools\n");
    }
    const Series s = read_series(folder);
    if (!s.skip.empty()) GTEST_SKIP() << "needs " << s.skip;
    ASSERT_EQ(s.error, "");

    const std::vector<int16_t> words = seq_words(out("PROJ__bp4d.seq"));
    const long nz = static_cast<long>(words.size()) / (kNpxls * kNpxls);
    ASSERT_GT(nz, 1);
    ASSERT_EQ(static_cast<long>(s.slices.size()), nz);
    EXPECT_EQ(s.field.count("study"), 1u);
    EXPECT_EQ(s.field.count("series"), 1u);
    EXPECT_EQ(s.get("position"), c.name);
    EXPECT_EQ(s.get("modality"), "CT");
    EXPECT_EQ(s.get("model"), "cbrecon");
    EXPECT_EQ(s.get("software"), CBRECON_VERSION);
    EXPECT_EQ(s.get("patient_id"), long_id);
    EXPECT_EQ(s.get("patient_name"), "Doe^Jane");
    EXPECT_EQ(s.get("description"), "3D volume");
    EXPECT_EQ(s.get("rows"), std::to_string(kNpxls));
    EXPECT_EQ(s.get("columns"), std::to_string(kNpxls));
    EXPECT_EQ(s.numbers("rescale"), (std::vector<double>{1, 0}));
    EXPECT_EQ(s.get("rescale").substr(s.get("rescale").rfind(' ') + 1), "HU");
    EXPECT_EQ(s.numbers("window"), (std::vector<double>{40, 400}));
    EXPECT_EQ(s.numbers("thickness"), std::vector<double>{kPxlz});
    const double dx = kFov / kNpxls;
    EXPECT_EQ(s.numbers("spacing"), (std::vector<double>{dx, dx}));
    const int padding = static_cast<int>(s.numbers("padding").at(0));

    // Values: HU of the word inside the field of view, padding outside.
    ASSERT_EQ(s.stored.size(), words.size());
    long outside = 0, mismatched = 0;
    for (size_t i = 0; i < words.size(); ++i) {
      if (s.stored[i] == padding) {
        ++outside;
        if (words[i] != -2000) ++mismatched;
        continue;
      }
      const double hu = std::round(1000.0 * (words[i] - kWater) / (kWater - kOffset));
      if (s.stored[i] != hu) ++mismatched;
    }
    EXPECT_EQ(mismatched, 0);
    EXPECT_EQ(outside, std::count(words.begin(), words.end(), int16_t{-2000}));
    EXPECT_GT(outside, 0);

    // Geometry: the corner voxels in the reconstruction frame, turned into
    // LPS, against the DICOM series and every other format.
    const std::vector<double> o = s.numbers("orientation");
    ASSERT_EQ(o.size(), 6u);
    std::vector<testing::ReadBack> others;
    for (const char* ext : {".nii", ".nrrd", ".mha"}) {
      testing::ReadBack rb = read_back(out(std::string("PROJ__bp4d") + ext));
      if (!rb.skip.empty()) continue;
      ASSERT_EQ(rb.error, "") << ext;
      // With --hu-water every format holds the series' numbers.
      EXPECT_TRUE(rb.data == std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(s.stored.data()),
                                                  reinterpret_cast<const uint8_t*>(s.stored.data() + s.stored.size())))
          << ext;
      others.push_back(rb);
    }
    for (long k : {0L, nz - 1})
      for (int j : {0, kNpxls - 1})
        for (int i : {0, kNpxls - 1}) {
          const double recon[3] = {(i - kNpxls / 2 + 1.5) * dx, (kNpxls / 2 - 0.5 - j) * dx,
                                   (k - nz / 2.0 + 0.5) * kPxlz};
          const Series::Slice& sl = s.slices[k];
          EXPECT_EQ(sl.instance, k + 1);
          EXPECT_NEAR(sl.location, sl.pos[2], 1e-9);
          for (int a = 0; a < 3; ++a) {
            const double want = c.sign[a] * recon[a];
            // Pixel Spacing is (between rows, between columns).
            const double dicom = sl.pos[a] + i * dx * o[a] + j * dx * o[3 + a];
            EXPECT_NEAR(dicom, want, 1e-6) << i << "," << j << "," << k << " axis " << a;
            for (const testing::ReadBack& rb : others)
              EXPECT_NEAR(rb.origin[a] + i * rb.axis[0][a] + j * rb.axis[1][a] + k * rb.axis[2][a],
                          want, 1e-4)
                  << i << "," << j << "," << k << " axis " << a;
          }
        }
  }
}

// The series folder gets the umask's mode as its files do, so that others
// in a shared folder can open the series; the study has an ID; a name with
// letters outside ASCII is written in UTF-8 and says so.
TEST_F(DicomEndToEnd, FolderModeFollowsTheUmaskAndNamesMayBeUtf8) {
  for (const mode_t mask : {mode_t{022}, mode_t{027}}) {
    SCOPED_TRACE(mask);
    remove_outputs();
    const mode_t old = ::umask(mask);
    const ProcessResult r = recon({"--format", "dcm", "--hu-water", "2000", "--patient-name",
                                   "M\xc3\xbcller^Hans", "--patient-id", "\xc3\x85se-7"});
    ::umask(old);
    ASSERT_EQ(r.status, 1) << r.err;
    const std::string folder = out("PROJ__bp4d_dicom");
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777 & ~mask);
    for (const auto& e : fs::directory_iterator(folder)) {
      ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << e.path();
    }
    if (!find_program("dciodvfy").empty()) {
      EXPECT_EQ(dciodvfy_errors(folder, false), "");
    }
    const Series s = read_series(folder);
    if (!s.skip.empty()) GTEST_SKIP() << "needs " << s.skip;
    ASSERT_EQ(s.error, "");
    EXPECT_EQ(s.get("patient_name"), "M\xc3\xbcller^Hans");
    EXPECT_EQ(s.get("patient_id"), "\xc3\x85se-7");
    EXPECT_EQ(s.get("charset"), "ISO_IR 192");
    EXPECT_EQ(s.get("study_id").size(), 14u);
  }
  // ASCII names need no character set.
  remove_outputs();
  ASSERT_EQ(recon({"--format", "dcm", "--hu-water", "2000", "--patient-name", "Doe^Jane"}).status, 1);
  const Series s = read_series(out("PROJ__bp4d_dicom"));
  if (s.skip.empty()) {
    EXPECT_EQ(s.get("charset"), "");
  }
}

TEST_F(DicomEndToEnd, AllPhasesMakeTenSeriesOfOneStudyAndFrameOfReference) {
  remove_outputs();
  const ProcessResult r = recon({"--all-phases", "--format", "dcm", "--hu-water", "2000"}, true);
  ASSERT_EQ(r.status, 1) << r.err;
  std::set<std::string> studies, frames, series, sops;
  std::set<int> numbers;
  size_t files = 0;
  for (int bin = 1; bin <= 10; ++bin) {
    SCOPED_TRACE(bin);
    const std::string folder = out("PROJ__4d_ph" + std::to_string(bin) + "_dicom");
    ASSERT_TRUE(fs::is_directory(folder));
    const Series s = read_series(folder);
    if (!s.skip.empty()) GTEST_SKIP() << "needs " << s.skip;
    ASSERT_EQ(s.error, "");
    for (const auto& [k, v] : s.field) {
      if (k == "study") studies.insert(v);
      if (k == "frame") frames.insert(v);
      if (k == "series") series.insert(v);
    }
    numbers.insert(std::stoi(s.get("series_number")));
    EXPECT_EQ(s.get("description").rfind("4D phase " + std::to_string(bin) + " (", 0), 0u)
        << s.get("description");
    for (const Series::Slice& sl : s.slices) sops.insert(sl.uid);
    files += s.slices.size();
    // What ties the phases together besides the study: their temporal
    // position and their place in the breathing cycle.
    EXPECT_EQ(s.get("temporal"), std::to_string(bin) + " OF 10");
    EXPECT_NEAR(s.numbers("resp_phase").at(0), 10.0 * bin - 9.9, 1e-4);  // FL: a float
    if (bin == 1 && !find_program("dciodvfy").empty()) {
      EXPECT_EQ(dciodvfy_errors(folder, false), "");
    }
  }
  EXPECT_EQ(studies.size(), 1u);
  EXPECT_EQ(frames.size(), 1u);
  EXPECT_EQ(series.size(), 10u);
  EXPECT_EQ(numbers.size(), 10u);
  EXPECT_EQ(sops.size(), files);
  EXPECT_EQ(entries(scan_->path(), "PROJ__4d_ph1_dicom"), std::vector<std::string>{"PROJ__4d_ph1_dicom"});
}

TEST_F(DicomEndToEnd, APriorImageBinIsItsOwnLabelledSeries) {
  remove_outputs();
  const ProcessResult r = recon({"--mkb", "-ph", "3", "--format", "dcm", "--hu-water", "2000"}, true);
  ASSERT_EQ(r.status, 1) << r.err;
  const Series s = read_series(out("PROJ__4d_ph3_mkb_dicom"));
  if (!s.skip.empty()) GTEST_SKIP() << "needs " << s.skip;
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.get("description"), "4D phase 3 (15.1-25.1%) prior-image");
  EXPECT_EQ(s.get("series_number"), "13");
  EXPECT_EQ(s.stored.size(), read_bytes(out("PROJ__4d_ph3_mkb.seq")).size() / 2 - 512);
}

TEST_F(DicomEndToEnd, RefusedRunsSayWhyInOneLineAndLeaveNothingBehind) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"--format", "dcm"}, "--hu-water"},
      {{"--format", "dcm", "--hu-water", "nan"}, "--hu-water"},
      {{"--format", "dcm", "--hu-water", "inf"}, "--hu-water"},
      {{"--format", "dcm", "--hu-water", "12x"}, "--hu-water"},
      {{"--format", "dcm", "--hu-water", "-7", "-so", "-7"}, "--hu-water"},
      {{"--format", "dcm", "--hu-water", "9", "--patient-id", std::string(65, 'x')}, "--patient-id"},
      {{"--format", "dcm", "--hu-water", "9", "--patient-name", "Doe\\Jane"}, "--patient-name"},
      {{"--format", "dcm", "--hu-water", "9", "--patient-name", std::string(65, 'x')}, "--patient-name"},
      {{"--format", "dcm", "--hu-water", "9", "--patient-name", "a\tb"}, "--patient-name"},
      {{"--patient-position", "HFX"}, "--patient-position"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    remove_outputs();
    const ProcessResult r = recon(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(entries(scan_->path(), "PROJ__"), std::vector<std::string>{});
  }

  // A plain file where the series folder goes: refused before the run, the
  // file untouched.
  remove_outputs();
  testing::write_bytes(out("PROJ__bp4d_dicom"), {'k', 'e', 'e', 'p'});
  const ProcessResult r = recon({"--format", "dcm", "--hu-water", "2000"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find("PROJ__bp4d_dicom"), std::string::npos) << r.err;
  EXPECT_EQ(read_bytes(out("PROJ__bp4d_dicom")), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(entries(scan_->path(), "PROJ__"), std::vector<std::string>{"PROJ__bp4d_dicom"});
}

TEST_F(DicomEndToEnd, ASecondRunReplacesTheSeriesButNotAFolderWithOtherFiles) {
  remove_outputs();
  ASSERT_EQ(recon({"--format", "dcm", "--hu-water", "2000"}).status, 1);
  const std::string folder = out("PROJ__bp4d_dicom");
  const Series first = read_series(folder);
  if (!first.skip.empty()) GTEST_SKIP() << "needs " << first.skip;
  ASSERT_EQ(recon({"--format", "dcm", "--hu-water", "2000"}).status, 1);
  const Series second = read_series(folder);
  ASSERT_EQ(second.error, "");
  EXPECT_EQ(second.slices.size(), first.slices.size());
  EXPECT_NE(second.get("series"), first.get("series"));
  EXPECT_EQ(entries(scan_->path(), "PROJ__bp4d_dicom"), std::vector<std::string>{"PROJ__bp4d_dicom"});

  // Someone's notes in the folder: the folder is not this program's to
  // replace; the run is refused before it reads a view, the folder intact.
  testing::write_bytes(folder + "/notes.txt", {'n'});
  const ProcessResult r = recon({"--format", "dcm", "--hu-water", "2000"});
  ASSERT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find("notes.txt"), std::string::npos) << r.err;
  EXPECT_EQ(entries(scan_->path(), "PROJ__bp4d_dicom"), std::vector<std::string>{"PROJ__bp4d_dicom"});
  EXPECT_TRUE(fs::exists(folder + "/notes.txt"));
  EXPECT_EQ(entries(folder, "IM").size(), second.slices.size());
}

}  // namespace
}  // namespace cbrecon
