// Decoded picture buffer, reference marking, reference lists, picture order count and slice
// group maps, driven through the functions directly.
#include <gtest/gtest.h>

#include <vector>

#include "h264/frontend.h"

namespace vexlor::h264 {
namespace {

// A decoder with a 32 x 32 current picture and frame stores ready, as after the first IDR.
class DpbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < kMaxDpbFrames; ++i) {
      dec_.dpb.storage[i] = std::make_unique<Picture>();
      dec_.dpb.stores[i] = dec_.dpb.storage[i].get();
    }
    dec_.current = std::make_unique<Picture>();
    AllocatePicturePlanes(dec_.current.get(), 32, 32);
    dec_.mbInfo = std::make_unique<PictureMbInfo>();
    AllocateMbInfo(dec_.mbInfo.get(), 32, 32);
    dec_.dpb.capacity = 4;
    dec_.dpb.numRefFrames = 4;
  }
  // Finishes a picture with the given frame_num, order count and reference flag.
  int Finish(int frameNum, int poc, int refIdc, bool idr = false, uint8_t sample = 0) {
    SliceHeader* h = dec_.curSlice;
    h->frame_num = frameNum;
    h->nal_ref_idc = refIdc;
    h->idrFlag = idr;
    h->maxFrameNum = 16;
    h->hasMmco5 = 0;
    h->adaptive_ref_pic_marking_mode_flag = 0;
    h->long_term_reference_flag = 0;
    Picture* p = dec_.current.get();
    p->poc = poc;
    p->neededForOutput = 1;
    p->nonExisting = 0;
    p->refState = 0;
    std::memset(p->luma, sample, 32 * 32);
    if (!idr) UpdatePicNums(&dec_.dpb, frameNum, 16);
    return FinishPicture(&dec_);
  }
  std::vector<int> Queue() {
    std::vector<int> pocs;
    for (int i = 0; i < dec_.outputQueueCount; ++i) {
      pocs.push_back(dec_.outputQueue[(dec_.outputQueueNext + i) % kOutputQueueSize]->poc);
    }
    return pocs;
  }
  std::vector<int> Refs() {
    std::vector<int> frameNums;
    for (int i = 0; i < dec_.dpb.used; ++i) {
      if (dec_.dpb.stores[i]->refState) frameNums.push_back(dec_.dpb.stores[i]->frameNum);
    }
    return frameNums;
  }
  H264Decoder dec_;
};

TEST_F(DpbTest, SlidingWindowKeepsTheNewestReferences) {
  dec_.dpb.numRefFrames = 2;
  ASSERT_EQ(Finish(0, 0, 3, true), 0);
  ASSERT_EQ(Finish(1, 2, 1), 0);
  ASSERT_EQ(Finish(2, 4, 1), 0);
  ASSERT_EQ(Finish(3, 6, 0), 0);
  EXPECT_EQ(Refs(), (std::vector<int>{2, 1}));
  EXPECT_EQ(dec_.dpb.numShortTerm, 2);
  // num_ref_frames 0 still keeps one reference frame.
  dec_.dpb.numRefFrames = 0;
  ASSERT_EQ(Finish(4, 8, 1), 0);
  EXPECT_EQ(Refs(), (std::vector<int>{4}));
  ASSERT_EQ(Finish(5, 10, 1), 0);
  EXPECT_EQ(Refs(), (std::vector<int>{5}));
}

TEST_F(DpbTest, BumpingOutputsInOrderAndKeepsQueuedSamples) {
  dec_.dpb.capacity = 2;
  ASSERT_EQ(Finish(0, 0, 3, true, 10), 0);
  ASSERT_EQ(Finish(1, 8, 0, false, 11), 0);
  // Full: the IDR frame (a reference) and then the picture itself (smaller count) leave.
  ASSERT_EQ(Finish(1, 4, 0, false, 12), 0);
  EXPECT_EQ(Queue(), (std::vector<int>{0, 4}));
  // Decoding goes on before the queue has been emitted: the queued samples survive.
  ASSERT_EQ(Finish(1, 6, 0, false, 13), 0);
  EXPECT_EQ(Queue(), (std::vector<int>{0, 4, 6}));
  const uint8_t expected[] = {10, 12, 13};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(dec_.outputQueue[i]->luma[0], expected[i]) << i;
  }
}

