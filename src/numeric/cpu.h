// The CPU's instruction-set features and the one place that chooses which
// compiled kernel every stage runs.
//
// Each stage (preprocessing, ramp filter, backprojection, forward
// projection) is compiled once per instruction set: "scalar" (the baseline
// build), "avx2" and "avx512".  A kernel may only run on a CPU that has
// every feature its code was compiled for, so the target strings below are
// both the kernels' `__attribute__((target(...)))` arguments and the table
// that choose_kernel checks: the two cannot disagree.  The stages ask
// stage_kernel() for their kernel's name and never test the CPU themselves.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Target strings of the vector kernels (GCC/Clang target attribute syntax).
#define CBRECON_TARGET_FILTER_AVX2 "avx2"
#define CBRECON_TARGET_FILTER_AVX512 "avx512f"
#define CBRECON_TARGET_PREPROCESS_AVX2 "avx2"
#define CBRECON_TARGET_PREPROCESS_AVX512 "avx512f,avx512vl,avx512dq"
#define CBRECON_TARGET_BACKPROJECT_AVX2 "avx2"
#define CBRECON_TARGET_BACKPROJECT_AVX512 "avx512f,avx512vl,avx512dq,avx512bw"
#define CBRECON_TARGET_PROJECT_AVX2 "avx2"
#define CBRECON_TARGET_PROJECT_AVX512 "avx512f,avx512vl,avx512dq,avx512bw"

namespace cbrecon {

// The features the kernels are compiled for; all false off x86.
struct CpuFeatures {
  bool avx2 = false;
  bool avx512f = false;
  bool avx512vl = false;
  bool avx512dq = false;
  bool avx512bw = false;
};

enum class Stage { preprocess, filter, backprojection, projection };
inline constexpr Stage all_stages[] = {Stage::preprocess, Stage::filter, Stage::backprojection,
                                       Stage::projection};

// "preprocess", "filter", "backprojection", "projection".
const char* stage_name(Stage stage);

// One compiled kernel: its stage, its name and the comma-separated features
// its code is compiled for ("" for the baseline).
struct KernelEntry {
  Stage stage;
  const char* name;
  const char* target;
};

// Every kernel compiled into this build, each stage's narrowest first.
const std::vector<KernelEntry>& kernel_table();

// Whether `features` has the named feature ("avx2", "avx512vl", ...);
// std::invalid_argument for a name CpuFeatures does not know.
bool has_feature(const CpuFeatures& features, std::string_view name);

// The features of `target` that `features` lacks, in the target's order.
std::vector<std::string> missing_features(const CpuFeatures& features, std::string_view target);

// The features of this CPU, detected once.  A test may substitute its own
// set with override_cpu_features (nullptr restores the detected one); only
// do so to check choices, never while running a kernel.
const CpuFeatures& cpu_features();
void override_cpu_features(const CpuFeatures* features);

// The kernel `stage` runs for the request "auto", "scalar", "avx2" or
// "avx512" on a CPU with `features` (a pointer to the table's name):
// - "auto": the widest kernel of the stage whose features are all present;
// - a named level: the stage's kernel of that level, or, where the stage has
//   none (preprocessing has no avx2 kernel), its widest narrower one.  A
//   CPU lacking a feature of that kernel is refused:
//   "--isa avx512: this CPU lacks avx512vl, avx512dq (backprojection kernel)".
// RunError for an unknown request or a refused one.
const char* choose_kernel(Stage stage, std::string_view requested, const CpuFeatures& features);

// Chooses the kernel of every stage for this CPU (choose_kernel) and applies
// the choices only when every stage accepts the request.  Meant to be called
// before any stage runs (the driver calls it once after the command line).
void set_isa(std::string_view requested);

// The same for one stage (tests and benchmarks force kernels this way).
void set_stage_isa(Stage stage, std::string_view requested);

// The kernel `stage` runs now: the last choice set, else "auto" for this CPU.
const char* stage_kernel(Stage stage);

// The kernels of `stage` in the table that this CPU can run, "scalar" first.
std::vector<std::string> runnable_kernels(Stage stage);

// Whether this CPU can run the kernel `name` of `stage`; std::logic_error
// when the table does not list it (a kernel compiled without an entry).
bool kernel_runnable(Stage stage, std::string_view name);

// For the stages' own lists of compiled kernels (objects with a `name`,
// narrowest first): the one stage_kernel names, and the names this CPU can
// run.
template <class K, std::size_t N>
const K& chosen_kernel(Stage stage, const K* const (&kernels)[N]) {
  const std::string_view name = stage_kernel(stage);
  for (const K* k : kernels)
    if (name == k->name) return *k;
  throw std::logic_error(std::string("no compiled ") + stage_name(stage) + " kernel \"" + std::string(name) + "\"");
}
template <class K, std::size_t N>
std::vector<std::string> runnable_kernel_names(Stage stage, const K* const (&kernels)[N]) {
  std::vector<std::string> names;
  for (const K* k : kernels)
    if (kernel_runnable(stage, k->name)) names.emplace_back(k->name);
  return names;
}

// "preprocess avx512, filter avx512, backprojection avx512, projection avx512".
std::string kernel_summary();

// The processor's brand string ("AMD EPYC 7B13 64-Core Processor"), spaces
// trimmed, "unknown" where the CPU does not tell, followed on x86 by its
// family, model and stepping ("... (family 25 model 1 stepping 1)").  Keys the backprojection
// planner's saved plans: a plan timed on one model is not reused on another.
const std::string& cpu_model();

}  // namespace cbrecon
