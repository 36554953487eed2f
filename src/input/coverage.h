// Warnings about a respiratory sorting that is legal but unlikely to give a
// usable image: many views in no bin at all, or a bin whose views cover
// less than half a rotation (limited-angle streaks).
#pragma once

#include <cstdint>
#include <string>

#include "input/projection.h"
#include "input/rpm.h"

namespace cbrecon {

// Share of the paired trigger samples (the first min(count, nviews)) whose
// bin lies outside 1..nbins above which the sorting gets a warning.
inline constexpr double kMaxUnbinnedShare = 0.25;
// Angular coverage (degrees) below which a bin gets a warning.
inline constexpr double kMinBinCoverage = 180.0;

// "" or one line: how many of the paired samples fall in no bin 1..nbins.
std::string unbinned_warning(const PhaseTable& table, int32_t nviews, int nbins);

// The largest angle between angularly adjacent views of a list (the gap
// across 0/360 included), degrees; 360 for an empty list.
double largest_angular_gap(const ViewList& views);

// "" or one line: the views of `bin` (angles in degrees) cover less than
// kMinBinCoverage of the rotation.  The coverage is 360 less the largest
// gap between neighbouring angles around the circle.  A bin without views
// gives nothing (that is refused elsewhere).
std::string bin_coverage_warning(const ViewList& views, uint16_t bin);

}  // namespace cbrecon
