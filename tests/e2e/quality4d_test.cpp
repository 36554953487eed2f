// tools/quality4d.py: its metrics on volumes with known answers, and its
// reading of the program's volume against the simulator's truth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/e2e_support.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

using testing::ProcessResult;
using testing::python_with;
using testing::read_bytes;
using testing::run_process;
using testing::TempDir;

std::string tool() {
  return (std::filesystem::path(CBRECON_TEST_DATA).parent_path().parent_path() / "tools" / "quality4d.py")
      .string();
}

// Volume of words [slice][row][column].
struct Vol {
  int nz, n;
  std::vector<double> w;
  Vol(int nz_, int n_, double fill) : nz(nz_), n(n_), w(static_cast<size_t>(nz_) * n_ * n_, fill) {}
  double& at(int j, int r, int c) { return w[(static_cast<size_t>(j) * n + r) * n + c]; }
};

void write_seq(const std::string& path, const Vol& v) {
  std::vector<uint8_t> b(1024, 0);
  for (const double x : v.w) {
    const auto s = static_cast<uint16_t>(static_cast<int16_t>(std::lround(x)));
    b.push_back(static_cast<uint8_t>(s & 0xff));
    b.push_back(static_cast<uint8_t>(s >> 8));
  }
  testing::write_bytes(path, b);
}

// As mu (words / 1e5) in float32.
void write_raw(const std::string& path, const Vol& v) {
  std::vector<uint8_t> b(v.w.size() * 4);
  for (size_t i = 0; i < v.w.size(); ++i) {
    const float f = static_cast<float>(v.w[i] / 1e5);
    std::memcpy(&b[4 * i], &f, 4);
  }
  testing::write_bytes(path, b);
}

double field(const std::string& out, const std::string& key) {
  const size_t p = out.find(key + "=");
  if (p == std::string::npos) return NAN;
  return std::strtod(out.c_str() + p + key.size() + 1, nullptr);
}

// 32 x 32 voxels of 2 mm, 16 slices of 2.5 mm: a body disc of water with a
// lung of radius 12 mm at x = 10, y = 5 and a tumour of water in it, 3 rows
// by 2 columns, over slices j0 .. j0 + 2 (z of slice j: (j - 7.5) * 2.5).
Vol phantom(int j0, double tumour = 2000) {
  Vol v(16, 32, 0);
  for (int j = 0; j < 16; ++j)
    for (int r = 0; r < 32; ++r)
      for (int c = 0; c < 32; ++c) {
        const double x = (c - 16 + 1.5) * 2, y = (16 - r - 0.5) * 2;
        if (std::hypot(x, y) < 25) v.at(j, r, c) = 2000;
        if (std::hypot(x - 10, y - 5) < 12) v.at(j, r, c) = 500;
        if (j >= j0 && j < j0 + 3 && std::fabs(x - 10) < 3 && std::fabs(y - 5) < 3) v.at(j, r, c) = tumour;
      }
  return v;
}

class Quality4d : public ::testing::Test {
 protected:
  void SetUp() override {
    py_ = python_with("numpy");
    if (py_.empty()) GTEST_SKIP() << "needs python3 with numpy (Debian python3-numpy)";
  }
  ProcessResult run(std::vector<std::string> args) {
    args.insert(args.begin(), tool());
    for (const char* a : {"--npxls", "32", "--fov", "64", "--pxlz", "2.5", "--tumour-box", "3", "17",
                          "-2", "12", "-20", "20"})
      args.push_back(a);
    return run_process(py_, args);
  }
  std::string py_;
  TempDir dir_;
};

