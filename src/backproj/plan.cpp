#include "backproj/plan.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>

#include "numeric/cpu.h"
#include "numeric/error.h"
#include "numeric/files.h"

namespace cbrecon {

namespace {

constexpr const char* kWisdomHeader = "cbrecon backprojection plans 1";
// A wisdom file is a few lines; anything much larger is not one of ours.
constexpr long kMaxWisdomBytes = 1 << 20;
constexpr size_t kMaxWisdomEntries = 256;
// A candidate replaces the default only when it is this much faster: the
// timed blocks are short, and a plan that flips between shapes of equal
// speed from run to run helps nobody.
constexpr double kMargin = 0.02;
// Timed blocks: each candidate runs two blocks of at most this many rows,
// placed symmetrically about the middle row (so both see the same widths
// of the field of view); fewer rows than kMinBlockRows per block are too
// little work to time, and the run keeps the default shape.
constexpr long kMaxBlockRows = 16;
// A candidate this much slower than the fastest after a batch is not timed
// again: its blocks go to the default shape (the plan's cost is what the
// slower candidates lose).
constexpr double kDrop = 0.15;
constexpr long kMinBlockRows = 4;

bool printable_key(const std::string& k) {
  if (k.empty() || k.size() > 512) return false;
  for (char c : k)
    if (c < 0x20 || c > 0x7e) return false;
  return true;
}

// The wisdom file's text; "" with `why` set when it cannot be read (a
// missing file is no error: why stays empty).
std::string read_wisdom(const std::string& path, std::string& why) {
  bool not_regular = false;
  UniqueFile f = open_regular_file(path, &not_regular);
  if (!f) {
    if (errno != ENOENT || not_regular) why = open_failure_reason(errno, not_regular);
    return "";
  }
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
    text.append(buf, n);
    if (static_cast<long>(text.size()) > kMaxWisdomBytes) {
      why = "larger than a file of plans can be";
      return "";
    }
  }
  if (std::ferror(f.get())) why = "read error";
  return text;
}

}  // namespace

const std::vector<BackprojShape>& shape_candidates() {
  // The default first; each other candidate changes one number of it (the
  // PERF NOTES in bench/README.md say what each was measured to do).
  static const std::vector<BackprojShape> shapes = {
      {16, 4, 3, false}, {8, 4, 3, false}, {16, 2, 3, false}, {16, 8, 3, false},
      {16, 4, 0, false}, {16, 4, 6, false}, {16, 4, 3, true},
  };
  return shapes;
}

bool parse_wisdom(const std::string& text, std::vector<std::pair<std::string, std::string>>& entries,
                  std::string& why) {
  entries.clear();
  size_t pos = 0;
  long line_no = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) {
      why = "the last line is incomplete";
      return false;
    }
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    if (line_no == 1) {
      if (line != kWisdomHeader) {
        why = "not a file of backprojection plans";
        return false;
      }
      continue;
    }
    const size_t tab = line.find('\t');
    BackprojShape shape;
    if (tab == std::string::npos || line.find('\t', tab + 1) != std::string::npos ||
        !printable_key(line.substr(0, tab)) || !parse_shape(line.substr(tab + 1), shape)) {
      why = "line " + std::to_string(line_no) + " is damaged";
      return false;
    }
    entries.emplace_back(line.substr(0, tab), line.substr(tab + 1));
  }
  if (line_no == 0) {
    why = "empty";
    return false;
  }
  return true;
}

std::string format_wisdom(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string text = std::string(kWisdomHeader) + "\n";
  for (const auto& [key, shape] : entries) text += key + "\t" + shape + "\n";
  return text;
}

