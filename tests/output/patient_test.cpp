#include "output/patient.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "geometry/fov.h"
#include "numeric/error.h"
#include "output/formats.h"

namespace cbrecon {
namespace {

template <class T>
T get(const std::vector<uint8_t>& h, size_t offset) {
  T v;
  std::memcpy(&v, h.data() + offset, sizeof v);
  return v;
}

// A NIfTI reader uses either the sform or the qform (quaternion, qfac,
// pixdim, offset); both must be the same map for every position, and the
// MetaImage and NRRD headers must state the same axes.
TEST(PatientPosition, TheQuaternionFollowsTheAxesOfEveryPosition) {
  VolumeGrid g;
  g.npxls = 8;
  g.nz = 4;
  g.dx = 1.25;
  g.pxlz = 2.5;
  g.origin[0] = -3.75;
  g.origin[1] = 4.375;
  g.origin[2] = -3.75;
  const FovExtents fov = build_fov_extents(8, 1.25f, 10.0f);
  std::vector<float> vol(8 * 8 * 4, 0.0f);
  for (const PatientPosition pos : {PatientPosition::HFS, PatientPosition::HFP,
                                    PatientPosition::FFS, PatientPosition::FFP}) {
    SCOPED_TRACE(patient_position_name(pos));
    EXPECT_EQ(parse_patient_position(patient_position_name(pos)), pos);
    g.position = pos;
    const OutputVolume v(vol.data(), fov, g, 10.0f, 0.0f, false);
    const std::vector<uint8_t> h = nifti_header(v);
    const double b = get<float>(h, 256), c = get<float>(h, 260), d = get<float>(h, 264);
    const double a = std::sqrt(std::max(0.0, 1 - b * b - c * c - d * d));
    const double qfac = get<float>(h, 76);
    ASSERT_EQ(qfac, -1.0);
    const double R[3][3] = {{a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)},
                            {2 * (b * c + a * d), a * a + c * c - b * b - d * d, 2 * (c * d - a * b)},
                            {2 * (b * d - a * c), 2 * (c * d + a * b), a * a + d * d - c * c - b * b}};
    for (int row = 0; row < 3; ++row) {
      for (int col = 0; col < 3; ++col) {
        const double pix = get<float>(h, 80 + 4 * col) * (col == 2 ? qfac : 1.0);
        EXPECT_NEAR(R[row][col] * pix, get<float>(h, 280 + 16 * row + 4 * col), 1e-6) << row << col;
      }
      EXPECT_EQ(get<float>(h, 268 + 4 * row), get<float>(h, 280 + 16 * row + 12));
    }
    // The same axes in RAS as the MetaImage matrix states in LPS.
    const std::string mha = mha_header(v);
    const size_t at = mha.find("TransformMatrix = ");
    ASSERT_NE(at, std::string::npos);
    double m[9];
    ASSERT_EQ(std::sscanf(mha.c_str() + at, "TransformMatrix = %lf %lf %lf %lf %lf %lf %lf %lf %lf",
                          &m[0], &m[1], &m[2], &m[3], &m[4], &m[5], &m[6], &m[7], &m[8]), 9);
    for (int axis = 0; axis < 3; ++axis)
      for (int k = 0; k < 3; ++k) {
        const double ras = get<float>(h, 280 + 16 * k + 4 * axis) / get<float>(h, 80 + 4 * axis);
        EXPECT_EQ(k < 2 ? -m[3 * axis + k] : m[3 * axis + k], ras) << axis << k;
      }
    EXPECT_EQ(mha.find("-0 "), std::string::npos) << mha;
    if (pos == PatientPosition::HFS) {
      EXPECT_NE(mha.find("TransformMatrix = 1 0 0 0 1 0 0 0 -1\n"), std::string::npos);
      EXPECT_NE(nrrd_header(v).find("space directions: (1.25,0,0) (0,1.25,0) (0,0,-2.5)\n"),
                std::string::npos);
    }
  }
  EXPECT_THROW(parse_patient_position("LFS"), RunError);
}

}  // namespace
}  // namespace cbrecon
