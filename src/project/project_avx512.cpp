// The projection kernel compiled for AVX-512F: 8 sampled rows per lane pack.
#if defined(__x86_64__)
#include "numeric/cpu.h"
// GCC 12's AVX-512 conversion intrinsics start from an "undefined" vector
// that -Wmaybe-uninitialized mistakes for a read of an unset value.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define CBRECON_PJ_FN __attribute__((target(CBRECON_TARGET_PROJECT_AVX512)))
#define CBRECON_PJ_ISA 512
#include "project/project-inl.h"

namespace cbrecon::detail {
extern const ProjectImpl project_avx512 = {"avx512", &project_view};
}  // namespace cbrecon::detail
#endif
