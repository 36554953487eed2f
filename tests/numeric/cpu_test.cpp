// The kernel choice: every stage runs only kernels whose compiled-for
// features the CPU has, and the table agrees with the kernels the stages
// compile.  Feature sets are simulated; no kernel runs here.
#include "numeric/cpu.h"

#include <gtest/gtest.h>

#include <functional>

#include "backproj/backproject.h"
#include "filter/preprocess.h"
#include "filter/ramp.h"
#include "numeric/error.h"
#include "project/project.h"

namespace cbrecon {
namespace {

// Simulates a CPU while the test runs; then the detected one and "auto".
struct SimulatedCpu {
  explicit SimulatedCpu(const CpuFeatures& f) : features(f) { override_cpu_features(&features); }
  ~SimulatedCpu() {
    override_cpu_features(nullptr);
    set_isa("auto");
  }
  CpuFeatures features;
};

CpuFeatures from_bits(unsigned b) {
  return {(b & 1) != 0, (b & 2) != 0, (b & 4) != 0, (b & 8) != 0, (b & 16) != 0};
}

constexpr CpuFeatures kNone{};
constexpr CpuFeatures kAll{true, true, true, true, true};

struct StageApi {
  Stage stage;
  std::function<void(const std::string&)> set;
  std::function<const char*()> get;
  std::function<std::vector<std::string>()> list;
};
const StageApi kStages[] = {
    {Stage::preprocess, set_preprocess_isa, preprocess_isa, preprocess_isas},
    {Stage::filter, set_filter_isa, filter_isa, filter_isas},
    {Stage::backprojection, set_backproject_isa, backproject_isa, backproject_isas},
    {Stage::projection, set_project_isa, project_isa, project_isas},
};

std::string refusal(Stage s, const char* requested, const CpuFeatures& f) {
  try {
    choose_kernel(s, requested, f);
  } catch (const RunError& e) {
    return e.what();
  }
  return "";
}

#if defined(__x86_64__)
TEST(Cpu, AutoTakesPerStageTheWidestKernelTheCpuHas) {
  struct Case {
    const char* name;
    CpuFeatures f;
    const char* want[4];  // preprocess, filter, backprojection, projection
  };
  const Case cases[] = {
      {"nothing", kNone, {"scalar", "scalar", "scalar", "scalar"}},
      {"avx2", {.avx2 = true}, {"avx2", "avx2", "avx2", "avx2"}},
      {"avx512f alone", {.avx512f = true}, {"scalar", "avx512", "scalar", "scalar"}},
      {"avx2 avx512f", {.avx2 = true, .avx512f = true}, {"avx2", "avx512", "avx2", "avx2"}},
      {"no avx512bw",
       {.avx2 = true, .avx512f = true, .avx512vl = true, .avx512dq = true},
       {"avx512", "avx512", "avx2", "avx2"}},
      {"everything", kAll, {"avx512", "avx512", "avx512", "avx512"}},
  };
  for (const Case& c : cases)
    for (int s = 0; s < 4; ++s)
      EXPECT_STREQ(choose_kernel(all_stages[s], "auto", c.f), c.want[s])
          << c.name << ", " << stage_name(all_stages[s]);
}

TEST(Cpu, ForcedRequestsTheCpuLacksAreRefusedNamingTheFeatures) {
  const CpuFeatures f{.avx2 = true, .avx512f = true};
  EXPECT_EQ(refusal(Stage::backprojection, "avx512", f),
            "--isa avx512: this CPU lacks avx512vl, avx512dq, avx512bw (backprojection kernel)");
  EXPECT_EQ(refusal(Stage::preprocess, "avx512", f),
            "--isa avx512: this CPU lacks avx512vl, avx512dq (preprocess kernel)");
  EXPECT_STREQ(choose_kernel(Stage::filter, "avx512", f), "avx512");
  EXPECT_EQ(refusal(Stage::filter, "avx2", kNone), "--isa avx2: this CPU lacks avx2 (filter kernel)");
  EXPECT_STREQ(choose_kernel(Stage::preprocess, "avx2", f), "avx2");
  for (Stage s : all_stages) {
    EXPECT_STREQ(choose_kernel(s, "scalar", kNone), "scalar");
    EXPECT_NE(refusal(s, "sse9", kAll).find("unknown instruction set"), std::string::npos);
    EXPECT_NE(refusal(s, "", kAll).find("unknown instruction set"), std::string::npos);
  }
}
#endif

TEST(Cpu, AutoNeverPicksAKernelWithMissingFeatures) {
  for (unsigned b = 0; b < 32; ++b) {
    const CpuFeatures f = from_bits(b);
    for (Stage s : all_stages) {
      const std::string pick = choose_kernel(s, "auto", f);
      bool after_pick = false;
      for (const KernelEntry& k : kernel_table()) {
        if (k.stage != s) continue;
        const bool runs = missing_features(f, k.target).empty();
        if (pick == k.name) {
          EXPECT_TRUE(runs) << "bits " << b << " " << stage_name(s) << " " << pick;
          after_pick = true;
        } else if (after_pick) {
          EXPECT_FALSE(runs) << "bits " << b << ": " << stage_name(s) << " " << k.name << " is wider than " << pick;
        }
      }
      // A forced request is either refused or gives a kernel the CPU runs.
      for (const char* req : {"scalar", "avx2", "avx512"}) {
        try {
          const char* k = choose_kernel(s, req, f);
          for (const KernelEntry& e : kernel_table()) {
            if (e.stage == s && std::string(e.name) == k) {
              EXPECT_TRUE(missing_features(f, e.target).empty());
            }
          }
        } catch (const RunError&) {
        }
      }
    }
  }
}

TEST(Cpu, TheStagesCompileExactlyTheKernelsOfTheTable) {
  for (const KernelEntry& k : kernel_table()) EXPECT_NO_THROW(missing_features(kNone, k.target)) << k.target;
  {
    const SimulatedCpu cpu(kAll);
    for (const StageApi& st : kStages) {
      // Throws when a compiled kernel has no entry; misses one without code.
      const std::vector<std::string> compiled = st.list();
      EXPECT_EQ(compiled, runnable_kernels(st.stage)) << stage_name(st.stage);
      EXPECT_EQ(compiled.front(), "scalar");
      for (const std::string& name : compiled) {
        st.set(name);
        EXPECT_EQ(st.get(), name);
      }
    }
  }
  const SimulatedCpu cpu(kNone);
  for (const StageApi& st : kStages) EXPECT_EQ(st.list(), std::vector<std::string>{"scalar"});
}

#if defined(__x86_64__)
TEST(Cpu, SetIsaChoosesForEveryStageOrForNone) {
  const SimulatedCpu cpu({.avx2 = true, .avx512f = true});
  set_isa("auto");
  const char* want[] = {"avx2", "avx512", "avx2", "avx2"};
  for (int s = 0; s < 4; ++s) EXPECT_STREQ(kStages[s].get(), want[s]) << stage_name(kStages[s].stage);
  EXPECT_EQ(kernel_summary(), "preprocess avx2, filter avx512, backprojection avx2, projection avx2");
  // The filter could run avx512, the other stages cannot: nothing changes.
  set_isa("scalar");
  EXPECT_THROW(set_isa("avx512"), RunError);
  for (const StageApi& st : kStages) EXPECT_STREQ(st.get(), "scalar");
  EXPECT_THROW(set_backproject_isa("avx512"), RunError);
}
#endif

}  // namespace
}  // namespace cbrecon
