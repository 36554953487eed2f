#include <sys/stat.h>
#include "input/rpm.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "numeric/error.h"

namespace cbrecon {
namespace {

namespace fs = std::filesystem;

// A header of the usual shape: recording time 100 (key and number in one
// word), sampling frequency 30 (key and number in one word): N = 3000.
const char* const kHeader =
    "CRC=1234\nVersion=1.6\nData_layout=amplitude,phase,timestamp,validflag,ttlin,mark,ttlout\n"
    "Patient_ID=x\nDate=01-01-2020\nScan=1\nTotal_study_time=100\nSamples_per_second=30\n"
    "Scale_factor=10\n[Data]\n";

std::string trigger_line(float phase, int ttime, float amp = 0.5f) {
  std::ostringstream s;
  s << amp << ',' << phase << ',' << ttime << ",0,0,,1\n";
  return s.str();
}

// Parses `text` with the trace in a temporary stream; returns the trace.
std::string parse_with_trace(const std::string& text, PhaseTable& t) {
  std::FILE* f = std::tmpfile();
  t = parse_rpm_signal(text, f);
  std::rewind(f);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

std::vector<float> row(const PhaseTable& t, long r) {
  std::vector<float> v;
  for (long i = 0; i < t.count; ++i) v.push_back(t.tab[r][i]);
  return v;
}

TEST(RpmTriggers, AcceptsSamplesMoreThan68Apart) {
  std::string text = kHeader;
  for (int ts = 1000; ts <= 1198; ts += 33) text += trigger_line(0.0f, ts);
  PhaseTable t;
  const std::string trace = parse_with_trace(text, t);
  EXPECT_EQ(row(t, 0), (std::vector<float>{1000, 1099, 1198}));
  EXPECT_EQ(trace,
            "timestamp=  1000, phase=0.0000,amplitude=0.5000  GRP= 1 i=   0 T=1000\n"
            "timestamp=  1099, phase=0.0000,amplitude=0.5000  GRP= 1 i=   1 T=  99\n"
            "timestamp=  1198, phase=0.0000,amplitude=0.5000  GRP= 1 i=   2 T=  99\n");
  EXPECT_EQ(t.nsamples, 7u);
  EXPECT_EQ(t.capacity, 3000u);
}

TEST(RpmTriggers, GapThresholds) {
  // 0 and 68 at the start are too close to time 0; 68 after the last is
  // passed over, 69 is accepted.
  {
    std::string text = kHeader;
    for (int ts : {0, 68, 100, 168, 169}) text += trigger_line(0.0f, ts);
    PhaseTable t;
    parse_with_trace(text, t);
    EXPECT_EQ(row(t, 0), (std::vector<float>{100, 169}));
  }
  // A gap of exactly 300 takes a new column; 301 replaces the previous
  // sample, whose trace line stays, so i=1 shows twice.
  {
    std::string text = kHeader;
    for (int ts : {100, 400, 701, 800}) text += trigger_line(0.0f, ts);
    PhaseTable t;
    const std::string trace = parse_with_trace(text, t);
    EXPECT_EQ(row(t, 0), (std::vector<float>{100, 701, 800}));
    EXPECT_NE(trace.find("timestamp=   400, phase=0.0000,amplitude=0.5000  GRP= 1 i=   1 T= 300\n"),
              std::string::npos);
    EXPECT_NE(trace.find("timestamp=   701, phase=0.0000,amplitude=0.5000  GRP= 1 i=   1 T= 301\n"),
              std::string::npos);
    EXPECT_NE(trace.find("i=   2 T=  99\n"), std::string::npos);
  }
  // A first gap above 300 has nothing to replace.
  {
    PhaseTable t;
    const std::string trace = parse_with_trace(std::string(kHeader) + trigger_line(0.0f, 5000), t);
    EXPECT_EQ(t.count, 1);
    EXPECT_NE(trace.find("i=   0 T=5000"), std::string::npos);
  }
}

TEST(RpmTriggers, OnlyTriggerLevelsCount) {
  std::string text = kHeader;
  text += "0.5,0,100,0,1,,1\n";  // ttlin 1
  text += "0.5,0,200,0,0,,0\n";  // ttlout 0
  text += "0.5,0,300,0,0,,2\n";  // ttlout 2
  text += "0.5,0,400,1,0,,1\n";  // validflag is not looked at
  PhaseTable t;
  parse_with_trace(text, t);
  EXPECT_EQ(row(t, 0), (std::vector<float>{400}));
  EXPECT_EQ(t.nsamples, 4u);
}

TEST(RpmTriggers, TimeStampsAtTheEndsOfTheIntRange) {
  std::string text = kHeader;
  text += trigger_line(0.0f, INT_MAX);
  text += trigger_line(0.0f, INT_MIN);  // far before the last: passed over
  PhaseTable t;
  const std::string trace = parse_with_trace(text, t);
  EXPECT_EQ(t.count, 1);
  EXPECT_NE(trace.find("T=2147483647\n"), std::string::npos);
}

TEST(RpmPhase, BinsOfPhases) {
  EXPECT_EQ(grp_of_phase(0.0f), 1);
  EXPECT_EQ(grp_of_phase(3.14159f), 6);
  EXPECT_EQ(grp_of_phase(5.97f), 10);
  EXPECT_EQ(grp_of_phase(6.0f), 1);  // 11 wraps to 1
  EXPECT_EQ(grp_of_phase(-0.30f), 1);
  EXPECT_EQ(grp_of_phase(-0.31f), 0);
  EXPECT_EQ(grp_of_phase(6.73f), 2);   // 12 wraps to 2
  EXPECT_EQ(grp_of_phase(11.76f), 0);  // 20 wraps to 0
  // Edges of bin 2 with the 6.283185307 divisor: (2 - 1.49) * 0.6283185307.
  EXPECT_EQ(grp_of_phase(0.3204f), 1);
  EXPECT_EQ(grp_of_phase(0.3205f), 2);
}

TEST(RpmPhase, PhasesOutsideTheIntRangeAreDefined) {
  EXPECT_EQ(grp_of_phase(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(grp_of_phase(std::numeric_limits<float>::infinity()), 0);
  EXPECT_EQ(grp_of_phase(-std::numeric_limits<float>::infinity()), 0);
  // Whole part of 1e30f*10/6.283185307 + 1.49 in double, modulo 10.
  const double x = std::trunc(static_cast<double>(1e30f) * 10.0 / 6.283185307 + 1.49);
  EXPECT_EQ(grp_of_phase(1e30f), static_cast<int>(std::fmod(x, 10.0)));
  EXPECT_EQ(grp_of_phase(-1e30f), INT_MIN);
  EXPECT_EQ(grp_of_phase(-1e9f), static_cast<int>(std::trunc(-1e9 * 10.0 / 6.283185307 + 1.49)));
}

TEST(RpmData, MarkFieldEmptyOrOneCharacter) {
  std::string text = kHeader;
  text += "1.2,3.0,100,0,0,,1\n";
  text += "1.2,3.0,200,0,0,Z,1\n";
  text += "1.2,3.0,300,0,0, ,1\n";
  text += "1.2,3.0,400,0,0,ZZ,1\n";  // two characters: not a sample
  PhaseTable t;
  parse_with_trace(text, t);
  EXPECT_EQ(row(t, 0), (std::vector<float>{100, 200, 300}));
  EXPECT_EQ(row(t, 1), (std::vector<float>{3.0f, 3.0f, 3.0f}));
  EXPECT_EQ(row(t, 2), (std::vector<float>{1.2f, 1.2f, 1.2f}));
  EXPECT_EQ(row(t, 3), (std::vector<float>{6, 6, 6}));
  EXPECT_EQ(t.nsamples, 3u);
}

TEST(RpmData, MalformedLinesAreDroppedAndDoNotCountTowardsN) {
  // Recording time 2, frequency 3: N = 6 samples.
  std::string text = "a b c d e f Total_study_time=2 Samples_per_second=3 g h\n";
  text += "\n";
  text += "garbage\n";
  text += "1,2\n";
  text += "0.5,0,100,0,0,,\n";          // no ttlout
  text += "0.5 ,0,100,0,0,,1\n";        // blank before a comma
  text += "0.5,0,100,0,0,,1 trailing text\r\n";
  for (int ts = 200; ts <= 800; ts += 100) text += trigger_line(0.0f, ts);
  PhaseTable t;
  parse_with_trace(text, t);
  EXPECT_EQ(t.capacity, 6u);
  EXPECT_EQ(t.nsamples, 6u);
  EXPECT_EQ(row(t, 0), (std::vector<float>{100, 200, 300, 400, 500, 600}));
}

TEST(RpmHeader, NumberInTheKeyWordOrInTheNextWord) {
  // Keys shorter than 17 (19) characters: the number is the next word, even
  // on the next line.
  PhaseTable t = parse_rpm_signal("1 2 3 4 5 6 Time: 2.5 Freq:\n4 x y\n", nullptr);
  EXPECT_EQ(t.capacity, 10u);
  // Longer key words: the number starts after exactly 17 (19) characters.
  t = parse_rpm_signal("1 2 3 4 5 6 ABCDEFGHIJKLMNOPQ1.5 ABCDEFGHIJKLMNOPQRS7 x y", nullptr);
  EXPECT_EQ(t.capacity, 11u);  // ceil(10.5)
  // N is formed in double: 0.1f * 30 = 3.0000000447 rounds up to 4.
  t = parse_rpm_signal("1 2 3 4 5 6 k 0.1 k 30 x y", nullptr);
  EXPECT_EQ(t.capacity, 4u);
  // The data may start on the line of the last header word.
  t = parse_rpm_signal("1 2 3 4 5 6 k 10 k 10 x y 0.5,0,100,0,0,,1\n0.5,0,200,0,0,,1", nullptr);
  EXPECT_EQ(t.count, 2);
}

TEST(RpmHeader, MissingOrAbsurdValuesAreRefused) {
  const char* bad[] = {
      "",                                           // empty file
      "1 2 3 4 5",                                  // header ends early
      "1 2 3 4 5 6 Total_study_time=abc k 30",      // time not a number
      "1 2 3 4 5 6 Total_study_time=100",           // no frequency
      "1 2 3 4 5 6 Total_study_time=100 Samples_per_second=x",
      "1 2 3 4 5 6 k 100 k 0 x y",                  // N = 0
      "1 2 3 4 5 6 k -5 k 30 x y",                  // N < 0
      "1 2 3 4 5 6 k nan k 30 x y",                 // N not a number
      "1 2 3 4 5 6 k inf k 30 x y",
      "1 2 3 4 5 6 k 1e9 k 1000 x y",               // N over 100 million
  };
  for (const char* text : bad) {
    try {
      parse_rpm_signal(text, nullptr, "resp.vxp");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const RunError& e) {
      EXPECT_NE(std::string(e.what()).find("resp.vxp"), std::string::npos) << e.what();
    }
  }
}

TEST(RpmData, MoreThan65535TriggersAreRefused) {
  std::string text = "1 2 3 4 5 6 k 1000 k 100 x y\n";
  for (int i = 1; i <= 65535; ++i) text += "0,0," + std::to_string(i * 100) + ",0,0,,1\n";
  PhaseTable t = parse_rpm_signal(text, nullptr);
  EXPECT_EQ(t.count, 65535);
  EXPECT_EQ(t.tab[0][65534], 6553500.0f);
  text += "0,0,6553600,0,0,,1\n";
  EXPECT_THROW(parse_rpm_signal(text, nullptr), RunError);
}

// A scratch folder removed at the end of the test.
struct ScratchDir {
  fs::path path = fs::temp_directory_path() /
                  ("cbrpm_" + std::to_string(::getpid()));
  ScratchDir() { fs::create_directories(path); }
  ~ScratchDir() { fs::remove_all(path); }
};

TEST(RpmFile, ReadsTheFileAndWritesTheTrace) {
  ScratchDir dir;
  const std::string rpm = (dir.path / "resp.vxp").string();
  const std::string trace = (dir.path / "4dcbctrpm.out").string();
  std::ofstream(rpm) << kHeader << trigger_line(3.14159f, 1000);
  std::ofstream(trace) << "old contents\n";
  PhaseTable t = read_rpm_signal(rpm, stdout, trace);
  EXPECT_EQ(t.count, 1);
  EXPECT_TRUE(t.warning.empty());
  std::ifstream in(trace);
  std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(contents, "timestamp=  1000, phase=3.1416,amplitude=0.5000  GRP= 6 i=   0 T=1000\n");

  // Without data the trace is created empty.
  std::ofstream(rpm) << kHeader;
  t = read_rpm_signal(rpm, stdout, trace);
  EXPECT_EQ(t.count, 0);
  EXPECT_FALSE(t.tab.empty());
  EXPECT_EQ(fs::file_size(trace), 0u);

  // A bad header leaves the old trace alone.
  std::ofstream(rpm) << "short";
  std::ofstream(trace) << "keep\n";
  EXPECT_THROW(read_rpm_signal(rpm, stdout, trace), RunError);
  EXPECT_EQ(fs::file_size(trace), 5u);
}

TEST(RpmFile, TraceThatCannotBeCreatedGivesAWarning) {
  ScratchDir dir;
  const std::string rpm = (dir.path / "resp.vxp").string();
  std::ofstream(rpm) << kHeader << trigger_line(0.0f, 1000);
  const PhaseTable t = read_rpm_signal(rpm, stdout, (dir.path / "no" / "trace.out").string());
  EXPECT_EQ(t.count, 1);
  EXPECT_NE(t.warning.find("trace.out"), std::string::npos);
  EXPECT_EQ(t.warning.find('\n'), std::string::npos);
}

TEST(RpmFile, UnopenableFileEndsTheRunWithStatus0) {
  ScratchDir dir;
  const std::string rpm = (dir.path / "missing.vxp").string();
  std::FILE* out = std::tmpfile();
  try {
    read_rpm_signal(rpm, out, (dir.path / "trace").string());
    ADD_FAILURE() << "no exit";
  } catch (const ExitRequest& e) {
    EXPECT_EQ(e.status(), 0);
  }
  std::rewind(out);
  char buf[256] = {};
  EXPECT_GT(std::fread(buf, 1, sizeof buf - 1, out), 0u);
  std::fclose(out);
  EXPECT_EQ(std::string(buf), "Can not open file " + rpm + "\n");
  EXPECT_FALSE(fs::exists(dir.path / "trace"));
}

}  // namespace
}  // namespace cbrecon

namespace cbrecon {
namespace {

// Something that is not a regular file counts as a file that cannot be
// opened: a device never ends, a FIFO without a writer would block forever.
TEST(RpmFile, DevicesAndFifosCountAsUnopenable) {
  ScratchDir dir;
  const std::string fifo = (dir.path / "resp.vxp").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& name : {std::string("/dev/zero"), fifo, dir.path.string()}) {
    SCOPED_TRACE(name);
    testing::Capture out;
    try {
      read_rpm_signal(name, out.get(), (dir.path / "trace").string());
      ADD_FAILURE() << "no exit";
    } catch (const ExitRequest& e) {
      EXPECT_EQ(e.status(), 0);
    }
    EXPECT_EQ(out.text(), "Can not open file " + name + "\n");
  }
  EXPECT_FALSE(fs::exists(dir.path / "trace"));
}

}  // namespace
}  // namespace cbrecon
