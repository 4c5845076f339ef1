// Decoded picture buffer: reference marking (H.264 clause 8.2.5), storage, bumping to the
// output queue and the choice of the next picture to output.
#include "picture/dpb.h"

#include <cstring>
#include <utility>

#include "common/alloc.h"
#include "common/errors.h"
#include "picture/picture_setup.h"
#include "recon/deblock.h"
#include "syntax/param_sets.h"

namespace vexlor::h264 {

void SetDpbCapacity(H264Decoder* dec, const SeqParamSet* sps, int width, int height) {
  const LevelLimit* level = FindLevel(sps->level_idc);
  const uint32_t frameBytes = static_cast<uint32_t>(width) * static_cast<uint32_t>(height) * 3 / 2;
  uint32_t frames =
      level && frameBytes ? static_cast<uint32_t>(level->maxDpbBytes) / frameBytes : 0;
  if (sps->vui_parameters_present_flag && sps->vui.bitstream_restriction_flag) {
    const uint32_t mdfb = static_cast<uint32_t>(sps->vui.max_dec_frame_buffering);
    if (mdfb < frames) frames = mdfb;
  }
  dec->dpb.capacity = frames > kMaxDpbFrames ? kMaxDpbFrames : static_cast<int32_t>(frames);
  dec->dpb.numRefFrames = sps->num_ref_frames;
}

void UpdatePicNums(DecodedPictureBuffer* dpb, int frameNum, int maxFrameNum) {
  for (int i = 0; i < dpb->used; ++i) {
    Picture* p = dpb->stores[i];
    if (p->refState == 1) {
      p->picNum = p->frameNum > frameNum ? p->frameNum - maxFrameNum : p->frameNum;
    } else if (p->refState == 2) {
      p->longTermPicNum = p->longTermFrameIdx;
    }
  }
}

namespace {

void Unmark(DecodedPictureBuffer* dpb, Picture* p) {
  if (p->refState == 1) --dpb->numShortTerm;
  if (p->refState == 2) --dpb->numLongTerm;
  p->refState = 0;
}

Picture* FindShortTerm(DecodedPictureBuffer* dpb, int picNum) {
  for (int i = 0; i < dpb->used; ++i) {
    Picture* p = dpb->stores[i];
    if (p->refState == 1 && p->picNum == picNum) return p;
  }
  return nullptr;
}

Picture* FindLongTermIdx(DecodedPictureBuffer* dpb, int idx) {
  for (int i = 0; i < dpb->used; ++i) {
    Picture* p = dpb->stores[i];
    if (p->refState == 2 && p->longTermFrameIdx == idx) return p;
  }
  return nullptr;
}

int SlidingWindowMarking(DecodedPictureBuffer* dpb) {
  // The window holds Max(num_ref_frames, 1) frames; the current picture takes the last place.
  const int limit = dpb->numRefFrames > 0 ? dpb->numRefFrames : 1;
  while (dpb->numShortTerm + dpb->numLongTerm >= limit) {
    if (dpb->numShortTerm == 0) return kErrUnsupported;
    Picture* oldest = nullptr;
    for (int i = dpb->used - 1; i >= 0; --i) {
      Picture* p = dpb->stores[i];
      if (p->refState == 1 && (oldest == nullptr || p->picNum < oldest->picNum)) oldest = p;
    }
    if (oldest == nullptr) return kErrUnsupported;
    Unmark(dpb, oldest);
  }
  return 0;
}

int AdaptiveMarking(H264Decoder* dec) {
  DecodedPictureBuffer* dpb = &dec->dpb;
  const SliceHeader* h = dec->curSlice;
  Picture* cur = dec->current.get();
  const int currPicNum = h->frame_num;
  for (int i = 0; i < kMaxMarkingCommands; ++i) {
    const MarkingCommand& c = h->markingCommands[i];
    switch (c.memory_management_control_operation) {
      case 0:
        return 0;
      case 1: {
        Picture* p = FindShortTerm(dpb, currPicNum - (c.difference_of_pic_nums_minus1 + 1));
        if (p == nullptr) return kErrUnsupported;
        Unmark(dpb, p);
        break;
      }
      case 2: {
        // For frames LongTermPicNum equals LongTermFrameIdx; the index is also current for a
        // frame made long-term by an earlier command of this list.
        Picture* p = FindLongTermIdx(dpb, c.long_term_pic_num);
        if (p == nullptr) return kErrUnsupported;
        Unmark(dpb, p);
        break;
      }
      case 3: {
        if (Picture* old = FindLongTermIdx(dpb, c.long_term_frame_idx)) Unmark(dpb, old);
        Picture* p = FindShortTerm(dpb, currPicNum - (c.difference_of_pic_nums_minus1 + 1));
        if (p == nullptr) return kErrUnsupported;
        p->refState = 2;
        p->longTermFrameIdx = c.long_term_frame_idx;
        p->longTermPicNum = c.long_term_frame_idx;
        --dpb->numShortTerm;
        ++dpb->numLongTerm;
        break;
      }
      case 4:
        for (int k = 0; k < dpb->used; ++k) {
          Picture* q = dpb->stores[k];
          if (q->refState == 2 && q->longTermFrameIdx > c.max_long_term_frame_idx_plus1 - 1) {
            Unmark(dpb, q);
          }
        }
        dpb->maxLongTermFrameIdx = c.max_long_term_frame_idx_plus1 - 1;
        break;
      case 5:
        for (int k = 0; k < dpb->used; ++k) dpb->stores[k]->refState = 0;
        dpb->numShortTerm = 0;
        dpb->numLongTerm = 0;
        dpb->maxLongTermFrameIdx = -1;
        break;
      case 6:
        if (Picture* old = FindLongTermIdx(dpb, c.long_term_frame_idx)) Unmark(dpb, old);
        cur->refState = 2;
        cur->longTermFrameIdx = c.long_term_frame_idx;
        break;
      default:
        return 0;
    }
  }
  return 0;
}

}  // namespace

int MarkReferencePicture(H264Decoder* dec) {
  DecodedPictureBuffer* dpb = &dec->dpb;
  const SliceHeader* h = dec->curSlice;
  Picture* cur = dec->current.get();
  cur->refState = 1;
  cur->frameNum = h->frame_num;
  cur->hadMmco5 = h->hasMmco5;
  cur->isIdr = h->idrFlag;
  if (h->idrFlag) {
    cur->idrPicId = h->idr_pic_id;
    for (int i = 0; i < dpb->used; ++i) dpb->stores[i]->refState = 0;
    dpb->numShortTerm = 0;
    dpb->numLongTerm = 0;
    if (h->long_term_reference_flag) {
      cur->refState = 2;
      cur->longTermFrameIdx = 0;
      dpb->maxLongTermFrameIdx = 0;
    } else {
      dpb->maxLongTermFrameIdx = -1;
    }
    return 0;
  }
  if (h->nal_ref_idc == 0) {
    cur->refState = 0;
    return 0;
  }
  return h->adaptive_ref_pic_marking_mode_flag ? AdaptiveMarking(dec) : SlidingWindowMarking(dpb);
}

Picture* SelectOutputPicture(const DecodedPictureBuffer* dpb, int* barrierOut) {
  *barrierOut = 0;
  int i = dpb->used - 1;
  while (i >= 0 && !dpb->stores[i]->neededForOutput) --i;
  if (i < 0) return nullptr;
  Picture* cand = dpb->stores[i];
  for (; i >= 0; --i) {
    Picture* p = dpb->stores[i];
    if (p->isIdr || p->hadMmco5) {
      *barrierOut = 1;
      if (p == cand) return cand;
      break;
    }
    if (p->neededForOutput && p->poc < cand->poc) cand = p;
  }
  return cand;
}

Picture* CopyPictureInfo(const Picture* source, Picture* store) {
  if (store->width != source->width || store->height != source->height || store->planes.empty()) {
    AllocatePicturePlanes(store, source->width, source->height);
    store->refState = 0;
    store->neededForOutput = 0;
  }
  store->frameNum = source->frameNum;
  store->longTermFrameIdx = source->longTermFrameIdx;
  store->refState = source->refState;
  store->neededForOutput = source->neededForOutput;
  store->nonExisting = source->nonExisting;
  store->poc = source->poc;
  store->isIdr = source->isIdr;
  store->idrPicId = source->idrPicId;
  store->hadMmco5 = source->hadMmco5;
  store->chromaQpOffset = source->chromaQpOffset;
  store->cropLeft = source->cropLeft;
  store->cropRight = source->cropRight;
  store->cropTop = source->cropTop;
  store->cropBottom = source->cropBottom;
  store->uid = source->uid;
  return store;
}

bool PushOutput(H264Decoder* dec, Picture* pic) {
  if (dec->outputQueueCount >= kOutputQueueSize) return false;
  dec->outputQueue[(dec->outputQueueNext + dec->outputQueueCount) % kOutputQueueSize] = pic;
  ++dec->outputQueueCount;
  return true;
}

namespace {

void SwapPlanes(Picture* a, Picture* b) {
  std::swap(a->planes, b->planes);
  std::swap(a->luma, b->luma);
  std::swap(a->cb, b->cb);
  std::swap(a->cr, b->cr);
}

}  // namespace

int StorePicture(H264Decoder* dec, Picture* pic) {
  DecodedPictureBuffer* dpb = &dec->dpb;
  // Compact: stores in use first, in their order, then the free ones.
  {
    Picture* kept[kMaxDpbFrames];
    Picture* freed[kMaxDpbFrames];
    int nk = 0, nf = 0;
    for (int i = 0; i < dpb->used; ++i) {
      Picture* p = dpb->stores[i];
      if (p->refState != 0 || p->neededForOutput) {
        kept[nk++] = p;
      } else {
        freed[nf++] = p;
      }
    }
    for (int i = 0; i < nk; ++i) dpb->stores[i] = kept[i];
    for (int i = 0; i < nf; ++i) dpb->stores[nk + i] = freed[i];
    dpb->used = nk;
  }
  if (pic->refState == 0 && !pic->neededForOutput) return 0;

  if (dpb->used < dpb->capacity) {
    Picture* store = CopyPictureInfo(pic, dpb->stores[dpb->used]);
    SwapPlanes(store, pic);
    for (int i = dpb->used; i > 0; --i) dpb->stores[i] = dpb->stores[i - 1];
    dpb->stores[0] = store;
    ++dpb->used;
    if (store->refState == 1) ++dpb->numShortTerm;
    if (store->refState == 2) ++dpb->numLongTerm;
    pic->neededForOutput = 0;
    pic->refState = 0;
    return 0;
  }

  // Full: bump pictures into the output queue until a store can be released.
  int k = 0;
  for (;;) {
    int barrier = 0;
    Picture* cand = SelectOutputPicture(dpb, &barrier);
    const bool picFirst = cand == nullptr || (!barrier && pic->poc < cand->poc);
    if (pic->neededForOutput && picFirst && (pic->refState == 0 || cand == nullptr)) {
      // The picture leaves before anything stored. A reference picture can come here only when
      // no store can be released; it is still output, and the store attempt that follows fails.
      if (!PushOutput(dec, pic)) return k > 0 ? k : kErrSyntax;
      pic->neededForOutput = 0;
      return k + 1;
    }
    if (cand == nullptr) {
      // Every store holds a reference frame and nothing waits for output.
      return k > 0 ? k : kErrSyntax;
    }
    if (!PushOutput(dec, cand)) return k > 0 ? k : kErrSyntax;
    cand->neededForOutput = 0;
    ++k;
    if (cand->refState == 0) return k;
  }
}

namespace {

// Motion of the next picture starts from "intra, no vector".
void ResetMotion(PictureMbInfo* info) {
  std::memset(info->mv4x4.data(), 0, info->mv4x4.size() * sizeof(int16_t));
  std::memset(info->refIdx4x4.data(), 0xFF, info->refIdx4x4.size());
  std::memset(info->refUid4x4.data(), 0, info->refUid4x4.size() * sizeof(uint32_t));
}

}  // namespace

int FinishPicture(H264Decoder* dec) {
  Picture* cur = dec->current.get();
  SliceHeader* h = dec->curSlice;
  PictureMbInfo* info = dec->mbInfo.get();
  dec->pictureInProgress = 0;  // finished once, whatever follows
  if (!cur->nonExisting && !dec->skipPixels) {
    DeblockPicture(cur, info, cur->width, cur->height, cur->chromaQpOffset);
  }
  const int mark = MarkReferencePicture(dec);
  if (mark < 0) {
    ResetMotion(info);
    return mark;
  }
  if (h->hasMmco5) {
    h->frame_num = 0;
    cur->frameNum = 0;
  }
  // Store, emptying the DPB into the output queue as far as needed. Queued pictures are made
  // independent of the stores before each further attempt.
  int r = 0;
  for (int attempts = 0; attempts <= kOutputQueueSize + kMaxDpbFrames; ++attempts) {
    ProtectQueuedOutput(dec);
    r = StorePicture(dec, cur);
    if (r <= 0) break;
  }

  dec->prevFrameNum = h->frame_num;
  dec->prevFrameNumOffset = dec->frameNumOffset;
  dec->prevHadMmco5 = h->hasMmco5;
  if (h->nal_ref_idc != 0) {
    dec->prevRefFrameNum = h->frame_num;
    dec->prevPocLsb = h->pic_order_cnt_lsb;
    dec->prevPocMsb = dec->pocMsb;
  }
  // A synthesised gap frame left the arrays as the previous finish did.
  if (!cur->nonExisting) ResetMotion(info);
  return r < 0 ? r : 0;
}

namespace {

bool IsOutputCopy(const H264Decoder* dec, const Picture* p) {
  for (const auto& c : dec->outputCopies) {
    if (c.get() == p) return true;
  }
  return false;
}

bool IsQueued(const H264Decoder* dec, const Picture* p) {
  for (int q = 0; q < dec->outputQueueCount; ++q) {
    if (dec->outputQueue[(dec->outputQueueNext + q) % kOutputQueueSize] == p) return true;
  }
  return false;
}

Picture* FreeOutputCopy(H264Decoder* dec) {
  for (auto& c : dec->outputCopies) {
    if (!c) c = MakeOrDie<Picture>();
    if (!IsQueued(dec, c.get())) return c.get();
  }
  return nullptr;  // cannot happen: the queue holds at most as many pictures as there are copies
}

}  // namespace

void ProtectQueuedOutput(H264Decoder* dec) {
  for (int q = 0; q < dec->outputQueueCount; ++q) {
    const int idx = (dec->outputQueueNext + q) % kOutputQueueSize;
    Picture* p = dec->outputQueue[idx];
    if (IsOutputCopy(dec, p)) continue;
    Picture* c = FreeOutputCopy(dec);
    if (c == nullptr) return;
    CopyPictureInfo(p, c);
    // The current picture and a store about to be released give their samples away; a
    // reference frame keeps them and is copied.
    const bool releasable = p == dec->current.get() || (p->refState == 0 && !p->neededForOutput);
    if (releasable) {
      SwapPlanes(p, c);
    } else {
      std::memcpy(c->planes.data(), p->planes.data(), c->planes.size());
    }
    dec->outputQueue[idx] = c;
  }
}

}  // namespace vexlor::h264
