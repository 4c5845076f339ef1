// Parameter sets and slice headers: the bounds, refusals and replacement rules.
#include "syntax/param_sets.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "h264/frontend_streams.h"
#include "picture/dpb.h"
#include "syntax/slice_header.h"

namespace vexlor::h264 {
namespace {

using testing::MakePps;
using testing::MakeSlice;
using testing::MakeSps;
using testing::PpsOptions;
using testing::SliceOptions;
using testing::SpsOptions;

struct Tables {
  std::unique_ptr<SeqParamSet> sps[kMaxSps];
  std::unique_ptr<PicParamSet> pps[kMaxPps];
};

// Attaches a reader to a whole NAL unit and steps over its header.
void Attach(BitReader* r, const std::vector<uint8_t>& nal) {
  InitReader(r, nal.data(), static_cast<int32_t>(nal.size()));
  uint8_t header;
  ReadByte(r, &header);
}

int Sps(Tables* t, const SpsOptions& o) {
  BitReader r;
  Attach(&r, MakeSps(o));
  return ParseSps(&r, t->sps);
}

int Pps(Tables* t, const PpsOptions& o) {
  BitReader r;
  Attach(&r, MakePps(o));
  return ParsePps(&r, t->pps);
}

// An SPS written element by element up to the size, for the bounds the builder cannot reach.
std::vector<uint8_t> RawSps(int level, int widthMinus1, int numRefFrames, int frameMbsOnly = 1) {
  testing::Bits b;
  b.U(8, 66);
  b.U(8, 0);
  b.U(8, level);
  b.Ue(0);
  b.Ue(0);
  b.Ue(2);
  b.Ue(numRefFrames);
  b.U(1, 0);
  b.Ue(widthMinus1);
  b.Ue(0);
  b.U(1, frameMbsOnly);
  b.U(1, 1);
  b.U(1, 0);
  b.U(1, 0);
  b.Trailing();
  return testing::Nal(3, 7, b.bytes());
}

int ParseRaw(Tables* t, const std::vector<uint8_t>& nal) {
  BitReader r;
  Attach(&r, nal);
  return ParseSps(&r, t->sps);
}

TEST(ParamSets, ProfileLevelAndSizeBounds) {
  Tables t;
  SpsOptions o;
  EXPECT_EQ(Sps(&t, o), 0);
  o.profile = 77;
  EXPECT_EQ(Sps(&t, o), kErrSyntax);
  o.profile = 100;
  o.constraintSet0 = 1;
  EXPECT_EQ(Sps(&t, o), 0);
  o = {};
  for (int level : {9, 52, 14}) {
    o.level = level;
    EXPECT_EQ(Sps(&t, o), kErrRange) << level;
  }
  for (int level : {10, 11, 13, 22, 42, 51}) {
    o.level = level;
    EXPECT_EQ(Sps(&t, o), 0) << level;
  }
  EXPECT_EQ(ParseRaw(&t, RawSps(30, 542, 16)), 0);
  EXPECT_EQ(t.sps[0]->pic_width_in_mbs_minus1, 542);
  EXPECT_EQ(ParseRaw(&t, RawSps(30, 543, 1)), kErrRange);
  EXPECT_EQ(ParseRaw(&t, RawSps(30, 10, 17)), kErrRange);
  EXPECT_EQ(ParseRaw(&t, RawSps(30, 10, 1, 0)), kErrUnsupported);
  // Failed sets leave the last good one in place.
  EXPECT_EQ(t.sps[0]->pic_width_in_mbs_minus1, 542);
  // A truncated set is a read failure.
  std::vector<uint8_t> cut = MakeSps({});
  cut.resize(8);
  EXPECT_EQ(ParseRaw(&t, cut), kErrRead);
}

TEST(ParamSets, PocCycleAndLevelCapacity) {
  Tables t;
  testing::Bits b;
  b.U(8, 66);
  b.U(8, 0);
  b.U(8, 30);
  b.Ue(3);
  b.Ue(0);
  b.Ue(1);
  b.U(1, 0);
  b.Se(-1);
  b.Se(0);
  b.Ue(255);
  for (int i = 0; i < 255; ++i) b.Se(i);
  b.Ue(1);
  b.U(1, 0);
  b.Ue(21);
  b.Ue(17);
  b.U(1, 1);
  b.U(1, 1);
  b.U(1, 0);
  b.U(1, 0);
  b.Trailing();
  EXPECT_EQ(ParseRaw(&t, testing::Nal(3, 7, b.bytes())), 0);
  ASSERT_TRUE(t.sps[3]);
  EXPECT_EQ(t.sps[3]->offset_for_ref_frame[254], 254);
  EXPECT_EQ(t.sps[3]->offset_for_non_ref_pic, -1);

  H264Decoder dec;
  SetDpbCapacity(&dec, t.sps[3].get(), 352, 288);
  EXPECT_EQ(dec.dpb.capacity, 16);  // 3110400 / 152064 = 20
  t.sps[3]->level_idc = 10;
  SetDpbCapacity(&dec, t.sps[3].get(), 352, 288);
  EXPECT_EQ(dec.dpb.capacity, 1);
  SetDpbCapacity(&dec, t.sps[3].get(), 1920, 1088);
  EXPECT_EQ(dec.dpb.capacity, 0);
}

TEST(ParamSets, PictureParameterSetBoundsAndExplicitMaps) {
  Tables t;
  PpsOptions o;
  o.chromaQpOffset = 12;
  EXPECT_EQ(Pps(&t, o), 0);
  o.chromaQpOffset = 13;
  EXPECT_EQ(Pps(&t, o), kErrRange);
  EXPECT_EQ(t.pps[0]->chroma_qp_index_offset, 12);
  o = {};
  o.spsId = 7;  // never sent: accepted
  EXPECT_EQ(Pps(&t, o), 0);
  o.numSliceGroups = 3;
  o.mapType = 6;
  o.sliceGroupIds = {0, 1, 2, 1, 0};
  EXPECT_EQ(Pps(&t, o), 0);
  EXPECT_EQ(t.pps[0]->sliceGroupIdCount, 4);
  ASSERT_EQ(t.pps[0]->sliceGroupIds.size(), 5u);
  EXPECT_EQ(t.pps[0]->sliceGroupIds[2], 2);
  o.sliceGroupIds = {2, 2};
  EXPECT_EQ(Pps(&t, o), 0);
  EXPECT_EQ(t.pps[0]->sliceGroupIdCount, 1);
  EXPECT_EQ(t.pps[0]->sliceGroupIds.size(), 2u);
}

class SliceHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Sps(&t_, sps_), 0);
    ASSERT_EQ(Pps(&t_, {}), 0);
  }
  int Parse(const std::vector<uint8_t>& nal, SliceHeader* h) {
    BitReader r;
    InitReader(&r, nal.data(), static_cast<int32_t>(nal.size()));
    uint8_t header = 0;
    ReadByte(&r, &header);
    h->nal_unit_type = header & 31;
    h->nal_ref_idc = header >> 5;
    h->idrFlag = h->nal_unit_type == 5;
    return ParseSliceHeader(h, t_.sps, t_.pps, &r);
  }
  std::vector<uint8_t> Header(std::function<void(testing::Bits*)> body, int nalType = 1,
                              int refIdc = 1) {
    testing::Bits b;
    body(&b);
    b.Trailing();
    return testing::Nal(refIdc, nalType, b.bytes());
  }
  Tables t_;
  SpsOptions sps_;
};

