// Refusals and warnings that need the whole run: the line against the run's
// mode, the parameters against the detector, and the view lists against the
// files.  Each refusal is a RunError (one line, nothing written); each
// warning is one line for the run's notes (printed once the run cannot be
// refused any more), and stdout is never touched.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "geometry/geometry.h"
#include "geometry/params.h"
#include "input/projection.h"

namespace cbrecon {

// -ph against the run's mode: refused in a 3-D run, and outside 1..10 in a
// 4-D run of one bin (--mkb included).
void check_phase_options(const RunParams& p);

// The diameter (mm) of the circle every view of a full rotation sees: the
// farther detector edge from the central ray, taken to the rotation axis.
double covered_diameter(const RunParams& p, const Geometry& g);

// Legal but probably not what was meant: a half scan with an offset
// detector, a field of view far wider than the detector covers, options
// that have no effect in this run.
std::vector<std::string> parameter_warnings(const RunParams& p, const Geometry& g);

// After listing: refuses files whose headers state another image size than
// -d/-z and a run in which no view at all can be used (naming the likely
// cause); adds the dropped views' lines and the listing's warnings (more
// files past -s, a trigger count that differs from the files) to `notes`.
void check_listing(const RunParams& p, std::span<const ViewList* const> lists,
                   std::vector<std::string>& notes);

// The line for an output left unwritten because it has no view (`listed`
// 0) or every view of it was skipped while reading or decoding.  `bin` 0:
// the run's only volume.
std::string nothing_used_line(const RunParams& p, int bin, long listed, const std::string& output);

}  // namespace cbrecon
