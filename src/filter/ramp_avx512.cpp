// The multi-row filter compiled for AVX-512F, 8 rows per lane pack; filter_rows
// picks it at run time when the CPU has AVX-512.
#if defined(__x86_64__) || defined(__i386__)
#include "numeric/cpu.h"
#define CBRECON_LANES_FN __attribute__((target(CBRECON_TARGET_FILTER_AVX512)))
#define CBRECON_LANES_ISA 512
#include "filter/filter-inl.h"

namespace cbrecon::detail {
extern const RowFilterKernel row_filter_avx512 = {"avx512", 8, &filter_rows_lanes<Lanes<8>>};
}  // namespace cbrecon::detail
#endif
