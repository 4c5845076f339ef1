// Macroblock layer parsing (mb_skip_run cycle, mb_type classes, prediction syntax, value ranges),
// the macroblock decode driver (I_PCM, neighbour availability) and the slice data loop.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "mb_bits.h"
#include "slice/mb_decode.h"
#include "slice/slice_data.h"
#include "syntax/macroblock_layer.h"

namespace vexlor::h264 {
namespace {

using testing_bits::Attach;
using testing_bits::Bits;

constexpr int kSliceP = 0;
constexpr int kSliceI = 2;

// A macroblock state and top contexts for parsing one macroblock at (0, 0) of a slice.
struct ParseFixture {
  MacroblockState mb;
  uint8_t topLuma[4] = {5, 5, 5, 5};
  uint8_t topCb[2] = {5, 5};
  uint8_t topCr[2] = {5, 5};
  int8_t modes[16];
  int32_t mvd[16][2];
  BitReader r;

  ParseFixture() {
    InitMacroblockState(&mb, 26, 0);
    std::memset(modes, 0x55, sizeof(modes));
  }
  TopNnz Top() { return TopNnz{topLuma, topCb, topCr}; }
  SliceContext Slice(int sliceType, int numActive, int chromaQpOffset) {
    SliceContext s;
    s.sliceType = sliceType;
    s.numActive = numActive;
    s.chromaQpOffset = chromaQpOffset;
    s.reader = &r;
    return s;
  }
  int Parse(const Bits& b, int sliceType, int numActive = 1, bool attach = true) {
    if (attach) Attach(&r, b);
    return ParseMacroblockLayer(Slice(sliceType, numActive, 0), &mb, modes, Top(), mvd);
  }
};

TEST(MacroblockLayer, IntraNxNModesInBitstreamOrder) {
  ParseFixture f;
  Bits b;
  b.Ue(0);  // I_NxN
  for (int blk = 0; blk < 16; ++blk) {
    if (blk == 5) {
      b.Put("0").U(6, 3);  // block 5 of the bitstream order is raster block 3 (x 3, y 0)
    } else if (blk == 8) {
      b.Put("0").U(0, 3);  // raster block 8 (x 0, y 2)
    } else {
      b.Put("1");
    }
  }
  b.Ue(3);  // intra_chroma_pred_mode
  b.Ue(3);  // coded_block_pattern codeNum 3: Intra 0
  b.Trailing();
  ASSERT_EQ(f.Parse(b, kSliceI), 0);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(f.modes[i], i == 3 ? 6 : i == 8 ? 0 : -1) << i;
  EXPECT_EQ(f.mb.intraKind, 0);
  EXPECT_EQ(f.mb.intraChromaPredMode, 3);
  EXPECT_EQ(f.mb.lumaCodedMask | f.mb.chromaDcMask | f.mb.chromaAcMask, 0);
  EXPECT_EQ(f.mb.qp, 26);
  EXPECT_EQ(f.mb.skipRunLeft, -2);  // I slices never read mb_skip_run
  EXPECT_EQ(f.topLuma[0] | f.topLuma[3] | f.topCb[1] | f.topCr[0] | f.mb.leftNnzLuma[2], 0);
  EXPECT_FALSE(MoreRbspData(&f.r));
}

TEST(MacroblockLayer, CodedBlockPatternResidualAndQpDelta) {
  ParseFixture f;
  f.mb.qp = 50;
  Bits b;
  b.Ue(0);
  for (int blk = 0; blk < 16; ++blk) b.Put("1");
  b.Ue(0);  // chroma DC prediction
  b.Ue(0);  // codeNum 0: Intra 47 = luma 15, chroma 2
  b.Se(5);  // 50 + 5 wraps to 3
  // Sixteen empty luma blocks, two empty chroma DC blocks, eight empty chroma AC blocks. All
  // contexts are 0 inside the macroblock and the neighbours are not available: nC 0 ("1").
  for (int i = 0; i < 16; ++i) b.Put("1");
  b.Put("01 01");
  for (int i = 0; i < 8; ++i) b.Put("1");
  b.Trailing();
  ASSERT_EQ(f.Parse(b, kSliceI), 0);
  EXPECT_EQ(f.mb.qp, 3);
  EXPECT_EQ(f.mb.qpChroma, 3);
  EXPECT_EQ(f.mb.lumaCodedMask, 0);
  EXPECT_EQ(f.mb.chromaDcMask, 0);
  EXPECT_EQ(f.mb.chromaAcMask, 0);
  EXPECT_FALSE(MoreRbspData(&f.r));

  // Negative wrap, QP_C by Table 8-15 with the offset, and a zero delta keeping qpChroma.
  ParseFixture g;
  g.mb.qp = 1;
  Bits c;
  c.Ue(0);
  for (int blk = 0; blk < 16; ++blk) c.Put("1");
  c.Ue(0).Ue(17).Se(-3);  // codeNum 17: Intra 3 (luma 8x8 blocks 0 and 1)
  for (int i = 0; i < 8; ++i) c.Put("1");
  c.Trailing();
  Attach(&g.r, c);
  ASSERT_EQ(ParseMacroblockLayer(g.Slice(kSliceI, 0, 4), &g.mb, g.modes, g.Top(), g.mvd), 0);
  EXPECT_EQ(g.mb.qp, 50);
  EXPECT_EQ(g.mb.qpChroma, 39);
  g.mb.qpChroma = 77;
  Bits z;
  z.Ue(0);
  for (int blk = 0; blk < 16; ++blk) z.Put("1");
  z.Ue(0).Ue(17).Se(0);
  for (int i = 0; i < 8; ++i) z.Put("1");
  z.Trailing();
  ASSERT_EQ(g.Parse(z, kSliceI), 0);
  EXPECT_EQ(g.mb.qp, 50);
  EXPECT_EQ(g.mb.qpChroma, 77);
}

TEST(MacroblockLayer, SkipRunCycle) {
  ParseFixture f;
  Bits b;
  b.Ue(2);                     // mb_skip_run 2
  b.Ue(0).Se(1).Se(-1).Ue(0);  // P_L0_16x16, mvd (1, -1), no residual
  b.Ue(0);                     // mb_skip_run 0
  b.Ue(0).Se(0).Se(3).Ue(0);
  b.Trailing();
  Attach(&f.r, b);
  ASSERT_EQ(f.Parse(b, kSliceP, 1, false), 0);
  EXPECT_EQ(f.mb.isInter, 1);
  EXPECT_EQ(f.mb.partitionMode, 0);
  EXPECT_EQ(f.mb.skipRunLeft, 1);
  EXPECT_EQ(f.topLuma[2], 0);  // skipped macroblocks have no coefficients
  ASSERT_EQ(f.Parse(b, kSliceP, 1, false), 0);
  EXPECT_EQ(f.mb.partitionMode, 0);
  EXPECT_EQ(f.mb.skipRunLeft, 0);
  ASSERT_EQ(f.Parse(b, kSliceP, 1, false), 0);
  EXPECT_EQ(f.mb.partitionMode, 1);
  EXPECT_EQ(f.mb.skipRunLeft, -1);
  EXPECT_EQ(f.mvd[0][0], 1);
  EXPECT_EQ(f.mvd[0][1], -1);
  // mb_skip_run 0: the same macroblock is coded; the next one reads mb_skip_run again.
  ASSERT_EQ(f.Parse(b, kSliceP, 1, false), 0);
  EXPECT_EQ(f.mb.partitionMode, 1);
  EXPECT_EQ(f.mvd[0][1], 3);
  EXPECT_EQ(f.mb.skipRunLeft, -1);
  EXPECT_FALSE(MoreRbspData(&f.r));
}

TEST(MacroblockLayer, InterPartitionsAndReferenceIndices) {
  {
    // 16x8 with two active references: one inverted bit per partition.
    ParseFixture f;
    Bits b;
    b.Ue(0).Ue(1).Put("1 0").Se(1).Se(2).Se(3).Se(4).Ue(0).Trailing();
    ASSERT_EQ(f.Parse(b, kSliceP, 2), 0);
    EXPECT_EQ(f.mb.partitionMode, 2);
    EXPECT_EQ(f.mb.refIdx[0], 0);
    EXPECT_EQ(f.mb.refIdx[1], 1);
    EXPECT_EQ(f.mvd[1][1], 4);
    EXPECT_FALSE(MoreRbspData(&f.r));
  }
  {
    // P_8x8ref0: four sub_mb_type, no ref_idx even with three references, 1+2+2+4 mvds.
    ParseFixture f;
    Bits b;
    b.Ue(0).Ue(4).Ue(0).Ue(1).Ue(2).Ue(3);
    for (int i = 0; i < 9; ++i) b.Se(i + 1).Se(-i);
    b.Ue(0).Trailing();
    ASSERT_EQ(f.Parse(b, kSliceP, 3), 0);
    EXPECT_EQ(f.mb.partitionMode, 5);
    EXPECT_EQ(f.mb.subMbType[3], 3);
    EXPECT_EQ(f.mb.refIdx[0], 0);
    EXPECT_EQ(f.mvd[8][0], 9);
    EXPECT_FALSE(MoreRbspData(&f.r));
  }
  {
    // P_8x8 with three references: ue(v) indices, each below the active count.
    ParseFixture f;
    Bits b;
    b.Ue(0).Ue(3).Ue(0).Ue(0).Ue(0).Ue(0).Ue(2).Ue(0).Ue(1).Ue(3).Trailing();
    EXPECT_EQ(f.Parse(b, kSliceP, 3), -1);
  }
  {
    // P slices code intra macroblocks as mb_type 5..30: 5 is I_NxN, 30 is I_PCM.
    ParseFixture f;
    Bits b;
    b.Ue(0).Ue(30).Trailing();
    ASSERT_EQ(f.Parse(b, kSliceP), 0);
    EXPECT_EQ(f.mb.isInter, 0);
    EXPECT_EQ(f.mb.intraKind, 2);
    EXPECT_EQ(f.topLuma[1], 16);
    EXPECT_EQ(f.topCr[1], 16);
    EXPECT_EQ(f.mb.leftNnzCb[0], 16);
    ParseFixture g;
    Bits c;
    c.Ue(0).Ue(5);
    for (int i = 0; i < 16; ++i) c.Put("1");
    c.Ue(0).Ue(3).Trailing();
    ASSERT_EQ(g.Parse(c, kSliceP), 0);
    EXPECT_EQ(g.mb.isInter, 0);
    EXPECT_EQ(g.mb.intraKind, 0);
  }
}

TEST(MacroblockLayer, Intra16x16WithoutAcClearsLumaContexts) {
  ParseFixture f;
  Bits b;
  // mb_type 7: prediction mode 2, chroma pattern 1, luma 0. The DC block has one coefficient.
  b.Ue(7).Ue(0).Se(0);
  b.Put("01 0 1");  // DC: TotalCoeff 1, TrailingOnes 1 (+1), total_zeros 0
  b.Put("01 01");   // chroma DC Cb, Cr empty
  b.Trailing();
  ASSERT_EQ(f.Parse(b, kSliceI), 0);
  EXPECT_EQ(f.mb.intraKind, 1);
  EXPECT_EQ(f.mb.intra16x16PredMode, 2);
  EXPECT_EQ(f.mb.lumaDc[0], 1);
  EXPECT_EQ(f.mb.lumaCodedMask, 0);
  EXPECT_EQ(f.mb.chromaDcMask, 0);
  EXPECT_EQ(f.topLuma[0] | f.topLuma[3] | f.mb.leftNnzLuma[0], 0);
  EXPECT_EQ(f.topCb[0], 0);
  EXPECT_FALSE(MoreRbspData(&f.r));
}

TEST(MacroblockLayer, RejectsValuesOutOfRange) {
  struct Case {
    const char* what;
    int sliceType;
    Bits bits;
  };
  std::vector<Case> cases;
  cases.push_back({"mb_type 26 in an I slice", kSliceI, Bits().Ue(26)});
  cases.push_back({"mb_type 31 in a P slice", kSliceP, Bits().Ue(0).Ue(31)});
  cases.push_back({"sub_mb_type 4", kSliceP, Bits().Ue(0).Ue(3).Ue(0).Ue(4)});
  cases.push_back({"intra_chroma_pred_mode 4", kSliceI, Bits().Ue(1).Ue(4)});
  cases.push_back({"coded_block_pattern 48", kSliceP, Bits().Ue(0).Ue(0).Se(0).Se(0).Ue(48)});
  cases.push_back({"mb_qp_delta +26", kSliceI, Bits().Ue(1).Ue(0).Ue(51)});
  cases.push_back({"mb_qp_delta codeNum 53", kSliceI, Bits().Ue(1).Ue(0).Ue(53)});
  cases.push_back({"data ends in the mode codes", kSliceI, Bits().Ue(0).Put("1111")});
  for (Case& c : cases) {
    ParseFixture f;
    c.bits.Put("1").Trailing();
    EXPECT_EQ(f.Parse(c.bits, c.sliceType), -1) << c.what;
  }
  // -26 is the lowest delta allowed: 26 - 26 = 0.
  ParseFixture f;
  Bits b;
  b.Ue(1).Ue(0).Ue(52).Put("1").Trailing();  // then an empty DC block
  ASSERT_EQ(f.Parse(b, kSliceI), 0);
  EXPECT_EQ(f.mb.qp, 0);
}

// A picture of w x h macroblocks with its side information, all in slice group 0.
struct PictureFixture {
  Picture pic;
  PictureMbInfo info;
  PictureFixture(int wMbs, int hMbs) {
    pic.width = 16 * wMbs;
    pic.height = 16 * hMbs;
    const size_t n = static_cast<size_t>(pic.width) * pic.height;
    pic.planes.assign(n * 3 / 2, 77);
    pic.luma = pic.planes.data();
    pic.cb = pic.luma + n;
    pic.cr = pic.cb + n / 4;
    AllocateMbInfo(&info, pic.width, pic.height);
  }
  // An I slice over the picture, read from r.
  SliceContext ISlice(BitReader* r) {
    SliceContext s;
    s.pic = &pic;
    s.info = &info;
    s.width = pic.width;
    s.height = pic.height;
    s.sliceType = kSliceI;
    s.reader = r;
    return s;
  }
};

Bits PcmMacroblock(Bits b, int mbTypeValue, uint8_t base) {
  b.Ue(mbTypeValue);
  while (b.s.size() % 8) b.Put("0");
  for (int i = 0; i < 384; ++i) b.U(static_cast<uint8_t>(base + i), 8);
  return b;
}

TEST(DecodeMacroblock, PcmSamplesGoStraightIntoThePicture) {
  PictureFixture p(2, 2);
  MacroblockState mb;
  InitMacroblockState(&mb, 30, 0);
  BitReader r;
  Attach(&r, PcmMacroblock(Bits().Put("1"), 25, 10).Trailing());  // one bit before mb_type
  ReadBits(&r, 1);
  ASSERT_EQ(DecodeMacroblock(p.ISlice(&r), &mb, 1, 1), 0);
  EXPECT_EQ(p.pic.luma[16 * 32 + 16], 10);
  EXPECT_EQ(p.pic.luma[31 * 32 + 31], static_cast<uint8_t>(10 + 255));
  EXPECT_EQ(p.pic.luma[16 * 32 + 15], 77);
  EXPECT_EQ(p.pic.cb[8 * 16 + 8], static_cast<uint8_t>(10 + 256));
  EXPECT_EQ(p.pic.cr[15 * 16 + 15], static_cast<uint8_t>(10 + 383));
  const int addr = 3;
  EXPECT_EQ(p.info.mbQp[addr], 0);
  EXPECT_EQ(mb.qp, 30);
  EXPECT_EQ(p.info.mbCodedMask[addr], 0xFFFF);
  EXPECT_EQ(p.info.mbInterFlag[addr], 0);
  EXPECT_EQ(p.info.refIdx4x4[(4 * 1 + 3) * 8 + 4 + 3], -1);
  EXPECT_EQ(p.info.topNnzLuma[4], 16);
  EXPECT_EQ(p.info.topIntraModes[5], 2);
  EXPECT_FALSE(MoreRbspData(&r));

  // Too few bytes for the samples: failure, picture untouched.
  PictureFixture q(2, 2);
  Bits shortPcm = Bits().Ue(25);
  for (int i = 0; i < 300; ++i) shortPcm.U(1, 8);
  Attach(&r, shortPcm);
  InitMacroblockState(&mb, 30, 0);
  EXPECT_EQ(DecodeMacroblock(q.ISlice(&r), &mb, 0, 0), -1);
  for (uint8_t v : q.pic.planes) ASSERT_EQ(v, 77);
}

TEST(DecodeMacroblock, NeighbourFlagsFollowSliceIdsAndConstrainedIntra) {
  PictureFixture p(3, 3);
  // Slice 0x11 covers macroblocks 0..3, slice 0x21 the rest: macroblock 4 (1, 1) starts a slice in
  // the middle of a row.
  for (int a = 0; a < 9; ++a) p.info.sliceMap[a] = a < 4 ? 0x11 : 0x21;
  MacroblockState mb;
  std::memset(static_cast<void*>(&mb), 0, sizeof(mb));
  mb.mbX = 1;
  mb.mbY = 1;
  EXPECT_EQ(ComputeNeighbourFlags(&mb, &p.info, 48, 0), 0);
  p.info.sliceMap[4] = 0x11;  // as part of the first slice: all four neighbours
  EXPECT_EQ(ComputeNeighbourFlags(&mb, &p.info, 48, 0), 0xFF);
  // Constrained intra prediction: an inter left neighbour stays usable for contexts (bit 0) but
  // not for prediction (bit 4).
  p.info.mbInterFlag[3] = 2;
  p.info.mbInterFlag[2] = 1;
  EXPECT_EQ(ComputeNeighbourFlags(&mb, &p.info, 48, 1), 0xFF & ~0x10 & ~0x40);
  // Picture edges: macroblock (2, 0) has only its left neighbour.
  mb.mbX = 2;
  mb.mbY = 0;
  EXPECT_EQ(ComputeNeighbourFlags(&mb, &p.info, 48, 0), 0x11);
}

TEST(SliceData, MacroblocksOfOtherGroupsAreSteppedOver) {
  // 2 x 3 macroblocks; group 0 holds the even addresses. An I slice of group 0 starting at
  // macroblock 2 with two I_PCM macroblocks decodes 2 and 4 and leaves 3 and 5 alone.
  PictureFixture p(2, 3);
  for (int a = 0; a < 6; ++a) p.info.sliceMap[a] = a & 1;
  SliceHeader h{};
  h.slice_type = 7;
  h.first_mb_in_slice = 2;
  h.sliceQp = 28;
  h.disable_deblocking_filter_idc = 2;
  h.slice_alpha_c0_offset_div2 = -3;
  PicParamSet pps{};
  Bits b = PcmMacroblock(Bits(), 25, 1);
  b = PcmMacroblock(b, 25, 100);
  b.Trailing();
  BitReader r;
  Attach(&r, b);
  ASSERT_EQ(DecodeSliceData(&h, &p.pic, nullptr, &pps, &p.info, 0x10, &r), 0);
  EXPECT_EQ(p.pic.luma[16 * 32], 1);        // macroblock 2 at (0, 1)
  EXPECT_EQ(p.pic.luma[32 * 32], 100);      // macroblock 4 at (0, 2)
  EXPECT_EQ(p.pic.luma[16 * 32 + 16], 77);  // macroblock 3 untouched
  EXPECT_EQ(p.info.sliceMap[2], 0x10);
  EXPECT_EQ(p.info.sliceMap[3], 1);
  EXPECT_EQ(p.info.sliceMap[4], 0x10);
  EXPECT_EQ(p.info.mbDeblockIdc[4], 2);
  EXPECT_EQ(p.info.mbAlphaOffset[4], -6);
  // A slice that starts outside the picture is refused.
  h.first_mb_in_slice = 6;
  Attach(&r, b);
  EXPECT_LT(DecodeSliceData(&h, &p.pic, nullptr, &pps, &p.info, 0x20, &r), 0);
}

TEST(SliceData, PredictionAreaStartsClearedInEachSlice) {
  // Intra 16x16 vertical in the top row has no neighbour to predict from: the residual goes onto
  // the cleared prediction area, whatever an earlier slice left there. The DC level 1 at QP 28
  // gives +1 everywhere; chroma DC without neighbours predicts 128.
  PictureFixture p(1, 1);
  SliceHeader h{};
  h.slice_type = 2;
  h.sliceQp = 28;
  PicParamSet pps{};
  Bits b;
  b.Ue(1).Ue(0).Se(0);  // I_16x16_0_0_0, chroma DC, no QP change
  b.Put("01 0 1");      // DC block: one level +1 at position 0
  b.Trailing();
  BitReader r;
  Attach(&r, b);
  ASSERT_EQ(DecodeSliceData(&h, &p.pic, nullptr, &pps, &p.info, 0x10, &r), 0);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(p.pic.luma[i], 1) << i;
  EXPECT_EQ(p.pic.cb[0], 128);
  EXPECT_EQ(p.pic.cr[63], 128);
}

}  // namespace
}  // namespace vexlor::h264
