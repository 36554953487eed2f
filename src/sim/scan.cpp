#include "sim/scan.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "numeric/common.h"
#include "numeric/error.h"
#include "geometry/geometry.h"
#include "numeric/parallel.h"
#include "sim/encode.h"
#include "sim/files.h"

namespace cbrecon::sim {

namespace {

constexpr double kMaxCount = 4294967295.0;

uint32_t to_count(double v) {
  const double r = std::round(v);
  if (!(r >= 1.0)) return 1;  // also NaN
  if (r >= kMaxCount) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(r);
}

// The view's frame: source and the images of -t, s and z.
struct ViewFrame {
  Vec3 source, minus_t, s_hat, z_hat{0, 0, 1};
};

ViewFrame view_frame(double angle_deg) {
  const double th = angle_deg * pi / 180;
  const double c = std::cos(th), s = std::sin(th);
  ViewFrame v;
  v.source = {sad * s, sad * c, 0};
  v.minus_t = {-s, -c, 0};
  v.s_hat = {c, -s, 0};
  return v;
}

// tan of the fan angle of every real column.
std::vector<double> column_tangents(const DetectorFrame& f) {
  std::vector<double> a(static_cast<size_t>(f.cols));
  for (long c = 0; c < f.cols; ++c)
    a[static_cast<size_t>(c)] = (static_cast<double>(c + f.ishift) - f.ucenter) * static_cast<double>(tanstep);
  return a;
}

// Columns whose tangent may lie in [alo, ahi], widened by one column each
// side; the exact test is made per pixel.
void column_range(const DetectorFrame& f, double alo, double ahi, long& c0, long& c1) {
  const double t = static_cast<double>(tanstep);
  const double u0 = alo / t + f.ucenter - f.ishift, u1 = ahi / t + f.ucenter - f.ishift;
  c0 = u0 < -1e9 ? 0 : std::max(0L, static_cast<long>(std::floor(u0)) - 1);
  c1 = u1 > 1e9 ? f.cols - 1 : std::min(f.cols - 1, static_cast<long>(std::ceil(u1)) + 1);
}

// Adds mu * (lambda range inside one ellipsoid) for every pixel of row b.
// In the unit-ball frame the ray is p + lambda (Q0 + a q1) with Q0 = q0 + b
// q2; its quadratic's coefficients are polynomials in a, so a row needs a
// handful of dot products and each pixel a few multiplications.
void add_ellipsoid_row(const DetectorFrame& f, const std::vector<double>& tan_col, double mu,
                       Vec3 p, Vec3 q0, Vec3 q1, Vec3 q2, double b, double* acc) {
  const Vec3 Q0 = q0 + b * q2;
  const double A0 = dot(Q0, Q0), A1 = dot(Q0, q1), A2 = dot(q1, q1);
  const double B0 = dot(p, Q0), B1 = dot(p, q1);
  const double C = dot(p, p) - 1.0;
  // disc(a) = (B0 + a B1)^2 - C (A0 + 2 a A1 + a^2 A2) = al a^2 + 2 be a + ga
  const double al = B1 * B1 - C * A2, be = B0 * B1 - C * A1, ga = B0 * B0 - C * A0;
  long c0 = 0, c1 = f.cols - 1;
  if (al < 0) {
    const double D = be * be - al * ga;
    if (!(D > 0)) return;
    const double sq = std::sqrt(D);
    const double r0 = (-be + sq) / al, r1 = (-be - sq) / al;  // al < 0: r0 <= r1
    column_range(f, r0, r1, c0, c1);
  }
  for (long c = c0; c <= c1; ++c) {
    const double a = tan_col[static_cast<size_t>(c)];
    const double A = A0 + a * (2.0 * A1 + a * A2);
    const double B = B0 + a * B1;
    const double disc = B * B - A * C;
    if (!(disc > 0)) continue;
    const double sq = std::sqrt(disc);
    const double l0 = std::max((-B - sq) / A, 0.0);
    const double l1 = std::min((-B + sq) / A, sdd);
    if (l1 > l0) acc[c] += mu * (l1 - l0);
  }
}

}  // namespace

DetectorFrame detector_frame(int32_t cols, int32_t rows, float xoff) {
  if (cols < 17 || rows < 17)
    throw RunError(strprintf("a %d x %d detector is too small: at least 17 columns and 17 rows", cols, rows));
  if (cols > 65535 || rows > 65535)
    throw RunError(strprintf("a %d x %d detector is too large: at most 65535 columns and rows", cols, rows));
  if (!std::isfinite(xoff) || xoff > 0)
    throw RunError(strprintf("detector offset %g mm: it must be zero or negative", static_cast<double>(xoff)));
  RunParams p;
  p.ndets = cols;
  p.nslices = rows;
  p.xoff = xoff;
  // The slice count plays no part here; a slice thickness that gives about
  // 32 slices for any row count keeps the set-up from refusing short
  // detectors on its account.
  p.pxlz = static_cast<float>(rows * pitch / 60.0);
  const Geometry g = setup_geometry(p);
  DetectorFrame f;
  f.rows = rows;
  f.cols = cols;
  f.ucenter = g.ucenter;
  f.ishift = g.ishift;
  f.half_rows = g.nrows / 2;
  return f;
}

Ray detector_ray(const DetectorFrame& f, double angle_deg, double u, double v) {
  const ViewFrame vf = view_frame(angle_deg);
  const double a = (u - f.ucenter) * static_cast<double>(tanstep);
  const double b = (v - f.half_rows) / sdd_px;
  return Ray{vf.source, vf.minus_t + a * vf.s_hat + b * vf.z_hat};
}

std::vector<double> line_integral_image(const DetectorFrame& f, const Phantom& ph, double angle_deg) {
  std::vector<double> out(static_cast<size_t>(f.rows) * static_cast<size_t>(f.cols));
  line_integral_image_into(f, ph, angle_deg, out.data());
  return out;
}

void line_integral_image_into(const DetectorFrame& f, const Phantom& ph, double angle_deg,
                              double* out) {
  const size_t cols = static_cast<size_t>(f.cols);
  std::fill(out, out + static_cast<size_t>(f.rows) * cols, 0.0);
  const ViewFrame vf = view_frame(angle_deg);
  const std::vector<double> tan_col = column_tangents(f);

  struct Seen {
    const Shape* shape;
    Vec3 p, q0, q1, q2;           // source and ray basis in the unit-shape frame
    std::vector<double> l0, l1;   // cylinder: side-wall interval per column
    long c0 = 0, c1 = -1;         // cylinder: columns that meet the side wall
  };
  std::vector<Seen> seen;
  seen.reserve(ph.shapes.size());
  for (const Shape& s : ph.shapes) {
    const UnitMap m = unit_map(s);
    Seen v{&s, m.apply(vf.source - s.centre), m.apply(vf.minus_t), m.apply(vf.s_hat),
           m.apply(vf.z_hat), {}, {}, 0, -1};
    if (s.kind == ShapeKind::cylinder) {
      // The side wall does not depend on the row: -t and s have no z part.
      v.l0.assign(cols, 0.0);
      v.l1.assign(cols, 0.0);
      v.c0 = f.cols;
      for (long c = 0; c < f.cols; ++c) {
        const double a = tan_col[static_cast<size_t>(c)];
        Vec3 q = v.q0 + a * v.q1;
        q.z = 0;
        Vec3 p = v.p;
        p.z = 0;
        double l0, l1;
        if (!unit_interval(ShapeKind::cylinder, p, q, l0, l1)) continue;
        v.l0[static_cast<size_t>(c)] = std::max(l0, 0.0);
        v.l1[static_cast<size_t>(c)] = std::min(l1, sdd);
        v.c0 = std::min(v.c0, c);
        v.c1 = c;
      }
    }
    seen.push_back(std::move(v));
  }

  for (long r = 0; r < f.rows; ++r) {
    const double b = (static_cast<double>(r) - f.half_rows) / sdd_px;
    double* acc = out + static_cast<size_t>(r) * cols;
    for (const Seen& v : seen) {
      const double mu = v.shape->mu;
      if (v.shape->kind == ShapeKind::ellipsoid) {
        add_ellipsoid_row(f, tan_col, mu, v.p, v.q0, v.q1, v.q2, b, acc);
        continue;
      }
      // Cylinder end planes: |p.z + lambda * b * q2.z| <= 1.
      const double qz = b * v.q2.z;
      double z0 = 0, z1 = sdd;
      if (qz != 0) {
        double e0 = (-1.0 - v.p.z) / qz, e1 = (1.0 - v.p.z) / qz;
        if (e0 > e1) std::swap(e0, e1);
        z0 = std::max(z0, e0);
        z1 = std::min(z1, e1);
      } else if (std::fabs(v.p.z) > 1.0) {
        continue;
      }
      if (!(z1 > z0)) continue;
      for (long c = v.c0; c <= v.c1; ++c) {
        const double l0 = std::max(v.l0[static_cast<size_t>(c)], z0);
        const double l1 = std::min(v.l1[static_cast<size_t>(c)], z1);
        if (l1 > l0) acc[c] += mu * (l1 - l0);
      }
    }
    // lambda counts in units of |d|.
    for (size_t c = 0; c < cols; ++c) {
      const double a = tan_col[c];
      acc[c] *= std::sqrt(1.0 + a * a + b * b);
    }
  }
}

double detector_gain(double gain_var, long r, long c, long rows, long cols) {
  const double x = static_cast<double>(c) / static_cast<double>(cols);
  const double y = static_cast<double>(r) / static_cast<double>(rows);
  // Weights 0.5 + 0.3 + 0.2 keep the pattern within 1 -+ gain_var.
  const double w = 0.5 * std::cos(2 * pi * 1.3 * x + 0.4) + 0.3 * std::sin(2 * pi * 0.8 * y + 1.1) +
                   0.2 * std::cos(2 * pi * (0.7 * x + 0.9 * y));
  return 1.0 + gain_var * w;
}

Header make_header(const char* kind, long long index, double angle, double ctnorm, long rows,
                   long cols) {
  Header h;
  for (size_t j = 0; j < h.size(); ++j)
    h[j] = static_cast<uint8_t>(j * 7 + static_cast<unsigned long long>(index) * 13 + 0x5a);
  const std::string tag = strprintf("CBRECON-SIM %s %05lld rows=%ld cols=%ld", kind, index, rows, cols);
  std::memcpy(h.data(), tag.c_str(), tag.size() + 1);
  header_set_double(h.data(), kAngleOffset, angle);
  header_set_double(h.data(), kCtnormOffset, ctnorm);
  // The image size, as a scanner states it.
  for (int i = 0; i < 4; ++i) {
    h[kWidthOffset + i] = static_cast<uint8_t>(static_cast<uint32_t>(cols) >> (8 * i));
    h[kHeightOffset + i] = static_cast<uint8_t>(static_cast<uint32_t>(rows) >> (8 * i));
  }
  return h;
}

namespace {

std::string default_mask(const std::string& prefix) {
  const size_t slash = prefix.find_last_of('/');
  return (slash == std::string::npos ? std::string() : prefix.substr(0, slash + 1)) + "NormImage.hnd";
}

void check_config(const ScanConfig& cfg) {
  if (cfg.views < 1 || cfg.views > 65535)
    throw RunError(strprintf("%d views: 1 to 65535 are possible", cfg.views));
  if (!std::isfinite(cfg.start) || !std::isfinite(cfg.step))
    throw RunError("the start angle and the angle step must be finite numbers of degrees");
  if (cfg.first < 0 || cfg.gap_every < 0 || cfg.gap_size < 0)
    throw RunError("file numbers, gap spacing and gap size must be zero or more");
  const long long last = cfg.first + (cfg.views - 1) +
                         (cfg.gap_every > 0 ? (cfg.views - 1) / cfg.gap_every * cfg.gap_size : 0);
  if (cfg.first > 2000000000 || cfg.gap_size > 2000000000 || last > 2000000000)
    throw RunError("the file numbers would run past 2000000000");
  if (!(cfg.counts >= 1) || !(cfg.counts * (1 + cfg.gain_var) * (1 + cfg.ctnorm_var) <= kMaxCount))
    throw RunError(strprintf("open-field count %g: it must be at least 1 and, with the gain and CTnorm "
                             "variations, fit 32 bits",
                             cfg.counts));
  if (!(cfg.gain_var >= 0 && cfg.gain_var < 1) || !(cfg.ctnorm_var >= 0 && cfg.ctnorm_var < 1))
    throw RunError("the gain and CTnorm variations must lie in [0, 1)");
  if (!(cfg.ctnorm > 0) || !std::isfinite(cfg.ctnorm))
    throw RunError("the mask CTnorm must be a positive number");
  for (const Shape& s : cfg.phantom.shapes)
    if (!(s.semi.x > 0 && s.semi.y > 0 && s.semi.z > 0) || !std::isfinite(s.mu) ||
        !std::isfinite(s.centre.x + s.centre.y + s.centre.z + s.rot + s.semi.x + s.semi.y + s.semi.z))
      throw RunError("every phantom shape needs positive finite semi-axes and finite values");
  if (!std::isfinite(cfg.phantom.motion)) throw RunError("the breathing motion must be finite");
}

// Poisson draw: exact below 64 counts, normal approximation above.
double poisson(std::mt19937_64& rng, double lambda) {
  auto uniform = [&rng] { return (static_cast<double>(rng() >> 11) + 0.5) * 0x1p-53; };
  if (lambda < 64) {
    const double limit = std::exp(-lambda);
    double prod = uniform();
    double k = 0;
    while (prod > limit) {
      prod *= uniform();
      k += 1;
    }
    return k;
  }
  const double z = std::sqrt(-2.0 * std::log(uniform())) * std::cos(2 * pi * uniform());
  return lambda + std::sqrt(lambda) * z;
}

}  // namespace

std::vector<ViewInfo> plan_views(const ScanConfig& cfg) {
  check_config(cfg);
  const std::vector<BreathSample> trace = breathing_trace(cfg.breathing, cfg.views);
  const std::vector<size_t> trig = trigger_samples(trace);
  std::vector<ViewInfo> views(static_cast<size_t>(cfg.views));
  for (int32_t i = 0; i < cfg.views; ++i) {
    ViewInfo& v = views[static_cast<size_t>(i)];
    v.number = cfg.first + i + (cfg.gap_every > 0 ? i / cfg.gap_every * cfg.gap_size : 0);
    v.name = projection_name(cfg.prefix, v.number);
    v.angle = cfg.start + i * cfg.step;
    v.ctnorm = cfg.ctnorm * (1.0 + cfg.ctnorm_var * (0.7 * std::sin(2.1 * i + 0.5) + 0.3 * std::sin(0.13 * i)));
    const BreathSample& s = trace[trig[static_cast<size_t>(i)]];
    v.ttime = s.ttime;
    v.phase = s.phase;
    v.level = s.level;
    v.shift = cfg.phantom.motion * s.level;
  }
  return views;
}

void write_breath_truth(const std::string& path, const std::vector<ViewInfo>& views) {
  std::string text = "view,number,angle,time_s,phase,level,shift_mm\n";
  for (size_t i = 0; i < views.size(); ++i) {
    const ViewInfo& v = views[i];
    text += strprintf("%zu,%lld,%.6f,%.3f,%.6f,%.6f,%.6f\n", i, v.number, v.angle, v.ttime / 1000.0,
                      v.phase / (2.0 * pi), v.level, v.shift);
  }
  write_whole_file(path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

void write_breathing_files(const ScanConfig& cfg, const std::vector<ViewInfo>& views) {
  if (!cfg.vxp.empty()) {
    make_parent_folder(cfg.vxp);
    write_vxp(cfg.vxp, cfg.breathing, recorded_trace(cfg.breathing, breathing_trace(cfg.breathing, cfg.views)));
  }
  if (!cfg.breath_truth.empty()) {
    make_parent_folder(cfg.breath_truth);
    write_breath_truth(cfg.breath_truth, views);
  }
}

ScanSummary simulate_scan(const ScanConfig& cfg) {
  const DetectorFrame f = detector_frame(cfg.cols, cfg.rows, cfg.xoff);
  ScanSummary sum;
  sum.views = plan_views(cfg);
  sum.mask = cfg.mask.empty() ? default_mask(cfg.prefix) : cfg.mask;
  // The respiratory file first: its checks may refuse the timing, and
  // then nothing else should have been written.
  write_breathing_files(cfg, sum.views);
  make_parent_folder(cfg.prefix);
  make_parent_folder(sum.mask);

  const size_t npix = static_cast<size_t>(f.rows) * static_cast<size_t>(f.cols);
  std::vector<double> gain(npix);
  std::vector<uint8_t> mask_bytes(4 * npix);
  for (long r = 0; r < f.rows; ++r)
    for (long c = 0; c < f.cols; ++c) {
      const size_t k = static_cast<size_t>(r) * static_cast<size_t>(f.cols) + static_cast<size_t>(c);
      gain[k] = detector_gain(cfg.gain_var, r, c, f.rows, f.cols);
      const uint32_t m = to_count(cfg.counts * gain[k]);
      for (int b = 0; b < 4; ++b) mask_bytes[4 * k + b] = static_cast<uint8_t>(m >> (8 * b));
    }
  const Header mh = make_header("MASK", 0, 0.0, cfg.ctnorm, f.rows, f.cols);
  write_whole_file(sum.mask, mh, mask_bytes);

  std::vector<unsigned long long> bytes(sum.views.size(), 0);
  const bool moves = cfg.phantom.motion != 0;
  struct Scratch {
    std::vector<double> li;
    std::vector<uint32_t> img;
    std::vector<uint8_t> data;
  };
  ThreadPool pool(cfg.threads);
  std::vector<Scratch> scratch(static_cast<size_t>(pool.size()));
  // One view per task: views with and without much object in them balance.
  const long nv = static_cast<long>(sum.views.size());
  pool.parallel_for(nv, [&](long i0, long i1, int worker) {
    for (long i = i0; i < i1; ++i) {
      const ViewInfo& v = sum.views[static_cast<size_t>(i)];
      Scratch& s = scratch[static_cast<size_t>(worker)];
      s.li.resize(npix);
      s.img.resize(npix);
      line_integral_image_into(f, moves ? at_shift(cfg.phantom, v.shift) : cfg.phantom, v.angle,
                               s.li.data());
      const double ratio = v.ctnorm / cfg.ctnorm;
      std::mt19937_64 rng(cfg.seed * 0x9E3779B97F4A7C15ull + static_cast<unsigned long long>(i));
      for (size_t k = 0; k < npix; ++k) {
        double expected = cfg.counts * gain[k] * std::exp(-s.li[k]) * ratio;
        if (cfg.noise) expected = poisson(rng, expected);
        s.img[k] = to_count(expected);
      }
      encode_projection_into(s.img.data(), f.rows, f.cols, s.data);
      const Header h = make_header("VIEW", v.number, v.angle, v.ctnorm, f.rows, f.cols);
      write_whole_file(v.name, h, s.data);
      bytes[static_cast<size_t>(i)] = kHeaderSize + s.data.size();
    }
  }, static_cast<int>(std::min<long>(nv, 1 << 20)));
  for (const unsigned long long b : bytes) sum.bytes += b;

  return sum;
}

}  // namespace cbrecon::sim
