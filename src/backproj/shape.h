// The loop shape of the vector backprojection kernels, by value and by
// name: free of the kernels, so that the command line's parser can check a
// name without linking them.
#pragma once

#include <string>

namespace cbrecon {

// How the vector kernels walk the voxels of a batch (backproject-inl.h
// explains each number).  Every shape gives the same bytes; only the speed
// differs from one CPU to another, so the planner (backproj/plan.h) times a
// few on the run's geometry.  The scalar kernel ignores the shape.
struct BackprojShape {
  int tile_rows = 16;    // voxel rows whose column quantities are built together
  int pair_chunk = 4;    // slice pairs per visit of a lane block
  int prefetch = 3;      // lane blocks ahead whose detector lines are prefetched (0: none)
  bool gathers = false;  // samples always by gathers, never by row loads and permutes
  bool operator==(const BackprojShape&) const = default;
};

// "t16-c4-p3-rows" / "t16-c4-p3-gathers".
std::string shape_name(const BackprojShape& shape);
// The shape a name of shape_name's form gives; false for anything else
// (numbers out of range included: tiles 1-64 rows, chunks 1-64, prefetch
// 0-64 blocks).
bool parse_shape(const std::string& name, BackprojShape& shape);

}  // namespace cbrecon
