// The multi-row filter compiled for AVX2, 4 rows per lane pack; filter_rows
// picks it at run time when the CPU has AVX2.
#if defined(__x86_64__) || defined(__i386__)
#include "numeric/cpu.h"
#define CBRECON_LANES_FN __attribute__((target(CBRECON_TARGET_FILTER_AVX2)))
#define CBRECON_LANES_ISA 2
#include "filter/filter-inl.h"

namespace cbrecon::detail {
extern const RowFilterKernel row_filter_avx2 = {"avx2", 4, &filter_rows_lanes<Lanes<4>>};
}  // namespace cbrecon::detail
#endif
