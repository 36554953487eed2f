#include "output/formats.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "output/preview.h"
#include "output/volume_io.h"
#include "numeric/error.h"

namespace cbrecon {

namespace {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// Whether s ends in `tail` with something before it.
bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Shortest text that reads back as the same double.
std::string num(double v) {
  for (int prec = 15; prec <= 17; ++prec) {
    std::string s = strprintf("%.*g", prec, v);
    if (std::strtod(s.c_str(), nullptr) == v) return s == "-0" ? "0" : s;
  }
  return strprintf("%.17g", v);
}

// Three numbers joined by `sep`.
std::string vec(const std::array<double, 3>& v, const char* sep) {
  return num(v[0]) + sep + num(v[1]) + sep + num(v[2]);
}

// The grid in the patient frame (LPS): the centre of voxel (0,0,0), the
// unit vector and the step (mm) of each file axis.
struct GridAxes {
  std::array<double, 3> origin;
  std::array<double, 3> unit[3];
  std::array<double, 3> step[3];
};

GridAxes grid_axes(const VolumeGrid& g) {
  GridAxes a;
  const PatientPosition pos = g.position;
  a.origin = to_patient(pos, {g.origin[0], g.origin[1], g.origin[2]});
  a.unit[0] = to_patient(pos, {1, 0, 0});
  a.unit[1] = to_patient(pos, {0, -1, 0});
  a.unit[2] = to_patient(pos, {0, 0, 1});
  a.step[0] = to_patient(pos, {g.dx, 0, 0});
  a.step[1] = to_patient(pos, {0, -g.dx, 0});
  a.step[2] = to_patient(pos, {0, 0, g.pxlz});
  return a;
}

template <class T>
void put(std::vector<uint8_t>& h, size_t offset, T value) {
  std::memcpy(h.data() + offset, &value, sizeof value);
}

void put_text(std::vector<uint8_t>& h, size_t offset, size_t size, const char* text) {
  std::strncpy(reinterpret_cast<char*>(h.data() + offset), text, size - 1);
}

// Header bytes then every slice, through `sink(data, bytes)`.
template <class Sink>
bool emit(const OutputVolume& v, const void* head, size_t head_bytes, Sink&& sink) {
  if (head_bytes > 0 && !sink(head, head_bytes)) return false;
  std::vector<uint8_t> buf(v.slice_voxels() * v.voxel_bytes());
  for (long j = 0; j < v.grid().nz; ++j) {
    v.slice(j, buf.data());
    if (!sink(buf.data(), buf.size())) return false;
  }
  return true;
}

// A gzip stream (RFC 1952) of the header and the slices.
bool emit_gzip(std::FILE* f, const OutputVolume& v, const std::vector<uint8_t>& head) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw RunError("cannot start the gzip compressor");
  std::vector<unsigned char> out(1 << 16);
  auto pump = [&](const void* data, size_t bytes, int flush) {
    zs.next_in = static_cast<Bytef*>(const_cast<void*>(data));
    zs.avail_in = static_cast<uInt>(bytes);
    int rc;
    do {
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      rc = deflate(&zs, flush);
      if (rc == Z_STREAM_ERROR) return false;
      const size_t have = out.size() - zs.avail_out;
      if (have && std::fwrite(out.data(), 1, have, f) != have) return false;
    } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    return true;
  };
  // Slices are far below 4 GiB, the most one deflate call takes in.
  const bool ok = emit(v, head.data(), head.size(),
                       [&](const void* d, size_t n) { return pump(d, n, Z_NO_FLUSH); }) &&
                  pump(nullptr, 0, Z_FINISH);
  deflateEnd(&zs);
  return ok;
}

}  // namespace

VolumeFormat parse_volume_format(const std::string& name) {
  if (!is_volume_format(name)) throw RunError("unknown volume format \"" + name + "\" (mha, nrrd, nii or nii.gz)");
  if (name == "mha") return VolumeFormat::mha;
  if (name == "nrrd") return VolumeFormat::nrrd;
  if (name == "nii") return VolumeFormat::nii;
  return VolumeFormat::nii_gz;
}

const char* format_extension(VolumeFormat f) {
  switch (f) {
    case VolumeFormat::mha: return ".mha";
    case VolumeFormat::nrrd: return ".nrrd";
    case VolumeFormat::nii: return ".nii";
    case VolumeFormat::nii_gz: return ".nii.gz";
  }
  return "";
}

