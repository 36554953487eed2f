// Phase sorting of a 4-D run: pairs the trigger samples of the respiratory
// file with the projection files and keeps the views of one phase bin.
//
// Trigger sample i belongs to the projection file numbered first + i, first
// being the lowest number from 0 up whose file opens.  Projection files are
// numbered consecutively in acquisition order and the respiratory file marks
// every acquired projection with exactly one trigger sample.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "input/projection.h"
#include "input/rpm.h"

namespace cbrecon {

// Output suffix of bin ph_recon: "4d_ph" ("hf4d_ph" when hscan is 1), the
// bin ("%1d", or "%2.2d" from 10 on), ".seq".  Bin 3: "4d_ph3.seq".
std::string phase_suffix(uint16_t ph_recon, uint16_t hscan);

// The lowest n in 0 .. nviews-1 whose file fn_proj + "%5.5d" + ".hnd" opens
// for reading; nviews if none does.  RunError if a name exceeds 79
// characters.  For a large nviews the folder is listed once rather than
// every number tried, so the cost follows the files present, not nviews.
int32_t first_projection_number(const std::string& fn_proj, int32_t nviews);

// The views of bin ph_recon: every column of `table` whose GRP equals
// ph_recon exactly names file first + i, at most nviews of them (further
// ones are dropped).  Then the headers are read in that order; the list ends
// before the first file that does not open and, in a half scan (hscan 1),
// before the first view more than hscan_range (radians) beyond the first.
// names and angles (degrees) hold the ik views read; nlisted is the number
// of names selected.  Reading every bin from one table needs the
// respiratory file only once (each bin's files are disjoint, so every header
// is read at most once over all bins).
// With `screen`, every header is screened (screen_view): a dropped file
// leaves the bin's list (its trigger sample goes with it, since pairing is
// by file number) and the list goes on with the next selected file.
ViewList phase_views(const PhaseTable& table, int32_t first, const std::string& fn_proj,
                     int32_t nviews, uint16_t ph_recon, uint16_t hscan, double hscan_range,
                     const ViewScreen* screen = nullptr);

// The respiratory file read once for a run, and the number of its first
// projection file.
struct PhaseListing {
  PhaseTable table;
  int32_t first = 0;  // first_projection_number()
};

// Reads the respiratory file (read_rpm_signal, with its ExitRequest(0) when
// the file does not open, writing the trace file), prints
// "RPM signal file name %s  %s\n" (name, `ext_shown`) and "size=%5d \n" on
// `out`, and finds the first projection number.  Every bin's views then
// come from phase_views() on the one listing.
PhaseListing read_phase_listing(const std::string& rpmfilename, const std::string& fn_proj, int32_t nviews,
                                const std::string& ext_shown, std::FILE* out, const std::string& trace_path);

// The whole 4-D listing step of one bin: reads the respiratory file (read_rpm_signal,
// read_phase_listing() with the current ext shown), sets ext to
// phase_suffix() and returns phase_views().  A trace-file warning (one line) goes to
// `warning` when it is not null.
ViewList select_phase_views(const std::string& rpmfilename, const std::string& fn_proj,
                            int32_t nviews, uint16_t ph_recon, uint16_t hscan,
                            double hscan_range, std::string& ext, std::FILE* out,
                            const std::string& trace_path = "4dcbctrpm.out",
                            std::string* warning = nullptr, const ViewScreen* screen = nullptr);

}  // namespace cbrecon
