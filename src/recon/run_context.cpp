#include "recon/run_context.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "input/phase.h"
#include "numeric/stopwatch.h"
#include "output/formats.h"

namespace cbrecon {

std::string bin_ext(const RunParams& p, uint16_t bin) {
  const std::string ext = phase_suffix(bin, p.hscan);
  if (p.extras.iterative) return without_seq(ext) + "_iter.seq";
  return p.extras.mkb ? without_seq(ext) + "_mkb.seq" : ext;
}

bool earlier_file(const std::string& a, const std::string& b) {
  // Same prefix: a longer name is a larger file number.
  return std::make_pair(a.size(), std::string_view(a)) < std::make_pair(b.size(), std::string_view(b));
}

void append_pass_views(std::vector<PassView>& order, const Job& job, int target) {
  const ViewList& vl = job.views;
  for (long k = 0; k < vl.ik; ++k)
    order.push_back({target, k, &vl.names[k], vl.angles[k], vl.angles[0], job.dbeta[k]});
}

void Console::print_notes() {
  for (const std::string& note : notes_) std::fprintf(err, "cbrecon: %s\n", note.c_str());
}

void Console::start_progress(long total_views, bool quiet, const char* unit) {
  progress_ = ProgressBar(err, total_views, progress_wanted(err, quiet), unit);
  progress_done_ = 0;
}

void Console::report_quiet(std::span<const ViewOutcome> batch) {
  print_messages(batch);
  progress_done_ += static_cast<long>(batch.size());
  progress_.update(progress_done_);
}

void Console::report_views(std::span<const ViewOutcome> batch, std::vector<Job>& jobs) {
  const long nb = static_cast<long>(batch.size());
  print_messages(batch);
  progress_.clear();
  const int32_t now = clock_ms();
  for (long b = 0; b < nb; ++b) {
    const ViewOutcome& o = batch[b];
    const PassView& v = *o.view;
    Job& job = jobs[v.target];
    std::memcpy(job.headout.data(), o.head.data(), kHeaderSize);
    job.any_view = true;
    if (!o.skip) ++job.used;
    if (v.k % 100 == 0) std::fprintf(out, "processing projection view #%-d\n", static_cast<int>(v.k));
    // Time of the batch shared out evenly over its views.
    const int32_t t_view = o.t_view;
    t_last = t_view + static_cast<int32_t>((now - t_view) * (b + 1) / nb);
    std::fprintf(out, "i=%3d, time backproj=%7.4f filename: %s %4.2f scale =%g CTnorm =%g\n",
                 static_cast<int>(v.k), (t_last - t_view) / 1000.0, v.name->c_str(), v.angle,
                 static_cast<double>(v.dbeta), header_ctnorm(o.head.data()));
  }
  std::fflush(out);
  t_last = now;
  progress_done_ += nb;
  progress_.update(progress_done_);
}

// The read and decode messages of a batch in view order, each view's once
// in a run (a second pass over a view repeats nothing).
void Console::print_messages(std::span<const ViewOutcome> batch) {
  for (const ViewOutcome& o : batch)
    if (!o.message.empty() && reported_.insert(*o.view->name).second) {
      progress_.clear();
      std::fputs(o.message.c_str(), err);
    }
}

}  // namespace cbrecon
