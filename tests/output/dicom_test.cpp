#include "output/dicom.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>

#include "geometry/fov.h"
#include "numeric/error.h"
#include "output/safe_folder.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> v;
  for (const auto& e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
  std::sort(v.begin(), v.end());
  return v;
}

TEST(Hounsfield, WaterIsZeroAndTheOffsetIsAirRoundedHalfAwayFromZero) {
  EXPECT_EQ(hu_of_word(2000, 2000, 0), 0);
  EXPECT_EQ(hu_of_word(0, 2000, 0), -1000);
  EXPECT_EQ(hu_of_word(-50, 1950, -50), -1000);
  EXPECT_EQ(hu_of_word(4000, 2000, 0), 1000);
  // 1000 * 1 / 2000 = 0.5 and -0.5: away from zero.
  EXPECT_EQ(hu_of_word(2001, 2000, 0), 1);
  EXPECT_EQ(hu_of_word(1999, 2000, 0), -1);
  EXPECT_EQ(hu_of_word(2000, 2000.25, 0), 0);
  // A water value just above the offset scales beyond 16 bits: limited,
  // and never the padding value.
  EXPECT_EQ(hu_of_word(32767, 1, 0), 32767);
  EXPECT_EQ(hu_of_word(-32768, 1, 0), -32767);
  EXPECT_NE(hu_of_word(-32768, 1, 0), kHuPadding);
}

RunParams dicom_params() {
  RunParams p;
  p.extras.formats = {"nrrd", "dcm"};
  p.extras.hu_water_set = true;
  p.extras.hu_water = 2000;
  return p;
}

void expect_refused(const RunParams& p, const char* names) {
  try {
    check_dicom_options(p);
    ADD_FAILURE() << "accepted; expected a refusal naming " << names;
  } catch (const RunError& e) {
    EXPECT_NE(std::string(e.what()).find(names), std::string::npos) << e.what();
  }
}

TEST(DicomOptions, WaterValueAndPatientStringsWithinTheirLimits) {
  RunParams p = dicom_params();
  EXPECT_NO_THROW(check_dicom_options(p));
  p.extras.patient_id = std::string(64, 'i');
  p.extras.patient_name = std::string(64, 'a') + "=" + std::string(64, 'b') + "=" + "Fam^Gi^Mi^Pre^Suf";
  EXPECT_NO_THROW(check_dicom_options(p));

  RunParams q = dicom_params();
  q.extras.hu_water_set = false;
  expect_refused(q, "--hu-water");
  q.extras.formats = {"nrrd"};
  EXPECT_NO_THROW(check_dicom_options(q));  // no series, no water value needed
  for (const double w : {std::nan(""), HUGE_VAL, -HUGE_VAL, 0.0, -1.0}) {
    q = dicom_params();
    q.extras.hu_water = w;
    expect_refused(q, "--hu-water");
  }
  q = dicom_params();
  q.offset_cal = 2000;  // water must lie above the offset (air)
  expect_refused(q, "--hu-water");

  // UTF-8 letters are taken; lengths count characters (64 two-byte letters
  // fit an LO), not bytes.
  q = dicom_params();
  q.extras.patient_id = std::string("caf\xc3\xa9");
  for (int i = 0; i < 32; ++i) q.extras.patient_name += "\xc3\xbc";
  q.extras.patient_name += "=" + q.extras.patient_name + "=M\xc3\xbcller^Hans";
  EXPECT_NO_THROW(check_dicom_options(q));
  EXPECT_TRUE(needs_utf8(q.extras.patient_id));
  EXPECT_FALSE(needs_utf8("Doe^Jane"));

  // Too long (characters), separators, control characters (C0, DEL, C1 as
  // UTF-8) and malformed UTF-8: truncated, overlong, surrogate, stray
  // continuation byte, Latin-1.
  for (const std::string& id :
       {std::string(65, 'i'), std::string("a\\b"), std::string("a\nb"), std::string("\xc2\x85"),
        std::string("caf\xc3"), std::string("\xc0\xaf"), std::string("\xed\xa0\x80"), std::string("a\x80"),
        std::string("caf\xe9"), std::string(65, 'i').replace(0, 1, "\xc3\xa9")}) {
    q = dicom_params();
    q.extras.patient_id = id;
    expect_refused(q, "--patient-id");
  }
  for (const std::string& name : {std::string(65, 'a'), std::string("a=") + std::string(65, 'b'),
                                  std::string("a=b=c=d"), std::string("A^B^C^D^E^F"),
                                  std::string("Doe\\Jane"), std::string("Doe\x7f"),
                                  std::string("M\xfcller"), std::string(32, 'a') + std::string(66, 'b')}) {
    q = dicom_params();
    q.extras.patient_name = name;
    expect_refused(q, "--patient-name");
  }
  q = dicom_params();
  q.extras.patient_position = "hfs";
  expect_refused(q, "--patient-position");
}

