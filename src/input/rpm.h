// Respiratory-signal reader: the ".vxp" text file of the respiratory
// monitoring system, its trigger samples and their phase bins (GRP).
//
// File layout (white-space separated words, then one sample a line):
//   six words                       ignored
//   key (17 chars) + time_rpm       float; in the key word right after 17
//                                   characters, else the next word
//   key (19 chars) + Sfrq           integer, same rule with 19 characters
//   two words                       ignored
//   amp,phase,ttime,validflag,ttlin,mark,ttlout     one per line; mark is one
//                                   character or empty (1.2,3.0,40,0,0,,1)
//
// At most N = ceil(Sfrq * time_rpm) data lines are used (the product in
// double).  A line that does not parse as the seven fields is dropped and
// does not count towards N; text after ttlout is ignored.  Numbers are read
// as the formatted scanner reads them: a float like strtof, an integer like
// strtol keeping its low 32 bits; ttlin, ttlout and validflag keep 16 bits.
//
// Trigger samples (ttlin 0, ttlout 1) more than 68 time units after the
// last accepted one are accepted; one more than 300 after it replaces it.
// The first gap is measured from time stamp 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "numeric/arrays.h"

namespace cbrecon {

// Most trigger samples a phase table holds (the count is 16-bit).
inline constexpr uint16_t kMaxTriggers = 65535;

// Most data lines a header may announce (N); more is taken as a bad header.
inline constexpr double kMaxRpmSamples = 100e6;

// Largest respiratory file read (bytes): ten million lines of a usual length.
inline constexpr size_t kMaxRpmBytes = size_t{256} << 20;

// The accepted trigger samples.
struct PhaseTable {
  // Rows 0..3: ttime (as a float), phase (radians), amp, GRP (a whole
  // number).  Columns 0..count-1; the matrix always has at least one column
  // so that it exists even when count is 0.
  Matrix<float> tab;
  uint16_t count = 0;     // irpmlength
  size_t nsamples = 0;    // data lines used (at most capacity)
  size_t capacity = 0;    // N from the header
  std::string warning;    // one line when the trace file could not be written
};

// Phase bin of a phase p in radians: trunc(p*10.0/6.283185307 + 1.49), and
// above 10 the remainder modulo 10.  Phases in [0, 2pi) give 1..10.
// Never undefined: a NaN or infinite phase gives 0; a huge positive phase
// takes the remainder of its exact whole part (computed in double, no int
// overflow); a negative phase whose bin lies below INT_MIN gives INT_MIN.
int grp_of_phase(float phase);

// Reads `rpmfilename`, writes the trace of accepted triggers to `trace_path`
// (created anew; if it cannot be created, `warning` says so and the table is
// still returned) and returns the phase table.
//   - file does not open: "Can not open file %s\n" on `out`, then
//     ExitRequest(0);
//   - header without a readable recording time or sampling frequency, or an
//     N that is not a number from 1 to 100 million: RunError naming the file;
//   - more than 65535 accepted trigger samples: RunError.
// The trace file is created only after the whole input has been read, so the
// input may even be an old trace name.
PhaseTable read_rpm_signal(const std::string& rpmfilename, std::FILE* out,
                           const std::string& trace_path = "4dcbctrpm.out");

// The same over text in memory; trace lines go to `trace` when it is not
// null.  `name` is used in error messages.
PhaseTable parse_rpm_signal(std::string_view text, std::FILE* trace,
                            const std::string& name = "(memory)");

}  // namespace cbrecon
