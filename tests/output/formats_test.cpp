#include "output/formats.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <random>

#include "output/plan.h"
#include "output/volume_io.h"
#include "numeric/error.h"
#include "support/test_support.h"
#include "support/e2e_support.h"

namespace cbrecon {
namespace {

using testing::read_back;
using testing::read_bytes;
using testing::TempDir;

TEST(FormatNames, BesideTheSeqFile) {
  EXPECT_EQ(format_file_name("run1/PROJ__bp4d.seq", VolumeFormat::nrrd), "run1/PROJ__bp4d.nrrd");
  EXPECT_EQ(format_file_name("run1/PROJ__4d_ph3.seq", VolumeFormat::nii_gz),
            "run1/PROJ__4d_ph3.nii.gz");
  // An -ext without ".seq" keeps its whole name; the extension is appended.
  EXPECT_EQ(format_file_name("run1/PROJ__a.raw", VolumeFormat::mha), "run1/PROJ__a.raw.mha");
  EXPECT_EQ(format_file_name("a.seq/PROJ__x", VolumeFormat::nii), "a.seq/PROJ__x.nii");
  EXPECT_EQ(parse_volume_format("nii.gz"), VolumeFormat::nii_gz);
  EXPECT_THROW(parse_volume_format("NRRD"), RunError);
  EXPECT_THROW(parse_volume_format("nii.bz2"), RunError);

  EXPECT_EQ(preview_file_name("look.png", "4d_ph3.seq", false), "look.png");
  EXPECT_EQ(preview_file_name("out/look.png", "4d_ph10.seq", true), "out/look_4d_ph10.png");
  EXPECT_EQ(preview_file_name("look", "hf4d_ph2.seq", true), "look_hf4d_ph2");
}

// The grid of a real run's geometry: even npxls, default slices.
struct SmallRun {
  RunParams p;
  Geometry g;
  ScanGeometry bg;
  FovExtents fov;
  SmallRun(int32_t npxls, float fov_mm, float pxlz) {
    p.npxls = npxls;
    p.fov = fov_mm;
    p.pxlz = pxlz;
    p.nslices = 96;
    g = setup_geometry(p);
    bg = make_scan_geometry(p, g, RowLayout::packed);
    fov = build_fov_extents(npxls, g.dx, fov_mm);
  }
};

TEST(VolumeGrid, RotationAxisAtZeroAndCentralPlaneAtZero) {
  const SmallRun run(10, 12.5f, 2.0f);
  const VolumeGrid grid = volume_grid(run.bg);
  const double dx = run.g.dx;
  ASSERT_EQ(grid.npxls, 10);
  ASSERT_GT(grid.nz, 1);
  EXPECT_EQ(grid.dx, dx);
  EXPECT_EQ(grid.pxlz, 2.0);
  const int n = grid.npxls, nz = grid.nz;
  for (int c = 0; c < n; ++c)
    EXPECT_NEAR(grid.origin[0] + c * dx, (c - n / 2 + 1.5) * dx, 1e-12) << c;
  for (int r = 0; r < n; ++r)
    EXPECT_NEAR(grid.origin[1] - r * dx, (n / 2 - 0.5 - r) * dx, 1e-12) << r;
  for (int j = 0; j < nz; ++j)
    EXPECT_NEAR(grid.origin[2] + j * grid.pxlz, (j - nz / 2 + 0.5) * grid.pxlz, 1e-12) << j;
  // Slices j and nz-1-j are mirror images about z = 0.
  EXPECT_DOUBLE_EQ(grid.origin[2] + (nz - 1) * grid.pxlz, -grid.origin[2]);
}

// A volume whose words cover the awkward cases: truncation toward zero,
// wrap beyond 16 bits, voxels outside the circle.
std::vector<float> awkward_volume(const VolumeGrid& g, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-4000.0f, 4000.0f);
  std::vector<float> v(static_cast<size_t>(g.nz) * g.npxls * g.npxls);
  for (float& x : v) x = u(rng);
  v[v.size() / 2] = 3276.8f;  // 32768 with scale 10: written as -32768
  v[v.size() / 2 + 1] = -12.34f;
  return v;
}

TEST(OutputVolume, WordsAreTheSeqWordsAndFloatsTheCalibratedValues) {
  const SmallRun run(10, 12.5f, 2.0f);
  const VolumeGrid grid = volume_grid(run.bg);
  const std::vector<float> vol = awkward_volume(grid, 1);
  const float scale = 10.0f, offset = -3.5f;
  const OutputVolume words(vol.data(), run.fov, grid, scale, offset, false);
  const OutputVolume floats(vol.data(), run.fov, grid, scale, offset, true);
  const size_t n = words.slice_voxels();
  std::vector<int16_t> w(n), seq(n);
  std::vector<float> f(n);
  int outside = 0;
  for (long j = 0; j < grid.nz; ++j) {
    words.slice(j, w.data());
    floats.slice(j, f.data());
    convert_slice(vol.data() + j * n, run.fov, grid.npxls, scale, offset, seq.data());
    ASSERT_EQ(w, seq) << "slice " << j;
    for (int32_t r = 0; r < grid.npxls; ++r)
      for (int32_t c = 0; c < grid.npxls; ++c) {
        const size_t i = static_cast<size_t>(r) * grid.npxls + c;
        const double calibrated = static_cast<double>(scale) * vol[j * n + i] + offset;
        if (words.inside(r, c)) {
          EXPECT_EQ(f[i], static_cast<float>(calibrated));
        } else {
          ++outside;
          EXPECT_EQ(f[i], -2000.0f);
          EXPECT_EQ(w[i], -2000);
        }
        EXPECT_EQ(words.value(j, r, c), w[i]);
        EXPECT_EQ(floats.value(j, r, c), f[i]);
      }
  }
  EXPECT_GT(outside, 0);
}

// With --hu-water the words become the DICOM series' numbers (halves away
// from zero, limited, padding outside) and the floats HU of the unrounded
// calibrated value; the headers say so.
TEST(OutputVolume, HounsfieldUnitsAreTheSeriesNumbersInEveryFormat) {
  const SmallRun run(10, 12.5f, 2.0f);
  const VolumeGrid grid = volume_grid(run.bg);
  std::vector<float> vol = awkward_volume(grid, 2);
  const float scale = 10.0f, offset = -50.0f;
  const HuScale hu{true, 1950.0, -50.0};
  const OutputVolume words(vol.data(), run.fov, grid, scale, offset, false);
  const OutputVolume hu16(vol.data(), run.fov, grid, scale, offset, false, 0, hu);
  const OutputVolume huf(vol.data(), run.fov, grid, scale, offset, true, 0, hu);
  const size_t n = words.slice_voxels();
  std::vector<int16_t> w(n), h(n);
  std::vector<float> f(n);
  long outside = 0, limited = 0;
  for (long j = 0; j < grid.nz; ++j) {
    words.slice(j, w.data());
    hu16.slice(j, h.data());
    huf.slice(j, f.data());
    for (int32_t r = 0; r < grid.npxls; ++r)
      for (int32_t c = 0; c < grid.npxls; ++c) {
        const size_t i = static_cast<size_t>(r) * grid.npxls + c;
        if (!words.inside(r, c)) {
          ++outside;
          EXPECT_EQ(h[i], kHuPadding);
          EXPECT_EQ(f[i], -32768.0f);
          continue;
        }
        // (w - 1950) / 2: exact halves round away from zero.
        const double want = std::round(1000.0 * (w[i] - 1950.0) / 2000.0);
        const double clamped = std::max(-32767.0, std::min(32767.0, want));
        limited += clamped != want;
        EXPECT_EQ(h[i], clamped) << w[i];
        EXPECT_EQ(hu16.value(j, r, c), h[i]);
        const double cal = static_cast<double>(scale) * vol[j * n + i] + offset;
        EXPECT_EQ(f[i], static_cast<float>(1000.0 * (cal - 1950.0) / 2000.0));
        EXPECT_EQ(huf.value(j, r, c), f[i]);
      }
  }
  EXPECT_GT(outside, 0);
  EXPECT_EQ(limited, 0);  // words span -32768..32767: (w - 1950) / 2 stays inside
  EXPECT_EQ(hu_of_word(1951, 1950.0, -50.0), 1);    // 0.5 HU away from zero
  EXPECT_EQ(hu_of_word(1949, 1950.0, -50.0), -1);
  EXPECT_EQ(hu_of_word(-32768, 0.5, 0.0), -32767);  // never the padding value
  EXPECT_EQ(hu_of_word(32767, 0.5, 0.0), 32767);
  EXPECT_NE(nrrd_header(hu16).find("Hounsfield units, -32768 outside"), std::string::npos);
  EXPECT_EQ(nrrd_header(words).find("Hounsfield"), std::string::npos);
  const std::vector<uint8_t> nh = nifti_header(huf);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(nh.data() + 148)).rfind("cbrecon: Hounsfield units", 0), 0u);
}

