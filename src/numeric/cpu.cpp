#include "numeric/cpu.h"

#include <atomic>
#include <cstring>
#if defined(__x86_64__)
#include <cpuid.h>
#endif
#include <iterator>
#include <stdexcept>

#include "numeric/error.h"

namespace cbrecon {

namespace {

// The vector kernels exist only in x86 builds (the same conditions as the
// kernels' own source files).
#if defined(__x86_64__) || defined(__i386__)
#define CBRECON_CPU_X86 1
#else
#define CBRECON_CPU_X86 0
#endif

std::vector<KernelEntry> build_table() {
  std::vector<KernelEntry> t;
  for (Stage s : all_stages) t.push_back({s, "scalar", ""});
#if CBRECON_CPU_X86
  t.push_back({Stage::filter, "avx2", CBRECON_TARGET_FILTER_AVX2});
  t.push_back({Stage::filter, "avx512", CBRECON_TARGET_FILTER_AVX512});
#endif
#if defined(__x86_64__)
  t.push_back({Stage::preprocess, "avx2", CBRECON_TARGET_PREPROCESS_AVX2});
  t.push_back({Stage::preprocess, "avx512", CBRECON_TARGET_PREPROCESS_AVX512});
  t.push_back({Stage::backprojection, "avx2", CBRECON_TARGET_BACKPROJECT_AVX2});
  t.push_back({Stage::backprojection, "avx512", CBRECON_TARGET_BACKPROJECT_AVX512});
  t.push_back({Stage::projection, "avx2", CBRECON_TARGET_PROJECT_AVX2});
  t.push_back({Stage::projection, "avx512", CBRECON_TARGET_PROJECT_AVX512});
#endif
  return t;
}

// Width order of the kernel names; -1 for anything else.
int level(std::string_view name) {
  if (name == "scalar") return 0;
  if (name == "avx2") return 1;
  if (name == "avx512") return 2;
  return -1;
}

CpuFeatures detect() {
  CpuFeatures f;
#if CBRECON_CPU_X86
  // libgcc's detection also checks that the OS saves the AVX/AVX-512 state.
  __builtin_cpu_init();
  f.avx2 = __builtin_cpu_supports("avx2");
  f.avx512f = __builtin_cpu_supports("avx512f");
  f.avx512vl = __builtin_cpu_supports("avx512vl");
  f.avx512dq = __builtin_cpu_supports("avx512dq");
  f.avx512bw = __builtin_cpu_supports("avx512bw");
#endif
  return f;
}

std::atomic<const CpuFeatures*> g_override{nullptr};

// The choice of each stage (indexed by Stage); nullptr until one is set.
std::atomic<const char*> g_chosen[std::size(all_stages)] = {};

std::atomic<const char*>& chosen(Stage stage) { return g_chosen[static_cast<int>(stage)]; }

}  // namespace

const char* stage_name(Stage stage) {
  switch (stage) {
    case Stage::preprocess: return "preprocess";
    case Stage::filter: return "filter";
    case Stage::backprojection: return "backprojection";
    case Stage::projection: return "projection";
  }
  return "?";
}

const std::vector<KernelEntry>& kernel_table() {
  static const std::vector<KernelEntry> table = build_table();
  return table;
}

bool has_feature(const CpuFeatures& f, std::string_view name) {
  if (name == "avx2") return f.avx2;
  if (name == "avx512f") return f.avx512f;
  if (name == "avx512vl") return f.avx512vl;
  if (name == "avx512dq") return f.avx512dq;
  if (name == "avx512bw") return f.avx512bw;
  throw std::invalid_argument("unknown CPU feature \"" + std::string(name) + "\"");
}

std::vector<std::string> missing_features(const CpuFeatures& f, std::string_view target) {
  std::vector<std::string> missing;
  while (!target.empty()) {
    const size_t comma = target.find(',');
    const std::string_view name = target.substr(0, comma);
    if (!has_feature(f, name)) missing.emplace_back(name);
    target = comma == std::string_view::npos ? std::string_view{} : target.substr(comma + 1);
  }
  return missing;
}

const CpuFeatures& cpu_features() {
  static const CpuFeatures detected = detect();
  const CpuFeatures* o = g_override.load(std::memory_order_relaxed);
  return o ? *o : detected;
}

void override_cpu_features(const CpuFeatures* features) { g_override.store(features); }

const char* choose_kernel(Stage stage, std::string_view requested, const CpuFeatures& features) {
  const int want = requested == "auto" ? 2 : level(requested);
  if (want < 0)
    throw RunError("--isa " + std::string(requested) + ": unknown instruction set (expected auto, scalar, avx2 or avx512)");
  // The stage's widest kernel no wider than the request (the table lists
  // each stage narrowest first; every stage has "scalar").
  const KernelEntry* pick = nullptr;
  for (const KernelEntry& k : kernel_table()) {
    if (k.stage != stage || level(k.name) > want) continue;
    if (requested == "auto" && !missing_features(features, k.target).empty()) continue;
    pick = &k;
  }
  if (!pick) throw std::logic_error(std::string("no scalar kernel for the ") + stage_name(stage));
  const std::vector<std::string> missing = missing_features(features, pick->target);
  if (!missing.empty()) {
    std::string list;
    for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + m;
    throw RunError("--isa " + std::string(requested) + ": this CPU lacks " + list + " (" + stage_name(stage) +
                   " kernel)");
  }
  return pick->name;
}

void set_isa(std::string_view requested) {
  const char* picks[std::size(all_stages)];
  for (Stage s : all_stages) picks[static_cast<int>(s)] = choose_kernel(s, requested, cpu_features());
  for (Stage s : all_stages) chosen(s).store(picks[static_cast<int>(s)]);
}

void set_stage_isa(Stage stage, std::string_view requested) {
  chosen(stage).store(choose_kernel(stage, requested, cpu_features()));
}

const char* stage_kernel(Stage stage) {
  const char* k = chosen(stage).load(std::memory_order_relaxed);
  if (!k) {
    k = choose_kernel(stage, "auto", cpu_features());
    chosen(stage).store(k, std::memory_order_relaxed);
  }
  return k;
}

std::vector<std::string> runnable_kernels(Stage stage) {
  std::vector<std::string> names;
  for (const KernelEntry& k : kernel_table())
    if (k.stage == stage && missing_features(cpu_features(), k.target).empty()) names.emplace_back(k.name);
  return names;
}

bool kernel_runnable(Stage stage, std::string_view name) {
  for (const KernelEntry& k : kernel_table())
    if (k.stage == stage && name == k.name) return missing_features(cpu_features(), k.target).empty();
  throw std::logic_error(std::string("the ") + stage_name(stage) + " kernel \"" + std::string(name) +
                         "\" has no entry in the kernel table");
}

std::string kernel_summary() {
  std::string s;
  for (Stage st : all_stages) s += std::string(s.empty() ? "" : ", ") + stage_name(st) + " " + stage_kernel(st);
  return s;
}

}  // namespace cbrecon

