// Ramp filtering of detector rows: the band-limited ramp kernel sampled at
// the column spacing tanstep, its packed spectrum, and the circular
// convolution of a zero-padded row with it through rfft.
//
// A filtered sample is q[c] = 1000 * tanstep * sum_j s[j] * h[(c - j) mod nfft]
// over the nfft-sample circle; with ncols_ext <= nfft/2 no column receives
// wrapped-around contributions.  All results are bit-exact functions of the
// input: filter_rows gives the same bits as filter_row on every instruction
// set it dispatches to.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace cbrecon {

// The ramp kernel h[0..nfft-1] in wrap-around order (h[j] is the tap of
// offset +j, h[nfft-j] that of -j), taps evaluated in double and stored as
// float: h[0] = 1/(8 tanstep^2), h[+-j] = -1/(2 pi^2 (j tanstep)^2) for odd
// j < nfft/2, 0 for even j.  nfft a power of two >= 2, else RunError.
std::vector<float> ramp_taps(int nfft, float tanstep);

// rampspec: ramp_taps transformed in place by rfft(+1), its packed half
// spectrum.
std::vector<float> ramp_kernel(int nfft, float tanstep);

// ramp_kernel rolled off by a Hann window: frequency k of the n/2 + 1 of the
// packed spectrum is multiplied (in double, then rounded) by
// (1 + cos(pi k / kc)) / 2 below kc = cutoff * nfft/2 and by 0 from kc on.
// cutoff in (0, 1]; RunError otherwise.
std::vector<float> apodised_ramp_kernel(int nfft, float tanstep, double cutoff);

// a <- a * b, pointwise complex product of two packed half spectra of n
// floats (no conjugation, no scaling); b is unchanged.
void spec_mul(float* a, const float* b, int n);

// row <- n/2 * (row circularly convolved with the kernel whose packed
// spectrum is `spectrum`); n a power of two >= 2.
void fft_convolve(float* row, const float* spectrum, int n);

// The row scale tanstep * 2 * 1000 / nfft as a float; 2/nfft cancels the
// gain of the unnormalised inverse transform.
float filt_scale(int nfft);

// Filters one row: buf holds nfft floats of which the caller has written the
// first ncols_ext (weighted samples); the rest is zeroed here, the row is
// convolved with rampspec, and buf[0..ncols_ext-1] receives the filtered
// samples times scale.  buf[ncols_ext..nfft-1] is left as scratch garbage.
// RunError when nfft is not a power of two >= 2 or ncols_ext is outside
// 0..nfft (the row would not fit the buffer).
void filter_row(float* buf, int ncols_ext, int nfft, const float* rampspec, float scale);

// Filters `count` rows in place: row r starts at rows + r * stride and has
// ncols_ext valid floats (stride >= ncols_ext); only those are read and
// written.  Bit-identical to filter_row on each row.  Uses the instruction
// set chosen by set_filter_isa (default: the best the CPU has) and a
// per-thread scratch buffer, so threads may filter disjoint rows at once.
void filter_rows(float* rows, size_t stride, int count, int ncols_ext, int nfft,
                 const float* rampspec, float scale);

// Chooses the kernel of filter_rows: "auto" (best available), "scalar",
// "avx2" or "avx512".  RunError for an unknown name or one this CPU or build
// lacks (numeric/cpu.h decides).  Meant to be set before filtering starts.
void set_filter_isa(const std::string& name);

// The kernel filter_rows uses now ("scalar", "avx2" or "avx512").
const char* filter_isa();

// The kernels this CPU and build can run, "scalar" first.
std::vector<std::string> filter_isas();

}  // namespace cbrecon
