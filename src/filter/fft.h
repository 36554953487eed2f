// In-place fast Fourier transforms of single-precision data whose length is
// a power of two: radix-2 decimation in time with bit-reversal reordering,
// twiddle factors from a double-precision trigonometric recurrence, and the
// split step that transforms n real samples as n/2 complex ones.
//
// The exact sequence of roundings is part of the program's results, so these
// routines follow one fixed operation order: samples and butterfly/split
// temporaries are floats, angles and twiddles are doubles, and every mixed
// expression is evaluated in double and rounded once to float.
#pragma once

namespace cbrecon {

// True for the lengths rfft accepts: powers of two from 2 up.
inline bool fft_length_ok(int n) { return n >= 2 && (n & (n - 1)) == 0; }

// Real transform of data[0..n-1], n a power of two >= 2.
// d == +1: forward, X_k = sum_j x_j exp(+2 pi i j k / n); the samples are
//   replaced by the packed half spectrum: data[0] = X_0, data[1] = X_{n/2},
//   data[2k], data[2k+1] = Re X_k, Im X_k for k = 1 .. n/2-1.
// any other d: inverse of a packed half spectrum, NOT normalised: the result
//   is n/2 times the real sequence whose forward transform it is.
// Throws RunError for a length that is not a power of two >= 2.
void rfft(float* data, int n, int d);

// Complex transform of nc interleaved (re, im) values in data[0..2nc-1], nc a
// power of two >= 1; exponent sign +1 for d == +1 and -1 for d == -1; not
// normalised.  Throws RunError for a bad length or another direction.
void cfft(float* data, int nc, int d);

}  // namespace cbrecon