TEST_F(SliceHeaderTest, RefusesBSlicesAndMissingSets) {
  SliceHeader h{};
  for (int type : {1, 6}) {
    EXPECT_EQ(Parse(Header([&](testing::Bits* b) {
                      b->Ue(0);
                      b->Ue(type);
                    }),
                    &h),
              kErrSyntax);
  }
  EXPECT_EQ(Parse(Header([](testing::Bits* b) {
                    b->Ue(0);
                    b->Ue(5);
                    b->Ue(9);  // no such PPS
                  }),
                  &h),
            kErrNoParamSet);
  PpsOptions orphan;
  orphan.id = 4;
  orphan.spsId = 9;
  ASSERT_EQ(Pps(&t_, orphan), 0);
  EXPECT_EQ(Parse(Header([](testing::Bits* b) {
                    b->Ue(0);
                    b->Ue(5);
                    b->Ue(4);
                  }),
                  &h),
            kErrUnsupported);
  EXPECT_EQ(Parse(Header([](testing::Bits* b) {
                    b->Ue(4);  // 2 x 2 macroblocks: address 4 is outside
                    b->Ue(5);
                    b->Ue(0);
                  }),
                  &h),
            kErrRange);
  EXPECT_EQ(Parse(MakeSlice(sps_, {}), &h), 0);
  EXPECT_EQ(h.sliceQp, 26);
  EXPECT_EQ(h.maxFrameNum, 16);
  EXPECT_EQ(h.disable_deblocking_filter_idc, 1);
}

