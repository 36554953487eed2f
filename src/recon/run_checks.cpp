#include "recon/run_checks.h"

#include <algorithm>
#include <cmath>

#include "input/phase.h"
#include "numeric/common.h"
#include "numeric/error.h"
#include "output/dicom_options.h"
#include "output/formats.h"

namespace cbrecon {

namespace {

// How much wider than the covered circle a field of view may be before the
// run warns: the corners of the image lie outside any circle, and a small
// margin is normal practice.
constexpr double kFovMargin = 1.25;

// The files most a count of projection files looks at.
constexpr long kMostFiles = 65535;

std::string no_view_cause(const RunParams& p, const ViewList& vl) {
  if (!vl.dropped.empty())
    return strprintf("every projection file found is too short for a %d x %d detector (-d %d -z %d)", p.ndets,
                     p.nslices, p.ndets, p.nslices);
  if (vl.triggers < 0)
    return strprintf("no projection file %s found (nor any of the next 100 numbers): check the prefix%s",
                     projection_name(p.fn_proj, p.ist).c_str(), p.ist ? " and -st" : "");
  if (vl.triggers == 0) return "the respiratory file " + p.fn_tmp + " holds no trigger sample";
  if (vl.first >= p.nviews)
    return strprintf("no projection file %s .. %s found: check the prefix",
                     projection_name(p.fn_proj, 0).c_str(), projection_name(p.fn_proj, p.nviews - 1).c_str());
  if (vl.nlisted == 0) return strprintf("none of the %ld trigger samples falls in phase bin %d", vl.triggers, p.ph_recon);
  return strprintf("the first of the %d views selected for phase bin %d cannot be read", vl.nlisted, p.ph_recon);
}

}  // namespace

void check_phase_options(const RunParams& p) {
  const Extras& x = p.extras;
  if (!p.rpm_on) {
    const char* four_d = x.sync_check ? "--sync-check" : x.amplitude_bins ? "--amplitude-bins"
                         : x.bins ? "--bins" : !x.bins_summary.empty() ? "--bins-summary"
                         : !x.breathing_trace.empty() ? "--breathing-trace" : nullptr;
    if (four_d)
      throw RunError(std::string(four_d) + " needs a 4-D run: a respiratory file as the third argument, or "
                     "--breathing-from-images");
  }
  if ((x.mip || x.average) && !(p.rpm_on && x.all_phases))
    throw RunError(std::string(x.mip ? "--mip" : "--average") + " is made from every bin: it needs a 4-D run with --all-phases");
  if (x.sync_check && p.fn_tmp.empty())
    throw RunError("--sync-check compares a respiratory file with the images: it needs one as the third argument");
  if (x.amplitude_split && !x.amplitude_bins) throw RunError("--amplitude-split splits amplitude bins: it needs --amplitude-bins");
  if (!p.rpm_on && x.ph_given)
    throw RunError("-ph selects a respiratory phase bin: it needs a respiratory-signal file as the third "
                   "argument (0 makes a 3-D run)");
  if (!p.rpm_on || x.all_phases || (p.ph_recon >= 1 && p.ph_recon <= p.nbins)) return;
  if (!x.ph_given)
    throw RunError(std::string(x.mkb ? "--mkb" : "a 4-D run") +
                   strprintf(" needs the phase bin to reconstruct: -ph N (1..%d) or --all-phases", p.nbins));
  throw RunError(strprintf("-ph %d: the phase bin must be 1 to %d (or --all-phases for every bin)", p.ph_recon,
                           p.nbins));
}

double covered_diameter(const RunParams& p, const Geometry& g) {
  const double edge = std::max(g.icent, p.ndets - g.icent);  // columns from the central ray
  return 2 * sad * std::sin(std::atan(edge * pitch / sdd));
}

std::vector<std::string> parameter_warnings(const RunParams& p, const Geometry& g) {
  std::vector<std::string> w;
  const Extras& x = p.extras;
  if (p.hscan == 1 && g.offset)
    w.push_back(strprintf("warning: a half scan (-hscan) with an offset detector (-xoff %g) does not cover the "
                          "field of view: every view sees one side of it, half a rotation leaves part unseen",
                          static_cast<double>(p.xoff)));
  const double covered = covered_diameter(p, g);
  if (p.fov > kFovMargin * covered)
    w.push_back(strprintf("warning: -fov %.1f is wider than the %.1f mm circle the detector covers (-d %d%s); "
                          "the image outside it is not reconstructed reliably",
                          static_cast<double>(p.fov), covered, p.ndets, g.offset ? " with -xoff" : ""));
  const bool dicom = wants_dicom(x);
  const bool nifti_4d = x.nifti_4d && x.all_phases && p.rpm_on != 0;
  const bool standard = !requested_formats(x).empty() || nifti_4d;
  auto no_effect = [&](const std::string& option, const std::string& needs) {
    w.push_back("warning: " + option + " has no effect in this run: it applies to " + needs);
  };
  if (x.hu_water_set && !dicom && !standard && x.preview.empty())
    no_effect("--hu-water", "the DICOM series, the standard formats and the preview");
  if (x.nifti_4d && !nifti_4d) no_effect("--nifti-4d", "a 4-D run of every bin (--all-phases)");
  if (x.offset_centred && !g.offset) no_effect("--offset-centred-values", "an offset detector (-xoff)");
  if (!x.patient_id.empty() && !dicom) no_effect("--patient-id", "the DICOM series (--format dcm)");
  if (!x.patient_name.empty() && !dicom) no_effect("--patient-name", "the DICOM series (--format dcm)");
  if (x.window_set && x.preview.empty()) no_effect("--window", "the preview (--preview FILE)");
  if (x.float_out && !standard) no_effect("--float", "the mha, nrrd and nii formats (--format)");
  if (x.all_phases && x.ph_given) no_effect("-ph", "a run of one phase bin, not --all-phases");
  for (const std::string& o : x.inert_options) {
    if (o == "-userfn")
      w.push_back("warning: -userfn has no effect: the volume's name comes from the prefix (and -ext)");
    else
      w.push_back("warning: " + o + " has no effect (accepted for compatibility)");
  }
  return w;
}

void check_listing(const RunParams& p, std::span<const ViewList* const> lists, std::vector<std::string>& notes) {
  long views = 0;
  for (const ViewList* vl : lists) {
    if (!vl->other_size_name.empty())
      throw RunError(strprintf("%s holds %ld x %ld images (columns x rows), but the run was given -d %d -z %d: "
                               "run with -d %ld -z %ld",
                               vl->other_size_name.c_str(), vl->other_cols, vl->other_rows, p.ndets, p.nslices,
                               vl->other_cols, vl->other_rows));
    views += vl->ik;
  }
  if (lists.empty()) return;
  const ViewList& head = *lists.front();
  if (views == 0) {
    if (lists.size() > 1 && head.triggers > 0 && head.dropped.empty())
      throw RunError("no phase bin holds a view that can be read; nothing written");
    throw RunError("no view to reconstruct: " + no_view_cause(p, head) + "; nothing written");
  }
  for (const ViewList* vl : lists)
    for (const std::string& line : vl->dropped) notes.push_back(line);
  if (head.next_number >= 0) {
    const long more = count_projections_from(p.fn_proj, head.next_number, kMostFiles - p.nviews);
    if (more > 0)
      notes.push_back(strprintf("warning: only the first %d projection files were read (-s %d); %ld more follow "
                                "from %s (-s %ld reads them all)",
                                p.nviews, p.nviews, more, projection_name(p.fn_proj, head.next_number).c_str(),
                                p.nviews + more));
  }
  if (head.triggers >= 0 && !p.fn_tmp.empty()) {  // the images' own breathing pairs with every file
    const long files = count_projections_from(p.fn_proj, head.first, kMostFiles + 1);
    if (files != head.triggers)
      notes.push_back(strprintf("warning: the respiratory file %s holds %ld trigger samples but %ld projection "
                                "files follow from %s: the phase bins may hold the wrong views (is it this "
                                "scan's respiratory file?)",
                                p.fn_tmp.c_str(), head.triggers, files,
                                projection_name(p.fn_proj, head.first).c_str()));
  }
}

std::string nothing_used_line(const RunParams& p, int bin, long listed, const std::string& output) {
  const std::string what = bin > 0 ? strprintf("phase bin %d: ", bin) : std::string();
  if (listed == 0) return what + "no view falls in this bin; " + output + " not written";
  return what + strprintf("no view could be used (each was skipped: check -d %d -z %d against the files); ",
                          p.ndets, p.nslices) + output + " not written";
}

}  // namespace cbrecon
