// The logarithm sequence of numeric/log_table.h, written once over a lane
// type L and compiled once per instruction set.
//
// L gives the double lanes D, the same-sized unsigned 64-bit lanes U, the
// bit casts between them (bits, from_bits) and pick(table, j), lane i of
// which is table[j[i]] for a 16-entry table.  Lane-wise operations on GCC
// vector types are the scalar operations in every lane, so a vector lane
// gives the scalar double bit for bit (-ffp-contract=off keeps every
// product separate from its sum).
//
// Include once per translation unit, after defining CBRECON_LANES_FN as the
// target attribute of that unit's instruction set (left undefined for the
// baseline).  The template and the lane types sit in anonymous namespaces,
// so copies compiled for different instruction sets are never merged by the
// linker.
#pragma once

#include <cstdint>
#include <cstring>

#include "numeric/log_table.h"

#ifndef CBRECON_LANES_FN
#define CBRECON_LANES_FN
#endif

namespace cbrecon::logs {
namespace {

// The bits of 2^52: OR-ed with a biased exponent E in the low bits, it is the
// double 2^52 + E.
inline constexpr uint64_t kTwo52Bits = 0x4330000000000000ull;

// log_approx of each lane's count x >= 1 (a whole number, exact in double).
template <class L>
CBRECON_LANES_FN inline typename L::D log_approx_lanes(typename L::D x, const Buckets& t) {
  using D = typename L::D;
  using U = typename L::U;
  const U b = L::bits(x);
  // The unbiased exponent, exactly: (2^52 + E) - (2^52 + 1023).
  const D e = L::from_bits((b >> 52) | kTwo52Bits) - kExpBias;
  const U j = (b >> kBucketShift) & static_cast<uint64_t>(kBuckets - 1);
  const D m = L::from_bits((b & kMantissa) | kOne);
  const D r = m * L::pick(t.invc, j) - 1.0;
  D p = D{} + kC[8];  // kC[8] in every lane
  for (int i = 7; i >= 0; --i) p = kC[i] + r * p;
  const D q = r * r * p;
  // s + s_lo = e ln2_hi + hi exactly, then u + u_lo = s + r exactly.
  const D a = e * kLn2Hi, c = L::pick(t.hi, j);
  const D s = a + c, sc = s - a;
  const D s_lo = (a - (s - sc)) + (c - sc);
  const D u = s + r, ur = u - s;
  const D u_lo = (s - (u - ur)) + (r - ur);
  return u + (u_lo + (q + (e * kLn2Lo + (L::pick(t.lo, j) + s_lo))));
}

// One lane: the plain double.
struct ScalarLogLanes {
  using D = double;
  using U = uint64_t;
  CBRECON_LANES_FN static U bits(D x) {
    U b;
    std::memcpy(&b, &x, sizeof b);
    return b;
  }
  CBRECON_LANES_FN static D from_bits(U b) {
    D x;
    std::memcpy(&x, &b, sizeof x);
    return x;
  }
  CBRECON_LANES_FN static D pick(const double* table, U j) { return table[j]; }
};

}  // namespace
}  // namespace cbrecon::logs