// The previews of a run that writes several volumes share the window of
// all of them; --window wins; a single volume keeps its own.
TEST(OutputPlan, TheVolumesOfOneRunShareOnePreviewWindow) {
  const SmallRun run(10, 12.5f, 2.0f);
  const VolumeGrid grid = volume_grid(run.bg);
  std::vector<float> dark = awkward_volume(grid, 3), bright = awkward_volume(grid, 4);
  for (float& x : dark) x = std::fabs(x) * 0.01f;
  for (float& x : bright) x = 100.0f + std::fabs(x) * 0.01f;
  RunParams p = run.p;
  p.extras.preview = "look.png";
  p.extras.all_phases = true;
  OutputPlan plan = make_output_plan(p, {{"4d_ph1.seq", 1}, {"4d_ph2.seq", 2}});
  const std::vector<VolumeData> data = {{dark.data(), 0, nullptr}, {bright.data(), 0, nullptr}};
  const OutputVolume a(dark.data(), run.fov, grid, 10.0f, 0.0f, false);
  const OutputVolume b(bright.data(), run.fov, grid, 10.0f, 0.0f, false);
  const std::optional<DisplayWindow> w = run_preview_window(plan, data, run.bg, run.fov);
  ASSERT_TRUE(w.has_value());
  const DisplayWindow both = percentile_window({&a, &b});
  EXPECT_EQ(w->lo, both.lo);
  EXPECT_EQ(w->hi, both.hi);
  EXPECT_LT(w->lo, percentile_window(b).lo);
  EXPECT_GT(w->hi, percentile_window(a).hi);

  plan.options.window_set = true;
  plan.options.window = {-5, 7};
  EXPECT_EQ(run_preview_window(plan, data, run.bg, run.fov)->hi, 7);
  plan.options.window_set = false;
  plan.options.several = false;
  EXPECT_FALSE(run_preview_window(plan, data, run.bg, run.fov).has_value());
}

