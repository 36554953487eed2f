// Run parameters: everything a run needs, fixed once from the command line.
//
// The short names are the program's vocabulary and match the options:
// -s nviews, -d ndets, -z nslices, -p npxls, -fov fov, -xoff xoff, -pz pxlz,
// -ph ph_recon, -st ist, -hscan, -ccw (cw = 0), -sc scale_cal, -so offset_cal,
// -ext ext.  Widths are those of the scanner software's files: 16-bit fields
// store a decimal value modulo 65536.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "numeric/common.h"

namespace cbrecon {

// Additions beyond the classic option set; all are long options.
struct Extras {
  int threads = 0;           // --threads N: 0 = every available core
  bool timings = false;      // --timings: per-stage times on stderr
  std::string isa = "auto";  // --isa scalar|avx2|avx512|auto
  std::string bp_shape = "auto";  // --bp-shape NAME: the backprojection's loop shape, not planned
  std::string plan_wisdom;   // --plan-wisdom FILE (or CBRECON_WISDOM): saved backprojection plans
  bool quiet = false;        // --quiet: no progress bar
  std::vector<std::string> formats;  // --format mha|nrrd|nii|nii.gz|dcm
  bool float_out = false;    // --float: standard formats hold the float volume
  std::string preview;       // --preview FILE.png
  bool window_set = false;   // --window LOW,HIGH
  double window_lo = 0, window_hi = 0;
  bool all_phases = false;   // --all-phases
  std::string output_dir;    // --output-dir DIR: volumes, formats, previews and DICOM series go there
  std::string trace_file;    // --trace-file FILE: the 4-D trace instead of ./4dcbctrpm.out
  bool nifti_4d = false;     // --nifti-4d: the bins of --all-phases also as one 4-D NIfTI
  bool offset_centred = false;  // --offset-centred-values: an offset detector reads as a centred one
  bool hu_water_set = false;  // --hu-water W: output value of water (DICOM in HU)
  double hu_water = 0;
  std::string patient_position = "HFS";  // --patient-position HFS|HFP|FFS|FFP
  std::string patient_id;    // --patient-id (DICOM LO)
  std::string patient_name;  // --patient-name (DICOM PN)
  bool mkb = false;          // --mkb: prior-image reconstruction of the phase bins
  double mkb_cutoff = 0.5;   // --mkb-cutoff F: the residuals' ramp filter ends at F x the grid's Nyquist
  int mkb_step = 4;          // --mkb-step N: the prior is projected on every N-th column and row
  std::string mkb_tuning;    // the first --mkb-* option given (refused without --mkb)
  bool iterative = false;    // --iterative: iterative reconstruction of every bin from its own views
  int iterations = 10;       // --iterations N
  int subsets = 0;           // --subsets N: ordered subsets per iteration (0: about 2 views each)
  double tv_weight = 1.0;    // --tv-weight W: total-variation step per iteration, x the iteration's change
  int iter_binning = 4;      // --iter-binning N: N x N detector pixels per binned pixel
  std::string iter_tuning;   // the first of those tuning options given (refused without --iterative)
  // --conventional-status (or CBRECON_CONVENTIONAL_STATUS=1): exit 0 after a
  // completed run, 2 after a refusal or failure (see apps/cbrecon).
  bool conventional_status = false;
  // 4-D breathing: the images' own signal, the check of a respiratory file
  // against it, amplitude bins, the bin count, the per-bin summary file and
  // the trace picture.
  bool mip = false;                    // --mip: maximum intensity over the bins (--all-phases)
  bool average = false;                // --average: average over the bins (--all-phases)
  bool breathing_from_images = false;  // --breathing-from-images
  bool sync_check = false;             // --sync-check
  bool amplitude_bins = false;         // --amplitude-bins
  bool amplitude_split = false;        // --amplitude-split: exhale and inhale apart
  int bins = 0;                        // --bins N (0: the classic 10)
  std::string bins_summary;            // --bins-summary FILE (JSON)
  std::string breathing_trace;         // --breathing-trace FILE.png
  bool ph_given = false;     // -ph was on the command line
  // Set by the benchmarks' literal baseline (bench/literal.cpp), no option:
  // every view read, preprocessed, filtered and backprojected over the whole
  // volume before the next one, as a program without batches does.
  bool literal = false;
  std::vector<std::string> inert_options;  // classic options given that have no effect
};

struct RunParams {
  std::string fn_proj;      // projection-name prefix (may hold a folder)
  std::string fn_msk;       // normalisation (mask) file
  std::string fn_tmp;       // respiratory-signal file (4-D)
  std::string ext = "NULL"; // output suffix; "NULL" = none given
  int32_t nviews = 1000;
  int32_t ndets = 1024;
  int32_t nslices = 768;
  int32_t npxls = 512;
  float fov = 500.0f;
  float xoff = 0.0f;
  float pxlz = 2.5f;
  uint16_t ph_recon = 0;
  int32_t ist = 0;
  uint16_t hscan = 0;
  uint16_t cw = 1;
  int32_t rpm_on = 1;
  float scale_cal = 10.0f;
  float offset_cal = 0.0f;
  uint16_t xbin = 1;
  uint16_t ybin = 1;
  int32_t w = 0;
  uint16_t nbins = 10;      // respiratory phase bins of a 4-D run
  Extras extras;
};

}  // namespace cbrecon
