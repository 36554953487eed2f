// The volume in standard formats: MetaImage (.mha), NRRD (.nrrd) and
// NIfTI-1 (.nii, .nii.gz), written beside the ".seq" file on request.
//
// Values.  By default every format holds the 16-bit words of the ".seq"
// file, bit for bit (two's-complement shorts, -2000 outside the circular
// field of view).  With --float it holds 32-bit floats instead: inside the
// field of view the calibrated value scale_cal * voxel + offset_cal,
// evaluated in double and rounded once to float (no truncation, no 16-bit
// wrap); outside it -2000.0, the code of the ".seq" file.  A voxel that is
// not a number stays NaN there (its 16-bit word is 0).
// With --hu-water W every format holds Hounsfield units instead: 16-bit, the
// numbers of the DICOM series (hu_of_word of each word, -32768 outside the
// field of view); with --float, 1000 (v - W) / (W - so) of the calibrated
// value v in double, rounded once to float, -32768.0 outside.
//
// Grid.  The data follow the ".seq" order: column fastest, then row, then
// slice (file axes i = column c, j = row r, k = slice j).  Voxel centres in
// the reconstruction frame, in mm, with the rotation axis at x = y = 0 and
// the central plane at z = 0:
//   x = x0 - (npxls - 2 - c) dx      increases with the column
//   y = y0 - r dx                    decreases with the row
//   z = pxlz / 2 - zhalf + j pxlz    increases with the slice
// where x0 = y0 = fov / 2 - dx / 2 are the backprojector's corner values
// (VoxelGrid, geometry/grid.h; up to the rounding of x0: x = (c + 1.5 -
// npxls/2) dx, y = (npxls/2 - 0.5 - r) dx, z = (j + 0.5 - nz/2) pxlz).
//
// Orientation.  World coordinates are the LPS patient frame, the
// reconstruction frame turned as the patient lay (--patient-position,
// patient.h).  For HFS, the default, x is L (towards the patient's left),
// y anterior and z towards the feet: LPS = (x, -y, -z).  Each format states
// it in its own terms (shown for HFS; the other positions change the signs
// of the axis vectors and the origin), with (ox, oy, oz) the centre of voxel
// (0,0,0) in LPS:
//   MetaImage  (LPS by convention)  ElementSpacing dx dx pxlz,
//              TransformMatrix 1 0 0  0 1 0  0 0 -1 (the axis vectors in
//              turn), Offset = (ox, oy, oz);
//   NRRD       space: left-posterior-superior, space directions
//              (dx,0,0) (0,dx,0) (0,0,-pxlz), space origin = (ox, oy, oz);
//   NIfTI-1    RAS world, so (-x, y, -z): sform and qform both code 1
//              (scanner), srow_x = (-dx, 0, 0, -ox), srow_y = (0, -dx, 0, -oy),
//              srow_z = (0, 0, -pxlz, oz); the qform is the same map
//              (quaternion b, c, d = 0, 0, 1 with qfac -1).
// The quaternion follows the axes: no turn for HFP, 180 degrees about x for
// FFS, about y for FFP; qfac stays -1.
//
// Multi-byte values are in the byte order of this machine, which every
// header states (NIfTI readers detect it from sizeof_hdr).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "geometry/fov.h"
#include "geometry/grid.h"
#include "geometry/params.h"
#include "output/names.h"
#include "output/patient.h"