TEST_F(SliceHeaderTest, ReorderingAndMarkingBounds) {
  SliceHeader h{};
  // P slice, frame_num 3, poc lsb 6, no override, reordering with abs_diff bounds.
  auto pSlice = [&](int idc, int diff, int qpDelta) {
    return Header([=](testing::Bits* b) {
      b->Ue(0);
      b->Ue(5);
      b->Ue(0);
      b->U(4, 3);
      b->U(6, 6);
      b->U(1, 0);  // num_ref_idx_active_override_flag
      b->U(1, 1);  // ref_pic_list_reordering_flag_l0
      b->Ue(idc);
      b->Ue(diff);
      b->Ue(3);
      b->U(1, 0);  // adaptive_ref_pic_marking_mode_flag
      b->Se(qpDelta);
      b->Ue(1);
    });
  };
  // Differences up to MaxPicNum - 1 (15 here) in both directions.
  EXPECT_EQ(Parse(pSlice(0, 15, 0), &h), 0);
  EXPECT_EQ(h.reorderCommands[0].abs_diff_pic_num_minus1, 15);
  EXPECT_EQ(h.reorderCommands[1].reordering_of_pic_nums_idc, 3);
  EXPECT_EQ(Parse(pSlice(0, 16, 0), &h), kErrRange);
  EXPECT_EQ(Parse(pSlice(1, 15, 0), &h), 0);
  EXPECT_EQ(Parse(pSlice(1, 16, 0), &h), kErrRange);
  EXPECT_EQ(Parse(pSlice(0, 0, 25), &h), 0);
  EXPECT_EQ(Parse(pSlice(0, 0, 26), &h), kErrRange);  // slice QP 52

  // Seventeen commands without an end are all kept.
  EXPECT_EQ(Parse(Header([](testing::Bits* b) {
                    b->Ue(0);
                    b->Ue(0);
                    b->Ue(0);
                    b->U(4, 3);
                    b->U(6, 6);
                    b->U(1, 0);
                    b->U(1, 1);
                    for (int i = 0; i < 17; ++i) {
                      b->Ue(0);
                      b->Ue(0);
                    }
                    b->U(1, 1);  // adaptive marking
                    b->Ue(5);
                    b->Ue(0);
                    b->Se(0);
                    b->Ue(1);
                  }),
                  &h),
            0);
  EXPECT_EQ(h.reorderCommands[16].reordering_of_pic_nums_idc, 0);
  EXPECT_EQ(h.hasMmco5, 1);
}

TEST_F(SliceHeaderTest, NewPictureDetection) {
  SliceHeader a{}, b{};
  SliceOptions o;
  o.nalType = 1;
  o.refIdc = 1;
  o.frameNum = 2;
  o.pocLsb = 4;
  ASSERT_EQ(Parse(MakeSlice(sps_, o), &a), 0);
  o.firstMb = 2;
  ASSERT_EQ(Parse(MakeSlice(sps_, o), &b), 0);
  EXPECT_EQ(IsNewPicture(&a, &b, t_.sps, t_.pps), 0);
  PpsOptions other;
  other.id = 1;
  ASSERT_EQ(Pps(&t_, other), 0);
  o.ppsId = 1;
  ASSERT_EQ(Parse(MakeSlice(sps_, o), &b), 0);
  EXPECT_EQ(IsNewPicture(&a, &b, t_.sps, t_.pps), 0);  // another PPS alone
  o.refIdc = 0;
  ASSERT_EQ(Parse(MakeSlice(sps_, o), &b), 0);
  EXPECT_EQ(IsNewPicture(&a, &b, t_.sps, t_.pps), 1);  // reference, then non-reference
  o.refIdc = 1;
  o.pocLsb = 6;
  ASSERT_EQ(Parse(MakeSlice(sps_, o), &b), 0);
  EXPECT_EQ(IsNewPicture(&a, &b, t_.sps, t_.pps), 1);
  SliceOptions idr;
  ASSERT_EQ(Parse(MakeSlice(sps_, idr), &a), 0);
  idr.idrPicId = 1;
  ASSERT_EQ(Parse(MakeSlice(sps_, idr), &b), 0);
  EXPECT_EQ(IsNewPicture(&a, &b, t_.sps, t_.pps), 1);
}

}  // namespace
}  // namespace vexlor::h264
