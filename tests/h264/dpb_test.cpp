// Decoded picture buffer, reference marking, reference lists, picture order count and slice
// group maps, driven through the functions directly.
#include "picture/dpb.h"

#include <gtest/gtest.h>

#include <vector>

#include "picture/picture_setup.h"

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

}  // namespace
}  // namespace vexlor::h264