namespace cbrecon {

const std::string& cpu_model() {
  static const std::string model = [] {
    std::string m;
#if defined(__x86_64__)
    unsigned int top = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0x80000000u, &top, &ebx, &ecx, &edx) && top >= 0x80000004u) {
      char brand[49] = {};
      for (unsigned int i = 0; i < 3; ++i) {
        unsigned int r[4] = {};
        __get_cpuid(0x80000002u + i, &r[0], &r[1], &r[2], &r[3]);
        std::memcpy(brand + 16 * i, r, 16);
      }
      m = brand;
    }
#endif
    const size_t b = m.find_first_not_of(' '), e = m.find_last_not_of(' ');
    m = b == std::string::npos ? "" : m.substr(b, e - b + 1);
    for (char& c : m)
      if (c < 0x20 || c > 0x7e) c = '?';
    if (m.empty()) m = "unknown";
#if defined(__x86_64__)
    // Virtual machines often shorten the brand string ("AMD EPYC" for
    // several generations): the family, model and stepping tell them apart.
    unsigned int eax = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
      unsigned int family = (eax >> 8) & 0xf, model = (eax >> 4) & 0xf;
      if (family == 0xf) family += (eax >> 20) & 0xff;
      if (family == 0x6 || family >= 0xf) model += ((eax >> 16) & 0xf) << 4;
      m += " (family " + std::to_string(family) + " model " + std::to_string(model) + " stepping " +
           std::to_string(eax & 0xf) + ")";
    }
#endif
    return m;
  }();
  return model;
}

}  // namespace cbrecon
