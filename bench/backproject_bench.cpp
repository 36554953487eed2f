// Backprojection of one filtered view at the default geometry (512 x 512 x
// 72 voxels, 1024 x 768 detector), one thread, per kernel.  Reports voxel
// updates per second (voxels visited x views).
#include <benchmark/benchmark.h>

#include <random>

#include "backproj/backproject.h"

namespace cbrecon {
namespace {

void BM_Backproject(benchmark::State& state, const std::string& isa) {
  RunParams p;
  p.fov = 250.0f;
  const Geometry g = setup_geometry(p);
  const ScanGeometry bg = make_scan_geometry(p, g, RowLayout::packed);
  const FovExtents fov = build_fov_extents(p.npxls, g.dx, p.fov);
  const ScanGeometry bgp = make_scan_geometry(p, g);
  // One detector image per view of the batch, all in one block as in a run
  // (the views compete for the caches, and the block's huge pages cover
  // them all).
  const int batch = static_cast<int>(state.range(0));
  const long image = static_cast<long>(g.nrows) * bgp.proj_pitch;
  Matrix<float> images = matrix(0, batch - 1, 0, image - 1);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> ud(-1.0f, 1.0f);
  for (size_t i = 0; i < images.size(); ++i) images.data()[i] = ud(rng);
  Tensor3<float> vol = f3tensor(0, g.nz - 1, 0, p.npxls - 1, 0, p.npxls - 1, 16);
  std::fill(vol.data(), vol.data() + vol.storage_size(), 0.0f);
  double visited = 0;
  for (int r = 0; r < p.npxls; ++r) visited += (fov.fov_end[r] - fov.fov_start[r]) * double(g.nz);
  set_backproject_isa(isa);
  // A batch of views passes over the volume, as the driver does (one
  // thread: the driver's tasks of 16 voxel rows).
  std::vector<ViewConstants> vcs;
  for (int b = 0; b < batch; ++b) vcs.push_back(view_constants(bg, 0.3 + 0.0175 * b, 0.0175f));
  std::vector<BackprojView> views;
  for (int b = 0; b < batch; ++b) views.push_back({&vcs[b], images[b]});
  for (auto _ : state) {
    for (int r = 0; r < p.npxls; r += 16) backproject_batch(bgp, fov, views, vol, r, std::min(p.npxls, r + 16));
    benchmark::DoNotOptimize(vol.data());
  }
  set_backproject_isa("auto");
  state.counters["voxel_updates/s"] =
      benchmark::Counter(visited * batch * state.iterations(), benchmark::Counter::kIsRate);
}

void register_all() {
  for (const std::string& isa : backproject_isas())
    benchmark::RegisterBenchmark(("BM_Backproject/" + isa).c_str(), BM_Backproject, isa)
        ->Arg(1)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond)->MinTime(1.0);
}

}  // namespace
}  // namespace cbrecon

int main(int argc, char** argv) {
  cbrecon::register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
}
