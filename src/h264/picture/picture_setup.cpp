// Picture setup at the first slice of a picture, picture order count (H.264 clause 8.2.1,
// frames) and frame_num gap filling (clause 8.2.5.2).
#include "picture/picture_setup.h"

#include <cstring>

#include "common/alloc.h"
#include "common/errors.h"
#include "picture/dpb.h"
#include "picture/slice_group_map.h"

namespace vexlor::h264 {

void AllocatePicturePlanes(Picture* pic, int width, int height) {
  const size_t lumaSize = static_cast<size_t>(width) * static_cast<size_t>(height);
  const size_t chromaSize = lumaSize / 4;
  ResizeOrDie(&pic->planes, lumaSize + 2 * chromaSize);
  pic->luma = pic->planes.data();
  pic->cb = pic->luma + lumaSize;
  pic->cr = pic->cb + chromaSize;
  pic->width = width;
  pic->height = height;
}

void AllocateMbInfo(PictureMbInfo* info, int width, int height) {
  const size_t wm = static_cast<size_t>(width / 16), hm = static_cast<size_t>(height / 16);
  const size_t mbs = wm * hm;
  const size_t blocks = mbs * 16;
  info->widthMbs = static_cast<int32_t>(wm);
  info->heightMbs = static_cast<int32_t>(hm);
  ResizeOrDie(&info->sliceMap, mbs);
  ResizeOrDie(&info->mbInterFlag, mbs);
  ResizeOrDie(&info->mbQp, mbs);
  ResizeOrDie(&info->refIdx4x4, blocks);
  ResizeOrDie(&info->refUid4x4, blocks);
  ResizeOrDie(&info->mbCodedMask, mbs);
  ResizeOrDie(&info->topIntraModes, static_cast<size_t>(width / 4));
  ResizeOrDie(&info->mv4x4, blocks * 2);
  ResizeOrDie(&info->topNnzLuma, static_cast<size_t>(width / 4));
  ResizeOrDie(&info->topNnzCb, static_cast<size_t>(width / 8));
  ResizeOrDie(&info->topNnzCr, static_cast<size_t>(width / 8));
  ResizeOrDie(&info->mbDeblockIdc, mbs);
  ResizeOrDie(&info->mbAlphaOffset, mbs);
  ResizeOrDie(&info->mbBetaOffset, mbs);
  std::memset(info->refIdx4x4.data(), 0xFF, blocks);
  std::memset(info->refUid4x4.data(), 0, blocks * sizeof(uint32_t));
  std::memset(info->mv4x4.data(), 0, blocks * 2 * sizeof(int16_t));
}

void UpdateFrameNumOffset(H264Decoder* dec, int frameNum, int idr, int maxFrameNum) {
  if (idr) {
    dec->frameNumOffset = 0;
    return;
  }
  if (dec->prevHadMmco5) dec->prevFrameNumOffset = 0;
  // Unsigned arithmetic: a very long stream wraps instead of overflowing.
  dec->frameNumOffset = frameNum < dec->prevFrameNum
                            ? static_cast<int32_t>(static_cast<uint32_t>(dec->prevFrameNumOffset) +
                                                   static_cast<uint32_t>(maxFrameNum))
                            : dec->prevFrameNumOffset;
}

int32_t ComputePoc(H264Decoder* dec, const SliceHeader* h, const SeqParamSet* sps) {
  if (sps->pic_order_cnt_type == 0) {
    if (h->idrFlag || dec->prevHadMmco5) {
      dec->prevPocMsb = 0;
      dec->prevPocLsb = 0;
    }
    const int32_t maxLsb = 1 << (sps->log2_max_pic_order_cnt_lsb_minus4 + 4);
    const int32_t lsb = h->pic_order_cnt_lsb;
    uint32_t msb = static_cast<uint32_t>(dec->prevPocMsb);
    if (lsb < dec->prevPocLsb && dec->prevPocLsb - lsb >= maxLsb / 2) {
      msb += static_cast<uint32_t>(maxLsb);
    } else if (lsb > dec->prevPocLsb && lsb - dec->prevPocLsb > maxLsb / 2) {
      msb -= static_cast<uint32_t>(maxLsb);
    }
    dec->pocMsb = static_cast<int32_t>(msb);
    return static_cast<int32_t>(msb + static_cast<uint32_t>(lsb));
  }

  UpdateFrameNumOffset(dec, h->frame_num, h->idrFlag, h->maxFrameNum);
  const uint32_t offset = static_cast<uint32_t>(dec->frameNumOffset);
  if (sps->pic_order_cnt_type == 1) {
    const uint32_t cycle = static_cast<uint32_t>(sps->num_ref_frames_in_pic_order_cnt_cycle);
    uint32_t absFrameNum = cycle != 0 ? offset + static_cast<uint32_t>(h->frame_num) : 0;
    if (h->nal_ref_idc == 0 && absFrameNum > 0) --absFrameNum;
    uint32_t expected = 0;
    if (absFrameNum > 0) {
      const uint32_t cycleCnt = (absFrameNum - 1) / cycle;
      const uint32_t inCycle = (absFrameNum - 1) % cycle;
      uint32_t deltaPerCycle = 0;
      for (uint32_t i = 0; i < cycle; ++i) {
        deltaPerCycle += static_cast<uint32_t>(sps->offset_for_ref_frame[i]);
      }
      expected = cycleCnt * deltaPerCycle;
      for (uint32_t i = 0; i <= inCycle; ++i) {
        expected += static_cast<uint32_t>(sps->offset_for_ref_frame[i]);
      }
    }
    if (h->nal_ref_idc == 0) expected += static_cast<uint32_t>(sps->offset_for_non_ref_pic);
    return static_cast<int32_t>(expected + static_cast<uint32_t>(h->delta_pic_order_cnt[0]));
  }
  if (h->idrFlag) return 0;
  const uint32_t twice = 2 * (offset + static_cast<uint32_t>(h->frame_num));
  return static_cast<int32_t>(h->nal_ref_idc == 0 ? twice - 1 : twice);
}

int SetupPicture(H264Decoder* dec, const SeqParamSet* sps, const PicParamSet* pps, int width,
                 int height) {
  const SliceHeader* h = dec->curSlice;
  if (h->idrFlag &&
      (!dec->current || dec->current->width != width || dec->current->height != height)) {
    if (!dec->current) dec->current = MakeOrDie<Picture>();
    if (!dec->mbInfo) dec->mbInfo = MakeOrDie<PictureMbInfo>();
    AllocatePicturePlanes(dec->current.get(), width, height);
    AllocateMbInfo(dec->mbInfo.get(), width, height);
  }
  Picture* pic = dec->current.get();
  // A non-IDR picture must have the size the storage was set up with at the last IDR picture.
  if (pic == nullptr || pic->width != width || pic->height != height) return kErrRange;
  for (int32_t& c : dec->sliceCount) c = 0;
  if (BuildSliceGroupMap(dec->mbInfo.get(), sps, pps, h) < 0) return kErrRange;

  pic->neededForOutput = 1;
  pic->nonExisting = 0;
  pic->refState = 0;
  pic->hadMmco5 = 0;
  pic->isIdr = h->idrFlag;
  pic->idrPicId = h->idr_pic_id;
  pic->frameNum = h->frame_num;
  if (sps->frame_cropping_flag) {
    pic->cropLeft = sps->frame_crop_left_offset;
    pic->cropRight = sps->frame_crop_right_offset;
    pic->cropTop = sps->frame_crop_top_offset;
    pic->cropBottom = sps->frame_crop_bottom_offset;
  } else {
    pic->cropLeft = pic->cropRight = pic->cropTop = pic->cropBottom = 0;
  }
  pic->poc = ComputePoc(dec, h, sps);
  pic->chromaQpOffset = pps->chroma_qp_index_offset;
  pic->uid = dec->nextUid++;
  if (dec->nextUid == 0) dec->nextUid = 1;
  return 0;
}

int FillFrameNumGap(H264Decoder* dec) {
  SliceHeader* cur = dec->curSlice;
  const SliceHeader* next = dec->nextSlice;
  Picture* pic = dec->current.get();
  if (pic == nullptr) {
    dec->gapFrameNum = -1;
    return 0;
  }
  const int maxFrameNum = next->maxFrameNum;
  // Only the newest frames of a long gap can still matter: older ones would leave the
  // sliding window, and everything waiting for output has been bumped, long before the end.
  constexpr int kMaxGapFrames = 2 * kMaxDpbFrames + 1;
  int gapLength = (next->frame_num - dec->gapFrameNum + maxFrameNum) % maxFrameNum;
  if (gapLength > kMaxGapFrames) {
    dec->gapFrameNum = (next->frame_num - kMaxGapFrames + maxFrameNum) % maxFrameNum;
  }

  cur->nal_unit_type = 1;
  cur->nal_ref_idc = 1;
  cur->idrFlag = 0;
  cur->hasMmco5 = 0;
  cur->adaptive_ref_pic_marking_mode_flag = 0;
  cur->maxFrameNum = maxFrameNum;
  int r = 0;
  while (dec->gapFrameNum >= 0) {
    ProtectQueuedOutput(dec);
    pic->neededForOutput = 0;
    pic->nonExisting = 1;
    pic->refState = 0;
    pic->hadMmco5 = 0;
    pic->isIdr = 0;
    cur->frame_num = dec->gapFrameNum;
    pic->frameNum = dec->gapFrameNum;
    pic->uid = dec->nextUid++;
    if (dec->nextUid == 0) dec->nextUid = 1;
    if (dec->gapConceal) pic->poc = 0;
    UpdateFrameNumOffset(dec, cur->frame_num, 0, maxFrameNum);
    UpdatePicNums(&dec->dpb, cur->frame_num, maxFrameNum);
    if (dec->gapConceal && dec->dpb.used > 0) {
      const Picture* newest = dec->dpb.stores[0];
      if (newest->width == pic->width && newest->height == pic->height) {
        std::memcpy(pic->planes.data(), newest->planes.data(), pic->planes.size());
        std::memset(dec->mbInfo->mbDeblockIdc.data(), 1, dec->mbInfo->mbDeblockIdc.size());
      }
    }
    r = FinishPicture(dec);
    dec->gapFrameNum = (dec->gapFrameNum + 1) % maxFrameNum;
    if (dec->gapFrameNum == next->frame_num) dec->gapFrameNum = -1;
    if (r != 0) break;
  }
  dec->gapFrameNum = -1;
  return r;
}

}  // namespace vexlor::h264
