// Forward projection of one view of a 256 x 256 x 72 volume (-p 256
// -fov 250 -pz 2.5) onto the 1024 x 768 detector, one thread, per kernel,
// tracing every col_step-th column and row_step-th row (arguments: 4 x 4,
// 2 x 8, 2 x 4 and every element).  Reports traced rays per second; the time per iteration is the
// time per view.  BM_ProjectScan projects a whole scan of 680 views over a
// turn with 1 and 2 threads taking views in turn, as the driver would: the
// time per iteration is the scan's wall time.
#include <benchmark/benchmark.h>

#include <random>
#include <thread>

#include "project/project.h"

namespace cbrecon {
namespace {

struct Workload {
  RunParams p;
  Geometry g;
  ScanGeometry bg;
  FovExtents fov;
  Tensor3<float> vol;
  Workload() {
    p.npxls = 256;
    p.fov = 250.0f;
    g = setup_geometry(p);
    bg = make_scan_geometry(p, g, RowLayout::packed);
    fov = build_fov_extents(p.npxls, g.dx, p.fov);
    vol = f3tensor(0, g.nz - 1, 0, p.npxls - 1, 0, p.npxls - 1, 16);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> ud(0.0f, 400.0f);
    for (size_t i = 0; i < vol.storage_size(); ++i) vol.data()[i] = ud(rng);
  }
};

const Workload& workload() {
  static const Workload w;
  return w;
}

void BM_Project(benchmark::State& state, const std::string& isa) {
  const Workload& w = workload();
  const Geometry& g = w.g;
  const ForwardProjector fp(w.bg, w.fov, w.vol,
                            {static_cast<int>(state.range(0)), static_cast<int>(state.range(1))});
  std::vector<float> out(static_cast<size_t>(g.nrows) * g.ncols_ext);
  set_project_isa(isa);
  double theta = 0.3;
  for (auto _ : state) {
    fp.project(theta, out.data(), g.ncols_ext);
    theta += 0.0092;  // about 680 views over a turn
    benchmark::DoNotOptimize(out.data());
  }
  set_project_isa("auto");
  state.counters["rays/s"] = benchmark::Counter(
      static_cast<double>(fp.traced_columns()) * fp.traced_rows() * state.iterations(),
      benchmark::Counter::kIsRate);
}

void BM_ProjectScan(benchmark::State& state) {
  const Workload& w = workload();
  const ForwardProjector fp(w.bg, w.fov, w.vol, {});
  const int threads = static_cast<int>(state.range(0));
  constexpr int kViews = 680;
  std::vector<std::vector<float>> out(threads, std::vector<float>(static_cast<size_t>(w.g.nrows) * w.g.ncols_ext));
  for (auto _ : state) {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
      pool.emplace_back([&, t] {
        for (int i = t; i < kViews; i += threads)
          fp.project(i * (2 * pi / kViews), out[t].data(), w.g.ncols_ext);
      });
    for (std::thread& th : pool) th.join();
    benchmark::DoNotOptimize(out.data());
  }
}

void register_all() {
  for (const std::string& isa : project_isas())
    benchmark::RegisterBenchmark(("BM_Project/" + isa).c_str(), BM_Project, isa)
        ->Args({4, 4})->Args({2, 8})->Args({2, 4})->Args({1, 1})->Unit(benchmark::kMillisecond)->MinTime(0.5);
  benchmark::RegisterBenchmark("BM_ProjectScan", BM_ProjectScan)
      ->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
}

}  // namespace
}  // namespace cbrecon

int main(int argc, char** argv) {
  cbrecon::register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
}
