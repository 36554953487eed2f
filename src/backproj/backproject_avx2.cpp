// The backprojection kernel compiled for AVX2: 8 voxel columns per lane pack.
#if defined(__x86_64__)
#include "numeric/cpu.h"
#define CBRECON_BP_FN __attribute__((target(CBRECON_TARGET_BACKPROJECT_AVX2)))
#define CBRECON_BP_ISA 2
#include "backproj/backproject-inl.h"

namespace cbrecon::detail {
extern const BackprojectImpl backproject_avx2 = {"avx2", &backproject_rows_lanes<8>};
}  // namespace cbrecon::detail
#endif
