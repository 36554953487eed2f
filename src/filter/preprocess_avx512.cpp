// The preprocessing loops compiled for AVX-512: 8 double lanes (preprocess-inl.h);
// preprocess_rows picks them at run time when the CPU has the features.
#if defined(__x86_64__)
#include "numeric/cpu.h"
#define CBRECON_LANES_FN __attribute__((target(CBRECON_TARGET_PREPROCESS_AVX512)))
#define CBRECON_LANES_ISA 512
#include "filter/preprocess-inl.h"

namespace cbrecon::detail {
extern const PreprocessKernel preprocess_avx512 = preprocess_kernel<8>("avx512");
}  // namespace cbrecon::detail
#endif
