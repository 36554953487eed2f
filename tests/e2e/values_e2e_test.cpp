// Values a user can calibrate once, and files where the user asks for them:
// an offset-detector run read as a centred one (--offset-centred-values),
// and the output folder and trace file options.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "support/e2e_support.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;
using testing::read_bytes;
using testing::run_process;
using testing::TempDir;

constexpr int kNpxls = 64;

// Mean of the central 8 x 8 voxels of the middle slice of a .seq file.
double centre_mean(const std::string& seq) {
  const std::vector<uint8_t> b = read_bytes(seq);
  const size_t slice = kNpxls * kNpxls;
  const size_t nz = (b.size() - 1024) / 2 / slice;
  std::vector<int16_t> w(slice);
  std::memcpy(w.data(), b.data() + 1024 + 2 * slice * (nz / 2), 2 * slice);
  double sum = 0;
  for (int r = kNpxls / 2 - 4; r < kNpxls / 2 + 4; ++r)
    for (int c = kNpxls / 2 - 4; c < kNpxls / 2 + 4; ++c) sum += w[r * kNpxls + c];
  return sum / 64;
}

// One water phantom scanned with a centred and with an offset detector: by
// default the offset run reads about half; with the option it reads as the
// centred run, within 1 %.
TEST(OffsetValues, AnOffsetRunReadsAsACentredOneOnRequest) {
  TempDir dir;
  const std::vector<std::string> scan = {"--phantom", "water", "--scale", "0.25", "--cols", "256",
                                         "--rows", "128", "--views", "120", "--quiet"};
  auto simulate = [&](const std::string& sub, std::vector<std::string> extra) {
    std::vector<std::string> args = scan;
    args.insert(args.end(), {"--prefix", dir.file(sub + "/PROJ_")});
    args.insert(args.end(), extra.begin(), extra.end());
    const ProcessResult r = run_process(CBRECON_SIM_BIN, args);
    ASSERT_EQ(r.status, 0) << r.err;
  };
  simulate("centred", {});
  simulate("offset", {"--xoff", "-37"});
  auto recon = [&](const std::string& sub, std::vector<std::string> extra) {
    std::vector<std::string> args = {dir.file(sub + "/PROJ_"), dir.file(sub + "/NormImage.hnd"), "0",
                                     "-d", "256", "-z", "128", "-s", "120", "-p", std::to_string(kNpxls),
                                     "-fov", "60"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_process(CBRECON_BIN, args);
  };
  ASSERT_EQ(recon("centred", {}).status, 1);
  const double centred = centre_mean(dir.file("centred/PROJ__bp4d.seq"));
  ASSERT_EQ(recon("offset", {"-xoff", "-37"}).status, 1);
  const double classic = centre_mean(dir.file("offset/PROJ__bp4d.seq"));
  const ProcessResult r = recon("offset", {"-xoff", "-37", "--offset-centred-values"});
  ASSERT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  const double matched = centre_mean(dir.file("offset/PROJ__bp4d.seq"));
  std::printf("water: centred %.1f, offset %.1f, offset with --offset-centred-values %.1f\n", centred,
              classic, matched);
  EXPECT_NEAR(centred, 2000, 100);
  EXPECT_NEAR(classic / centred, 0.5, 0.06);
  EXPECT_NEAR(matched / centred, 1.0, 0.01);
}

// --output-dir takes every volume file (formats, preview, DICOM series) and
// --trace-file the 4-D trace; nothing lands beside the projections or in
// the current folder, and a missing output folder is refused before the
// run with nothing written.
TEST(OutputPlaces, OutputFolderAndTraceFileOptions) {
  TempDir scan, out, cwd;
  const ProcessResult sim =
      run_process(CBRECON_SIM_BIN, {"--prefix", scan.file("PROJ_"), "--scale", "0.25", "--cols", "256", "--rows",
                                    "128", "--views", "60", "--phantom", "spheres", "--motion", "10", "--vxp",
                                    scan.file("b.vxp"), "--quiet"});
  ASSERT_EQ(sim.status, 0) << sim.err;
  const std::vector<std::string> base = {scan.file("PROJ_"), scan.file("NormImage.hnd"), scan.file("b.vxp"),
                                         "-d", "256", "-z", "128", "-s", "60", "-p", "32", "-fov", "60",
                                         "-ph", "3", "--format", "nii", "--format", "dcm", "--hu-water",
                                         "2000", "--preview", "look.png"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  auto names = [](const TempDir& d) {
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator(d.path())) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  };
  const std::vector<std::string> scan_before = names(scan);

  // A missing output folder: refused up front, nothing written anywhere.
  ProcessResult r = run_process(CBRECON_BIN, with({"--output-dir", out.file("missing"), "--trace-file",
                                                   out.file("trace.txt")}),
                                cwd.str());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(out.file("missing")), std::string::npos) << r.err;
  EXPECT_TRUE(names(out).empty());
  EXPECT_TRUE(names(cwd).empty());

  r = run_process(CBRECON_BIN, with({"--output-dir", out.str(), "--trace-file", out.file("trace.txt")}),
                  cwd.str());
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(names(out), (std::vector<std::string>{"PROJ__4d_ph3.nii", "PROJ__4d_ph3.seq", "PROJ__4d_ph3_dicom",
                                                  "look.png", "trace.txt"}));
  EXPECT_NE(r.out.find("image has been saved in " + out.file("PROJ__4d_ph3.seq")), std::string::npos);
  EXPECT_EQ(names(scan), scan_before);
  EXPECT_TRUE(names(cwd).empty());

  // The defaults are unchanged: beside the projections, the trace here.
  r = run_process(CBRECON_BIN, base, cwd.str());
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(names(cwd), (std::vector<std::string>{"4dcbctrpm.out", "look.png"}));
  EXPECT_TRUE(fs::exists(scan.file("PROJ__4d_ph3.seq")));
  EXPECT_EQ(read_bytes(cwd.file("4dcbctrpm.out")), read_bytes(out.file("trace.txt")));
  EXPECT_EQ(read_bytes(scan.file("PROJ__4d_ph3.seq")), read_bytes(out.file("PROJ__4d_ph3.seq")));
}

