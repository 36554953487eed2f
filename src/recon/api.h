// What a caller that keeps the volumes in memory (the Python binding) needs
// besides Reconstructor (reconstruct.h) to do what the command line does:
// parse a classic argument list, and check then write a result's files
// through the output plan.  The command line's driver uses the same steps.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "geometry/params.h"
#include "output/plan.h"
#include "recon/reconstruct.h"

namespace cbrecon {

// The output plan of a run and its DICOM identity, checked before the
// reconstruction: every name fits, every output can be written (outputs.h),
// every series folder may be replaced.  RunError otherwise.
struct PreparedOutputs {
  OutputPlan plan;
  DicomRun dicom_run;
};
PreparedOutputs prepare_outputs(const RunParams& p, const std::vector<PlannedVolume>& volumes);

// Writes every volume of the plan, with the output folders locked so that
// two runs on the same names commit one after the other.  A file that
// cannot be written does not stop the others: its reason goes to
// `failures`, and so does a volume none of whose views could be used
// (nothing is written for it).  An allocation failure on the way ends the
// run as any other does, but first says which volumes were written and
// which not.  The classic ".seq" lines go to con.out, notes to con.err.
void write_outputs(const RunParams& p, const PreparedOutputs& out, const ReconResult& result, Console& con,
                   std::vector<std::string>& failures);

}  // namespace cbrecon
