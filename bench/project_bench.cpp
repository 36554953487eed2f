// Forward projection of one view of a 256 x 256 x 72 volume (-p 256
// -fov 250 -pz 2.5) onto the 1024 x 768 detector, one thread, per kernel,
// tracing every 4th column and row (the prior-image use) and every column
// and row.  Reports traced rays per second; the time per iteration is the
// time per view.
#include <benchmark/benchmark.h>

#include <random>

#include "project/project.h"

namespace cbrecon {
namespace {

void BM_Project(benchmark::State& state, const std::string& isa) {
  RunParams p;
  p.npxls = 256;
  p.fov = 250.0f;
  const Geometry g = setup_geometry(p);
  const BackprojGeometry bg = make_backproj_geometry(p, g);
  const FovExtents fov = build_fov_extents(p.npxls, g.dx, p.fov);
  Tensor3<float> vol = f3tensor(0, g.nz - 1, 0, p.npxls - 1, 0, p.npxls - 1, 16);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> ud(0.0f, 400.0f);
  for (size_t i = 0; i < vol.storage_size(); ++i) vol.data()[i] = ud(rng);
  const int step = static_cast<int>(state.range(0));
  const ForwardProjector fp(bg, fov, vol, {step, step});
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

void register_all() {
  for (const std::string& isa : project_isas())
    benchmark::RegisterBenchmark(("BM_Project/" + isa).c_str(), BM_Project, isa)
        ->Arg(4)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(0.5);
}

}  // namespace
}  // namespace cbrecon

int main(int argc, char** argv) {
  cbrecon::register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
}
