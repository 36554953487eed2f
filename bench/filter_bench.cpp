// Ramp filtering of one default view: 768 rows of 1024 extended columns,
// nfft 2048.  Compares the scalar filter_row loop with filter_rows on every
// kernel this CPU runs; items_per_second is filtered rows per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "filter/ramp.h"
#include "recon/geometry.h"

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

}  // namespace

int main(int argc, char** argv) {
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