BackprojPlan::BackprojPlan(const ScanGeometry& bg, const FovExtents& fov, PlanSettings settings,
                           std::vector<std::string>& warnings)
    : fov_(fov), npxls_(bg.npxls), s_(std::move(settings)) {
  for (const BackprojShape& c : shape_candidates()) measures_.push_back({c, 0, 0});
  trial_updates_.assign(measures_.size(), 0);
  trial_seconds_.assign(measures_.size(), 0);
  long columns = 0;
  for (long r = 0; r < npxls_; ++r) columns += fov_.fov_end[r] - fov_.fov_start[r];
  key_ = "cpu=" + cpu_model() + "|kernel=" + s_.kernel + "|grid=" + std::to_string(bg.npxls) + "x" +
         std::to_string(bg.nz) + "|columns=" + std::to_string(columns) + "|detector=" + std::to_string(bg.nrows) +
         "x" + std::to_string(bg.proj_pitch) + "|threads=" + std::to_string(s_.threads) +
         "|batch=" + std::to_string(s_.batch);
  if (s_.kernel == "scalar") {
    source_ = "scalar";  // the scalar kernel has no shape
    return;
  }
  if (s_.forced != "auto") {
    if (!parse_shape(s_.forced, shape_))
      throw RunError("--bp-shape " + s_.forced + ": not a backprojection shape (e.g. t16-c4-p3-rows)");
    source_ = "forced";
    return;
  }
  if (!s_.wisdom.empty()) {
    std::string why;
    const std::string text = read_wisdom(s_.wisdom, why);
    std::vector<std::pair<std::string, std::string>> entries;
    if (!why.empty()) {
      warnings.push_back("warning: plan file " + s_.wisdom + ": " + why + "; the plan is timed again");
      wisdom_ours_ = false;
    } else if (!text.empty() && !parse_wisdom(text, entries, why)) {
      // A file that is not ours is never overwritten; one of ours with a
      // damaged line is rewritten with the new plan.
      wisdom_ours_ = text.compare(0, std::string(kWisdomHeader).size() + 1, std::string(kWisdomHeader) + "\n") == 0;
      warnings.push_back("warning: plan file " + s_.wisdom + ": " + why + "; ignored, the plan is timed again" +
                         (wisdom_ours_ ? "" : " and not saved"));
    } else {
      for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        if (it->first == key_ && parse_shape(it->second, shape_)) {
          source_ = "wisdom";
          return;
        }
    }
  }
  const long blocks = 2 * static_cast<long>(measures_.size());
  block_rows_ = std::min(kMaxBlockRows, (npxls_ / 2) / blocks);
  if (block_rows_ < kMinBlockRows || s_.trial_batches < 1) {
    block_rows_ = 0;
    return;  // too small a volume to time: the default shape
  }
  source_ = "timed";
  deciding_ = true;
}

double BackprojPlan::columns(long r0, long r1) const {
  double n = 0;
  for (long r = r0; r < r1; ++r) n += fov_.fov_end[r] - fov_.fov_start[r];
  return n;
}

std::vector<BackprojPlan::Task> BackprojPlan::tasks() const {
  std::vector<Task> out;
  long lo = 0, hi = 0;  // the timed rows
  if (deciding_) {
    const long n = static_cast<long>(measures_.size());
    lo = npxls_ / 2 - n * block_rows_;
    hi = lo + 2 * n * block_rows_;
    double best = std::numeric_limits<double>::infinity();
    for (const Measure& m : measures_)
      if (m.blocks > 0) best = std::min(best, m.ns_per_update);
    auto timed = [&](long c) {
      const Measure& m = measures_[c];
      return m.blocks == 0 || m.ns_per_update <= best * (1 + kDrop) ? static_cast<int>(c) : -1;
    };
    // Block i and its mirror 2n - 1 - i go to the same candidate, shifted
    // by one from batch to batch so that every candidate meets several
    // distances from the middle; in list order, threads running at the
    // same time run different candidates.
    for (long i = 0; i < 2 * n; ++i) {
      const long k = i < n ? i : 2 * n - 1 - i;
      out.push_back({lo + i * block_rows_, lo + (i + 1) * block_rows_, timed((k + batches_) % n)});
    }
  }
  const long step = std::max(1, shape_.tile_rows);
  for (long r = 0; r < lo; r += step) out.push_back({r, std::min(lo, r + step), -1});
  for (long r = std::max(hi, 0L); r < npxls_; r += step) out.push_back({r, std::min(npxls_, r + step), -1});
  return out;
}