TEST_F(DpbTest, FullOfReferencesWithNothingToOutputFailsTheStore) {
  dec_.dpb.capacity = 2;
  dec_.dpb.numRefFrames = 16;
  ASSERT_EQ(Finish(0, 0, 3, true), 0);
  ASSERT_EQ(Finish(1, 2, 1), 0);
  // Both stored frames leave for output, the picture too, then storing it fails.
  EXPECT_LT(Finish(2, 4, 1), 0);
  EXPECT_EQ(Queue(), (std::vector<int>{0, 2, 4}));
  EXPECT_EQ(dec_.dpb.used, 2);
  for (int i = 0; i < dec_.outputQueueCount; ++i) EXPECT_NE(dec_.outputQueue[i], nullptr);
  // Capacity 0: every picture goes straight out.
  dec_.outputQueueCount = 0;
  dec_.dpb.capacity = 0;
  Finish(3, 6, 0);
  EXPECT_EQ(Queue(), (std::vector<int>{6}));
}

TEST_F(DpbTest, MemoryManagementOperations) {
  ASSERT_EQ(Finish(0, 0, 3, true), 0);
  ASSERT_EQ(Finish(1, 2, 1), 0);
  ASSERT_EQ(Finish(2, 4, 1), 0);
  // Frame 3 turns frame 1 into long-term index 0 (operation 3), itself into long-term index 1
  // (operation 6) after raising the limit (operation 4).
  SliceHeader* h = dec_.curSlice;
  auto adaptive = [&](std::vector<MarkingCommand> cmds, int frameNum) {
    h->frame_num = frameNum;
    h->nal_ref_idc = 1;
    h->idrFlag = 0;
    h->hasMmco5 = 0;
    h->adaptive_ref_pic_marking_mode_flag = 1;
    cmds.push_back({});
    for (size_t i = 0; i < cmds.size(); ++i) h->markingCommands[i] = cmds[i];
    for (const MarkingCommand& c : cmds) {
      if (c.memory_management_control_operation == 5) h->hasMmco5 = 1;
    }
    dec_.current->neededForOutput = 1;
    dec_.current->poc = 2 * frameNum;
    UpdatePicNums(&dec_.dpb, frameNum, 16);
    return FinishPicture(&dec_);
  };
  ASSERT_EQ(adaptive({{4, 0, 0, 0, 2}, {3, 1, 0, 0, 0}, {6, 0, 0, 1, 0}}, 3), 0);
  EXPECT_EQ(dec_.dpb.numLongTerm, 2);
  EXPECT_EQ(dec_.dpb.numShortTerm, 2);
  // Operation 3 onto an index that a long-term frame holds: that frame loses it first.
  ASSERT_EQ(adaptive({{3, 1, 0, 1, 0}}, 4), 0);  // frame 2 (picNum 2) to index 1
  EXPECT_EQ(dec_.dpb.numLongTerm, 2);
  // Operations naming frames that are not there fail.
  EXPECT_EQ(adaptive({{1, 9, 0, 0, 0}}, 5), kErrUnsupported);
  EXPECT_EQ(adaptive({{2, 0, 7, 0, 0}}, 5), kErrUnsupported);
  // Operation 2 removes long-term frame 0; operation 1 the short-term frame with picNum 4.
  ASSERT_EQ(adaptive({{2, 0, 0, 0, 0}, {1, 0, 0, 0, 0}}, 5), 0);
  EXPECT_EQ(dec_.dpb.numLongTerm, 1);
  // Operation 5 ends every reference and resets frame_num.
  ASSERT_EQ(adaptive({{5, 0, 0, 0, 0}}, 6), 0);
  EXPECT_EQ(Refs(), (std::vector<int>{0}));
  EXPECT_EQ(dec_.prevRefFrameNum, 0);
  EXPECT_EQ(dec_.prevHadMmco5, 1);
}

