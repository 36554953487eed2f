// Preprocessing of one view: detector counts -> weighted line integrals on
// the processed (extended) detector row, ready for the ramp filter; and the
// per-run tables the weighting shares with the backprojection.
//
// Index order everywhere is [row][column]; a processed view has nrows rows of
// ncols_ext columns, real detector column c sitting at processed column
// c + ishift.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "numeric/log_table.h"
#include "numeric/arrays.h"
#include "geometry/geometry.h"

namespace cbrecon {

// Half-scan angles (radians, floats): the half fan angle and the range a
// half scan covers (pi + 2 halffan); both 0 when the half scan is off.
struct HalfScan {
  float halffan = 0;
  float hscan_range = 0;
};
HalfScan half_scan_values(int32_t ndets, uint16_t hscan);

// Distance factors sqrt(1 + tan^2 row + tan^2 column) per processed pixel;
// 1/rdist is the FDK cosine weight.
Matrix<float> build_rdist(uint16_t nrows, uint16_t ncols_ext, float ucenter);

// Angular increment per view (radians), from the angles in processing
// order; full-scan ends wrap one turn.  With fewer views than the table
// needs, neighbour indices are clamped into the list.
std::vector<float> build_dbeta(const std::vector<double>& angles, uint16_t hscan);

// Per-column squared half-scan weight w*w (w rounded to float first) for a
// view at beta = angle - first angle (radians).  All 1 without half scan.
// `gamma` holds the fan angle of every processed column (see fan_angles).
void half_scan_weights(double beta, const HalfScan& hs, uint16_t hscan,
                       const std::vector<float>& gamma, std::vector<double>& ww);

// Fan angle per processed column, as the half-scan weight uses it:
// atan((ucenter - c) * tanstep), stored as a float.  The sign makes a ray
// pair with its conjugate at beta + pi - 2 gamma under the scanner's
// rotation sense.
std::vector<float> fan_angles(uint16_t ncols_ext, float ucenter);

// Fills rows [r0, r1) of `proj` (nrows rows of ncols_ext columns, `pitch`
// floats apart) from the decoded counts
// `raw` (nslices x ndets): line integrals 10000 * (M - ln n + lnorm) inside
// the 8-pixel frame, zeros on it, and in half-fan mode the extension of
// every row towards column 0; then multiplies by ww[c] / rdist[r][c].
// `logs` (may be null) gives std::log of the counts without calling it for
// each pixel (see numeric/log_table.h); the values are the library's own, so
// the result is the same either way.
// `minus` (may be null): an image of the same shape and pitch as `proj`
// whose values, each times `minus_scale` rounded to float, are subtracted in
// double from the line integrals of the real detector pixels before the
// extension and the weighting (a residual against a model of the view).
void preprocess_rows(const uint32_t* raw, const Matrix<float>& M, float lnorm,
                     const Geometry& g, int32_t ndets, int32_t nslices,
                     const std::vector<double>& ww, const Matrix<float>& rdist, float* proj,
                     long pitch, long r0, long r1, const LogTable* logs = nullptr,
                     const float* minus = nullptr, double minus_scale = 1.0);

// Chooses the loops of preprocess_rows: "auto" (the widest this CPU runs),
// "scalar", "avx2" or "avx512".  RunError for an
// unknown name or one this CPU cannot run (see numeric/cpu.h).
void set_preprocess_isa(const std::string& name);
const char* preprocess_isa();
std::vector<std::string> preprocess_isas();  // runnable here, scalar first
// The chosen loops' log_approx of eight consecutive counts, for
// LogTable::fill.
LogApprox8 log_approx8();

}  // namespace cbrecon
