#include "geometry/grid.h"

namespace cbrecon {

VoxelGrid make_voxel_grid(const RunParams& p, const Geometry& g) {
  VoxelGrid v;
  v.npxls = p.npxls;
  v.dx = g.dx;
  v.x0 = v.y0 = static_cast<float>(static_cast<double>(p.fov) / 2 - static_cast<double>(g.dx) / 2);
  v.pxlz = p.pxlz;
  v.zhalf = g.zhalf;
  v.nz = g.nz;
  return v;
}

DetectorLayout make_detector_layout(const Geometry& g, RowLayout rows) {
  DetectorLayout d;
  d.nrows = g.nrows;
  d.ncols_ext = g.ncols_ext;
  d.ucenter = g.ucenter;
  d.ishift = g.ishift;
  d.fanw = g.fanw.data();
  d.proj_pitch = g.ncols_ext + (rows == RowLayout::padded ? kRowPad : 0);
  return d;
}

ScanGeometry make_scan_geometry(const RunParams& p, const Geometry& g, RowLayout rows) {
  return {make_voxel_grid(p, g), make_detector_layout(g, rows)};
}

}  // namespace cbrecon
