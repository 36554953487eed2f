// The programs as a user runs them: simulate a small scan, reconstruct it
// with the standard formats and a preview, and read everything back with
// independent readers.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>

#include "support/test_support.h"
#include "support/e2e_support.h"

namespace cbrecon {
namespace {

using testing::mask_times;
using testing::ProcessResult;
using testing::read_back;
using testing::read_bytes;
using testing::run_process;
using testing::TempDir;

constexpr int kNpxls = 64;
constexpr double kFov = 80, kPxlz = 2.5;

class FormatsEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scan_ = std::make_unique<TempDir>();
    const ProcessResult sim =
        run_process(CBRECON_SIM_BIN, {"--prefix", scan_->file("PROJ_"), "--scale", "0.25", "--cols",
                                      "256", "--rows", "192", "--views", "60", "--quiet"});
    ASSERT_EQ(sim.status, 0) << sim.err;
  }
  static void TearDownTestSuite() { scan_.reset(); }

  // A reconstruction of the scan with extra options, in the scan folder.
  static ProcessResult recon(std::vector<std::string> extra) {
    std::vector<std::string> args = {scan_->file("PROJ_"), scan_->file("NormImage.hnd"), "0",
                                     "-d", "256", "-z", "192", "-s", "60",
                                     "-p", std::to_string(kNpxls), "-fov", "80"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_process(CBRECON_BIN, args, scan_->str());
  }
  static std::string out(const std::string& name) { return scan_->file(name); }
  static void remove_outputs() {
    for (const auto& e : std::filesystem::directory_iterator(scan_->path()))
      if (e.path().filename().string().rfind("PROJ__", 0) == 0 || e.path().extension() == ".png")
        std::filesystem::remove(e.path());
  }

  static std::unique_ptr<TempDir> scan_;
};
std::unique_ptr<TempDir> FormatsEndToEnd::scan_;

std::vector<int16_t> seq_words(const std::string& name) {
  const std::vector<uint8_t> b = read_bytes(name);
  std::vector<int16_t> w(b.size() > 1024 ? (b.size() - 1024) / 2 : 0);
  std::memcpy(w.data(), b.data() + 1024, w.size() * 2);
  return w;
}

// Geometry a viewer must see: dx = fov / npxls, rotation axis at x = y = 0,
// central plane at z = 0, x along columns, y against rows, z along slices,
// in LPS for HFS: (x, -y, -z).
void expect_grid(const testing::ReadBack& rb, long nz, double tol) {
  const double dx = kFov / kNpxls;
  EXPECT_EQ(rb.size[0], kNpxls);
  EXPECT_EQ(rb.size[1], kNpxls);
  EXPECT_EQ(rb.size[2], nz);
  EXPECT_NEAR(rb.origin[0], (0 - kNpxls / 2 + 1.5) * dx, tol);
  EXPECT_NEAR(rb.origin[1], -(kNpxls / 2 - 0.5) * dx, tol);
  EXPECT_NEAR(rb.origin[2], -(0 - nz / 2.0 + 0.5) * kPxlz, tol);
  const double axes[3][3] = {{dx, 0, 0}, {0, dx, 0}, {0, 0, -kPxlz}};
  for (int a = 0; a < 3; ++a)
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(rb.axis[a][k], axes[a][k], tol) << a << "," << k;
}

TEST_F(FormatsEndToEnd, EveryFormatHoldsTheSeqVolumeAndStdoutIsUnchanged) {
  remove_outputs();
  const ProcessResult plain = recon({});
  ASSERT_EQ(plain.status, 1) << plain.err;
  const std::vector<uint8_t> seq = read_bytes(out("PROJ__bp4d.seq"));
  ASSERT_GT(seq.size(), 1024u);
  const ProcessResult r = recon({"--format", "mha", "--format", "nrrd", "--format", "nii",
                                 "--format", "nii.gz", "--format", "nrrd", "--preview", "look.png"});
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(mask_times(r.out), mask_times(plain.out));
  EXPECT_EQ(r.err, "");  // no terminal: no progress bar
  EXPECT_TRUE(read_bytes(out("PROJ__bp4d.seq")) == seq);

  const std::vector<int16_t> words = seq_words(out("PROJ__bp4d.seq"));
  const long nz = static_cast<long>(words.size()) / (kNpxls * kNpxls);
  for (const char* ext : {".mha", ".nrrd", ".nii", ".nii.gz"}) {
    SCOPED_TRACE(ext);
    const testing::ReadBack rb = read_back(out(std::string("PROJ__bp4d") + ext));
    if (!rb.skip.empty()) {
      std::printf("skipping the %s reader: needs %s\n", ext, rb.skip.c_str());
      continue;
    }
    ASSERT_TRUE(rb.error.empty()) << rb.error;
    EXPECT_EQ(rb.type, "int16");
    expect_grid(rb, nz, 1e-5);
    EXPECT_TRUE(rb.data == std::vector<uint8_t>(seq.begin() + 1024, seq.end()));
  }

  // The preview: three 64-pixel panels; the side panels are nz * 2.5 / 1.25
  // rows tall, less than the axial one.
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&png, out("look.png").c_str()), 0) << png.message;
  EXPECT_EQ(png.width, 3u * kNpxls);
  EXPECT_EQ(png.height, static_cast<unsigned>(std::max<long>(kNpxls, nz * 2)));
  png.format = PNG_FORMAT_GRAY;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
  ASSERT_NE(png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr), 0) << png.message;
  // Windowed 1st..99th percentile: both ends of the grey scale are used.
  EXPECT_EQ(*std::min_element(pixels.begin(), pixels.end()), 0);
  EXPECT_EQ(*std::max_element(pixels.begin(), pixels.end()), 255);
  // A fixed window gives another picture.
  const std::vector<uint8_t> first = read_bytes(out("look.png"));
  ASSERT_EQ(recon({"--preview", "look.png", "--window", "-100,100"}).status, 1);
  EXPECT_FALSE(read_bytes(out("look.png")) == first);
}

