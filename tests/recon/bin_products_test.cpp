#include "recon/bin_products.h"

#include <gtest/gtest.h>

#include <vector>

#include "output/dicom.h"

namespace cbrecon {
namespace {

ReconVolume volume_of(int bin, std::vector<float> values, long used) {
  ReconVolume v;
  v.what.bin = bin;
  v.data = f3tensor(0, 1, 0, 0, 0, 1, 16);  // 2 planes of 1 x 2, padded
  v.data[0][0][0] = values[0];
  v.data[0][0][1] = values[1];
  v.data[1][0][0] = values[2];
  v.data[1][0][1] = values[3];
  v.used = used;
  v.listed = used + 1;
  v.any_view = used > 0;
  v.head[0] = static_cast<uint8_t>(bin);
  return v;
}

RunParams four_d(bool mip, bool average) {
  RunParams p;
  p.rpm_on = 1;
  p.extras.all_phases = true;
  p.extras.mip = mip;
  p.extras.average = average;
  return p;
}

TEST(BinProducts, MaximumAndAverageOfKnownBins) {
  std::vector<ReconVolume> vols;
  vols.push_back(volume_of(1, {1, -4, 0.5f, 7}, 3));
  vols.push_back(volume_of(2, {2, -5, 0.25f, -7}, 4));
  vols.push_back(volume_of(3, {3, -6, 0.75f, 1}, 5));
  add_bin_products(four_d(true, true), vols);
  ASSERT_EQ(vols.size(), 5u);
  ReconVolume& mip = vols[3];
  ReconVolume& avg = vols[4];
  EXPECT_EQ(mip.what.ext, "4d_mip.seq");
  EXPECT_EQ(mip.what.product, VolumeProduct::mip);
  EXPECT_EQ(avg.what.ext, "4d_avg.seq");
  EXPECT_EQ(mip.data[0][0][0], 3.0f);
  EXPECT_EQ(mip.data[0][0][1], -4.0f);
  EXPECT_EQ(mip.data[1][0][0], 0.75f);
  EXPECT_EQ(mip.data[1][0][1], 7.0f);
  EXPECT_FLOAT_EQ(avg.data[0][0][0], 2.0f);
  EXPECT_FLOAT_EQ(avg.data[0][0][1], -5.0f);
  EXPECT_FLOAT_EQ(avg.data[1][0][0], 0.5f);
  EXPECT_FLOAT_EQ(avg.data[1][0][1], 1.0f / 3);
  EXPECT_EQ(mip.data.plane_pitch(), vols[0].data.plane_pitch());
  EXPECT_EQ(mip.used, 12);
  EXPECT_EQ(avg.listed, 15);
  EXPECT_EQ(avg.head[0], 3);  // the last bin's header
}

TEST(BinProducts, OnlyWhereAskedAndNamedAfterTheRun) {
  std::vector<ReconVolume> vols;
  vols.push_back(volume_of(1, {1, 2, 3, 4}, 1));
  RunParams one_bin = four_d(true, true);
  one_bin.extras.all_phases = false;
  add_bin_products(one_bin, vols);
  EXPECT_EQ(vols.size(), 1u);
  EXPECT_TRUE(bin_product_volumes(four_d(false, false)).empty());
  RunParams half = four_d(false, true);
  half.hscan = 1;
  half.extras.mkb = true;
  const std::vector<PlannedVolume> v = bin_product_volumes(half);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].ext, "hf4d_avg_mkb.seq");
  EXPECT_TRUE(v[0].prior_image);
  // Their DICOM series say what they are.
  EXPECT_EQ(series_description(volume_label(0, false, VolumeProduct::mip)), "4D maximum intensity over the bins");
  EXPECT_EQ(volume_label(0, true, VolumeProduct::average).series_number, 104);
  VolumeLabel amp = volume_label(2);
  amp.amplitude = true;
  amp.nbins = 6;
  EXPECT_EQ(series_description(amp), "4D amplitude bin 2 of 6");
  VolumeLabel four = volume_label(3);
  four.nbins = 4;
  EXPECT_EQ(series_description(four), "4D phase 3 of 4");
}

}  // namespace
}  // namespace cbrecon
