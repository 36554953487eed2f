#include "recon/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "numeric/error.h"

namespace cbrecon {

namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::string clock_text(double s) {
  if (!std::isfinite(s) || s < 0) return "--:--";
  const long t = static_cast<long>(s + 0.5);
  if (t >= 3600) return strprintf("%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
  return strprintf("%ld:%02ld", t / 60, t % 60);
}

}  // namespace

bool progress_wanted(std::FILE* err, bool quiet) {
  return !quiet && err && isatty(fileno(err)) == 1;
}

std::string progress_line(long done, long total, double elapsed_s, const char* unit) {
  done = std::clamp(done, 0L, std::max(total, 0L));
  const double frac = total > 0 ? static_cast<double>(done) / total : 1.0;
  const int filled = static_cast<int>(frac * kBarWidth);
  const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '-');
  const double left = done > 0 ? elapsed_s / done * (total - done) : -1;
  return strprintf("[%s] %3d%%  %ld/%ld %s  elapsed %s  left %s", bar.c_str(),
                   static_cast<int>(frac * 100), done, total, unit, clock_text(elapsed_s).c_str(),
                   clock_text(left).c_str());
}

ProgressBar::ProgressBar(std::FILE* err, long total, bool shown, const char* unit)
    : err_(err), unit_(unit), total_(total), shown_(shown && err != nullptr), start_(Clock::now()) {}

void ProgressBar::update(long done) {
  if (!shown_) return;
  done_ = done;
  const auto now = Clock::now();
  if (on_screen_ && done < total_ && now - last_draw_ < kRedrawEvery) return;
  last_draw_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  std::fprintf(err_, "\r%s\033[K", progress_line(done, total_, elapsed, unit_).c_str());
  std::fflush(err_);
  on_screen_ = true;
}

void ProgressBar::clear() {
  if (!shown_ || !on_screen_) return;
  std::fputs("\r\033[K", err_);
  std::fflush(err_);
  on_screen_ = false;
}

void ProgressBar::finish() {
  clear();
  shown_ = false;
}

}  // namespace cbrecon
