// What the fuzz targets share with the test that replays their corpora.
//
// Built as a fuzz target, FUZZ_ENTRY is libFuzzer's entry point and a failed
// FUZZ_CHECK traps, so that libFuzzer keeps the input.  The replay test
// includes a target's source with its own definitions: a named function and
// a check that reports a test failure.  (No include guard: each target
// source may be included in turn with different definitions.)
#ifndef FUZZ_ENTRY
#define FUZZ_ENTRY extern "C" int LLVMFuzzerTestOneInput
#endif
#ifndef FUZZ_CHECK
#define FUZZ_CHECK(cond)            \
  do {                              \
    if (!(cond)) __builtin_trap();  \
  } while (0)
#endif
