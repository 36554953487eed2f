#include "output/preview.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "output/volume_io.h"
#include "numeric/error.h"

namespace cbrecon {

namespace {

// Order-preserving keys: ascending keys are ascending values.
uint32_t float_key(float f) {
  const uint32_t b = std::bit_cast<uint32_t>(f);
  return (b & 0x80000000u) ? ~b : (b | 0x80000000u);
}
float key_float(uint32_t k) {
  return std::bit_cast<float>((k & 0x80000000u) ? (k & 0x7fffffffu) : ~k);
}

// Calls f(value) for every output value inside the field of view, slice by
// slice; T is int16_t or float, as the volume holds.
template <class T, class F>
void for_each_inside(const std::vector<const OutputVolume*>& vs, F&& f) {
  for (const OutputVolume* v : vs) {
    const int32_t n = v->grid().npxls;
    std::vector<T> buf(v->slice_voxels());
    for (long j = 0; j < v->grid().nz; ++j) {
      v->slice(j, buf.data());
      for (int32_t r = 0; r < n; ++r)
        for (int32_t c = 0; c < n; ++c)
          if (v->inside(r, c)) f(buf[static_cast<size_t>(r) * n + c]);
    }
  }
}

using Histogram = std::vector<uint64_t>;

// The bin holding rank k (0-based) of a histogram; k becomes the rank
// within that bin.
uint32_t bin_of_rank(const Histogram& h, uint64_t& k) {
  for (uint32_t b = 0; b < h.size(); ++b) {
    if (k < h[b]) return b;
    k -= h[b];
  }
  return static_cast<uint32_t>(h.size() - 1);
}

constexpr double kLowPercentile = 0.01, kHighPercentile = 0.99;

}  // namespace

DisplayWindow percentile_window(const OutputVolume& v) { return percentile_window({&v}); }

DisplayWindow percentile_window(const std::vector<const OutputVolume*>& v) {
  DisplayWindow w{0, 0};
  if (v.empty()) return {0, 1};
  std::array<uint64_t, 2> rank{};
  auto ranks = [&](uint64_t n) {
    rank[0] = static_cast<uint64_t>(kLowPercentile * static_cast<double>(n - 1));
    rank[1] = static_cast<uint64_t>(kHighPercentile * static_cast<double>(n - 1));
  };
  double found[2] = {0, 0};
  if (!v.front()->is_float()) {
    Histogram h(65536, 0);
    uint64_t n = 0;
    for_each_inside<int16_t>(v, [&](int16_t x) {
      ++h[static_cast<uint16_t>(x) ^ 0x8000u];
      ++n;
    });
    if (n > 0) {
      ranks(n);
      for (int i = 0; i < 2; ++i) found[i] = static_cast<int>(bin_of_rank(h, rank[i])) - 32768;
    }
  } else {
    // Exact selection in two passes: the high 16 bits of the keys first,
    // then the low 16 bits within the bin that holds each rank.
    Histogram high(65536, 0);
    uint64_t n = 0;
    for_each_inside<float>(v, [&](float x) {
      if (std::isnan(x)) return;
      ++high[float_key(x) >> 16];
      ++n;
    });
    if (n > 0) {
      ranks(n);
      uint32_t bins[2];
      for (int i = 0; i < 2; ++i) bins[i] = bin_of_rank(high, rank[i]);
      Histogram low[2] = {Histogram(65536, 0), Histogram(65536, 0)};
      for_each_inside<float>(v, [&](float x) {
        if (std::isnan(x)) return;
        const uint32_t k = float_key(x);
        for (int i = 0; i < 2; ++i)
          if ((k >> 16) == bins[i]) ++low[i][k & 0xffffu];
      });
      for (int i = 0; i < 2; ++i)
        found[i] = key_float((bins[i] << 16) | bin_of_rank(low[i], rank[i]));
    }
  }
  w.lo = found[0];
  w.hi = found[1];
  if (!(w.hi > w.lo)) w.hi = w.lo + 1;
  return w;
}

namespace {

int stretched_rows(const VolumeGrid& g) {
  if (g.nz == 0 || g.npxls <= 0) return 0;
  const double rows = std::round(g.nz * g.pxlz / g.dx);
  const double most = 4.0 * g.npxls;
  return static_cast<int>(std::clamp(std::isfinite(rows) ? rows : most, 1.0, most));
}

}  // namespace

void preview_size(const VolumeGrid& g, int& width, int& height) {
  width = 3 * std::max(g.npxls, 0);
  height = std::max(std::max(g.npxls, 0), stretched_rows(g));
}

PreviewImage render_preview(const OutputVolume& v, const DisplayWindow& w) {
  const VolumeGrid& g = v.grid();
  PreviewImage img;
  preview_size(g, img.width, img.height);
  img.pixels.assign(static_cast<size_t>(img.width) * img.height, 0);
  if (g.nz == 0 || g.npxls <= 0) return img;
  const int32_t n = g.npxls;
  const double range = w.hi - w.lo;
  auto grey = [&](double x) -> uint8_t {
    const double t = (x - w.lo) * 255.0 / range;
    if (!(t > 0)) return 0;  // also a non-number
    return t >= 255 ? 255 : static_cast<uint8_t>(t + 0.5);
  };
  auto put = [&](int x, int y, uint8_t value) {
    img.pixels[static_cast<size_t>(y) * img.width + x] = value;
  };
  // Axial.
  const int top_axial = (img.height - n) / 2;
  for (int32_t r = 0; r < n; ++r)
    for (int32_t c = 0; c < n; ++c) put(c, top_axial + r, grey(v.value(g.nz / 2, r, c)));
  // Coronal and sagittal, top row = highest z.
  const int rows = stretched_rows(g);
  const int top = (img.height - rows) / 2;
  for (int y = 0; y < rows; ++y) {
    const long from_top = std::min<long>(g.nz - 1, static_cast<long>((y + 0.5) * g.nz / rows));
    const long j = g.nz - 1 - from_top;
    for (int32_t c = 0; c < n; ++c) put(n + c, top + y, grey(v.value(j, n / 2, c)));
    for (int32_t r = 0; r < n; ++r) put(2 * n + r, top + y, grey(v.value(j, r, n / 2)));
  }
  return img;
}

void write_png(const std::string& name, const PreviewImage& img) {
  if (img.width <= 0 || img.height <= 0)
    throw RunError("cannot write the preview " + name + ": the volume is empty");
  write_file_atomically(name, [&](std::FILE* f) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(img.width);
    png.height = static_cast<png_uint_32>(img.height);
    png.format = PNG_FORMAT_GRAY;
    const bool ok = png_image_write_to_stdio(&png, f, 0, img.pixels.data(), 0, nullptr) != 0;
    const std::string message = png.message;
    png_image_free(&png);
    if (!ok) throw RunError("cannot write the preview " + name + ": " + message);
    return true;
  });
}

}  // namespace cbrecon