std::string without_seq(const std::string& name) {
  return ends_with(name, ".seq") ? name.substr(0, name.size() - 4) : name;
}

std::string format_file_name(const std::string& seq_name, VolumeFormat f) {
  return without_seq(seq_name) + format_extension(f);
}

int16_t hu_of_word(int16_t word, double hu_water, double offset_cal) {
  const double hu = std::round(1000.0 * (word - hu_water) / (hu_water - offset_cal));
  if (!(hu > -32767.0)) return -32767;
  if (hu > 32767.0) return 32767;
  return static_cast<int16_t>(hu);
}

VolumeGrid volume_grid(const VoxelGrid& vg) {
  VolumeGrid g;
  g.npxls = vg.npxls;
  g.nz = vg.nz;
  g.dx = vg.dx;
  g.pxlz = vg.pxlz;
  g.origin[0] = vg.origin_x();
  g.origin[1] = vg.origin_y();
  g.origin[2] = vg.origin_z();
  return g;
}

OutputVolume::OutputVolume(const float* volume, const FovExtents& fov, const VolumeGrid& grid,
                           float scale_cal, float offset_cal, bool as_float, size_t pitch,
                           HuScale hu)
    : volume_(volume),
      pitch_(pitch ? pitch : static_cast<size_t>(grid.npxls) * grid.npxls),
      fov_(&fov), grid_(grid), scale_cal_(scale_cal), offset_cal_(offset_cal),
      as_float_(as_float), hu_(hu) {}

float OutputVolume::float_value(float voxel) const {
  const double cal = static_cast<double>(scale_cal_) * voxel + offset_cal_;
  if (!hu_.on) return static_cast<float>(cal);
  return static_cast<float>(1000.0 * (cal - hu_.water) / (hu_.water - hu_.offset));
}

double OutputVolume::value(long j, int32_t r, int32_t c) const {
  const size_t n = grid_.npxls;
  const float voxel = volume_[j * pitch_ + r * n + c];
  if (as_float_) return inside(r, c) ? float_value(voxel) : outside_float();
  if (!inside(r, c)) return hu_.on ? kHuPadding : -2000;
  const int16_t word = convert_voxel(voxel, scale_cal_, offset_cal_);
  return hu_.on ? hu_of_word(word, hu_.water, hu_.offset) : word;
}

void OutputVolume::slice(long j, void* out) const {
  const float* in = volume_ + j * pitch_;
  const int32_t n = grid_.npxls;
  if (!as_float_) {
    int16_t* o = static_cast<int16_t*>(out);
    convert_slice(in, *fov_, n, scale_cal_, offset_cal_, o);
    if (!hu_.on) return;
    for (int32_t r = 0; r < n; ++r)
      for (int32_t c = 0; c < n; ++c, ++o)
        *o = inside(r, c) ? hu_of_word(*o, hu_.water, hu_.offset) : kHuPadding;
    return;
  }
  // Row by row: the padding outside the field of view, then the span inside
  // it in a loop free of branches (it vectorises; the arithmetic per voxel
  // is float_value's).
  float* o = static_cast<float*>(out);
  const float pad = outside_float();
  const double scale = scale_cal_, offset = offset_cal_;
  const double water = hu_.water, range = hu_.water - hu_.offset;
  for (int32_t r = 0; r < n; ++r, in += n, o += n) {
    const int32_t b = std::clamp<int32_t>(fov_->fov_start[r], 0, n), e = std::max(b, n - b);
    std::fill(o, o + b, pad);
    std::fill(o + e, o + n, pad);
    if (!hu_.on) {
      for (int32_t c = b; c < e; ++c) o[c] = static_cast<float>(scale * in[c] + offset);
    } else {
      for (int32_t c = b; c < e; ++c) o[c] = static_cast<float>(1000.0 * (scale * in[c] + offset - water) / range);
    }
  }
}

