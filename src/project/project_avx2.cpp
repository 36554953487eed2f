// The projection kernel compiled for AVX2: 4 sampled rows per lane pack.
#if defined(__x86_64__)
#include "numeric/cpu.h"
#define CBRECON_PJ_FN __attribute__((target(CBRECON_TARGET_PROJECT_AVX2)))
#define CBRECON_PJ_ISA 2
#include "project/project-inl.h"

namespace cbrecon::detail {
extern const ProjectImpl project_avx2 = {"avx2", &project_view};
}  // namespace cbrecon::detail
#endif
