// Every backprojection kernel must give the bytes of the scalar loop.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "backproj/backproject.h"
#include "backproj/plan.h"

namespace cbrecon {
namespace {

struct Case {
  const char* name;
  int npxls;
  float fov, pxlz, xoff;
  int nslices, ndets;
};

// Backprojects every view of `thetas` with the kernel `isa`: one view at a
// time over two row ranges, or (batch) all views in one pass over row
// ranges of odd sizes that cut across the kernels' tiles.
std::vector<float> run_kernel(const std::string& isa, const Case& k, const std::vector<double>& thetas,
                              bool batch = false, const BackprojShape& shape = {}) {
  RunParams p;
  p.npxls = k.npxls;
  p.fov = k.fov;
  p.pxlz = k.pxlz;
  p.xoff = k.xoff;
  p.nslices = k.nslices;
  p.ndets = k.ndets;
  const Geometry g = setup_geometry(p);
  const ScanGeometry bg = make_scan_geometry(p, g, k.npxls % 2 ? RowLayout::packed : RowLayout::padded);
  const FovExtents fov = build_fov_extents(p.npxls, g.dx, p.fov);
  std::mt19937 rng(42);
  std::normal_distribution<float> nd(0.0f, 100.0f);
  Matrix<float> proj = matrix(0, g.nrows - 1, 0, bg.proj_pitch - 1);
  for (size_t i = 0; i < proj.size(); ++i) proj.data()[i] = nd(rng);
  Tensor3<float> vol = f3tensor(0, g.nz - 1, 0, p.npxls - 1, 0, p.npxls - 1, 16);
  for (size_t i = 0; i < vol.storage_size(); ++i) vol.data()[i] = (i % 7 == 0) ? -0.0f : nd(rng);
  set_backproject_isa(isa);
  if (batch) {
    // A second detector image, so that views of one batch differ in data too.
    Matrix<float> proj2 = matrix(0, g.nrows - 1, 0, bg.proj_pitch - 1);
    for (size_t i = 0; i < proj2.size(); ++i) proj2.data()[i] = nd(rng);
    std::vector<ViewConstants> vcs;
    for (double th : thetas) vcs.push_back(view_constants(bg, th, 0.0174f));
    std::vector<BackprojView> views;
    for (size_t i = 0; i < vcs.size(); ++i) views.push_back({&vcs[i], i % 2 ? proj2.data() : proj.data()});
    for (long r0 = 0, step = 1; r0 < p.npxls; r0 += step, step = step * 3 + 2)
      backproject_batch(bg, fov, views, vol, r0, std::min<long>(p.npxls, r0 + step), shape);
  } else {
    for (double th : thetas) {
      const ViewConstants vc = view_constants(bg, th, 0.0174f);
      backproject_rows(bg, fov, vc, proj.data(), vol, 0, p.npxls / 3);
      backproject_rows(bg, fov, vc, proj.data(), vol, p.npxls / 3, p.npxls);
    }
  }
  set_backproject_isa("auto");
  return std::vector<float>(vol.data(), vol.data() + vol.storage_size());
}

TEST(BackprojectionKernels, EveryKernelGivesTheScalarBytes) {
  const Case cases[] = {
      {"default-like", 64, 250.0f, 2.5f, 0.0f, 192, 256},
      {"field wider than the detector", 61, 400.0f, 2.0f, 0.0f, 128, 128},
      {"offset detector", 48, 300.0f, 1.5f, -30.0f, 96, 256},
      {"rows held at the top", 40, 300.0f, 1.0f, 0.0f, 40, 64},
      // Voxels small enough that a block's samples fit the row-load paths.
      {"fine voxels", 96, 40.0f, 0.5f, 0.0f, 96, 256},
  };
  const std::vector<double> thetas{0.0, 0.7, 2.0, 3.14159, 4.5, -1.0};
  for (const Case& k : cases) {
    const std::vector<float> ref = run_kernel("scalar", k, thetas);
    for (const std::string& isa : backproject_isas()) {
      const std::vector<float> got = run_kernel(isa, k, thetas);
      ASSERT_EQ(got.size(), ref.size());
      EXPECT_EQ(std::memcmp(got.data(), ref.data(), ref.size() * sizeof(float)), 0)
          << isa << " differs from scalar in case " << k.name;
    }
  }
}

TEST(BackprojectionKernels, BatchesGiveTheBytesOfOneViewAtATime) {
  // The scalar kernel adds a batch row by row and view by view, one voxel
  // column at a time; the vector kernels walk tiles, slice-pair chunks and
  // lane blocks in another order and must give the same bytes.
  const Case cases[] = {
      {"default-like", 64, 250.0f, 2.5f, 0.0f, 192, 256},
      {"odd grid, field wider than the detector", 61, 400.0f, 2.0f, 0.0f, 128, 128},
      {"offset detector", 48, 300.0f, 1.5f, -30.0f, 96, 256},
  };
  const std::vector<double> thetas{0.1, 0.9, 1.7, 2.9, 4.1, 5.5, -0.4};
  for (const Case& k : cases) {
    const std::vector<float> ref = run_kernel("scalar", k, thetas, true);
    for (const std::string& isa : backproject_isas()) {
      const std::vector<float> got = run_kernel(isa, k, thetas, true);
      ASSERT_EQ(got.size(), ref.size());
      EXPECT_EQ(std::memcmp(got.data(), ref.data(), ref.size() * sizeof(float)), 0)
          << isa << " batch differs from the scalar batch in case " << k.name;
    }
  }
}

TEST(BackprojectionKernels, EveryShapeGivesTheScalarBytes) {
  // The planner's candidates and a few extreme shapes (one-row tiles,
  // single pairs, chunks longer than the volume, prefetch beyond the last
  // block) with every kernel, on the cases where row loads, gathers, held
  // rows and partial blocks all occur.
  std::vector<BackprojShape> shapes = shape_candidates();
  for (const char* name : {"t1-c1-p0-rows", "t5-c3-p1-gathers", "t64-c64-p64-rows", "t3-c7-p2-rows"}) {
    BackprojShape s;
    ASSERT_TRUE(parse_shape(name, s)) << name;
    shapes.push_back(s);
  }
  const Case cases[] = {
      {"default-like", 64, 250.0f, 2.5f, 0.0f, 192, 256},
      {"offset detector", 48, 300.0f, 1.5f, -30.0f, 96, 256},
      {"rows held at the top", 40, 300.0f, 1.0f, 0.0f, 40, 64},
      {"fine voxels", 96, 40.0f, 0.5f, 0.0f, 96, 256},
  };
  const std::vector<double> thetas{0.1, 0.9, 2.9, 4.1, -0.4};
  for (const Case& k : cases) {
    const std::vector<float> ref = run_kernel("scalar", k, thetas, true);
    for (const std::string& isa : backproject_isas())
      for (const BackprojShape& shape : shapes) {
        const std::vector<float> got = run_kernel(isa, k, thetas, true, shape);
        ASSERT_EQ(got.size(), ref.size());
        EXPECT_EQ(std::memcmp(got.data(), ref.data(), ref.size() * sizeof(float)), 0)
            << isa << " with shape " << shape_name(shape) << " differs from scalar in case " << k.name;
      }
  }
}

TEST(BackprojectionKernels, UnknownKernelsAreRefused) {
  EXPECT_THROW(set_backproject_isa("sse9"), std::exception);
  EXPECT_NO_THROW(set_backproject_isa("scalar"));
  EXPECT_STREQ(backproject_isa(), "scalar");
  set_backproject_isa("auto");
}

}  // namespace
}  // namespace cbrecon