std::string mha_header(const OutputVolume& v) {
  const VolumeGrid& g = v.grid();
  std::string h;
  h += "ObjectType = Image\n";
  h += "NDims = 3\n";
  h += "BinaryData = True\n";
  h += std::string("BinaryDataByteOrderMSB = ") + (kLittleEndian ? "False" : "True") + "\n";
  h += "CompressedData = False\n";
  const GridAxes a = grid_axes(g);
  h += "TransformMatrix = " + vec(a.unit[0], " ") + " " + vec(a.unit[1], " ") + " " +
       vec(a.unit[2], " ") + "\n";
  h += "Offset = " + vec(a.origin, " ") + "\n";
  h += "CenterOfRotation = 0 0 0\n";
  h += "ElementSpacing = " + num(g.dx) + " " + num(g.dx) + " " + num(g.pxlz) + "\n";
  h += strprintf("DimSize = %d %d %d\n", g.npxls, g.npxls, static_cast<int>(g.nz));
  h += std::string("ElementType = ") + (v.is_float() ? "MET_FLOAT" : "MET_SHORT") + "\n";
  h += "ElementDataFile = LOCAL\n";
  return h;
}

std::string nrrd_header(const OutputVolume& v) {
  const VolumeGrid& g = v.grid();
  std::string h = "NRRD0004\n";
  h += v.is_hu() ? "# cbrecon volume: Hounsfield units, -32768 outside the field of view\n"
                 : "# cbrecon volume: -2000 outside the field of view\n";
  h += std::string("type: ") + (v.is_float() ? "float" : "short") + "\n";
  h += "dimension: 3\n";
  h += "space: left-posterior-superior\n";
  h += strprintf("sizes: %d %d %d\n", g.npxls, g.npxls, static_cast<int>(g.nz));
  const GridAxes a = grid_axes(g);
  h += "space directions: (" + vec(a.step[0], ",") + ") (" + vec(a.step[1], ",") + ") (" +
       vec(a.step[2], ",") + ")\n";
  h += "kinds: domain domain domain\n";
  h += std::string("endian: ") + (kLittleEndian ? "little" : "big") + "\n";
  h += "encoding: raw\n";
  h += "space units: \"mm\" \"mm\" \"mm\"\n";
  h += "space origin: (" + vec(a.origin, ",") + ")\n";
  h += "\n";
  return h;
}

std::vector<uint8_t> nifti_header(const OutputVolume& v) {
  const VolumeGrid& g = v.grid();
  std::vector<uint8_t> h(352, 0);
  put<int32_t>(h, 0, 348);  // sizeof_hdr
  h[38] = 'r';              // regular
  const int16_t dim[8] = {3, static_cast<int16_t>(g.npxls), static_cast<int16_t>(g.npxls),
                          static_cast<int16_t>(g.nz), 1, 1, 1, 1};
  for (int i = 0; i < 8; ++i) put<int16_t>(h, 40 + 2 * i, dim[i]);
  put<int16_t>(h, 70, v.is_float() ? 16 : 4);   // datatype: FLOAT32 or INT16
  put<int16_t>(h, 72, v.is_float() ? 32 : 16);  // bitpix
  // pixdim[0] is qfac: -1 because the index axes (x, -y, z) form a
  // left-handed set in RAS.
  const float pixdim[8] = {-1.0f, static_cast<float>(g.dx), static_cast<float>(g.dx),
                           static_cast<float>(g.pxlz), 0, 0, 0, 0};
  for (int i = 0; i < 8; ++i) put<float>(h, 76 + 4 * i, pixdim[i]);
  put<float>(h, 108, 352.0f);  // vox_offset
  put<float>(h, 112, 0.0f);    // scl_slope 0: values as stored
  h[123] = 2;                  // xyzt_units: mm
  put_text(h, 148, 80,
           v.is_hu()      ? "cbrecon: Hounsfield units, -32768 outside the field of view"
           : v.is_float() ? "cbrecon: calibrated floats, -2000 outside the field of view"
                          : "cbrecon: 16-bit words of the .seq file, -2000 outside the field of view");
  put<int16_t>(h, 252, 1);  // qform_code: scanner
  put<int16_t>(h, 254, 1);  // sform_code: scanner
  // RAS = (-L, -P, S) with LPS = (s0 x, s1 y, s2 z) (patient.h): the index
  // axes point along (-s0, 0, 0), (0, s1, 0), (0, 0, s2).  That matrix times
  // diag(1, 1, qfac) is the rotation diag(-s0, s1, -s2): 180 degrees about
  // the one axis whose entry is +1 (HFS: z, the quaternion (0, 0, 0, 1)), or
  // no turn at all when all three are +1 (HFP).
  const std::array<int, 3> sg = patient_axis_signs(g.position);
  const int rot[3] = {-sg[0], sg[1], -sg[2]};
  const bool turn = rot[0] < 0 || rot[1] < 0 || rot[2] < 0;
  for (int i = 0; i < 3; ++i) put<float>(h, 256 + 4 * i, turn && rot[i] > 0 ? 1.0f : 0.0f);
  const std::array<double, 3> o = to_patient(g.position, {g.origin[0], g.origin[1], g.origin[2]});
  const float ox = static_cast<float>(-o[0]), oy = static_cast<float>(-o[1]),
              oz = static_cast<float>(o[2]);
  put<float>(h, 268, ox);
  put<float>(h, 272, oy);
  put<float>(h, 276, oz);
  auto signed_by = [](int sign, float v) { return sign < 0 ? -v : v; };
  const float srow[12] = {signed_by(-sg[0], pixdim[1]), 0, 0, ox,
                          0, signed_by(sg[1], pixdim[2]), 0, oy,
                          0, 0, signed_by(sg[2], pixdim[3]), oz};
  for (int i = 0; i < 12; ++i) put<float>(h, 280 + 4 * i, srow[i]);
  std::memcpy(h.data() + 344, "n+1", 4);  // magic, with its NUL
  return h;                              // bytes 348..351: no extension
}

