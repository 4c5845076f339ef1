// The stream writer itself, and the simplest known-output streams: I_PCM pictures, copies of a
// reference, header elements the decoder must read past correctly, cropping, a change of
// picture size at an IDR picture.
#include <gtest/gtest.h>

#include "h264/writer/harness.h"

namespace vexlor::h264w {
namespace {

TEST(WriterBits, ExpGolombAndFixedLengthCodes) {
  BitWriter w;
  w.PutUe(0);   // 1
  w.PutUe(1);   // 010
  w.PutUe(2);   // 011
  w.PutUe(7);   // 0001000
  w.PutSe(1);   // 010
  w.PutSe(-1);  // 011
  w.PutSe(0);   // 1
  w.PutBits(0x5, 3);
  w.PutTrailingBits();
  // 1 010 011 0001000 010 011 1 101 | 1 + zeros
  // 10100110 00100001 00111101 10000000
  EXPECT_EQ(w.Bytes(), (std::vector<uint8_t>{0xA6, 0x21, 0x3D, 0x80}));

  BitWriter big;  // the 32-zero form of 2^32 - 2 (the largest 32-bit code number) stays exact
  big.PutUe(0xFFFFFFFEu);
  big.AlignWithZeros();
  ASSERT_EQ(big.Bytes().size(), 8u);  // 31 zeros, 32 value bits, 1 padding bit
  EXPECT_EQ(big.Bytes()[3], 0x01);
  EXPECT_EQ(big.Bytes()[7], 0xFE);
}

TEST(WriterBits, EmulationPreventionAndFraming) {
  EXPECT_EQ(AddEmulationPrevention({0, 0, 0, 0, 1, 0, 0, 2, 0, 0, 4, 0, 0}),
            (std::vector<uint8_t>{0, 0, 3, 0, 0, 3, 1, 0, 0, 3, 2, 0, 0, 4, 0, 0, 3}));
  EXPECT_EQ(MakeNalUnit(3, 7, {0x42}, true), (std::vector<uint8_t>{0, 0, 0, 1, 0x67, 0x42}));
  EXPECT_EQ(MakeNalUnit(0, 1, {0x80}, false), (std::vector<uint8_t>{0, 0, 1, 0x01, 0x80}));
}

TEST(WriterMap, SliceGroupMapsOfTheStandardsExamples) {
  Sps sps;
  sps.pic_width_in_mbs_minus1 = 3;
  sps.pic_height_in_map_units_minus1 = 1;
  Pps pps;
  pps.num_slice_groups_minus1 = 1;
  pps.slice_group_map_type = 1;  // dispersed: checkerboard for two groups
  EXPECT_EQ(SliceGroupMap(sps, pps, 0), (std::vector<int>{0, 1, 0, 1, 1, 0, 1, 0}));

  sps.pic_width_in_mbs_minus1 = 10;  // 11 x 9, box-out from the centre (5, 4)
  sps.pic_height_in_map_units_minus1 = 8;
  pps.slice_group_map_type = 3;
  const std::vector<int> box = SliceGroupMap(sps, pps, 3);
  // Clockwise (direction 0): the centre, then left, then up.
  EXPECT_EQ(box[4 * 11 + 5], 0);
  EXPECT_EQ(box[4 * 11 + 4], 0);
  EXPECT_EQ(box[3 * 11 + 4], 0);
  EXPECT_EQ(std::count(box.begin(), box.end(), 0), 3);
  pps.slice_group_map_type = 4;
  pps.slice_group_change_direction_flag = 1;
  const std::vector<int> raster = SliceGroupMap(sps, pps, 30);
  EXPECT_EQ(raster[68], 1);
  EXPECT_EQ(raster[69], 0);
  EXPECT_EQ(SliceGroupChangeCycleBits(15, 2), 4);
  EXPECT_EQ(SliceGroupChangeCycleBits(16, 2), 4);
  EXPECT_EQ(SliceGroupChangeCycleBits(14, 2), 3);
}

// An IDR picture of I_PCM macroblocks, a reference P picture of skipped macroblocks, a P
// picture of P_L0_16x16 macroblocks, and a second I_PCM picture.
TEST(WriterStream, PcmPicturesAndCopies) {
  Sps sps;
  sps.SetReorder(0, 1);
  Pps pps;
  const Frame a = NoiseFrame(sps.Width(), sps.Height(), 1);
  const Frame b = NoiseFrame(sps.Width(), sps.Height(), 2);
  Stream s;
  s.AddParams(sps, pps);
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &a, IdrHeader(0, 0))));
  s.Add(EncodePicture(sps, pps, CopyPicture(sps, 0, RefHeader(1, 2))));
  PictureCode p = CopyPicture(sps, 0, RefHeader(2, 4));
  p.mb = AllInter(sps, 0);
  s.Add(EncodePicture(sps, pps, p));
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &b, RefHeader(3, 6, kSliceI))));
  EXPECT_TRUE(DecodesTo(s, {{&a, 0}, {&a, 2}, {&a, 4}, {&b, 6}}));
}

// Slices of one picture may name different picture parameter sets (here with different initial
// QP); that alone does not start a new picture.
TEST(WriterStream, SlicesOfOnePictureNameDifferentPps) {
  Sps sps;
  sps.SetReorder(0, 1);
  Pps pps0;
  Pps pps1;
  pps1.pic_parameter_set_id = 1;
  pps1.pic_init_qp_minus26 = -14;
  KnownStream k(sps, pps0);
  k.stream.Add(PpsNal(pps1));
  PictureCode idr = PcmPicture(k.sps(), k.NewFrame(1), IdrHeader(0, 0));
  idr.slicesPerGroup = 3;
  idr.adjustSlice = [](int slice, SliceHeader* h) { h->pic_parameter_set_id = slice % 2; };
  const Frame* a = k.Add(idr, {});
  PictureCode p = CopyPicture(k.sps(), 0, RefHeader(1, 2));
  p.pcm = k.NewFrame(2);
  p.mb[0].kind = p.mb[11].kind = MbKind::kPcm;
  p.slicesPerGroup = 4;
  p.sliceOrder = {3, 1, 0, 2};
  p.adjustSlice = [](int slice, SliceHeader* h) { h->pic_parameter_set_id = slice < 2; };
  k.Add(p, {a});
  EXPECT_TRUE(k.Decodes());
}

}  // namespace
}  // namespace vexlor::h264w
