// The output plan: every file a run writes, with its final name, known
// before the first view is read.  A volume becomes its ".seq" file, then the
// standard formats asked for, the preview and the DICOM series folder; a 4-D
// run adds the trace of its trigger selection.  The early checks, the
// memory estimate and the final write all walk this one list.
#pragma once

#include <string>
#include <vector>

namespace cbrecon {

// One volume a run produces: its output suffix (the ".seq" name ending, or
// "NULL" for the default "bp4d.seq") and what it is.
struct PlannedVolume {
  std::string ext;
  int bin = 0;               // 0: a 3-D volume; else the respiratory phase bin
  bool prior_image = false;  // a prior-image reconstruction of the bin
};

// The name a volume is written under: fn_proj + "_" + ext, or
// fn_proj + "_bp4d.seq" when ext is "NULL" (none given).
std::string output_name(const std::string& fn_proj, const std::string& ext);

}  // namespace cbrecon
