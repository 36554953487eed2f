// Ramp filtering of one default view: 768 rows of 1024 extended columns,
// nfft 2048.  Compares the scalar filter_row loop with filter_rows on every
// kernel this CPU runs; items_per_second is filtered rows per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "filter/preprocess.h"
#include "filter/ramp.h"
#include "geometry/geometry.h"

namespace {

constexpr int kRows = 768, kCols = 1024, kNfft = 2048;

struct View {
  std::vector<float> spectrum = cbrecon::ramp_kernel(kNfft, cbrecon::tanstep);
  std::vector<float> input = std::vector<float>(size_t(kRows) * kCols);
  std::vector<float> proj = std::vector<float>(size_t(kRows) * kCols);
  View() {
    std::mt19937 gen(1);
    std::uniform_real_distribution<float> u(0.0f, 4.0f);
    for (float& v : input) v = u(gen);
  }
  void reset(benchmark::State& state) {  // fresh samples, not timed
    state.PauseTiming();
    proj = input;
    state.ResumeTiming();
  }
};

void BM_filter_row_loop(benchmark::State& state) {
  View v;
  std::vector<float> buf(kNfft);
  const float scale = cbrecon::filt_scale(kNfft);
  for (auto _ : state) {
    v.reset(state);
    for (int r = 0; r < kRows; ++r) {
      float* row = v.proj.data() + size_t(r) * kCols;
      std::copy_n(row, kCols, buf.data());
      cbrecon::filter_row(buf.data(), kCols, kNfft, v.spectrum.data(), scale);
      std::copy_n(buf.data(), kCols, row);
    }
    benchmark::DoNotOptimize(v.proj.data());
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_filter_rows(benchmark::State& state, const std::string& isa) {
  cbrecon::set_filter_isa(isa);
  View v;
  const float scale = cbrecon::filt_scale(kNfft);
  for (auto _ : state) {
    v.reset(state);
    cbrecon::filter_rows(v.proj.data(), kCols, kRows, kCols, kNfft, v.spectrum.data(), scale);
    benchmark::DoNotOptimize(v.proj.data());
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  cbrecon::set_filter_isa("auto");
}

// Preprocessing of one default view (768 x 1024 counts of a smooth object
// with counting noise, open field 2e6 counts as the simulator writes): logarithm, frame, FDK and half-scan weights.
void BM_preprocess(benchmark::State& state) {
  using namespace cbrecon;
  RunParams p;
  const Geometry g = setup_geometry(p);
  std::mt19937 gen(2);
  std::normal_distribution<double> noise(0.0, 1.0);
  Matrix<uint32_t> raw = uimatrix(0, p.nslices - 1, 0, p.ndets - 1);
  Matrix<float> M = matrix(0, p.nslices - 1, 0, p.ndets - 1);
  for (int r = 0; r < p.nslices; ++r)
    for (int c = 0; c < p.ndets; ++c) {
      const double x = (c - 512.0) / 400.0, y = (r - 384.0) / 300.0;
      const double path = x * x + y * y < 1 ? 4.0 * std::sqrt(1 - x * x - y * y) : 0.0;
      const double n = 2.0e6 * std::exp(-path);
      raw[r][c] = static_cast<uint32_t>(std::max(1.0, n + std::sqrt(n) * noise(gen)));
      M[r][c] = static_cast<float>(std::log(2.0e6));
    }
  cbrecon::LogTable logs(uint32_t{1} << 22);
  logs.fill(0, logs.size());
  const Matrix<float> rdist = build_rdist(g.nrows, g.ncols_ext, g.ucenter);
  std::vector<double> ww(g.ncols_ext, 1.0);
  const long pitch = g.ncols_ext + 16;
  std::vector<float> proj(static_cast<size_t>(g.nrows) * pitch);
  for (auto _ : state) {
    preprocess_rows(raw.data(), M, 0.1f, g, p.ndets, p.nslices, ww, rdist, proj.data(), pitch, 0, g.nrows,
                    &logs);
    benchmark::DoNotOptimize(proj.data());
  }
  state.SetItemsProcessed(state.iterations() * g.nrows);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("preprocess", BM_preprocess)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("filter_row_loop", BM_filter_row_loop)->Unit(benchmark::kMillisecond);
  for (const std::string& isa : cbrecon::filter_isas())
    benchmark::RegisterBenchmark(("filter_rows/" + isa).c_str(), BM_filter_rows, isa)
        ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
