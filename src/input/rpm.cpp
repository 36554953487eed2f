#include "input/rpm.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "numeric/error.h"
#include "numeric/files.h"

namespace cbrecon {

namespace {

// White space of the formatted scanner in the "C" locale.
inline bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// "%f": strtof from p; false if no number starts there.
inline bool scan(const char*& p, float& v) {
  char* end = nullptr;
  const float x = std::strtof(p, &end);
  if (end == p) return false;
  v = x;
  p = end;
  return true;
}

// "%d": strtoll from p, the low 32 bits kept as the scanner stores a long
// into an int.
inline bool scan(const char*& p, int32_t& v) {
  char* end = nullptr;
  const long long x = std::strtoll(p, &end, 10);
  if (end == p) return false;
  v = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(x)));
  p = end;
  return true;
}

// The file seen as the formatted scanner sees it: words and numbers
// separated by white space, where a line break is white space too.  Every
// line is copied into a NUL-terminated buffer before numbers are converted,
// so a conversion never runs past the end of its line or of the text.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  // Skips white space across lines; false at the end of the text.
  bool skip_space() {
    for (;;) {
      while (pos_ < line_.size() && is_space(line_[pos_])) ++pos_;
      if (pos_ < line_.size()) return true;
      if (!next_line(line_)) return false;
      pos_ = 0;
    }
  }

  // "%Ns": up to `width` characters of one word.
  bool word(size_t width) {
    if (!skip_space()) return false;
    size_t n = 0;
    while (pos_ < line_.size() && n < width && !is_space(line_[pos_])) ++pos_, ++n;
    return true;
  }

  // "%f" or "%d" after white space.
  template <class T>
  bool number(T& v) {
    if (!skip_space()) return false;
    const char* p = line_.c_str() + pos_;
    if (!scan(p, v)) return false;
    pos_ = static_cast<size_t>(p - line_.c_str());
    return true;
  }

  // The data part: first what is left of the current line, then whole lines.
  bool data_line(std::string& out) {
    if (pos_ < line_.size()) {
      out.assign(line_, pos_, std::string::npos);
      pos_ = line_.size();
      return true;
    }
    return next_line(out);
  }

 private:
  bool next_line(std::string& out) {
    if (next_ >= text_.size()) return false;
    size_t nl = text_.find('\n', next_);
    if (nl == std::string_view::npos) nl = text_.size();
    out.assign(text_.substr(next_, nl - next_));
    next_ = nl + 1;
    return true;
  }

  std::string_view text_;
  size_t next_ = 0;  // start of the next line in text_
  std::string line_;
  size_t pos_ = 0;
};

// Header words are taken at most 511 characters at a time (the word buffer
// is 512 bytes); the rest of a longer word counts as the next word.
constexpr size_t kWordWidth = 511;

// Reads the header; returns N.  RunError for a missing or absurd value.
double read_header_words(Scanner& sc, const std::string& name) {
  for (int i = 0; i < 6; ++i) sc.word(kWordWidth);
  float time_rpm = 0.0f;
  if (!sc.word(17) || !sc.number(time_rpm))
    throw RunError(strprintf("respiratory file %s: no recording time in the header", name.c_str()));
  int32_t Sfrq = 0;
  if (!sc.word(19) || !sc.number(Sfrq))
    throw RunError(
        strprintf("respiratory file %s: no sampling frequency in the header", name.c_str()));
  const double N = std::ceil(static_cast<double>(Sfrq) * static_cast<double>(time_rpm));
  if (!(N >= 1.0 && N <= kMaxRpmSamples))
    throw RunError(strprintf(
        "respiratory file %s: recording time %g and sampling frequency %d give %g samples; "
        "1 to %.0f are accepted",
        name.c_str(), static_cast<double>(time_rpm), Sfrq, N, kMaxRpmSamples));
  sc.word(kWordWidth);
  sc.word(kWordWidth);
  sc.skip_space();
  return N;
}

// One data sample as stored: 32-bit floats, 32-bit time, 16-bit levels.
struct Sample {
  float amp = 0, phase = 0;
  int32_t ttime = 0;
  uint16_t validflag = 0, ttlin = 0, ttlout = 0;
};

// "%f,%f,%d,%d,%d,%c" then "%d" when the character read for the mark was
// the comma of an empty mark, else ",%d".
bool parse_sample(const char* p, Sample& s) {
  int32_t ttime, validflag, ttlin, ttlout;
  if (!scan(p, s.amp) || *p++ != ',') return false;
  if (!scan(p, s.phase) || *p++ != ',') return false;
  if (!scan(p, ttime) || *p++ != ',') return false;
  if (!scan(p, validflag) || *p++ != ',') return false;
  if (!scan(p, ttlin) || *p++ != ',') return false;
  const char mark = *p;
  if (mark == '\0') return false;
  ++p;
  if (mark != ',' && *p++ != ',') return false;
  if (!scan(p, ttlout)) return false;
  s.ttime = ttime;
  s.validflag = static_cast<uint16_t>(validflag);
  s.ttlin = static_cast<uint16_t>(ttlin);
  s.ttlout = static_cast<uint16_t>(ttlout);
  return true;
}

