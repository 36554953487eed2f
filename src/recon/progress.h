// A progress bar for the view loop, on standard error, for a person
// watching a terminal:
//
//   [##########----------]  50%  180/360 views  elapsed 0:12  left 0:12
//
// It is drawn only when the stream is a terminal and --quiet is not given,
// so logs and pipes see nothing of it.  It lives on one line that is
// redrawn in place ("\r" and erase-to-end-of-line); clear() takes it off the
// screen before other text is printed to the same terminal, and the next
// update() draws it again.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace cbrecon {

// Whether a bar belongs on `err`: a terminal, and not --quiet.
bool progress_wanted(std::FILE* err, bool quiet);

// The text of the bar (no "\r", no newline).  The time left is estimated
// from the mean time per view so far; it is "--:--" until one view is done.
// Times as m:ss, or h:mm:ss from one hour on.
std::string progress_line(long done, long total, double elapsed_s, const char* unit = "views");

class ProgressBar {
 public:
  ProgressBar() = default;  // shows nothing
  // `shown` false makes every call a no-op.  The clock starts now.
  ProgressBar(std::FILE* err, long total, bool shown, const char* unit = "views");
  // A run that ends early (an error) leaves no bar behind its message.
  ~ProgressBar() { clear(); }
  ProgressBar(const ProgressBar&) = default;
  ProgressBar& operator=(const ProgressBar&) = default;

  // `done` views of `total` finished.  Redraws at most ten times a second,
  // and always for the last view.
  void update(long done);
  // Erases the bar if it is on screen.
  void clear();
  // Erases the bar for good.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* err_ = nullptr;
  const char* unit_ = "views";  // what is counted
  long total_ = 0, done_ = 0;
  bool shown_ = false, on_screen_ = false;
  Clock::time_point start_{}, last_draw_{};
};

}  // namespace cbrecon
