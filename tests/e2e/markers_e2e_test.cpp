// The patient frame end to end: a phantom with three distinct markers
// (above the couch, on the +x side, towards the gantry) is scanned once and
// reconstructed for every patient position in every format; independent
// readers (pydicom, nibabel, teem's unu, the MetaImage reader of
// tools/read_volume.py) must find each marker on the anatomical side the
// position puts it (HACKING.md, "The patient frame").
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "sim/phantom.h"
#include "support/e2e_support.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

using testing::ProcessResult;
using testing::run_process;
using testing::TempDir;

constexpr double kScale = 0.25;

// A volume as a reader placed it: voxel (i, j, k) at origin + i a0 + j a1 +
// k a2 (LPS, mm), its value in HU (--hu-water: every format holds HU).
struct Placed {
  double origin[3] = {0, 0, 0}, axis[3][3] = {};
  long size[3] = {0, 0, 0};
  std::vector<double> hu;

  // The value of the voxel nearest the LPS point p; NaN outside the grid.
  double at(const double p[3]) const {
    const double(&a)[3][3] = axis;
    auto det = [](const double c0[3], const double c1[3], const double c2[3]) {
      return c0[0] * (c1[1] * c2[2] - c1[2] * c2[1]) - c1[0] * (c0[1] * c2[2] - c0[2] * c2[1]) +
             c2[0] * (c0[1] * c1[2] - c0[2] * c1[1]);
    };
    const double d[3] = {p[0] - origin[0], p[1] - origin[1], p[2] - origin[2]};
    const double all = det(a[0], a[1], a[2]);
    const long idx[3] = {std::lround(det(d, a[1], a[2]) / all), std::lround(det(a[0], d, a[2]) / all),
                         std::lround(det(a[0], a[1], d) / all)};
    for (int q = 0; q < 3; ++q)
      if (idx[q] < 0 || idx[q] >= size[q]) return NAN;
    return hu[static_cast<size_t>((idx[2] * size[1] + idx[1]) * size[0] + idx[0])];
  }
};

Placed from_volume(const testing::ReadBack& rb) {
  Placed v;
  std::memcpy(v.origin, rb.origin, sizeof v.origin);
  std::memcpy(v.axis, rb.axis, sizeof v.axis);
  std::memcpy(v.size, rb.size, sizeof v.size);
  const size_t n = static_cast<size_t>(rb.size[0] * rb.size[1] * rb.size[2]);
  v.hu.resize(n);
  for (size_t i = 0; i < n; ++i) {
    if (rb.type == "float32") {
      float f;
      std::memcpy(&f, rb.data.data() + 4 * i, 4);
      v.hu[i] = f;
    } else {
      int16_t w;
      std::memcpy(&w, rb.data.data() + 2 * i, 2);
      v.hu[i] = w;
    }
  }
  return v;
}

Placed from_series(const testing::Series& s, long npxls, double dx) {
  Placed v;
  const std::vector<double> o = s.numbers("orientation");
  for (int q = 0; q < 3; ++q) {
    v.origin[q] = s.slices.at(0).pos[q];
    v.axis[0][q] = dx * o.at(q);
    v.axis[1][q] = dx * o.at(3 + q);
    v.axis[2][q] = s.slices.at(1).pos[q] - s.slices[0].pos[q];
  }
  v.size[0] = v.size[1] = npxls;
  v.size[2] = static_cast<long>(s.slices.size());
  v.hu.assign(s.stored.begin(), s.stored.end());
  return v;
}

// Anatomical directions in LPS.
enum Side { kAnterior, kPosterior, kLeft, kRight, kHead, kFeet };
const double kLps[6][3] = {{0, -1, 0}, {0, 1, 0}, {1, 0, 0}, {-1, 0, 0}, {0, 0, 1}, {0, 0, -1}};
const char* const kSideName[6] = {"anterior", "posterior", "left", "right", "head", "feet"};

TEST(MarkersEndToEnd, EveryPositionAndFormatPutsEachMarkerOnItsAnatomicalSide) {
  TempDir scan;
  const ProcessResult sim =
      run_process(CBRECON_SIM_BIN, {"--prefix", scan.file("PROJ_"), "--phantom", "markers", "--scale", "0.25",
                                    "--cols", "256", "--rows", "192", "--views", "90", "--quiet"});
  ASSERT_EQ(sim.status, 0) << sim.err;

  // Where the scanner's up (+y), +x and gantry (-z) sides are on the
  // patient: supine or prone turns up into anterior or posterior; head or
  // feet first decides which end faces the gantry and, with it, which hand
  // lies on +x.
  struct Case {
    const char* position;
    Side up, plus_x, gantry;
  };
  const Case cases[] = {{"HFS", kAnterior, kLeft, kHead},
                        {"HFP", kPosterior, kRight, kHead},
                        {"FFS", kAnterior, kRight, kFeet},
                        {"FFP", kPosterior, kLeft, kFeet}};
  const double mus[3] = {sim::kMarkerUpMu, sim::kMarkerSideMu, sim::kMarkerGantryMu};
  const double dist[3] = {sim::kMarkerUp.y * kScale, sim::kMarkerSide.x * kScale,
                          -sim::kMarkerGantry.z * kScale};
  constexpr long kNpxls = 64;
  constexpr double kDx = 80.0 / kNpxls;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.position);
    const ProcessResult r = run_process(
        CBRECON_BIN,
        {scan.file("PROJ_"), scan.file("NormImage.hnd"), "0", "-d", "256", "-z", "192", "-s", "90", "-p",
         std::to_string(kNpxls), "-fov", "80", "-pz", "1.25", "--format", "dcm", "--format", "nii",
         "--format", "nrrd", "--format", "mha", "--hu-water", "2000", "--patient-position", c.position},
        scan.str());
    ASSERT_EQ(r.status, 1) << r.err;

    std::vector<std::pair<std::string, Placed>> readers;
    const testing::Series s = testing::read_series(scan.file("PROJ__bp4d_dicom"));
    if (s.skip.empty()) {
      ASSERT_EQ(s.error, "");
      readers.emplace_back("dicom", from_series(s, kNpxls, kDx));
    }
    for (const char* ext : {".nii", ".nrrd", ".mha"}) {
      const testing::ReadBack rb = testing::read_back(scan.file(std::string("PROJ__bp4d") + ext));
      if (!rb.skip.empty()) continue;
      ASSERT_EQ(rb.error, "") << ext;
      readers.emplace_back(ext, from_volume(rb));
    }
    if (readers.empty()) GTEST_SKIP() << "no independent reader here";

    const Side sides[3] = {c.up, c.plus_x, c.gantry};
    for (const auto& [reader, v] : readers) {
      for (int m = 0; m < 3; ++m) {
        double here[3], mirror[3];
        for (int q = 0; q < 3; ++q) {
          here[q] = dist[m] * kLps[sides[m]][q];
          mirror[q] = -here[q];
        }
        const double want = 1000.0 * mus[m] / 0.02;
        SCOPED_TRACE(reader + " marker " + std::to_string(m) + " " + kSideName[sides[m]]);
        std::printf("%s %-6s marker %d on the %-9s side: %6.0f HU there, %5.0f HU opposite\n", c.position,
                    reader.c_str(), m, kSideName[sides[m]], v.at(here), v.at(mirror));
        EXPECT_NEAR(v.at(here), want, 0.3 * want);
        EXPECT_NEAR(v.at(mirror), 0.0, 150.0);
      }
    }
  }
}

}  // namespace
}  // namespace cbrecon