TEST_F(DpbTest, ReferenceListsAndReordering) {
  dec_.dpb.capacity = 8;
  dec_.dpb.numRefFrames = 8;
  ASSERT_EQ(Finish(0, 0, 3, true), 0);
  for (int f = 1; f <= 4; ++f) ASSERT_EQ(Finish(f, 2 * f, 1), 0);
  dec_.dpb.stores[3]->refState = 2;  // frame 1 becomes long-term index 3
  dec_.dpb.stores[3]->longTermFrameIdx = 3;
  dec_.dpb.numShortTerm--;
  dec_.dpb.numLongTerm++;
  UpdatePicNums(&dec_.dpb, 5, 16);
  Picture* list[kMaxRefListEntries];
  ASSERT_EQ(InitRefPicList(&dec_.dpb, list, 5), 0);
  std::vector<int> got;
  for (int i = 0; i < 5; ++i) got.push_back(list[i]->frameNum);
  EXPECT_EQ(got, (std::vector<int>{4, 3, 2, 0, 1}));
  EXPECT_EQ(InitRefPicList(&dec_.dpb, list, 6), kErrRange);
  EXPECT_EQ(InitRefPicList(&dec_.dpb, list, 17), kErrRange);

  SliceHeader h{};
  h.frame_num = 5;
  h.maxFrameNum = 16;
  h.ref_pic_list_reordering_flag_l0 = 1;
  h.reorderCommands[0] = {0, 2, 0};  // picNum 5 - 3 = 2
  h.reorderCommands[1] = {2, 0, 3};  // long-term 3
  h.reorderCommands[2] = {1, 0, 0};  // back up to 3
  h.reorderCommands[3] = {3, 0, 0};
  ASSERT_EQ(ReorderRefPicList(&h, &dec_.dpb, list, 5), 0);
  got.clear();
  for (int i = 0; i < 5; ++i) got.push_back(list[i]->frameNum);
  EXPECT_EQ(got, (std::vector<int>{2, 1, 3, 4, 0}));
  EXPECT_EQ(list[5], nullptr);
  ASSERT_EQ(InitRefPicList(&dec_.dpb, list, 5), 0);
  h.reorderCommands[0] = {0, 9, 0};  // no frame with that picNum
  EXPECT_EQ(ReorderRefPicList(&h, &dec_.dpb, list, 5), kErrRange);
}

TEST_F(DpbTest, FrameNumGapsFillTheWindow) {
  dec_.dpb.numRefFrames = 3;
  ASSERT_EQ(Finish(0, 0, 3, true, 50), 0);
  ASSERT_EQ(Finish(1, 2, 1, false, 51), 0);
  // frame_num jumps from 1 to 5 in both modes.
  for (int conceal : {1, 0}) {
    SliceHeader next{};
    next.frame_num = 5;
    next.maxFrameNum = 16;
    *dec_.nextSlice = next;
    dec_.gapFrameNum = 2;
    dec_.gapConceal = conceal;
    EXPECT_EQ(FillFrameNumGap(&dec_), 0);
    EXPECT_EQ(dec_.gapFrameNum, -1);
    EXPECT_EQ(Refs(), (std::vector<int>{4, 3, 2}));
    EXPECT_EQ(dec_.prevRefFrameNum, 4);
    for (int i = 0; i < dec_.dpb.used; ++i) {
      const Picture* p = dec_.dpb.stores[i];
      if (p->refState) {
        EXPECT_EQ(p->nonExisting, 1);
        EXPECT_EQ(p->neededForOutput, 0);
        if (conceal) {
          EXPECT_EQ(p->luma[0], 51);
        }
      }
    }
    dec_.prevRefFrameNum = 1;
  }
}

