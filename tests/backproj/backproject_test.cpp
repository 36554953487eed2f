#include "backproj/backproject.h"

#include <gtest/gtest.h>

#include <cmath>

#include "output/volume_io.h"
#include "input/projection.h"
#include "numeric/error.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

TEST(FieldOfView, Extents) {
  const FovExtents a = build_fov_extents(4, 2.5f, 10.0f);
  EXPECT_EQ(a.fov_start, (std::vector<uint16_t>{1, 0, 0, 1}));
  EXPECT_EQ(a.fov_end, (std::vector<uint16_t>{3, 4, 4, 3}));
  const FovExtents b = build_fov_extents(512, 0.9765625f, 500.0f);
  EXPECT_EQ(b.fov_start[0], 240);
  EXPECT_EQ(b.fov_end[0], 272);
  EXPECT_EQ(b.fov_start[255], 0);
  EXPECT_EQ(b.fov_end[256], 512);
  // Odd size: the last row has no voxel centre inside and stays empty.
  const FovExtents c = build_fov_extents(5, 2.0f, 10.0f);
  EXPECT_EQ(c.fov_start[4], 3);
  EXPECT_EQ(c.fov_end[4], 2);
}

TEST(Backprojection, WorkedExampleOfTheColumnQuantities) {
  RunParams p;
  const Geometry g = setup_geometry(p);
  const ScanGeometry bg = make_scan_geometry(p, g, RowLayout::packed);
  const ViewConstants vc = view_constants(bg, 0.0, 1.0f);
  // Row 256, loop column 256, carried incrementally as the loop does.
  float sr = vc.sr, tr = vc.tr;
  for (int r = 0; r < 256; ++r) {
    sr = static_cast<float>(static_cast<double>(sr) + vc.dsr);
    tr = static_cast<float>(static_cast<double>(tr) + vc.dtr);
  }
  float s = static_cast<float>(0.0 * vc.dsc + sr - vc.dsc), t = static_cast<float>(0.0 * vc.dtc + tr - vc.dtc);
  for (int q = 0; q < 256; ++q) {
    s = static_cast<float>(static_cast<double>(s) + vc.dsc);
    t = static_cast<float>(static_cast<double>(t) + vc.dtc);
  }
  EXPECT_EQ(s, 0.48828125f);
  EXPECT_EQ(t, -0.48828125f);
  const ColumnQuantities cq = column_quantities(bg, s, t, 1.0f);
  ASSERT_TRUE(cq.valid);
  EXPECT_EQ(cq.U, 1000.48828125f);
  EXPECT_NEAR(cq.u, 513.88678, 1e-4);
  EXPECT_EQ(cq.iu, 513);
  EXPECT_NEAR(cq.fu, 0.88678, 1e-4);
  EXPECT_NEAR(cq.v, 41.06178, 1e-4);
  EXPECT_NEAR(cq.dv, 9.660232, 1e-5);
  double v = cq.v;
  for (int j = 0; j < 35; ++j) v += cq.dv;
  EXPECT_NEAR(v, 379.1699, 1e-3);
  EXPECT_EQ(cq.a + cq.b, cq.wv);
}

TEST(Backprojection, ColumnsOffTheDetectorAddNothing) {
  RunParams p;
  const Geometry g = setup_geometry(p);
  const ScanGeometry bg = make_scan_geometry(p, g, RowLayout::packed);
  EXPECT_FALSE(column_quantities(bg, -250.0f, 0.0f, 1.0f).valid);  // u < 8
  EXPECT_FALSE(column_quantities(bg, 250.0f, 0.0f, 1.0f).valid);   // past the last column pair
  EXPECT_FALSE(column_quantities(bg, 0.0f, 1000.0f, 1.0f).valid);  // at the source
  EXPECT_FALSE(column_quantities(bg, 0.0f, std::nanf(""), 1.0f).valid);
}