namespace cbrecon {

enum class VolumeFormat { mha, nrrd, nii, nii_gz };

// "mha", "nrrd", "nii" or "nii.gz"; RunError for anything else.
VolumeFormat parse_volume_format(const std::string& name);

// ".mha", ".nrrd", ".nii", ".nii.gz".
const char* format_extension(VolumeFormat f);

// The name of the volume in format f beside the ".seq" file `seq_name`:
// the ".seq" ending replaced by the format's extension, or the extension
// appended when the name does not end in ".seq".
std::string format_file_name(const std::string& seq_name, VolumeFormat f);

// `name` without a ".seq" ending (unchanged when it has none).
std::string without_seq(const std::string& name);

// The standard formats asked for, each once, in the order first asked (the
// DICOM series is not one of them).
std::vector<VolumeFormat> requested_formats(const Extras& x);

// Sizes, spacing (mm) and the centre of voxel (0,0,0) in the
// reconstruction frame (mm), as described above.
struct VolumeGrid {
  int32_t npxls = 0;
  uint16_t nz = 0;
  double dx = 0, pxlz = 0;
  double origin[3] = {0, 0, 0};
  PatientPosition position = PatientPosition::HFS;
};
VolumeGrid volume_grid(const VoxelGrid& vg);

// Hounsfield units of one ".seq" word: round(1000 (word - W) / (W - so))
// in double (halves away from zero), W the output value of water
// (--hu-water) and so the output offset (-so), limited to -32767..32767;
// kHuPadding marks voxels outside the field of view.
int16_t hu_of_word(int16_t word, double hu_water, double offset_cal);
inline constexpr int16_t kHuPadding = -32768;

// The Hounsfield scale of the outputs: off, or water's output value and the
// output offset.
struct HuScale {
  bool on = false;
  double water = 0, offset = 0;
};

// The reconstructed volume ([slice][row][column] floats, nz x npxls x npxls)
// as the standard formats see it: 16-bit words or calibrated floats.  Holds
// pointers only; the volume and the extents must outlive it.
class OutputVolume {
 public:
  // `pitch`: floats from one slice of `volume` to the next (0: packed).
  OutputVolume(const float* volume, const FovExtents& fov, const VolumeGrid& grid,
               float scale_cal, float offset_cal, bool as_float, size_t pitch = 0,
               HuScale hu = {});

  const VolumeGrid& grid() const { return grid_; }
  bool is_float() const { return as_float_; }
  bool is_hu() const { return hu_.on; }
  size_t voxel_bytes() const { return as_float_ ? 4 : 2; }
  size_t slice_voxels() const { return static_cast<size_t>(grid_.npxls) * grid_.npxls; }

  // Whether column c of row r lies inside the circular field of view.
  bool inside(int32_t r, int32_t c) const {
    return c >= fov_->fov_start[r] && c < grid_.npxls - fov_->fov_start[r];
  }
  // The output value of one voxel.
  double value(long j, int32_t r, int32_t c) const;
  // Slice j converted into `out`: slice_voxels() int16_t or float values.
  void slice(long j, void* out) const;

 private:
  // The float output of one voxel inside the field of view, and the value
  // outside it.
  float float_value(float voxel) const;
  float outside_float() const { return hu_.on ? static_cast<float>(kHuPadding) : -2000.0f; }

  const float* volume_;
  size_t pitch_;
  const FovExtents* fov_;
  VolumeGrid grid_;
  float scale_cal_, offset_cal_;
  bool as_float_;
  HuScale hu_;
};

// The text headers, exactly as written (the NRRD one ends with its blank
// line, the MetaImage one with "ElementDataFile = LOCAL\n").
std::string mha_header(const OutputVolume& v);
std::string nrrd_header(const OutputVolume& v);
// The 348-byte NIfTI-1 header followed by the 4-byte extension flag (no
// extension): 352 bytes, the data start right after.
std::vector<uint8_t> nifti_header(const OutputVolume& v);

// Writes the volume in format f to `name` atomically (a temporary file
// renamed when complete).  RunError when the file cannot be written.
void write_volume_format(const std::string& name, VolumeFormat f, const OutputVolume& v);

// Writes volumes of one grid and kind as one 4-D NIfTI-1 file `name`
// (.nii): the header of the first with dim[0] = 4, dim[4] = the number of
// volumes and pixdim[4] = 1 (one volume per step, no time unit: for the
// bins of a 4-D run, index t is bin t + 1, a tenth of the breathing cycle
// from the bin before), then every volume's slices in turn.  Atomic;
// RunError on failure or for volumes that differ in grid or kind.
void write_nifti_4d(const std::string& name, const std::vector<const OutputVolume*>& volumes);

// The preview file of one volume: the --preview name itself, or, when a run
// writes several volumes (--all-phases), that name with "_" and the
// volume's suffix less ".seq" before a ".png" ending ("look.png" and
// "4d_ph3.seq" give "look_4d_ph3.png").
std::string preview_file_name(const std::string& preview, const std::string& job_ext,
                              bool several);

}  // namespace cbrecon
