// The run as one object: the stages of a reconstruction (driver.cpp) and
// the prior-image mode built from them (prior_image.cpp).  Internal to
// recon/: the public entry points are in driver.h.
#pragma once

#include <cstdio>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "geometry/params.h"
#include "input/projection.h"
#include "numeric/arrays.h"
#include "numeric/parallel.h"
#include "output/dicom.h"
#include "recon/progress.h"
#include "recon/view_pass.h"

namespace cbrecon {

class ForwardProjector;

// Views of the prior that measure the gain of its projections.
inline constexpr long kGainViews = 8;

// One output volume and the views that feed it.
struct Job {
  ViewList views;
  std::string ext;
  std::vector<float> dbeta;
  Tensor3<float> volume;
  Header headout{};
  bool any_view = false;
  long used = 0;  // views that were backprojected into it
  int bin = 0;  // DICOM series label: 0 for a 3-D volume, else the phase bin
};

// The output suffix of phase bin `bin`: "4d_ph3.seq", "hf4d_ph3.seq", or
// with --mkb "4d_ph3_mkb.seq".
std::string bin_ext(const RunParams& p, uint16_t bin);

// Whether projection file a comes before b (same prefix: a longer name is a
// larger file number).
bool earlier_file(const std::string& a, const std::string& b);

// Appends the views of `job`, in its order, as views of a pass into volume
// `target`.
void append_pass_views(std::vector<PassView>& order, const Job& job, int target);

class Reconstruction {
 public:
  Reconstruction(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
  int run(int argc, const char* const* argv);

 private:
  void read_mask_tables();
  void plan_prior_image();
  void prior_image_passes(const std::vector<PassView>& bin_order);
  double model_gain(const ForwardProjector& projector);
  void report_quiet(std::span<const ViewOutcome> batch);
  void print_messages(std::span<const ViewOutcome> batch);
  void list_views();
  std::vector<PassView> processing_order() const;
  void report_classic(std::span<const ViewOutcome> batch);
  void write_job(Job& job, std::vector<std::string>& failures);
  std::vector<Job> all_phase_jobs();
  void report_timings(double total);

  std::FILE* out_;
  std::FILE* err_;
  RunParams p_;
  RunTables t_;
  Header mask_head_{};
  std::vector<Job> jobs_;
  Job prior_;                        // --mkb: every accepted view of every bin
  std::set<std::string> reported_;   // views whose read or decode trouble was printed
  std::unique_ptr<ThreadPool> pool_;
  ProgressBar progress_;
  long progress_done_ = 0;
  DicomRun dicom_run_;  // DICOM series: one study and frame of reference per run
  std::vector<std::string> notes_;  // warnings, printed once the run cannot be refused any more
  int32_t t_start_ = 0, t_last_ = 0;
  StageTimes times_;
  double model_gain_ = 0;  // --mkb: what the prior's projections were scaled by
};

}  // namespace cbrecon
