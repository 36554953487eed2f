// The fixed scanner model and the quantities derived from the run
// parameters once, before any file is read.
//
// Model: the source circles the z axis at radius sad in the plane z = 0; a
// flat detector faces it at distance sdd, `pitch` mm per element in both
// directions.  A point at distance L from the source along the central ray,
// lateral offset s and height z lands on processed column ucenter + s/(L *
// tanstep) and row nrows/2 + z * sdd_px / L.  Lengths in mm, angles in
// radians (degrees in projection headers), detector positions in elements.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/params.h"

namespace cbrecon {

inline constexpr double sad = 1000.0;
inline constexpr double sdd = 1500.0;
inline constexpr double pitch = 0.388;
inline constexpr float pitch_f = 0.388f;
inline constexpr float tanstep = 0.0002586666669230908f;  // pitch/sdd as a float
inline constexpr float tanstep2 = static_cast<float>(static_cast<double>(tanstep) *
                                                     static_cast<double>(tanstep));
inline constexpr double sdd_px = 3865.9793814432987;      // sdd/pitch


struct Geometry {
  float dx = 0;            // voxel size within a slice, mm
  int32_t ioff = 0;        // lateral offset in whole columns
  int32_t icent = 0;       // real-detector column of the central ray
  uint16_t ncols_ext = 0;  // columns of a processed row
  uint16_t nfft = 0;       // filter length
  float ucenter = 0;       // processed column of the central ray
  int32_t ishift = 0;      // processed column of real column 0
  uint16_t nrows = 0;      // detector rows
  uint16_t nz = 0;         // reconstructed slices
  double zhalf = 0;        // half the reconstructed extent along z, mm
  bool offset = false;     // xoff != 0: half-fan processing
  std::vector<float> fanw; // half-fan weight per processed column (backprojection)
  // --offset-centred-values: twice the half-fan weights, applied to the
  // processed rows before the ramp filter (fanw is then all 1); empty
  // otherwise.
  std::vector<float> fanw_pre;
};

// Refuses parameters outside the model (RunError, naming the parameter and
// its limit), then derives every geometry quantity and the table fanw.
// `ishift` is set here as well (it only depends on ncols_ext and icent).
Geometry setup_geometry(const RunParams& p);

// Half-fan weight table of a laterally offset detector.
std::vector<float> build_fanw(const Geometry& g);

}  // namespace cbrecon