// --nifti-4d: the ten bins of an --all-phases run in one file that nibabel
// reads as (x, y, z, bin), each bin the same voxels and geometry as its own
// NIfTI file (HU with --hu-water).
TEST(OutputPlaces, TheBinsOfA4DRunAsOne4DNifti) {
  const std::string py = testing::python_with("nibabel");
  if (py.empty()) GTEST_SKIP() << "needs python3 with nibabel";
  TempDir scan;
  const ProcessResult sim =
      run_process(CBRECON_SIM_BIN, {"--prefix", scan.file("PROJ_"), "--scale", "0.25", "--cols", "256", "--rows",
                                    "128", "--views", "90", "--phantom", "spheres", "--motion", "10", "--vxp",
                                    scan.file("b.vxp"), "--quiet"});
  ASSERT_EQ(sim.status, 0) << sim.err;
  const ProcessResult r = run_process(
      CBRECON_BIN, {scan.file("PROJ_"), scan.file("NormImage.hnd"), scan.file("b.vxp"), "-d", "256", "-z", "128",
                    "-s", "90", "-p", "32", "-fov", "60", "--all-phases", "--format", "nii", "--nifti-4d",
                    "--hu-water", "2000"});
  ASSERT_EQ(r.status, 1) << r.err;
  const ProcessResult check = run_process(py, {"-c", R"(
import sys, nibabel as nib, numpy as np
four = nib.load(sys.argv[1])
d = np.asarray(four.dataobj)
print("shape", " ".join(str(n) for n in d.shape), d.dtype)
for t in range(d.shape[3]):
    one = nib.load(sys.argv[2] % (t + 1))
    same = np.array_equal(np.asarray(one.dataobj), d[..., t]) and np.allclose(one.affine, four.affine)
    print("bin", t + 1, "same" if same else "DIFFERENT")
)", scan.file("PROJ__4d.nii"), scan.file("PROJ__4d_ph%d.nii")});
  ASSERT_EQ(check.status, 0) << check.err;
  std::string want = "shape 32 32 ";
  EXPECT_EQ(check.out.rfind(want, 0), 0u) << check.out;
  EXPECT_NE(check.out.find(" 10 int16\n"), std::string::npos) << check.out;
  for (int bin = 1; bin <= 10; ++bin)
    EXPECT_NE(check.out.find("bin " + std::to_string(bin) + " same\n"), std::string::npos) << check.out;
}

}  // namespace
}  // namespace cbrecon
