#include "sim/scan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <unistd.h>

#include "input/projection.h"
#include "numeric/common.h"
#include "numeric/error.h"
#include "geometry/geometry.h"
#include "sim/options.h"
#include "sim/truth.h"

namespace cbrecon::sim {
namespace {

namespace fs = std::filesystem;

// A fresh folder with a short name: projection names must stay within 79
// characters.
struct TempDir {
  fs::path path;
  TempDir() {
    static int serial = 0;
    path = fs::temp_directory_path() / ("cbsim" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

std::vector<uint8_t> slurp(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

ScanConfig small_scan(const TempDir& dir, const char* phantom = "spheres") {
  ScanConfig c;
  c.cols = 40;
  c.rows = 32;
  c.views = 6;
  c.start = 10;
  c.step = -60;
  c.prefix = dir / "PROJ_";
  c.phantom = make_phantom(phantom);
  c.threads = 2;
  return c;
}

// Where the reconstruction's backprojection puts a world point on the
// detector of a view, written out from its own per-voxel formulas.
void recon_projection(const DetectorFrame& f, double angle_deg, Vec3 x, double& u, double& v) {
  const double th = angle_deg * pi / 180;
  const double cosv = std::cos(-th), sinv = std::sin(-th);
  const double s = x.x * cosv + x.y * sinv, t = -x.x * sinv + x.y * cosv;
  const double U = sad - t;
  u = (s / U) / static_cast<double>(tanstep) + f.ucenter;
  v = x.z * (sdd_px / U) + f.half_rows;
}

TEST(ScanGeometry, DetectorRaysPassThroughTheBackprojectedPoint) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> coord(-120, 120), angle(-400, 400);
  for (const float xoff : {0.0f, -148.0f}) {
    const DetectorFrame f = detector_frame(1024, 767, xoff);
    for (int i = 0; i < 200; ++i) {
      const Vec3 x{coord(rng), coord(rng), coord(rng) * 0.7};
      const double a = angle(rng);
      double u, v;
      recon_projection(f, a, x, u, v);
      const Ray ray = detector_ray(f, a, u, v);
      // Distance of x from the ray.
      const Vec3 e = (1.0 / norm(ray.dir)) * ray.dir;
      const Vec3 w = x - ray.origin;
      const Vec3 off = w - dot(w, e) * e;
      EXPECT_LT(norm(off), 1e-9) << "xoff " << xoff << " angle " << a;
    }
  }
  const DetectorFrame f = detector_frame(1024, 768, -148.0f);
  EXPECT_EQ(f.ucenter, 892.0);
  EXPECT_EQ(f.ishift, 760);
}

TEST(ScanGeometry, FastLineIntegralsAgreeWithTheRayByRayIntegral) {
  for (const char* name : {"shepp", "spheres"})
    for (const float xoff : {0.0f, -30.0f}) {
      SCOPED_TRACE(testing::Message() << name << " xoff " << xoff);
      // A detector that sees the whole phantom at the axis.
      const DetectorFrame f = detector_frame(600, 601, xoff);
      Phantom ph = at_phase(make_phantom(name), 1.0);
      for (const double angle : {0.0, 37.5, -200.0}) {
        const std::vector<double> img = line_integral_image(f, ph, angle);
        for (long r = 0; r < f.rows; r += 7)
          for (long c = 0; c < f.cols; c += 5) {
            const Ray ray = detector_ray(f, angle, static_cast<double>(c + f.ishift), static_cast<double>(r));
            const double expect = line_integral(ph, ray.origin, ray.dir, sdd * norm(ray.dir));
            ASSERT_NEAR(img[static_cast<size_t>(r * f.cols + c)], expect, 1e-9) << r << " " << c;
          }
      }
    }
}

TEST(Scan, FilesCarryHeadersMaskAndCountsThatGiveBackTheLineIntegrals) {
  TempDir dir;
  ScanConfig cfg = small_scan(dir);
  cfg.first = 3;
  const ScanSummary sum = simulate_scan(cfg);
  ASSERT_EQ(sum.views.size(), 6u);
  EXPECT_EQ(sum.mask, dir / "NormImage.hnd");

  // Mask: header, then rows * cols plain little-endian words.
  const std::vector<uint8_t> mask = slurp(sum.mask);
  const size_t npix = 32 * 40;
  ASSERT_EQ(mask.size(), kHeaderSize + 4 * npix);
  EXPECT_STREQ(reinterpret_cast<const char*>(mask.data()), "CBRECON-SIM MASK 00000 rows=32 cols=40");
  EXPECT_EQ(header_ctnorm(mask.data()), cfg.ctnorm);
  std::vector<double> m(npix);
  for (size_t k = 0; k < npix; ++k) {
    const uint8_t* p = mask.data() + kHeaderSize + 4 * k;
    m[k] = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    const long r = static_cast<long>(k / 40), c = static_cast<long>(k % 40);
    const double g = detector_gain(cfg.gain_var, r, c, 32, 40);
    ASSERT_EQ(m[k], std::round(cfg.counts * g));
    ASSERT_LE(std::fabs(g - 1), cfg.gain_var);
  }

  const DetectorFrame f = detector_frame(40, 32, 0);
  double ct_lo = 1e300, ct_hi = 0;
  Header first_head{};
  for (size_t i = 0; i < sum.views.size(); ++i) {
    const ViewInfo& v = sum.views[i];
    SCOPED_TRACE(v.name);
    EXPECT_EQ(v.name, projection_name(dir / "PROJ_", 3 + static_cast<long long>(i)));
    Header head;
    std::vector<uint8_t> data;
    ASSERT_TRUE(read_projection(v.name, head.data(), data));
    EXPECT_EQ(strprintf("CBRECON-SIM VIEW %05zu rows=32 cols=40", 3 + i),
              reinterpret_cast<const char*>(head.data()));
    EXPECT_EQ(header_angle(head.data()), 10 - 60.0 * static_cast<double>(i));
    EXPECT_EQ(header_ctnorm(head.data()), v.ctnorm);
    ct_lo = std::min(ct_lo, v.ctnorm / cfg.ctnorm);
    ct_hi = std::max(ct_hi, v.ctnorm / cfg.ctnorm);
    // The bytes the reconstruction does not interpret still tell views apart.
    if (i == 0) first_head = head;
    EXPECT_EQ(std::equal(head.begin() + 600, head.end(), first_head.begin() + 600), i == 0);

    DecodeStatus st;
    const Matrix<uint32_t> img = decode_projection(data, 40, 32, &st);
    ASSERT_EQ(st.decoded, npix);
    const std::vector<double> li = line_integral_image(f, cfg.phantom, v.angle);
    double max_li = 0;
    for (size_t k = 0; k < npix; ++k) {
      // The reconstruction's normalisation: ln((N/Nref) / (I/Iref)).
      const double got = (std::log(m[k]) - std::log(cfg.ctnorm)) -
                         (std::log(static_cast<double>(img.data()[k])) - std::log(v.ctnorm));
      ASSERT_NEAR(got, li[k], 1e-4) << k;
      max_li = std::max(max_li, li[k]);
    }
    EXPECT_GT(max_li, 3.0);  // the object is in view
  }
  EXPECT_LT(ct_lo, 0.99);
  EXPECT_GT(ct_hi, 1.01);
  EXPECT_GE(ct_lo, 1 - cfg.ctnorm_var);
  EXPECT_LE(ct_hi, 1 + cfg.ctnorm_var);
}

TEST(Scan, GapsInTheNumberingAreListedAcross) {
  TempDir dir;
  ScanConfig cfg = small_scan(dir, "water");
  cfg.views = 5;
  cfg.first = 5;
  cfg.gap_every = 2;
  cfg.gap_size = 100;
  simulate_scan(cfg);
  const ViewList vl = list_projections(dir / "PROJ_", ".hnd", 10, 0, 0, 0);
  ASSERT_EQ(vl.ik, 5);
  const long long numbers[] = {5, 6, 107, 108, 209};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(vl.names[static_cast<size_t>(i)], projection_name(dir / "PROJ_", numbers[i]));
    EXPECT_EQ(vl.angles[static_cast<size_t>(i)], 10 - 60.0 * i);
  }
}

TEST(Scan, ResultDoesNotDependOnTheThreadCount) {
  TempDir a, b;
  ScanConfig ca = small_scan(a), cb = small_scan(b);
  ca.noise = cb.noise = true;
  ca.threads = 1;
  cb.threads = 3;
  const ScanSummary sa = simulate_scan(ca), sb = simulate_scan(cb);
  for (size_t i = 0; i < sa.views.size(); ++i) {
    const std::vector<uint8_t> fa = slurp(sa.views[i].name), fb = slurp(sb.views[i].name);
    ASSERT_FALSE(fa.empty());
    EXPECT_EQ(fa, fb) << i;
  }
}

TEST(Scan, NoiseHasPoissonSpreadAndCountsStayAboveZero) {
  TempDir dir;
  ScanConfig cfg = small_scan(dir, "water");
  cfg.views = 2;
  cfg.counts = 1e6;
  // A dense sphere drives the central counts below 1 before clamping.
  cfg.phantom.shapes.push_back({ShapeKind::ellipsoid, {0, 0, 0}, {2, 2, 2}, 0, 5.0, false});
  const std::vector<ViewInfo> clean_views = simulate_scan(cfg).views;
  std::vector<std::vector<uint32_t>> clean;
  for (const ViewInfo& v : clean_views) {
    Header h;
    std::vector<uint8_t> d;
    ASSERT_TRUE(read_projection(v.name, h.data(), d));
    const Matrix<uint32_t> img = decode_projection(d, 40, 32);
    clean.emplace_back(img.data(), img.data() + img.size());
  }
  EXPECT_EQ(*std::min_element(clean[0].begin(), clean[0].end()), 1u);
  cfg.noise = true;
  const ScanSummary noisy = simulate_scan(cfg);
  double sum2 = 0;
  long n = 0;
  for (size_t i = 0; i < noisy.views.size(); ++i) {
    Header h;
    std::vector<uint8_t> d;
    ASSERT_TRUE(read_projection(noisy.views[i].name, h.data(), d));
    const Matrix<uint32_t> img = decode_projection(d, 40, 32);
    for (size_t k = 0; k < img.size(); ++k) {
      ASSERT_GE(img.data()[k], 1u);
      const double c = clean[i][k];
      if (c < 1000) continue;
      const double z = (static_cast<double>(img.data()[k]) - c) / std::sqrt(c);
      sum2 += z * z;
      ++n;
    }
  }
  ASSERT_GT(n, 1000);
  EXPECT_NEAR(std::sqrt(sum2 / n), 1.0, 0.1);
}

TEST(Scan, MovingSphereFollowsEachViewsBreathingPhase) {
  TempDir dir;
  ScanConfig cfg = small_scan(dir, "water");
  cfg.cols = cfg.rows = 64;  // sees about 8 mm around the centre
  cfg.views = 40;
  cfg.step = 9;
  cfg.phantom.shapes.push_back({ShapeKind::ellipsoid, {2, -1, -3}, {3, 3, 3}, 0, 0.1, true});
  cfg.phantom.motion = 6;
  const ScanSummary sum = simulate_scan(cfg);
  const DetectorFrame f = detector_frame(64, 64, 0);
  double lo = 1e9, hi = -1e9;
  for (const ViewInfo& v : sum.views) {
    EXPECT_DOUBLE_EQ(v.shift, 6 * breath_level(v.phase));
    lo = std::min(lo, v.shift);
    hi = std::max(hi, v.shift);
    Header h;
    std::vector<uint8_t> d;
    ASSERT_TRUE(read_projection(v.name, h.data(), d));
    const Matrix<uint32_t> img = decode_projection(d, 64, 64);
    // The pixel that sees the sphere's centre at this view's phase: the
    // recovered integral matches the phantom frozen at that phase and
    // includes the sphere's full diameter.
    const Phantom at = at_phase(cfg.phantom, v.phase);
    double u, vv;
    recon_projection(f, v.angle, {2, -1, -3 + v.shift}, u, vv);
    const long r = std::lround(vv), c = std::lround(u);
    ASSERT_TRUE(r >= 0 && r < 64 && c >= 0 && c < 64);
    const size_t k = static_cast<size_t>(r * 64 + c);
    const std::vector<double> li = line_integral_image(f, at, v.angle);
    const double g = detector_gain(cfg.gain_var, r, c, 64, 64);
    const double got = std::log(std::round(cfg.counts * g) / cfg.ctnorm) -
                       std::log(img.data()[k] / v.ctnorm);
    EXPECT_NEAR(got, li[k], 1e-4);
    EXPECT_GT(got - line_integral_image(f, static_part(cfg.phantom), v.angle)[k], 0.1 * 5.5);
  }
  EXPECT_LT(lo, 0.5);  // 40 views at 10 per second span a full cycle
  EXPECT_GT(hi, 5.5);
}

TEST(Scan, UnusableConfigurationsAreRefusedBeforeWriting) {
  TempDir dir;
  const auto refuses = [&](auto change) {
    ScanConfig cfg = small_scan(dir);
    change(cfg);
    EXPECT_THROW(simulate_scan(cfg), RunError);
    EXPECT_TRUE(fs::is_empty(dir.path));
  };
  refuses([](ScanConfig& c) { c.xoff = 5; });
  refuses([](ScanConfig& c) { c.cols = 16; });
  refuses([](ScanConfig& c) { c.views = 0; });
  refuses([](ScanConfig& c) { c.counts = 4e9; });
  refuses([](ScanConfig& c) { c.ctnorm = 0; });
  refuses([](ScanConfig& c) { c.phantom.shapes[0].semi.x = 0; });
  refuses([&](ScanConfig& c) { c.vxp = dir / "r.vxp"; c.breathing.trigger_every = 2; });  // 67 ms
  refuses([&](ScanConfig& c) { c.vxp = dir / "r.vxp"; c.breathing.trigger_every = 10; }); // 333 ms
  refuses([&](ScanConfig& c) { c.vxp = dir / "r.vxp"; c.breathing.lead = 0; });  // first at 0 ms
}

// The respiratory file, read as plain text the way its layout is defined:
// six words, a 17-character key glued to the recording time, a
// 19-character key glued to the sampling frequency, two words, then
// seven comma-separated fields per line.
TEST(Vxp, TextLayoutAndTriggerSamples) {
  TempDir dir;
  ScanConfig cfg = small_scan(dir);
  cfg.views = 50;
  cfg.vxp = dir / "resp.vxp";
  cfg.breathing.phase0 = 5.0;
  const ScanSummary sum = simulate_scan(cfg);

  std::ifstream in(cfg.vxp);
  std::string w;
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(in >> w);
  ASSERT_TRUE(in >> w);
  ASSERT_GT(w.size(), 17u);
  const float time_rpm = std::strtof(w.c_str() + 17, nullptr);
  ASSERT_TRUE(in >> w);
  ASSERT_GT(w.size(), 19u);
  const int sfrq = std::atoi(w.c_str() + 19);
  EXPECT_EQ(sfrq, 30);
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(in >> w);

  std::vector<std::string> lines;
  while (in >> w) lines.push_back(w);
  ASSERT_LE(static_cast<double>(lines.size()), std::ceil(sfrq * time_rpm));
  long long last = 0;
  size_t trig = 0;
  int marks = 0;
  for (const std::string& line : lines) {
    std::vector<std::string> fld;
    std::stringstream ss(line);
    for (std::string x; std::getline(ss, x, ',');) fld.push_back(x);
    if (line.back() == ',') fld.push_back("");
    ASSERT_EQ(fld.size(), 7u) << line;
    const double phase = std::stod(fld[1]);
    EXPECT_GE(phase, 0.0);
    EXPECT_LT(phase, 2 * pi);
    marks += !fld[5].empty();
    if (fld[4] == "0" && fld[6] == "1") {
      const long long t = std::stoll(fld[2]);
      EXPECT_GT(t - last, 68);
      if (trig > 0) {
        EXPECT_LE(t - last, 300);
      }
      last = t;
      ASSERT_LT(trig, sum.views.size());
      EXPECT_NEAR(phase, sum.views[trig].phase, 1e-9);
      EXPECT_EQ(t, sum.views[trig].ttime);
      ++trig;
    } else {
      EXPECT_EQ(fld[6], "0");
    }
  }
  EXPECT_EQ(trig, sum.views.size());
  EXPECT_GT(marks, 0);  // 50 views plus lead and tail span more than one cycle
}

TEST(Truth, SamplesTheReconstructionsVoxelCentres) {
  TruthGrid g;
  g.npxls = 64;
  g.fov = 100;
  g.pxlz = 5;
  g.rows = 300;
  TruthVolume t = truth_volume(Phantom{}, g, 1);
  RunParams p;
  p.npxls = 64;
  p.fov = 100;
  p.pxlz = 5;
  p.nslices = 300;
  const Geometry geo = setup_geometry(p);
  ASSERT_EQ(t.nz, geo.nz);
  ASSERT_EQ(t.mu.size(), static_cast<size_t>(t.nz) * 64 * 64);
  // The backprojection's loop column q lands in stored column 63 - q and
  // stands for x = x0 - (q - 1) dx, y = y0 - r dx, slice j at pxlz/2 - zhalf + j pxlz.
  const float x0 = static_cast<float>(p.fov / 2 - geo.dx / 2);
  const long j = 3, r = 10, c = 41, q = 63 - c;
  const Vec3 x = voxel_centre(t, j, r, c);
  EXPECT_NEAR(x.x, x0 - (q - 1) * static_cast<double>(geo.dx), 1e-5);
  EXPECT_NEAR(x.y, x0 - r * static_cast<double>(geo.dx), 1e-5);
  EXPECT_NEAR(x.z, g.pxlz / 2.0 - geo.zhalf + j * g.pxlz, 1e-9);

  // A small sphere on that centre lights exactly that voxel.
  const Phantom dot_ph{{{ShapeKind::ellipsoid, x, {1, 1, 1}, 0, 0.5, false}}, 0};
  t = truth_volume(dot_ph, g, 2);
  const size_t at = (static_cast<size_t>(j) * 64 + static_cast<size_t>(r)) * 64 + static_cast<size_t>(c);
  EXPECT_EQ(t.mu[at], 0.5f);
  double total = 0;
  for (const float v : t.mu) total += v;
  EXPECT_EQ(total, 0.5);

  TempDir dir;
  write_truth(dir / "truth.raw", t);
  const std::vector<uint8_t> bytes = slurp(dir / "truth.raw");
  ASSERT_EQ(bytes.size(), t.mu.size() * 4);
  float back;
  std::memcpy(&back, bytes.data() + 4 * at, 4);
  EXPECT_EQ(back, 0.5f);
}

TEST(SimOptions, ParsesValuesAndRefusesWhatItDoesNotKnow) {
  const char* args[] = {"sim", "--views=90", "--phantom", "spheres", "--motion", "8", "--noise",
                        "--truth-phase", "3.14"};
  const SimOptions o = parse_sim_options(9, args);
  EXPECT_EQ(o.scan.views, 90);
  EXPECT_EQ(o.scan.step, 4.0);  // a full turn unless --step is given
  EXPECT_TRUE(o.scan.noise);
  EXPECT_EQ(o.scan.phantom.motion, 8.0);
  EXPECT_EQ(o.scan.phantom.shapes.size(), make_phantom("spheres").shapes.size());
  EXPECT_EQ(truth_phantom(o).shapes.size(), o.scan.phantom.shapes.size());
  const char* no_phase[] = {"sim", "--phantom", "spheres", "--motion", "8"};
  EXPECT_EQ(truth_phantom(parse_sim_options(5, no_phase)).shapes.size() + 1, o.scan.phantom.shapes.size());

  const std::vector<std::vector<const char*>> bad = {
      {"sim", "--colls", "5"}, {"sim", "--cols", "5x"}, {"sim", "--cols", "16"},
      {"sim", "--start"},      {"sim", "stray"},        {"sim", "--noise=1"},
      {"sim", "--phantom", "x"}};
  for (const auto& a : bad)
    EXPECT_THROW(parse_sim_options(static_cast<int>(a.size()), a.data()), RunError) << a[1];
}

TEST(SimOptions, ProgramWritesAScanAndReportsErrors) {
  TempDir dir;
  const std::string cmd = std::string(CBRECON_SIM_BIN) + " --cols 24 --rows 20 --views 3 --quiet --prefix " +
                          (dir / "s/P_") + " --truth " + (dir / "t.raw") + " --npxls 16 --fov 40 --pxlz 0.3";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_TRUE(fs::exists(dir / "s/P_00002.hnd"));
  EXPECT_TRUE(fs::exists(dir / "s/NormImage.hnd"));
  EXPECT_TRUE(fs::exists(dir / "t.raw"));
  const std::string bad = std::string(CBRECON_SIM_BIN) + " --bogus 2>/dev/null";
  const int st = std::system(bad.c_str());
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 2);
}

}  // namespace
}  // namespace cbrecon::sim
