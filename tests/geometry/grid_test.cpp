#include "geometry/grid.h"

#include <gtest/gtest.h>

#include "sim/truth.h"

namespace cbrecon {
namespace {

RunParams params(int32_t npxls, float fov, float xoff = 0.0f) {
  RunParams p;
  p.npxls = npxls;
  p.fov = fov;
  p.pxlz = 2.0f;
  p.nslices = 96;
  p.ndets = 200;
  p.xoff = xoff;
  return p;
}

// Padded rows are the run's layout; packed ones a plain matrix's.  Every
// other detector quantity comes from the geometry unchanged.
TEST(Grid, DetectorLayoutPadsRowsByOneCacheLine) {
  for (const float xoff : {0.0f, -10.0f}) {
    const RunParams p = params(64, 200, xoff);
    const Geometry g = setup_geometry(p);
    const DetectorLayout padded = make_detector_layout(g);
    const DetectorLayout packed = make_detector_layout(g, RowLayout::packed);
    EXPECT_EQ(padded.proj_pitch, g.ncols_ext + kRowPad) << xoff;
    EXPECT_EQ(packed.proj_pitch, g.ncols_ext) << xoff;
    EXPECT_EQ(kRowPad * sizeof(float), 64u);
    const ScanGeometry s = make_scan_geometry(p, g);
    EXPECT_EQ(s.proj_pitch, padded.proj_pitch);
    EXPECT_EQ(s.nrows, g.nrows);
    EXPECT_EQ(s.ncols_ext, g.ncols_ext);
    EXPECT_EQ(s.ishift, g.ishift);
    EXPECT_EQ(s.ucenter, g.ucenter);
    EXPECT_EQ(s.fanw, g.fanw.data());
    EXPECT_EQ(s.nz, g.nz);
    EXPECT_EQ(s.dx, g.dx);
  }
}

// The voxel centres in exact halves (the truth's) and those from the float
// corner (the writers' and the backprojection's) are one grid, for even
// and odd sizes alike: an odd grid put half a voxel off would sample the
// truth beside the reconstruction's voxels.
TEST(Grid, CentresAgreeWithTheBackprojectionCornerForEvenAndOddSizes) {
  for (const int32_t npxls : {10, 11, 64, 65}) {
    const RunParams p = params(npxls, 12.5f * static_cast<float>(npxls) / 10);
    const Geometry g = setup_geometry(p);
    const VoxelGrid v = make_voxel_grid(p, g);
    ASSERT_EQ(v.nz, g.nz);
    const double tol = 1e-5 * v.dx;
    for (long c = 0; c < npxls; ++c) {
      // Loop column q = npxls - 1 - c stands for x0 - (q - 1) dx.
      const long q = npxls - 1 - c;
      const double x = static_cast<double>(v.x0) - (q - 1) * static_cast<double>(v.dx);
      EXPECT_NEAR(v.centre_x(c), x, tol) << npxls << " column " << c;
      EXPECT_NEAR(v.origin_x() + c * static_cast<double>(v.dx), x, tol) << npxls;
    }
    for (long r = 0; r < npxls; ++r) {
      const double y = static_cast<double>(v.y0) - r * static_cast<double>(v.dx);
      EXPECT_NEAR(v.centre_y(r), y, tol) << npxls << " row " << r;
      EXPECT_NEAR(v.origin_y() - r * static_cast<double>(v.dx), y, tol) << npxls;
    }
    for (long j = 0; j < v.nz; ++j) {
      EXPECT_NEAR(v.centre_z(j), v.origin_z() + j * static_cast<double>(v.pxlz), 1e-9) << j;
      EXPECT_NEAR(v.centre_z(j), -v.centre_z(v.nz - 1 - j), 1e-9) << j;  // mirror slices
    }
  }
}

// The simulator's truth samples those same centres, odd grids included.
TEST(Grid, TruthSamplesTheGridCentres) {
  for (const int32_t npxls : {16, 17}) {
    const sim::TruthGrid tg{npxls, 40.0f, 2.0f, 96};
    const sim::TruthVolume t = sim::truth_volume(sim::Phantom{}, tg, 1);
    const RunParams p = params(npxls, 40.0f);
    const VoxelGrid v = make_voxel_grid(p, setup_geometry(p));
    ASSERT_EQ(t.nz, v.nz);
    for (const long c : {0L, 7L, static_cast<long>(npxls) - 1}) {
      const sim::Vec3 x = sim::voxel_centre(t, 3, c, c);
      EXPECT_NEAR(x.x, v.origin_x() + c * static_cast<double>(v.dx), 1e-5) << npxls;
      EXPECT_NEAR(x.y, v.origin_y() - c * static_cast<double>(v.dx), 1e-5) << npxls;
      EXPECT_NEAR(x.z, v.origin_z() + 3 * static_cast<double>(v.pxlz), 1e-9) << npxls;
    }
  }
}

}  // namespace
}  // namespace cbrecon
