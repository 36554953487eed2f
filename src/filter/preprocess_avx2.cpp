// The preprocessing loops compiled for AVX2: 4 double lanes, eight counts in
// two steps (preprocess-inl.h); preprocess_rows picks them at run time when
// the CPU has the features.
#if defined(__x86_64__)
#include "numeric/cpu.h"
#define CBRECON_LANES_FN __attribute__((target(CBRECON_TARGET_PREPROCESS_AVX2)))
#define CBRECON_LANES_ISA 2
#include "filter/preprocess-inl.h"

namespace cbrecon::detail {
extern const PreprocessKernel preprocess_avx2 = preprocess_kernel<4>("avx2");
}  // namespace cbrecon::detail
#endif
