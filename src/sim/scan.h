// The scan simulator: projects a phantom through the scanner model of the
// reconstruction and writes the projection files, the mask file and
// optionally the respiratory-signal file of the scan.
//
// Detector model (geometry/geometry.h): gantry angle theta puts the source at
// S = sad * t and the detector frame at s = (cos theta, -sin theta, 0),
// t = (sin theta, cos theta, 0), z = (0, 0, 1).  Processed detector column
// u and row v see the ray S + lambda * d, d = -t + a s + b z, with
// a = (u - ucenter) * tanstep and b = (v - nrows/2) / sdd_px; the detector
// plane lies at lambda = sdd.  Real pixel (row i, column c) sits at
// u = c + ishift, v = i.  Pixels are point samples of the line integral.
//
// Counts: pixel (r, c) of view k reads
//   round(counts * gain(r,c) * exp(-integral) * CTnorm_k / CTnorm_mask)
// and the mask pixel round(counts * gain(r,c)), both clamped to
// [1, 2^32 - 1], so that ln(mask/CTnorm_mask) - ln(I/CTnorm_k) is the line
// integral (up to rounding and, when enabled, counting noise).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "input/projection.h"
#include "sim/breathing.h"
#include "sim/phantom.h"

namespace cbrecon::sim {

struct ScanConfig {
  // Detector and orbit
  int32_t cols = 1024;       // detector columns (ndets)
  int32_t rows = 768;        // detector rows (nslices)
  int32_t views = 360;
  double start = 0.0;        // gantry angle of the first view, degrees
  double step = 1.0;         // degrees from one view to the next; negative turns the other way
  float xoff = 0.0f;         // lateral detector offset, mm (zero or negative)
  // File numbers: view i has number first + i + (i / gap_every) * gap_size
  int64_t first = 0;
  int64_t gap_every = 0;     // 0: no gaps
  int64_t gap_size = 0;
  // Files
  std::string prefix = "PROJ_";  // projection names prefix + "%05d" + ".hnd"; may hold a folder
  std::string mask;          // mask file; empty: the prefix's folder + "NormImage.hnd"
  std::string vxp;           // respiratory-signal file; empty: none
  std::string breath_truth;  // true phase and shift of every view; empty: none
  // Exposure
  double counts = 2e6;       // open-field count at gain 1
  double gain_var = 0.10;    // relative amplitude of the smooth detector gain pattern
  double ctnorm = 3.0e5;     // CTnorm of the mask header
  double ctnorm_var = 0.05;  // relative view-to-view variation of the views' CTnorm
  bool noise = false;        // Poisson counting noise on the views
  uint64_t seed = 1;         // noise seed (each view draws from its own stream)
  // Object
  Phantom phantom = make_phantom("shepp");
  Breathing breathing;       // drives the moving shapes and the respiratory file
  int threads = 0;           // 0: every core
};

// One view of the scan as planned.
struct ViewInfo {
  long long number = 0;  // file number
  std::string name;      // projection file name
  double angle = 0;      // gantry angle, degrees
  double ctnorm = 0;     // header CTnorm
  int32_t ttime = 0;     // time stamp of its trigger sample, ms
  double phase = 0;      // breathing phase at that sample, radians
  double level = 0;      // breathing level at that sample (1: a regular full inhale)
  double shift = 0;      // z shift of the moving shapes, mm
};

struct ScanSummary {
  std::vector<ViewInfo> views;
  std::string mask;              // mask file written
  unsigned long long bytes = 0;  // bytes written in projection files
};

// Derived detector quantities of a configuration (from setup_geometry).
struct DetectorFrame {
  long rows = 0, cols = 0;
  double ucenter = 0;   // processed column of the central ray
  int32_t ishift = 0;   // processed column of real column 0
  int32_t half_rows = 0;// nrows / 2 (integer division)
};

// RunError for detector sizes or offsets the reconstruction cannot take.
DetectorFrame detector_frame(int32_t cols, int32_t rows, float xoff);

// The ray of processed detector position (u, v) at a gantry angle
// (degrees): origin + lambda * dir, the detector plane at lambda = sdd.
struct Ray {
  Vec3 origin, dir;
};
Ray detector_ray(const DetectorFrame& f, double angle_deg, double u, double v);

// Line integrals of `ph` (shapes where they stand) seen by every real
// pixel of one view, between the source and the detector plane:
// rows x cols doubles, row-major.
std::vector<double> line_integral_image(const DetectorFrame& f, const Phantom& ph,
                                        double angle_deg);
void line_integral_image_into(const DetectorFrame& f, const Phantom& ph, double angle_deg,
                              double* out);

// Relative detector gain of pixel (r, c): a smooth pattern within
// 1 -+ gain_var.
double detector_gain(double gain_var, long r, long c, long rows, long cols);

// The 1024-byte header written into every file: a readable tag
// "CBRECON-SIM <kind> <index> rows=<rows> cols=<cols>" at byte 0, a byte
// pattern that depends on the index elsewhere, the gantry angle at byte
// 432 and CTnorm at byte 440.
Header make_header(const char* kind, long long index, double angle, double ctnorm, long rows,
                   long cols);

// Numbers, names, angles, CTnorm values, times and breathing phases of the
// views, without writing anything.  RunError for an unusable configuration.
std::vector<ViewInfo> plan_views(const ScanConfig& cfg);

// The true breathing of every view as a text file: a header line, then
// "view,number,angle,time_s,phase,level,shift_mm" per view (phase in
// cycles, [0, 1)).  RunError if it cannot be written.
void write_breath_truth(const std::string& path, const std::vector<ViewInfo>& views);

// Writes the respiratory file (cfg.vxp, as recorded: recorded_trace) and
// the per-view truth (cfg.breath_truth) where they are asked for.
void write_breathing_files(const ScanConfig& cfg, const std::vector<ViewInfo>& views);

// Writes the whole scan.  RunError for an unusable configuration or a file
// that cannot be written.
ScanSummary simulate_scan(const ScanConfig& cfg);

}  // namespace cbrecon::sim