// The bytes a reader must find: every slice converted, slice 0 first.
std::vector<uint8_t> expected_payload(const OutputVolume& v) {
  std::vector<uint8_t> out(v.slice_voxels() * v.voxel_bytes() * v.grid().nz);
  for (long j = 0; j < v.grid().nz; ++j)
    v.slice(j, out.data() + j * v.slice_voxels() * v.voxel_bytes());
  return out;
}

struct RoundTripCase {
  VolumeFormat format;
  bool as_float;
};

class FormatRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(FormatRoundTrip, IndependentReaderSeesTheGridTheOrientationAndTheValues) {
  const RoundTripCase tc = GetParam();
  const SmallRun run(12, 15.0f, 2.5f);
  const VolumeGrid grid = volume_grid(run.bg);
  const std::vector<float> vol = awkward_volume(grid, 7);
  const OutputVolume v(vol.data(), run.fov, grid, 10.0f, 0.0f, tc.as_float);
  TempDir dir;
  const std::string name = format_file_name(dir.file("PROJ__bp4d.seq"), tc.format);
  write_volume_format(name, tc.format, v);

  const testing::ReadBack rb = read_back(name);
  if (!rb.skip.empty()) GTEST_SKIP() << "needs " << rb.skip;
  ASSERT_TRUE(rb.error.empty()) << rb.error;
  EXPECT_EQ(rb.type, tc.as_float ? "float32" : "int16");
  EXPECT_EQ(rb.size[0], grid.npxls);
  EXPECT_EQ(rb.size[1], grid.npxls);
  EXPECT_EQ(rb.size[2], grid.nz);
  // NIfTI keeps its geometry in 32-bit floats.
  const bool nifti = tc.format == VolumeFormat::nii || tc.format == VolumeFormat::nii_gz;
  const double tol = nifti ? 1e-5 : 0;
  // HFS: LPS = (x, -y, -z) of the reconstruction frame.
  const double axes[3][3] = {{grid.dx, 0, 0}, {0, grid.dx, 0}, {0, 0, -grid.pxlz}};
  const double lps[3] = {1, -1, -1};
  for (int a = 0; a < 3; ++a) {
    EXPECT_NEAR(rb.origin[a], lps[a] * grid.origin[a], tol) << "origin " << a;
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(rb.axis[a][k], axes[a][k], tol) << a << "," << k;
  }
  EXPECT_TRUE(rb.data == expected_payload(v));
}

