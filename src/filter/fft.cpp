// Scalar entry points of the transforms: the one-lane instantiation of the
// kernels in filter-inl.h.
#include "filter/fft.h"

#include "filter/filter-inl.h"
#include "numeric/error.h"

namespace cbrecon {

void rfft(float* data, int n, int d) {
  if (!fft_length_ok(n)) throw RunError(strprintf("rfft: length %d is not a power of two >= 2", n));
  LiveTwiddle tw;
  rfft_lanes<Lanes<1>>(data, n, d, tw);
}

void cfft(float* data, int nc, int d) {
  if (nc < 1 || (nc & (nc - 1)) != 0)
    throw RunError(strprintf("cfft: length %d is not a power of two", nc));
  if (d != 1 && d != -1) throw RunError(strprintf("cfft: direction %d is not +1 or -1", d));
  LiveTwiddle tw;
  cfft_lanes<Lanes<1>>(data, nc, d, tw);
}

}  // namespace cbrecon