TEST(DicomLabels, SeriesNumbersAndDescriptionsFollowTheBinning) {
  EXPECT_EQ(series_description(volume_label(0)), "3D volume");
  EXPECT_EQ(volume_label(0).series_number, 1);
  EXPECT_EQ(series_description(volume_label(3)), "4D phase 3 (15.1-25.1%)");
  EXPECT_EQ(series_description(volume_label(1)), "4D phase 1 (95.1-5.1%)");
  EXPECT_EQ(series_description(volume_label(10)), "4D phase 10 (85.1-95.1%)");
  EXPECT_EQ(series_description(volume_label(3, true)), "4D phase 3 (15.1-25.1%) prior-image");
  EXPECT_EQ(series_description(volume_label(12, true)), "4D phase 12 prior-image");
  // The bins of a 4-D run, with and without prior image, never share one.
  std::set<int> numbers;
  for (int bin = 1; bin <= 10; ++bin) {
    numbers.insert(volume_label(bin).series_number);
    numbers.insert(volume_label(bin, true).series_number);
  }
  EXPECT_EQ(numbers.size(), 20u);
  EXPECT_EQ(dicom_folder_name("dir/PROJ__4d_ph3.seq"), "dir/PROJ__4d_ph3_dicom");
  EXPECT_EQ(dicom_folder_name("PROJ__out"), "PROJ__out_dicom");
}

TEST(FolderWriter, AppearsWholeAndReplacesOnlyAnOldSeries) {
  TempDir dir;
  const std::string fin = dir.file("series");
  {
    FolderWriter w(fin, ".dcm");
    w.add_file("a.dcm", "1", 1);
    w.add_file("b.dcm", "22", 2);
    EXPECT_FALSE(fs::exists(fin));  // nothing under the final name yet
    EXPECT_EQ(w.commit(), "");
  }
  EXPECT_EQ(names_in(fin), (std::vector<std::string>{"a.dcm", "b.dcm"}));
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"series"});

  // An old series is replaced, its files gone.
  {
    FolderWriter w(fin, ".dcm");
    w.add_file("c.dcm", "333", 3);
    EXPECT_EQ(w.commit(), "");
  }
  EXPECT_EQ(names_in(fin), std::vector<std::string>{"c.dcm"});
  EXPECT_EQ(testing::read_bytes(fin + "/c.dcm"), (std::vector<uint8_t>{'3', '3', '3'}));
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"series"});

  // An old folder with anything else in it is kept whole and reported.
  fs::create_directory(fin + "/sub");
  {
    FolderWriter w(fin, ".dcm");
    w.add_file("d.dcm", "4", 1);
    const std::string note = w.commit();
    EXPECT_NE(note.find(w.temporary_name()), std::string::npos) << note;
    EXPECT_EQ(names_in(w.temporary_name()), (std::vector<std::string>{"c.dcm", "sub"}));
  }
  EXPECT_EQ(names_in(fin), std::vector<std::string>{"d.dcm"});
  EXPECT_EQ(names_in(dir.path()).size(), 2u);
}

TEST(FolderWriter, AFailureLeavesNothingAndTouchesNothing) {
  TempDir dir;
  // Under a plain file: no folder can be made.
  testing::write_bytes(dir.file("plain"), {'p'});
  EXPECT_THROW(FolderWriter(dir.file("plain/series"), ".dcm"), RunError);
  EXPECT_THROW(check_folder_target(dir.file("plain/series")), RunError);

  // A plain file, or a link, under the final name: refused, left as it was.
  fs::create_directory(dir.file("elsewhere"));
  fs::create_directory_symlink(dir.file("elsewhere"), dir.file("link"));
  for (const char* blocked : {"plain", "link"}) {
    SCOPED_TRACE(blocked);
    EXPECT_THROW(check_folder_target(dir.file(blocked)), RunError);
    {
      FolderWriter w(dir.file(blocked), ".dcm");
      w.add_file("a.dcm", "1", 1);
      EXPECT_THROW(w.commit(), RunError);
    }
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"elsewhere", "link", "plain"}));
  }
  EXPECT_EQ(testing::read_bytes(dir.file("plain")), std::vector<uint8_t>{'p'});
  EXPECT_TRUE(names_in(dir.file("elsewhere")).empty());

  // A failed write (the same name twice, a bad name) removes the temporary
  // folder and leaves an existing series alone.
  fs::create_directory(dir.file("series"));
  testing::write_bytes(dir.file("series/old.dcm"), {'o'});
  EXPECT_NO_THROW(check_folder_target(dir.file("series")));
  for (const char* second : {"a.dcm", "../escape.dcm"}) {
    SCOPED_TRACE(second);
    try {
      FolderWriter w(dir.file("series"), ".dcm");
      w.add_file("a.dcm", "1", 1);
      w.add_file(second, "2", 1);
      ADD_FAILURE() << "no error";
    } catch (const RunError& e) {
      EXPECT_NE(std::string(e.what()).find("series"), std::string::npos) << e.what();
    }
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"elsewhere", "link", "plain", "series"}));
    EXPECT_EQ(names_in(dir.file("series")), std::vector<std::string>{"old.dcm"});
  }
}