TEST_F(FormatsEndToEnd, FloatVolumesHoldTheCalibratedValues) {
  remove_outputs();
  const ProcessResult r = recon({"--format", "nrrd", "--float", "-sc", "7.5", "-so", "3"});
  ASSERT_EQ(r.status, 1) << r.err;
  const std::vector<int16_t> words = seq_words(out("PROJ__bp4d.seq"));
  const long nz = static_cast<long>(words.size()) / (kNpxls * kNpxls);
  const testing::ReadBack rb = read_back(out("PROJ__bp4d.nrrd"));
  if (!rb.skip.empty()) GTEST_SKIP() << "needs " << rb.skip;
  ASSERT_TRUE(rb.error.empty()) << rb.error;
  EXPECT_EQ(rb.type, "float32");
  expect_grid(rb, nz, 0);
  ASSERT_EQ(rb.data.size(), words.size() * 4);
  std::vector<float> f(words.size());
  std::memcpy(f.data(), rb.data.data(), rb.data.size());
  long fractional = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    if (words[i] == -2000 && f[i] == -2000.0f) continue;
    // The word is the value truncated toward zero (the values here stay
    // far from the 16-bit limits); the float is the value itself.
    const double a = std::fabs(f[i]), b = std::abs(words[i]);
    ASSERT_TRUE(a + 1e-3 >= b && a < b + 1 + 1e-3) << i << ": " << f[i] << " " << words[i];
    if (words[i] != 0) {
      ASSERT_EQ(f[i] < 0, words[i] < 0) << i;
    }
    fractional += f[i] != std::trunc(f[i]);
  }
  EXPECT_GT(fractional, 0);
}

TEST_F(FormatsEndToEnd, AnUnwritablePreviewIsRefusedBeforeTheReconstruction) {
  remove_outputs();
  const ProcessResult r = recon({"--preview", "no-such-folder/look.png"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no-such-folder/look.png"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(out("PROJ__bp4d.seq")));
}

}  // namespace
}  // namespace cbrecon
