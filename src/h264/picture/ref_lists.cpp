// Reference picture list 0 for P slices (H.264 clauses 8.2.4.2.1, 8.2.4.3.1).
#include "picture/ref_lists.h"

#include <utility>

#include "common/errors.h"

namespace vexlor::h264 {

int InitRefPicList(const DecodedPictureBuffer* dpb, Picture** list, int numActive) {
  if (numActive > kMaxDpbFrames || numActive < 0) return kErrRange;
  int n = 0;
  for (int i = 0; i < dpb->used; ++i) {
    if (dpb->stores[i]->refState == 1) list[n++] = dpb->stores[i];
  }
  const int numShort = n;
  for (int i = 0; i < dpb->used; ++i) {
    if (dpb->stores[i]->refState == 2) list[n++] = dpb->stores[i];
  }
  if (n < numActive) return kErrRange;
  for (int k = 0; k < numShort; ++k) {
    for (int l = k + 1; l < numShort; ++l) {
      if (list[l]->picNum > list[k]->picNum) std::swap(list[k], list[l]);
    }
  }
  for (int k = numShort; k < n; ++k) {
    for (int l = k + 1; l < n; ++l) {
      if (list[l]->longTermPicNum < list[k]->longTermPicNum) std::swap(list[k], list[l]);
    }
  }
  for (int i = n; i < kMaxRefListEntries; ++i) list[i] = nullptr;
  return 0;
}

int ReorderRefPicList(const SliceHeader* h, const DecodedPictureBuffer* dpb, Picture** list,
                      int numActive) {
  if (!h->ref_pic_list_reordering_flag_l0) return 0;
  if (numActive > kMaxDpbFrames || numActive < 1) return kErrRange;
  const int maxPicNum = h->maxFrameNum;
  const int currPicNum = h->frame_num;
  int picNumPred = currPicNum;
  int refIdx = 0;
  for (int c = 0; c < kMaxReorderCommands; ++c) {
    const ReorderCommand& cmd = h->reorderCommands[c];
    const int idc = cmd.reordering_of_pic_nums_idc;
    if (idc == 3 || idc < 0 || idc > 3) break;
    if (refIdx >= numActive) return kErrRange;
    Picture* target = nullptr;
    bool longTerm = false;
    int num = 0;
    if (idc == 0 || idc == 1) {
      const int delta = cmd.abs_diff_pic_num_minus1 + 1;
      int noWrap = idc == 0 ? picNumPred - delta : picNumPred + delta;
      if (noWrap < 0) noWrap += maxPicNum;
      if (noWrap >= maxPicNum) noWrap -= maxPicNum;
      picNumPred = noWrap;
      num = noWrap > currPicNum ? noWrap - maxPicNum : noWrap;
      for (int i = 0; i < dpb->used; ++i) {
        Picture* p = dpb->stores[i];
        if (p->refState == 1 && !p->nonExisting && p->picNum == num) {
          target = p;
          break;
        }
      }
    } else {
      longTerm = true;
      num = cmd.long_term_pic_num;
      for (int i = 0; i < dpb->used; ++i) {
        Picture* p = dpb->stores[i];
        if (p->refState == 2 && p->longTermPicNum == num) {
          target = p;
          break;
        }
      }
    }
    if (target == nullptr) return kErrRange;
    for (int i = numActive; i > refIdx; --i) list[i] = list[i - 1];
    list[refIdx++] = target;
    int n = refIdx;
    for (int i = refIdx; i <= numActive; ++i) {
      Picture* p = list[i];
      bool same = false;
      if (p != nullptr) {
        same = longTerm ? (p->refState == 2 && p->longTermPicNum == num)
                        : (p->refState == 1 && p->picNum == num);
      }
      if (!same) list[n++] = p;
    }
  }
  list[numActive] = nullptr;
  return 0;
}

}  // namespace vexlor::h264