void BackprojPlan::record(const Task& task, double seconds, double updates) {
  if (task.candidate < 0 || updates <= 0) return;
  const size_t c = static_cast<size_t>(task.candidate);
  std::lock_guard<std::mutex> lock(mu_);
  trial_seconds_[c] += seconds;
  trial_updates_[c] += updates;
  const double ns = seconds * 1e9 / updates;
  Measure& m = measures_[c];
  m.ns_per_update = m.blocks == 0 ? ns : std::min(m.ns_per_update, ns);
  ++m.blocks;
}

void BackprojPlan::end_batch() {
  if (!deciding_) return;
  if (++batches_ >= s_.trial_batches) decide();
}

void BackprojPlan::finish() {
  if (deciding_ && batches_ > 0) decide();
}

void BackprojPlan::decide() {
  deciding_ = false;
  size_t best = 0;
  for (size_t c = 1; c < measures_.size(); ++c)
    if (measures_[c].blocks > 0 &&
        (measures_[best].blocks == 0 || measures_[c].ns_per_update < measures_[best].ns_per_update))
      best = c;
  const Measure& def = measures_[0];
  if (def.blocks > 0 && measures_[best].ns_per_update > def.ns_per_update * (1 - kMargin)) best = 0;
  shape_ = measures_[best].shape;
  chosen_ = static_cast<int>(best);
}

double BackprojPlan::overhead() const {
  if (chosen_ < 0 || trial_updates_[chosen_] <= 0) return 0;
  const double rate = trial_seconds_[chosen_] / trial_updates_[chosen_];
  double excess = 0;
  for (size_t c = 0; c < measures_.size(); ++c) excess += trial_seconds_[c] - trial_updates_[c] * rate;
  return std::max(0.0, excess / std::max(1, s_.threads));
}

std::string BackprojPlan::save() const {
  if (source_ != "timed" || chosen_ < 0 || s_.wisdom.empty() || !wisdom_ours_) return "";
  std::string why;
  std::vector<std::pair<std::string, std::string>> entries;
  const std::string text = read_wisdom(s_.wisdom, why);
  if (!why.empty() || (!text.empty() && !parse_wisdom(text, entries, why))) entries.clear();
  std::erase_if(entries, [&](const auto& e) { return e.first == key_; });
  if (entries.size() >= kMaxWisdomEntries)
    entries.erase(entries.begin(), entries.begin() + static_cast<long>(entries.size() - kMaxWisdomEntries + 1));
  entries.emplace_back(key_, shape_name(shape_));
  const std::string out = format_wisdom(entries);
  try {
    write_file_atomically(s_.wisdom, [&](std::FILE* f) { return std::fwrite(out.data(), 1, out.size(), f) == out.size(); });
  } catch (const RunError& e) {
    return std::string("warning: the plan was not saved: ") + e.what();
  }
  return "";
}

std::string BackprojPlan::summary() const {
  std::string s = "backprojection plan ";
  if (source_ == "scalar") return s + "none (the scalar kernel has no shape)";
  s += shape_name(shape_) + " (" + source_;
  if (source_ == "wisdom") s += " from " + s_.wisdom;
  if (source_ == "default") s += ": the volume is too small to time";
  if (source_ == "timed") {
    char buf[96];
    std::snprintf(buf, sizeof buf, " on %d batch%s, %ld-row blocks; cost %.4f s", batches_, batches_ == 1 ? "" : "es",
                  block_rows_, overhead());
    s += buf;
  }
  s += ")";
  if (source_ == "timed") {
    s += "; ns per voxel update:";
    for (const Measure& m : measures_) {
      char buf[64];
      std::snprintf(buf, sizeof buf, " %.3f", m.ns_per_update);
      s += ' ';
      s += shape_name(m.shape);
      s += m.blocks ? buf : " -";
    }
  }
  return s;
}

}  // namespace cbrecon