void ResetPocState(H264Decoder* d) {
  d->prevFrameNum = d->prevPocMsb = d->prevPocLsb = d->pocMsb = 0;
  d->frameNumOffset = d->prevFrameNumOffset = d->prevHadMmco5 = 0;
}

TEST(PictureOrderCount, TypesZeroOneAndTwo) {
  auto decPtr = std::make_unique<H264Decoder>();
  H264Decoder& dec = *decPtr;
  SeqParamSet sps{};
  SliceHeader h{};
  h.maxFrameNum = 16;
  sps.log2_max_pic_order_cnt_lsb_minus4 = 0;  // MaxPicOrderCntLsb 16
  dec.prevPocLsb = 14;
  h.pic_order_cnt_lsb = 2;
  EXPECT_EQ(ComputePoc(&dec, &h, &sps), 18);
  dec.prevPocMsb = 16;
  dec.prevPocLsb = 2;
  h.pic_order_cnt_lsb = 14;
  EXPECT_EQ(ComputePoc(&dec, &h, &sps), 14);  // backwards over the wrap
  dec.prevHadMmco5 = 1;
  h.pic_order_cnt_lsb = 3;
  EXPECT_EQ(ComputePoc(&dec, &h, &sps), 3);

  sps.pic_order_cnt_type = 2;
  ResetPocState(&dec);
  h.idrFlag = 1;
  h.frame_num = 0;
  h.nal_ref_idc = 1;
  EXPECT_EQ(ComputePoc(&dec, &h, &sps), 0);
  h.idrFlag = 0;
  h.frame_num = 1;
  EXPECT_EQ(ComputePoc(&dec, &h, &sps), 2);
  h.frame_num = 2;
  EXPECT_EQ(ComputePoc(&dec, &h, &sps), 4);
  h.frame_num = 3;
  h.nal_ref_idc = 0;
  EXPECT_EQ(ComputePoc(&dec, &h, &sps), 5);
  // frame_num wrap adds MaxFrameNum.
  dec.prevFrameNum = 15;
  h.frame_num = 1;
  h.nal_ref_idc = 1;
  EXPECT_EQ(ComputePoc(&dec, &h, &sps), 34);

  sps.pic_order_cnt_type = 1;
  ResetPocState(&dec);
  sps.num_ref_frames_in_pic_order_cnt_cycle = 0;
  sps.offset_for_non_ref_pic = -5;
  h.delta_pic_order_cnt[0] = 7;
  h.frame_num = 4;
  EXPECT_EQ(ComputePoc(&dec, &h, &sps), 7);
  h.nal_ref_idc = 0;
  EXPECT_EQ(ComputePoc(&dec, &h, &sps), 2);
  sps.num_ref_frames_in_pic_order_cnt_cycle = 2;
  sps.offset_for_ref_frame[0] = 3;
  sps.offset_for_ref_frame[1] = 5;
  h.delta_pic_order_cnt[0] = 0;
  h.nal_ref_idc = 1;
  h.frame_num = 3;  // absFrameNum 3: one cycle (8) + offset[0] (3)
  EXPECT_EQ(ComputePoc(&dec, &h, &sps), 11);
  // Extreme offsets wrap instead of overflowing.
  sps.offset_for_ref_frame[0] = INT32_MAX;
  sps.offset_for_ref_frame[1] = INT32_MAX;
  h.frame_num = 15;
  ComputePoc(&dec, &h, &sps);
}