// Column of the phase table being built.
using Column = std::array<float, 4>;

// Reads the data lines after the header and picks the trigger samples.
// Every accepted sample writes one trace line, including one that is later
// replaced, so the trace may show the same i twice.
PhaseTable select_triggers(Scanner& sc, double N, std::FILE* trace, const std::string& name) {
  PhaseTable t;
  t.capacity = static_cast<size_t>(N);
  std::vector<Column> cols;
  std::string line;
  Sample s;
  int32_t last = 0;
  size_t m = 0;
  while (t.nsamples < t.capacity && sc.data_line(line)) {
    if (!parse_sample(line.c_str(), s)) continue;
    ++t.nsamples;
    if (s.ttlin != 0 || s.ttlout != 1) continue;
    // In 64 bits: a time stamp near either end of the int range must not
    // overflow the difference.
    const long long gap = static_cast<long long>(s.ttime) - last;
    if (gap <= 68) continue;
    if (gap > 300 && m > 0) --m;
    last = s.ttime;
    if (m >= kMaxTriggers)
      throw RunError(strprintf("respiratory file %s: more than %u trigger samples; a run lists at most that many views", name.c_str(),
                               static_cast<unsigned>(kMaxTriggers)));
    const Column c = {static_cast<float>(s.ttime), s.phase, s.amp,
                      static_cast<float>(grp_of_phase(s.phase))};
    cols.resize(m);
    cols.push_back(c);
    if (trace)
      std::fprintf(trace, "timestamp=%6.0f, phase=%2.4f,amplitude=%2.4f  GRP=%2.0f i=%4d T=%4lld\n",
                   static_cast<double>(c[0]), static_cast<double>(c[1]),
                   static_cast<double>(c[2]), static_cast<double>(c[3]), static_cast<int>(m),
                   gap);
    ++m;
  }
  t.count = static_cast<uint16_t>(m);
  t.tab = matrix(0, 3, 0, m > 0 ? static_cast<long>(m) - 1 : 0);
  for (long r = 0; r < 4; ++r) t.tab[r][0] = 0.0f;
  for (size_t i = 0; i < m; ++i)
    for (size_t r = 0; r < 4; ++r) t.tab[static_cast<long>(r)][static_cast<long>(i)] = cols[i][r];
  return t;
}

}  // namespace

int grp_of_phase(float phase) {
  const double x = static_cast<double>(phase) * 10.0 / 6.283185307 + 1.49;
  if (!std::isfinite(x)) return 0;
  double g = std::trunc(x);
  if (g > 10.0) g = std::fmod(g, 10.0);  // exact, whatever the size of g
  if (g < static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(g);
}

PhaseTable parse_rpm_signal(std::string_view text, std::FILE* trace, const std::string& name) {
  Scanner sc(text);
  const double N = read_header_words(sc, name);
  return select_triggers(sc, N, trace, name);
}

PhaseTable read_rpm_signal(const std::string& rpmfilename, std::FILE* out,
                           const std::string& trace_path) {
  std::string text;
  {
    // Anything but a regular file (a FIFO would block, a device never end)
    // counts as a file that cannot be opened.
    bool special = false;
    const UniqueFile f = open_regular_file(rpmfilename, &special);
    if (!f) {
      const int e = errno;
      if (out) std::fprintf(out, "Can not open file %s\n", rpmfilename.c_str());
      throw ExitRequest(0, "cannot open respiratory file " + rpmfilename + ": " + open_failure_reason(e, special));
    }
    char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
      // A recording is a few MB; anything past the cap is not one (and a
      // device such as /dev/zero would otherwise be read forever).
      if (text.size() + n > kMaxRpmBytes)
        throw RunError(strprintf("respiratory file %s is larger than %zu MiB; not a respiratory recording",
                                 rpmfilename.c_str(), kMaxRpmBytes >> 20));
      text.append(buf, n);
    }
    if (std::ferror(f.get()))
      throw RunError(strprintf("respiratory file %s: read error", rpmfilename.c_str()));
  }
  Scanner sc(text);
  const double N = read_header_words(sc, rpmfilename);

  // The trace is created only now that the input is in memory and its
  // header is sound, under a temporary name renamed into place when
  // complete: never through a planted link, never left half-written.
  std::unique_ptr<AtomicFile> trace;
  std::string warning;
  try {
    trace = std::make_unique<AtomicFile>(trace_path);
  } catch (const RunError& e) {
    warning = strprintf("warning: %s; the run goes on without the trace", e.what());
  }
  PhaseTable t = select_triggers(sc, N, trace ? trace->get() : nullptr, rpmfilename);
  if (trace) {
    try {
      trace->commit();
    } catch (const RunError& e) {
      warning = strprintf("warning: %s; the run goes on without the trace", e.what());
    }
  }
  t.warning = std::move(warning);
  return t;
}

}  // namespace cbrecon
