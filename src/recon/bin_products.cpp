#include "recon/bin_products.h"

#include <algorithm>

#include "input/phase.h"

namespace cbrecon {

namespace {

std::string product_ext(const RunParams& p, const char* what) {
  std::string ext = std::string(p.hscan == 1 ? "hf4d_" : "4d_") + what;
  return ext + (p.extras.iterative ? "_iter.seq" : p.extras.mkb ? "_mkb.seq" : ".seq");
}

}  // namespace

std::vector<PlannedVolume> bin_product_volumes(const RunParams& p) {
  std::vector<PlannedVolume> v;
  if (!p.rpm_on || !p.extras.all_phases) return v;
  const bool iter = p.extras.iterative;
  if (p.extras.mip) v.push_back({product_ext(p, "mip"), 0, p.extras.mkb, VolumeProduct::mip, iter});
  if (p.extras.average) v.push_back({product_ext(p, "avg"), 0, p.extras.mkb, VolumeProduct::average, iter});
  return v;
}

void add_bin_products(const RunParams& p, std::vector<ReconVolume>& volumes) {
  std::vector<const ReconVolume*> bins;
  for (const ReconVolume& v : volumes)
    if (v.what.bin >= 1 && v.what.product == VolumeProduct::none) bins.push_back(&v);
  const std::vector<PlannedVolume> products = bin_product_volumes(p);
  if (bins.empty() || products.empty()) return;
  const Tensor3<float>& first = bins.front()->data;
  const size_t n = first.storage_size();
  for (const PlannedVolume& what : products) {
    ReconVolume out;
    out.what = what;
    const long pad = first.plane_pitch() - first.nrow() * first.ncol();
    out.data = f3tensor(0, first.nplane() - 1, 0, first.nrow() - 1, 0, first.ncol() - 1, pad);
    float* o = out.data.data();
    if (what.product == VolumeProduct::mip) {
      std::copy(first.data(), first.data() + n, o);
      for (size_t b = 1; b < bins.size(); ++b) {
        const float* d = bins[b]->data.data();
        for (size_t i = 0; i < n; ++i) o[i] = std::max(o[i], d[i]);
      }
    } else {
      const double count = static_cast<double>(bins.size());
      for (size_t i = 0; i < n; ++i) {
        double s = 0;
        for (const ReconVolume* b : bins) s += b->data.data()[i];
        o[i] = static_cast<float>(s / count);
      }
    }
    for (const ReconVolume* b : bins) {
      out.any_view = out.any_view || b->any_view;
      out.used += b->used;
      out.listed += b->listed;
    }
    out.head = bins.back()->head;
    volumes.push_back(std::move(out));
  }
}

}  // namespace cbrecon
