// A quick-look PNG of a reconstructed volume: the central axial, coronal
// and sagittal slices side by side, 8-bit grey.
//
// Layout, left to right:
//   axial     slice nz/2; columns to the right, rows downwards, as stored;
//   coronal   row npxls/2; columns to the right, z upwards;
//   sagittal  column npxls/2; rows to the right, z upwards.
// Each panel is npxls pixels wide.  The coronal and sagittal panels are
// stretched along z to square pixels: nz * pxlz / dx pixel rows (rounded,
// at least 1, at most 4 * npxls), each showing the nearest slice.  The image
// is as tall as the tallest panel; panels are centred vertically on black.
//
// Grey levels: the output value v (the 16-bit word, or the calibrated float
// with --float) maps to round(255 (v - lo) / (hi - lo)), clamped to 0..255.
// By default lo and hi are the 1st and 99th percentiles of the output
// values inside the field of view over the whole volume (over all the
// volumes of a run that writes several, so that its bins compare); a
// non-number is black.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output/formats.h"

namespace cbrecon {

struct DisplayWindow {
  double lo = 0, hi = 1;
};

// The value of rank floor(p (n - 1)) (counting from 0) in ascending order
// of the n output values inside the field of view, for p = 0.01 and 0.99;
// values that are not numbers do not count.  Exact, in O(1) extra memory.
// With no value inside, lo = hi = 0; hi is raised to lo + 1 when the two
// are equal so that the window never divides by zero.
DisplayWindow percentile_window(const OutputVolume& v);
// The same over the values of several volumes together (all of one kind,
// 16-bit or float): one window for the bins of a 4-D run.
DisplayWindow percentile_window(const std::vector<const OutputVolume*>& v);

struct PreviewImage {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;  // row-major, top row first
};

// Width and height of the preview of a grid.
void preview_size(const VolumeGrid& g, int& width, int& height);

PreviewImage render_preview(const OutputVolume& v, const DisplayWindow& w);

// Writes an 8-bit greyscale PNG atomically.  RunError on failure.
void write_png(const std::string& name, const PreviewImage& img);

}  // namespace cbrecon