std::string case_name(const ::testing::TestParamInfo<RoundTripCase>& info) {
  static const char* const names[] = {"mha", "nrrd", "nii", "nii_gz"};
  return std::string(names[static_cast<int>(info.param.format)]) +
         (info.param.as_float ? "_float" : "_words");
}

INSTANTIATE_TEST_SUITE_P(
    AllFormats, FormatRoundTrip,
    ::testing::Values(RoundTripCase{VolumeFormat::mha, false}, RoundTripCase{VolumeFormat::mha, true},
                      RoundTripCase{VolumeFormat::nrrd, false}, RoundTripCase{VolumeFormat::nrrd, true},
                      RoundTripCase{VolumeFormat::nii, false}, RoundTripCase{VolumeFormat::nii, true},
                      RoundTripCase{VolumeFormat::nii_gz, false},
                      RoundTripCase{VolumeFormat::nii_gz, true}),
    case_name);

std::vector<uint8_t> gunzip(const std::vector<uint8_t>& in) {
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, 15 + 16), Z_OK);
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  std::vector<uint8_t> out;
  uint8_t buf[4096];
  int rc;
  do {
    zs.next_out = buf;
    zs.avail_out = sizeof buf;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - zs.avail_out));
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END);
  EXPECT_EQ(zs.avail_in, 0u) << "bytes after the gzip stream";
  inflateEnd(&zs);
  return out;
}

TEST(Nifti, NoScalingAndTheGzipStreamHoldsTheNiiBytes) {
  const SmallRun run(12, 15.0f, 2.5f);
  const VolumeGrid grid = volume_grid(run.bg);
  const std::vector<float> vol = awkward_volume(grid, 3);
  const OutputVolume v(vol.data(), run.fov, grid, 10.0f, 0.0f, false);
  // What nibabel does not check: no scaling (the stored words are the
  // values) and no extension before the data.
  const std::vector<uint8_t> h = nifti_header(v);
  ASSERT_EQ(h.size(), 352u);
  float slope = 1;
  std::memcpy(&slope, &h[112], 4);
  EXPECT_EQ(slope, 0.0f);
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + 344, h.end()), (std::vector<uint8_t>{'n', '+', '1', 0, 0, 0, 0, 0}));

  TempDir dir;
  write_volume_format(dir.file("v.nii"), VolumeFormat::nii, v);
  write_volume_format(dir.file("v.nii.gz"), VolumeFormat::nii_gz, v);
  const std::vector<uint8_t> nii = read_bytes(dir.file("v.nii"));
  EXPECT_EQ(nii.size(), 352 + expected_payload(v).size());
  EXPECT_TRUE(gunzip(read_bytes(dir.file("v.nii.gz"))) == nii);
}

}  // namespace
}  // namespace cbrecon