// What an interrupted run's signal handler does: the folder being written
// goes, with every file in it; a committed folder is no longer its to take.
TEST(FolderWriter, TheInterruptHandlerRemovesOnlyTheFolderBeingWritten) {
  TempDir dir;
  {
    FolderWriter w(dir.file("series"), ".dcm");
    for (int i = 0; i < 300; ++i) w.add_file("IM" + std::to_string(i) + ".dcm", "x", 1);
    remove_pending_folder();
    EXPECT_TRUE(names_in(dir.path()).empty());
  }  // the writer finds nothing left to remove
  EXPECT_TRUE(names_in(dir.path()).empty());
  {
    FolderWriter w(dir.file("series"), ".dcm");
    w.add_file("a.dcm", "x", 1);
    EXPECT_EQ(w.commit(), "");
    remove_pending_folder();
  }
  remove_pending_folder();
  EXPECT_EQ(names_in(dir.file("series")), std::vector<std::string>{"a.dcm"});
}

// A 6 x 6 x 3 volume written as a series and read back with the library:
// slice order, patient positions for FFP, HU values and padding.
TEST(DicomSeries, SlicesHoldPositionsValuesAndPadding) {
  VolumeGrid g;
  g.npxls = 6;
  g.nz = 3;
  g.dx = 2;
  g.pxlz = 2.5;
  g.origin[0] = -5;
  g.origin[1] = 5;
  g.origin[2] = -2.5;
  g.position = PatientPosition::FFP;
  const FovExtents fov = build_fov_extents(6, 2.0f, 10.0f);
  std::vector<float> vol(6 * 6 * 3);
  for (size_t i = 0; i < vol.size(); ++i) vol[i] = static_cast<float>(i) * 10.0f;
  const OutputVolume v(vol.data(), fov, g, 1.0f, 0.0f, false);
  RunParams p;
  p.extras.hu_water = 100;
  p.extras.patient_position = "FFP";
  p.extras.patient_name = "Doe^Jane";
  const DicomRun run = make_dicom_run(p);
  TempDir dir;
  const std::string folder = dir.file("s_dicom");
  EXPECT_EQ(write_dicom_series(folder, v, run, volume_label(4)), "");
  ASSERT_EQ(names_in(folder).size(), 3u);
  int outside = 0;
  for (int j = 0; j < 3; ++j) {
    SCOPED_TRACE(j);
    DcmFileFormat ff;
    ASSERT_TRUE(ff.loadFile((folder + "/" + names_in(folder)[j]).c_str()).good());
    DcmDataset& d = *ff.getDataset();
    OFString s;
    ASSERT_TRUE(d.findAndGetOFStringArray(DCM_ImagePositionPatient, s).good());
    // FFP: LPS = (x, y, z), the scanner frame itself.
    double x, y, z;
    ASSERT_EQ(std::sscanf(s.c_str(), "%lf\\%lf\\%lf", &x, &y, &z), 3) << s;
    EXPECT_EQ(x, -5);
    EXPECT_EQ(y, 5);
    EXPECT_EQ(z, -2.5 + 2.5 * j);
    ASSERT_TRUE(d.findAndGetOFStringArray(DCM_ImageOrientationPatient, s).good());
    EXPECT_EQ(s, "1\\0\\0\\0\\-1\\0");
    ASSERT_TRUE(d.findAndGetOFString(DCM_InstanceNumber, s).good());
    EXPECT_EQ(s, std::to_string(j + 1));
    ASSERT_TRUE(d.findAndGetOFString(DCM_SeriesDescription, s).good());
    EXPECT_EQ(s, "4D phase 4 (25.1-35.1%)");
    ASSERT_TRUE(d.findAndGetOFString(DCM_StudyInstanceUID, s).good());
    EXPECT_EQ(s, run.study_uid.c_str());
    const Uint16* px = nullptr;
    unsigned long count = 0;
    ASSERT_TRUE(d.findAndGetUint16Array(DCM_PixelData, px, &count).good());
    ASSERT_EQ(count, 36u);
    for (int r = 0; r < 6; ++r)
      for (int c = 0; c < 6; ++c) {
        const int16_t hu = static_cast<int16_t>(px[r * 6 + c]);
        if (!v.inside(r, c)) {
          EXPECT_EQ(hu, kHuPadding);
          ++outside;
          continue;
        }
        const int word = static_cast<int>(vol[j * 36 + r * 6 + c]);
        EXPECT_EQ(hu, std::lround(1000.0 * (word - 100) / 100.0)) << r << "," << c;
      }
  }
  EXPECT_GT(outside, 0);
}

}  // namespace
}  // namespace cbrecon
