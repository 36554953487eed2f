#include "output/dicom.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/oflog/oflog.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "numeric/error.h"
#include "output/safe_folder.h"

#ifndef CBRECON_VERSION
#define CBRECON_VERSION "0"
#endif

namespace cbrecon {

namespace {

// The library logs to stderr by default; this program's library code never
// does.  The data dictionary must be there to encode the attributes.
void prepare_library() {
  static std::once_flag once;
  std::call_once(once, [] { OFLog::configure(OFLogger::OFF_LOG_LEVEL); });
  if (!dcmDataDict.isDictionaryLoaded())
    throw RunError("cannot write DICOM: the DICOM data dictionary of the DCMTK library is not "
                   "installed (see DCMDICTPATH)");
}

std::string new_uid() {
  char uid[100];
  dcmGenerateUniqueIdentifier(uid);
  return uid;
}

// A Decimal String (at most 16 characters) as close to v as fits.
std::string ds(double v) {
  if (v == 0) return "0";
  for (int prec = 15; prec >= 1; --prec) {
    std::string s = strprintf("%.*g", prec, v);
    if (s.size() <= 16) return s;
  }
  return strprintf("%.9e", v);
}

void put(DcmDataset& ds, const DcmTagKey& key, const std::string& value) {
  const OFCondition c = ds.putAndInsertString(key, value.c_str());
  if (c.bad())
    throw RunError(strprintf("cannot encode DICOM attribute (%04x,%04x): %s", key.getGroup(),
                             key.getElement(), c.text()));
}

void put_u16(DcmDataset& ds, const DcmTagKey& key, uint16_t value) {
  if (ds.putAndInsertUint16(key, value).bad())
    throw RunError(strprintf("cannot encode DICOM attribute (%04x,%04x)", key.getGroup(),
                             key.getElement()));
}

// The attributes every slice of a series shares.
void put_series(DcmDataset& d, const DicomRun& run, const VolumeLabel& label,
                const std::string& series_uid, const VolumeGrid& g) {
  // SOP Common
  put(d, DCM_SOPClassUID, UID_CTImageStorage);
  put(d, DCM_InstanceCreationDate, run.date);
  put(d, DCM_InstanceCreationTime, run.time);
  // Non-ASCII names and IDs are written in UTF-8 and say so.
  if (needs_utf8(run.patient_name) || needs_utf8(run.patient_id))
    put(d, DCM_SpecificCharacterSet, "ISO_IR 192");
  // Patient
  put(d, DCM_PatientName, run.patient_name);
  put(d, DCM_PatientID, run.patient_id);
  put(d, DCM_PatientBirthDate, "");
  put(d, DCM_PatientSex, "");
  // General Study
  put(d, DCM_StudyInstanceUID, run.study_uid);
  put(d, DCM_StudyDate, run.date);
  put(d, DCM_StudyTime, run.time);
  put(d, DCM_ReferringPhysicianName, "");
  put(d, DCM_StudyID, run.study_id);
  put(d, DCM_AccessionNumber, "");
  // General Series
  put(d, DCM_Modality, "CT");
  put(d, DCM_SeriesInstanceUID, series_uid);
  put(d, DCM_SeriesNumber, std::to_string(label.series_number));
  put(d, DCM_SeriesDate, run.date);
  put(d, DCM_SeriesTime, run.time);
  put(d, DCM_SeriesDescription, series_description(label));
  if (label.bin >= 1 && label.bin <= 10 && label.nbins == 10 && !label.amplitude) {
    // The phases of one 4-D run: their place in the breathing cycle, as
    // viewers that stack temporal series and 4-D CT tools read it.
    put(d, DCM_TemporalPositionIdentifier, std::to_string(label.bin));
    put(d, DCM_NumberOfTemporalPositions, "10");
    put(d, DCM_NominalPercentageOfRespiratoryPhase, ds(respiratory_phase_percent(label.bin)));
  }
  put(d, DCM_Laterality, "");  // unknown: empty
  put(d, DCM_PatientPosition, patient_position_name(run.position));
  // Frame of Reference
  put(d, DCM_FrameOfReferenceUID, run.frame_uid);
  put(d, DCM_PositionReferenceIndicator, "");
  // General Equipment
  put(d, DCM_Manufacturer, "");
  put(d, DCM_ManufacturerModelName, "cbrecon");
  put(d, DCM_SoftwareVersions, CBRECON_VERSION);
  // General Image, CT Image
  put(d, DCM_ImageType, "ORIGINAL\\PRIMARY\\AXIAL");
  put(d, DCM_ContentDate, run.date);
  put(d, DCM_ContentTime, run.time);
  put(d, DCM_AcquisitionNumber, "");
  put(d, DCM_KVP, "");
  put(d, DCM_RescaleIntercept, "0");
  put(d, DCM_RescaleSlope, "1");
  put(d, DCM_RescaleType, "HU");
  // Image Plane
  put(d, DCM_PixelSpacing, ds(g.dx) + "\\" + ds(g.dx));
  put(d, DCM_SliceThickness, ds(g.pxlz));
  const std::array<double, 3> row = to_patient(run.position, {1, 0, 0});
  const std::array<double, 3> col = to_patient(run.position, {0, -1, 0});
  put(d, DCM_ImageOrientationPatient, ds(row[0]) + "\\" + ds(row[1]) + "\\" + ds(row[2]) + "\\" +
                                          ds(col[0]) + "\\" + ds(col[1]) + "\\" + ds(col[2]));
  // Image Pixel
  put_u16(d, DCM_SamplesPerPixel, 1);
  put(d, DCM_PhotometricInterpretation, "MONOCHROME2");
  put_u16(d, DCM_Rows, static_cast<uint16_t>(g.npxls));
  put_u16(d, DCM_Columns, static_cast<uint16_t>(g.npxls));
  put_u16(d, DCM_BitsAllocated, 16);
  put_u16(d, DCM_BitsStored, 16);
  put_u16(d, DCM_HighBit, 15);
  put_u16(d, DCM_PixelRepresentation, 1);
  DcmSignedShort* pad = new DcmSignedShort(DcmTag(DCM_PixelPaddingValue, EVR_SS));
  pad->putSint16(kHuPadding);
  if (d.insert(pad, true).bad()) {
    delete pad;
    throw RunError("cannot encode DICOM attribute Pixel Padding Value");
  }
  // VOI LUT: soft tissue
  put(d, DCM_WindowCenter, "40");
  put(d, DCM_WindowWidth, "400");
  put(d, DCM_WindowCenterWidthExplanation, "SOFT TISSUE");
}

// The encoded file (preamble, meta header, data set) in explicit VR little
// endian, into `out`; `buf` is the library's staging buffer.  Both are
// reused from slice to slice (fresh ones cost more than the encoding).
void encode(DcmFileFormat& ff, std::vector<char>& buf, std::vector<uint8_t>& out) {
  out.clear();
  DcmOutputBufferStream stream(buf.data(), buf.size());
  ff.transferInit();
  OFCondition c = EC_StreamNotifyClient;
  while (c == EC_StreamNotifyClient) {
    c = ff.write(stream, EXS_LittleEndianExplicit, EET_ExplicitLength, nullptr);
    void* p = nullptr;
    offile_off_t n = 0;
    stream.flushBuffer(p, n);
    out.insert(out.end(), static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + n);
  }
  ff.transferEnd();
  if (c.bad()) throw RunError(std::string("cannot encode a DICOM file: ") + c.text());
}

}  // namespace

DicomRun make_dicom_run(const RunParams& p) {
  prepare_library();
  DicomRun r;
  r.study_uid = new_uid();
  r.frame_uid = new_uid();
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char date[16], time[16];
  std::strftime(date, sizeof date, "%Y%m%d", &tm);
  std::strftime(time, sizeof time, "%H%M%S", &tm);
  r.date = date;
  r.time = time;
  r.study_id = r.date + r.time;  // SH: 14 of its 16 characters
  r.patient_id = p.extras.patient_id;
  r.patient_name = p.extras.patient_name;
  r.position = parse_patient_position(p.extras.patient_position);
  r.hu_water = p.extras.hu_water;
  r.offset_cal = p.offset_cal;
  return r;
}

VolumeLabel volume_label(int bin, bool prior_image, VolumeProduct product, bool iterative) {
  VolumeLabel l;
  l.bin = bin;
  l.prior_image = prior_image;
  l.iterative = iterative;
  l.product = product;
  l.series_number = bin == 0 ? 1 : (iterative ? 20 + bin : prior_image ? 10 + bin : bin);
  if (product != VolumeProduct::none)
    l.series_number = (product == VolumeProduct::mip ? 101 : 102) + (iterative ? 4 : prior_image ? 2 : 0);
  return l;
}

double respiratory_phase_percent(int bin) { return 10.0 * bin - 9.9; }

std::string series_description(const VolumeLabel& label) {
  const std::string tail = label.iterative ? " iterative" : label.prior_image ? " prior-image" : "";
  if (label.product == VolumeProduct::mip) return "4D maximum intensity over the bins" + tail;
  if (label.product == VolumeProduct::average) return "4D average over the bins" + tail;
  if (label.bin == 0) return label.prior_image ? "3D volume prior-image" : "3D volume";
  if (label.amplitude) return strprintf("4D amplitude bin %d of %d", label.bin, label.nbins) + tail;
  if (label.nbins != 10) return strprintf("4D phase %d of %d", label.bin, label.nbins) + tail;
  // A bin outside 1..10 holds no view: no phase range.
  if (label.bin < 1 || label.bin > 10) return strprintf("4D phase %d", label.bin) + tail;
  // bin = trunc(10 p + 1.49) for the phase p as a fraction of a cycle:
  // bin b holds 10 p in [b - 1.49, b - 0.49), wrapping below zero.
  const double lo = (label.bin - 1.49) * 10, hi = (label.bin - 0.49) * 10;
  return strprintf("4D phase %d (%.1f-%.1f%%)", label.bin, lo < 0 ? lo + 100 : lo, hi) + tail;
}


std::string dicom_folder_name(const std::string& seq_name) {
  return without_seq(seq_name) + "_dicom";
}

std::string series_not_ours(const std::string& folder) {
  prepare_library();
  std::error_code ec;
  std::string series_uid;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    const std::string n = e.path().filename().string();
    struct stat st {};
    unsigned long number = 0;
    int used = 0;
    const bool named = n.size() == 11 && std::sscanf(n.c_str(), "IM%5lu.dcm%n", &number, &used) == 1 &&
                       used == 11 && n.find_first_not_of("0123456789", 2) == 7;
    if (!named || ::lstat(e.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
      return "it holds " + n + ", which this program did not write";
    // The slice's own attributes: written by this program, one series,
    // the instance its name says.
    DcmFileFormat ff;
    OFString model, uid, instance;
    DcmDataset& d = *ff.getDataset();
    if (ff.loadFile(e.path().c_str(), EXS_Unknown, EGL_noChange, 256).bad() ||
        d.findAndGetOFString(DCM_ManufacturerModelName, model).bad() || model != "cbrecon" ||
        d.findAndGetOFString(DCM_SeriesInstanceUID, uid).bad() ||
        d.findAndGetOFString(DCM_InstanceNumber, instance).bad() || instance != std::to_string(number).c_str())
      return "it holds " + n + ", which is no slice this program wrote";
    if (series_uid.empty()) series_uid = uid.c_str();
    if (series_uid != uid.c_str()) return "its slices belong to more than one series";
  }
  if (ec) return "it cannot be listed: " + ec.message();
  return "";
}

void check_dicom_folder(const std::string& folder) { check_folder_target(folder, ".dcm", series_not_ours); }

std::string write_dicom_series(const std::string& folder, const OutputVolume& v,
                               const DicomRun& run, const VolumeLabel& label) {
  prepare_library();
  const VolumeGrid& g = v.grid();
  if (v.is_float()) throw RunError("the DICOM series is made from the 16-bit words");
  if (g.npxls > 65535)
    throw RunError("cannot write the folder " + folder + ": the volume is too large for DICOM");
  const std::string series_uid = new_uid();
  const size_t n = v.slice_voxels();
  std::vector<int16_t> words(n), hu(n);
  std::vector<char> buf(size_t{1} << 20);
  std::vector<uint8_t> bytes;
  FolderWriter out(folder, ".dcm", series_not_ours);
  for (long j = 0; j < g.nz; ++j) {
    v.slice(j, words.data());
    for (int32_t r = 0, i = 0; r < g.npxls; ++r)
      for (int32_t c = 0; c < g.npxls; ++c, ++i)
        hu[i] = v.inside(r, c) ? hu_of_word(words[i], run.hu_water, run.offset_cal) : kHuPadding;
    DcmFileFormat ff;
    DcmDataset& d = *ff.getDataset();
    put_series(d, run, label, series_uid, g);
    put(d, DCM_SOPInstanceUID, new_uid());
    put(d, DCM_InstanceNumber, std::to_string(j + 1));
    const std::array<double, 3> pos =
        to_patient(run.position, {g.origin[0], g.origin[1], g.origin[2] + j * g.pxlz});
    put(d, DCM_ImagePositionPatient, ds(pos[0]) + "\\" + ds(pos[1]) + "\\" + ds(pos[2]));
    put(d, DCM_SliceLocation, ds(pos[2]));
    if (d.putAndInsertUint16Array(DCM_PixelData, reinterpret_cast<const Uint16*>(hu.data()),
                                  static_cast<unsigned long>(n)).bad())
      throw RunError("cannot encode the DICOM pixel data");
    encode(ff, buf, bytes);
    out.add_file(strprintf("IM%05ld.dcm", j + 1), bytes.data(), bytes.size());
  }
  return out.commit();
}

}  // namespace cbrecon