void write_volume_format(const std::string& name, VolumeFormat f, const OutputVolume& v) {
  if (f == VolumeFormat::nii || f == VolumeFormat::nii_gz) {
    const VolumeGrid& g = v.grid();
    if (g.npxls > 32767 || g.nz > 32767)
      throw RunError(strprintf("%s: NIfTI-1 holds at most 32767 voxels along an axis", name.c_str()));
  }
  write_file_atomically(name, [&](std::FILE* file) {
    auto sink = [&](const void* d, size_t n) { return std::fwrite(d, 1, n, file) == n; };
    switch (f) {
      case VolumeFormat::mha: {
        const std::string h = mha_header(v);
        return emit(v, h.data(), h.size(), sink);
      }
      case VolumeFormat::nrrd: {
        const std::string h = nrrd_header(v);
        return emit(v, h.data(), h.size(), sink);
      }
      case VolumeFormat::nii: {
        const std::vector<uint8_t> h = nifti_header(v);
        return emit(v, h.data(), h.size(), sink);
      }
      case VolumeFormat::nii_gz:
        return emit_gzip(file, v, nifti_header(v));
    }
    return false;
  });
}

void write_nifti_4d(const std::string& name, const std::vector<const OutputVolume*>& volumes) {
  if (volumes.empty() || volumes.size() > 32767) throw RunError(name + ": a 4-D NIfTI needs 1 to 32767 volumes");
  const OutputVolume& first = *volumes.front();
  const VolumeGrid& g = first.grid();
  for (const OutputVolume* v : volumes)
    if (v->grid().npxls != g.npxls || v->grid().nz != g.nz || v->is_float() != first.is_float())
      throw RunError(name + ": the volumes of a 4-D NIfTI must share one grid and one kind");
  if (g.npxls > 32767 || g.nz > 32767)
    throw RunError(strprintf("%s: NIfTI-1 holds at most 32767 voxels along an axis", name.c_str()));
  std::vector<uint8_t> h = nifti_header(first);
  put<int16_t>(h, 40, 4);                                         // dim[0]
  put<int16_t>(h, 48, static_cast<int16_t>(volumes.size()));      // dim[4]
  put<float>(h, 92, 1.0f);                                        // pixdim[4]
  write_file_atomically(name, [&](std::FILE* file) {
    auto sink = [&](const void* d, size_t n) { return std::fwrite(d, 1, n, file) == n; };
    if (!sink(h.data(), h.size())) return false;
    for (const OutputVolume* v : volumes)
      if (!emit(*v, nullptr, 0, sink)) return false;
    return true;
  });
}

std::string preview_file_name(const std::string& preview, const std::string& job_ext,
                              bool several) {
  if (!several) return preview;
  const std::string tag = without_seq(job_ext);
  if (ends_with(preview, ".png"))
    return preview.substr(0, preview.size() - 4) + "_" + tag + ".png";
  return preview + "_" + tag;
}

std::vector<VolumeFormat> requested_formats(const Extras& x) {
  std::vector<VolumeFormat> formats;
  for (const std::string& name : x.formats) {
    if (name == "dcm") continue;  // the DICOM series: dicom.h
    const VolumeFormat f = parse_volume_format(name);
    if (std::find(formats.begin(), formats.end(), f) == formats.end()) formats.push_back(f);
  }
  return formats;
}

}  // namespace cbrecon
