// Ramp kernel, spectrum product, row filter and the dispatch of the
// multi-row kernels (see filter-inl.h for how those are shaped).
#include "filter/ramp.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "filter/fft.h"
#include "filter/filter-inl.h"
#include "numeric/cpu.h"
#include "numeric/error.h"
#include "geometry/geometry.h"

namespace cbrecon {

namespace detail {
#if CBRECON_FILTER_X86
extern const RowFilterKernel row_filter_avx2;
extern const RowFilterKernel row_filter_avx512;
#endif
}  // namespace detail

namespace {

using detail::RowFilterKernel;

constexpr double pi2 = 9.869604401089358;  // pi squared

void check_length(const char* what, int n) {
  if (!fft_length_ok(n))
    throw RunError(strprintf("%s: length %d is not a power of two >= 2", what, n));
}

void check_row(const char* what, int ncols_ext, int nfft) {
  check_length(what, nfft);
  if (ncols_ext < 0 || ncols_ext > nfft)
    throw RunError(strprintf("%s: %d columns do not fit a filter row of %d samples", what,
                             ncols_ext, nfft));
}

const RowFilterKernel scalar_kernel = {"scalar", 1, &filter_rows_lanes<Lanes<1>>};

// The compiled kernels, narrowest first; numeric/cpu.h chooses among them.
const RowFilterKernel* const kernels[] = {
    &scalar_kernel,
#if CBRECON_FILTER_X86
    &detail::row_filter_avx2, &detail::row_filter_avx512,
#endif
};

const RowFilterKernel& current_kernel() { return chosen_kernel(Stage::filter, kernels); }

// Records the twiddles of one rfft call while the recurrence produces them.
struct RecordTwiddle : LiveTwiddle {
  std::vector<double>* out;
  Tw use() const {
    out->push_back(wr);
    out->push_back(wi);
    return LiveTwiddle::use();
  }
};

// Twiddle sequences of the forward and inverse rfft of length n, built when
// a thread first filters at that length.
struct TwiddleTables {
  int n = 0;
  std::vector<double> fwd, inv;
};

const TwiddleTables& twiddle_tables(int n) {
  thread_local TwiddleTables t;
  if (t.n != n) {
    std::vector<float> zeros(n, 0.0f);
    t.fwd.clear();
    t.inv.clear();
    RecordTwiddle f{{}, &t.fwd}, i{{}, &t.inv};
    rfft_lanes<Lanes<1>>(zeros.data(), n, 1, f);
    rfft_lanes<Lanes<1>>(zeros.data(), n, -1, i);
    t.n = n;
  }
  return t;
}

// Per-thread scratch of at least n floats, 64-byte aligned; grows, never
// shrinks, so steady-state filtering allocates nothing.
float* filter_scratch(size_t n) {
  thread_local std::vector<float> buf;
  constexpr size_t pad = 64 / sizeof(float);
  if (buf.size() < n + pad) buf.resize(n + pad);
  void* p = buf.data();
  size_t space = buf.size() * sizeof(float);
  return static_cast<float*>(std::align(64, n * sizeof(float), p, space));
}

}  // namespace

std::vector<float> ramp_taps(int nfft, float tanstep) {
  check_length("ramp_taps", nfft);
  std::vector<float> h(nfft, 0.0f);
  const double ts = tanstep;
  h[0] = static_cast<float>(1.0 / (ts * 8.0 * ts));
  for (int j = 1; j < nfft / 2; j += 2) {  // even offsets stay 0
    const double x = j * ts;
    h[j] = h[nfft - j] = static_cast<float>(-1.0 / (2.0 * pi2 * x * x));
  }
  return h;
}

std::vector<float> ramp_kernel(int nfft, float tanstep) {
  std::vector<float> h = ramp_taps(nfft, tanstep);
  rfft(h.data(), nfft, 1);
  return h;
}

std::vector<float> apodised_ramp_kernel(int nfft, float tanstep, double cutoff) {
  if (!(cutoff > 0 && cutoff <= 1))
    throw RunError(strprintf("apodised_ramp_kernel: cutoff %g is not in (0, 1]", cutoff));
  std::vector<float> h = ramp_kernel(nfft, tanstep);
  const double kc = cutoff * (nfft / 2);
  auto window = [&](long k) { return k < kc ? 0.5 * (1.0 + std::cos(pi * k / kc)) : 0.0; };
  h[0] = static_cast<float>(static_cast<double>(h[0]) * window(0));
  h[1] = static_cast<float>(static_cast<double>(h[1]) * window(nfft / 2));
  for (long k = 1; k < nfft / 2; ++k) {
    const double w = window(k);
    h[2 * k] = static_cast<float>(static_cast<double>(h[2 * k]) * w);
    h[2 * k + 1] = static_cast<float>(static_cast<double>(h[2 * k + 1]) * w);
  }
  return h;
}

void spec_mul(float* a, const float* b, int n) {
  check_length("spec_mul", n);
  spec_mul_lanes<Lanes<1>>(a, b, n);
}

void fft_convolve(float* row, const float* spectrum, int n) {
  check_length("fft_convolve", n);
  fft_convolve_lanes<Lanes<1>>(row, spectrum, n, LiveTwiddle{}, LiveTwiddle{});
}

float filt_scale(int nfft) {
  return static_cast<float>(static_cast<double>(tanstep) * 2.0 * 1000.0 / nfft);
}

void filter_row(float* buf, int ncols_ext, int nfft, const float* rampspec, float scale) {
  check_row("filter_row", ncols_ext, nfft);
  std::fill(buf + ncols_ext, buf + nfft, 0.0f);
  fft_convolve_lanes<Lanes<1>>(buf, rampspec, nfft, LiveTwiddle{}, LiveTwiddle{});
  for (int c = 0; c < ncols_ext; ++c) buf[c] = buf[c] * scale;
}

void filter_rows(float* rows, size_t stride, int count, int ncols_ext, int nfft,
                 const float* rampspec, float scale) {
  check_row("filter_rows", ncols_ext, nfft);
  if (count < 0) throw RunError(strprintf("filter_rows: negative row count %d", count));
  if (count > 1 && stride < static_cast<size_t>(ncols_ext))
    throw RunError(strprintf("filter_rows: row stride %zu is shorter than %d columns", stride,
                             ncols_ext));
  if (count == 0) return;
  const RowFilterKernel& k = current_kernel();
  const TwiddleTables& tw = twiddle_tables(nfft);
  const detail::RowFilterPlan plan{ncols_ext, nfft, rampspec, scale, tw.fwd.data(), tw.inv.data()};
  k.run(rows, stride, count, plan, filter_scratch(static_cast<size_t>(nfft) * k.lanes + ncols_ext));
}

void set_filter_isa(const std::string& name) { set_stage_isa(Stage::filter, name); }

const char* filter_isa() { return current_kernel().name; }

std::vector<std::string> filter_isas() { return runnable_kernel_names(Stage::filter, kernels); }

}  // namespace cbrecon
