// The volumes a clinic takes from a 4-D run besides its bins: the maximum
// intensity over the bins (the volume the moving target sweeps) and their
// average (a 3-D volume of the mean position).  Made after every bin is
// reconstructed, from the bins in memory, and written as any volume.
#pragma once

#include <vector>

#include "geometry/params.h"
#include "output/plan.h"
#include "recon/reconstruct.h"

namespace cbrecon {

// The product volumes a run asks for (--mip, --average), after the bins:
// "4d_mip.seq" and "4d_avg.seq" ("hf4d_..." for a half scan, "..._mkb.seq"
// from prior-image bins).
std::vector<PlannedVolume> bin_product_volumes(const RunParams& p);

// Appends those volumes to `volumes`, made from its bins (bin >= 1): each
// voxel the largest, or the mean (summed in double in bin order), of the
// bins' values.  Their view counts are the bins' summed, their header the
// last bin's.
void add_bin_products(const RunParams& p, std::vector<ReconVolume>& volumes);

}  // namespace cbrecon