// With a constant filtered view each voxel column receives dbeta / U^2 per
// slice pair it reaches (the four weights sum to wv).
TEST(Backprojection, ConstantViewAddsTheColumnWeight) {
  RunParams p;
  p.npxls = 64;
  p.fov = 100.0f;
  const Geometry g = setup_geometry(p);
  const ScanGeometry bg = make_scan_geometry(p, g, RowLayout::packed);
  const FovExtents fov = build_fov_extents(p.npxls, g.dx, p.fov);
  Matrix<float> proj = matrix(0, g.nrows - 1, 0, g.ncols_ext - 1);
  std::fill(proj.data(), proj.data() + proj.size(), 1.0f);
  Tensor3<float> vol = f3tensor(0, g.nz - 1, 0, p.npxls - 1, 0, p.npxls - 1);
  std::fill(vol.data(), vol.data() + vol.size(), 0.0f);
  const ViewConstants vc = view_constants(bg, 0.3, 0.01f);
  backproject_rows(bg, fov, vc, proj.data(), vol, 0, p.npxls);
  const long r = 32, q = 20;
  // Recompute the column the loop visited.
  float sr = vc.sr, tr = vc.tr;
  for (long i = 0; i < r; ++i) {
    sr = static_cast<float>(static_cast<double>(sr) + vc.dsr);
    tr = static_cast<float>(static_cast<double>(tr) + vc.dtr);
  }
  const long lo = fov.fov_start[r];
  float ss = static_cast<float>(static_cast<double>(lo) * vc.dsc + sr - vc.dsc);
  float tt = static_cast<float>(static_cast<double>(lo) * vc.dtc + tr - vc.dtc);
  for (long i = lo; i < q; ++i) {
    ss = static_cast<float>(static_cast<double>(ss) + vc.dsc);
    tt = static_cast<float>(static_cast<double>(tt) + vc.dtc);
  }
  const ColumnQuantities cq = column_quantities(bg, ss, tt, 0.01f);
  ASSERT_TRUE(cq.valid);
  for (long j = 0; j < g.nz; ++j)
    EXPECT_NEAR(vol[j][r][p.npxls - 1 - q], cq.wv, cq.wv * 1e-6) << j;
  EXPECT_EQ(vol[3][0][0], 0.0f);  // outside the field of view
}

TEST(VolumeOutput, ConversionTruncatesAndWraps) {
  EXPECT_EQ(convert_voxel(12.34f, 10.0f, 0.0f), 123);
  EXPECT_EQ(convert_voxel(-12.34f, 10.0f, 0.0f), -123);
  EXPECT_EQ(convert_voxel(3276.8f, 10.0f, 0.0f), -32768);
  EXPECT_EQ(convert_voxel(4000.0f, 10.0f, 0.0f), -25536);
  EXPECT_EQ(convert_voxel(std::nanf(""), 10.0f, 0.0f), 0);
  EXPECT_EQ(convert_voxel(1e30f, 10.0f, 0.0f), 0);
  EXPECT_EQ(convert_voxel(5.0f, 0.0f, 7.5f), 7);
}

TEST(VolumeOutput, FileLayoutAndFieldOfView) {
  testing::TempDir dir;
  const FovExtents fov = build_fov_extents(4, 2.5f, 10.0f);
  std::vector<float> vol(2 * 16);
  for (size_t i = 0; i < vol.size(); ++i) vol[i] = static_cast<float>(i);
  Header head{};
  for (size_t i = 0; i < head.size(); ++i) head[i] = static_cast<uint8_t>(i * 7);
  const std::string name = dir.file("out.seq");
  write_volume_file(name, head.data(), vol.data(), 16, 2, 4, fov, 0.0f, 3.0f);
  const std::vector<uint8_t> bytes = testing::read_bytes(name);
  ASSERT_EQ(bytes.size(), 1024u + 2 * 16 * 2);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
  auto word = [&](int j, int r, int q) {
    const size_t o = 1024 + 2 * (static_cast<size_t>(j) * 16 + r * 4 + q);
    return static_cast<int16_t>(bytes[o] | bytes[o + 1] << 8);
  };
  for (int j = 0; j < 2; ++j) {
    EXPECT_EQ(word(j, 0, 0), -2000);
    EXPECT_EQ(word(j, 0, 3), -2000);
    EXPECT_EQ(word(j, 0, 1), 3);  // inside: the offset, even with scale 0
    EXPECT_EQ(word(j, 3, 3), -2000);
    for (int q = 0; q < 4; ++q) EXPECT_EQ(word(j, 1, q), 3);
  }
}

TEST(VolumeOutput, FailedWritesLeaveNothingUnderTheFinalName) {
  testing::TempDir dir;
  const FovExtents fov = build_fov_extents(4, 2.5f, 10.0f);
  std::vector<float> vol(16, 1.0f);
  Header head{};
  // An unwritable folder (root may write anywhere, so use a missing one).
  EXPECT_THROW(write_volume_file(dir.file("missing/out.seq"), head.data(), vol.data(), 16, 1, 4, fov, 1, 0),
               RunError);
  // A full device: nothing appears and an older file stays as it was.
  if (std::FILE* f = std::fopen("/dev/full", "wb")) {
    std::fclose(f);
    const std::string name = dir.file("old.seq");
    testing::write_bytes(name, {1, 2, 3});
    EXPECT_THROW(write_file_atomically(name, [](std::FILE*) { return false; }), RunError);
    EXPECT_EQ(testing::read_bytes(name), (std::vector<uint8_t>{1, 2, 3}));
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  EXPECT_STREQ(pending_temporary_file(), "");
}

}  // namespace
}  // namespace cbrecon