std::vector<int> Map(int w, int h, int groups, int type, int dir, int rateMinus1, int cycle,
                     std::vector<int> extra = {}) {
  SeqParamSet sps{};
  sps.pic_width_in_mbs_minus1 = w - 1;
  sps.pic_height_in_map_units_minus1 = h - 1;
  PicParamSet pps{};
  pps.num_slice_groups_minus1 = groups - 1;
  pps.slice_group_map_type = type;
  pps.slice_group_change_direction_flag = dir;
  pps.slice_group_change_rate_minus1 = rateMinus1;
  for (size_t i = 0; i < extra.size() && i < 8; ++i) pps.run_length_minus1[i] = extra[i];
  if (type == 2) {
    for (size_t i = 0; i + 1 < extra.size(); i += 2) {
      pps.top_left[i / 2] = extra[i];
      pps.bottom_right[i / 2] = extra[i + 1];
    }
  }
  SliceHeader sh{};
  sh.slice_group_change_cycle = cycle;
  PictureMbInfo info;
  AllocateMbInfo(&info, 16 * w, 16 * h);
  EXPECT_EQ(BuildSliceGroupMap(&info, &sps, &pps, &sh), 0);
  return std::vector<int>(info.sliceMap.begin(), info.sliceMap.end());
}

TEST(SliceGroupMap, EveryMapType) {
  EXPECT_EQ(Map(4, 2, 2, 1, 0, 0, 0), (std::vector<int>{0, 1, 0, 1, 1, 0, 1, 0}));
  EXPECT_EQ(Map(3, 2, 3, 0, 0, 0, 0, {0, 1, 2}), (std::vector<int>{0, 1, 1, 2, 2, 2}));
  // Overlapping rectangles: the lower group wins.
  EXPECT_EQ(Map(3, 3, 3, 2, 0, 0, 0, {0, 4, 4, 8}), (std::vector<int>{0, 0, 2, 0, 0, 1, 2, 1, 1}));
  std::vector<int> raster = Map(11, 9, 2, 4, 1, 0, 30);
  for (int i = 0; i < 99; ++i) EXPECT_EQ(raster[i], i < 69 ? 1 : 0) << i;
  std::vector<int> wipe = Map(3, 2, 2, 5, 0, 1, 2);  // 4 units in group 0, column by column
  EXPECT_EQ(wipe, (std::vector<int>{0, 0, 1, 0, 0, 1}));
  // Box-out starts in the middle and turns.
  std::vector<int> box = Map(11, 9, 2, 3, 0, 0, 1);
  EXPECT_EQ(box[4 * 11 + 5], 0);
  EXPECT_EQ(std::count(box.begin(), box.end(), 0), 1);
  box = Map(11, 9, 2, 3, 0, 0, 9);
  for (int y = 3; y <= 5; ++y) {
    for (int x = 4; x <= 6; ++x) EXPECT_EQ(box[y * 11 + x], 0) << x << "," << y;
  }
  box = Map(11, 9, 2, 3, 1, 0, 99);
  EXPECT_EQ(std::count(box.begin(), box.end(), 0), 99);
}

TEST(SliceGroupMap, ExplicitMapShorterThanThePictureIsRefused) {
  SeqParamSet sps{};
  sps.pic_width_in_mbs_minus1 = 1;
  sps.pic_height_in_map_units_minus1 = 1;
  PicParamSet pps{};
  pps.num_slice_groups_minus1 = 1;
  pps.slice_group_map_type = 6;
  pps.sliceGroupIdCount = 2;
  pps.sliceGroupIds = {1, 0, 1};
  SliceHeader sh{};
  PictureMbInfo info;
  AllocateMbInfo(&info, 32, 32);
  EXPECT_EQ(BuildSliceGroupMap(&info, &sps, &pps, &sh), kErrRange);
  pps.sliceGroupIdCount = 3;
  pps.sliceGroupIds = {1, 0, 1, 1};
  EXPECT_EQ(BuildSliceGroupMap(&info, &sps, &pps, &sh), 0);
  EXPECT_EQ(info.sliceMap, (std::vector<int32_t>{1, 0, 1, 1}));
}

}  // namespace
}  // namespace vexlor::h264