TEST_F(Quality4d, IdenticalVolumeAndKnownShift) {
  write_raw(dir_.file("t.raw"), phantom(6));
  write_raw(dir_.file("avg.raw"), phantom(6, 1200));  // the tumour smeared in the average
  write_seq(dir_.file("same.seq"), phantom(6));
  ProcessResult r = run({"one", dir_.file("same.seq"), dir_.file("t.raw"), dir_.file("avg.raw")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NEAR(field(r.out, "ssim"), 1.0, 1e-6) << r.out;
  EXPECT_NEAR(field(r.out, "ssim_body"), 1.0, 1e-6);
  EXPECT_NEAR(field(r.out, "rmse_body"), 0.0, 0.05);
  EXPECT_NEAR(field(r.out, "rmse_motion"), 0.0, 0.05);
  // Tumour slices 6..8 sit at z = -3.75, -1.25, 1.25 mm.
  EXPECT_NEAR(field(r.out, "z_truth"), -1.25, 1e-6);
  EXPECT_NEAR(field(r.out, "z_recon"), -1.25, 1e-6);
  // The motion region: the tumour's 3 x 3 x 2 voxels grown by 2 each way.
  EXPECT_EQ(field(r.out, "motion_voxels"), 7 * 7 * 6);

  // Two slices further on: 5 mm, and worse everywhere else.
  write_seq(dir_.file("shifted.seq"), phantom(8));
  r = run({"one", dir_.file("shifted.seq"), dir_.file("t.raw"), dir_.file("avg.raw")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NEAR(field(r.out, "z_recon"), 3.75, 1e-6);
  EXPECT_NEAR(field(r.out, "dz"), 5.0, 1e-6);
  EXPECT_LT(field(r.out, "ssim"), 0.999);
  EXPECT_LT(field(r.out, "ssim_body"), field(r.out, "ssim"));  // the error lies in the body
  // Slices 6, 7, 9 and 10 have 6 voxels of error 1500 among the 294 of the
  // region (slice 10 lies within the grown region).
  EXPECT_NEAR(field(r.out, "rmse_motion"), 1500 * std::sqrt(24.0 / 294), 0.05);

  // Outside the field of view the program writes -2000; that is no error.
  Vol outside = phantom(6);
  for (int j = 0; j < 16; ++j) outside.at(j, 0, 0) = -2000;
  write_seq(dir_.file("outside.seq"), outside);
  r = run({"one", dir_.file("outside.seq"), dir_.file("t.raw"), dir_.file("avg.raw")});
  EXPECT_NEAR(field(r.out, "ssim"), 1.0, 1e-6) << r.out;

  // A volume of the wrong size is refused.
  write_seq(dir_.file("short.seq"), Vol(15, 32, 0));
  r = run({"one", dir_.file("short.seq"), dir_.file("t.raw"), dir_.file("avg.raw")});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("different sizes"), std::string::npos) << r.err;
}

TEST_F(Quality4d, SummaryHasEveryBinAndTheWorstCase) {
  for (int b = 1; b <= 10; ++b) {
    write_raw(dir_.file("t_ph" + std::to_string(b) + ".raw"), phantom(4 + b / 2));
    write_seq(dir_.file("r_4d_ph" + std::to_string(b) + ".seq"), phantom(4 + b / 2));
  }
  write_raw(dir_.file("t_avg.raw"), phantom(6, 1200));
  ProcessResult r = run({"summary", dir_.file("r_4d_ph{bin}.seq"), dir_.file("t")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n10 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nworst   1.0000        0.0          0.0"), std::string::npos) << r.out;
  // One volume against every bin: bin 10's tumour is 5 slices from bin 1's.
  r = run({"summary", dir_.file("r_4d_ph1.seq"), dir_.file("t")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("  12.50 "), std::string::npos) << r.out;  // worst |dz|
}

TEST_F(Quality4d, ReadsTheProgramsVolumeTheWayTheTruthIsLaidOut) {
  // A static thorax, reconstructed: the truth must match the volume as it
  // stands, not mirrored in rows or columns.
  const ProcessResult sim = run_process(
      CBRECON_SIM_BIN, {"--prefix", dir_.file("P_"), "--phantom", "thorax", "--scale", "0.25", "--motion", "0",
                        "--cols", "256", "--rows", "192", "--views", "180", "--truth", dir_.file("t.raw"),
                        "--npxls", "48", "--fov", "70", "--quiet"});
  ASSERT_EQ(sim.status, 0) << sim.err;
  const ProcessResult rec = run_process(CBRECON_BIN, {dir_.file("P_"), dir_.file("NormImage.hnd"), "0", "-d", "256",
                                                      "-z", "192", "-s", "180", "-p", "48", "-fov", "70"},
                                        dir_.str());
  ASSERT_EQ(rec.status, 1) << rec.err;
  const std::string seq = dir_.file("P__bp4d.seq");
  const std::vector<uint8_t> s = read_bytes(seq), t = read_bytes(dir_.file("t.raw"));
  const size_t n = 48, nvox = (s.size() - 1024) / 2;
  ASSERT_EQ(t.size(), nvox * 4);
  double err[3] = {0, 0, 0};  // as laid out, rows mirrored, columns mirrored
  for (size_t j = 0; j < nvox / (n * n); ++j)
    for (size_t r = 0; r < n; ++r)
      for (size_t c = 0; c < n; ++c) {
        const size_t k = (j * n + r) * n + c;
        const double w = static_cast<int16_t>(s[1024 + 2 * k] | s[1024 + 2 * k + 1] << 8);
        if (w == -2000) continue;  // outside the field of view
        const size_t other[3] = {k, (j * n + (n - 1 - r)) * n + c, (j * n + r) * n + (n - 1 - c)};
        for (int m = 0; m < 3; ++m) {
          float mu;
          std::memcpy(&mu, &t[4 * other[m]], 4);
          err[m] += (w - 1e5 * mu) * (w - 1e5 * mu);
        }
      }
  EXPECT_LT(err[0] * 1.5, err[1]);
  EXPECT_LT(err[0] * 1.5, err[2]);
  const ProcessResult q = run_process(
      py_, {tool(), "one", seq, dir_.file("t.raw"), dir_.file("t.raw"), "--npxls", "48", "--fov", "70", "--pxlz", "2.5"});
  ASSERT_EQ(q.status, 0) << q.err;
  EXPECT_GT(field(q.out, "ssim"), 0.5) << q.out;
}

}  // namespace
}  // namespace cbrecon
