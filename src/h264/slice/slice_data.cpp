// slice_data(): the reference list of the slice, then its macroblocks in decoding order (raster
// order within the slice group), each handed to DecodeMacroblock.
#include "slice/slice_data.h"

#include <cstring>

#include "common/errors.h"
#include "picture/ref_lists.h"
#include "slice/mb_decode.h"
#include "syntax/macroblock_layer.h"

namespace vexlor::h264 {

void InitMacroblockState(MacroblockState* mb, int32_t sliceQp, int32_t chromaQpOffset) {
  // Everything starts at zero: the coefficient blocks must be zero before parsing (the transforms
  // clear what they consume), and an intra prediction whose neighbours are missing then adds its
  // residual to a defined prediction rather than to a stale one.
  std::memset(static_cast<void*>(mb), 0, sizeof(*mb));
  mb->qp = sliceQp;
  mb->qpChroma = QpChroma(sliceQp, chromaQpOffset);
  mb->skipRunLeft = -1;
}

int DecodeSliceData(const SliceHeader* h, Picture* pic, DecodedPictureBuffer* dpb,
                    const PicParamSet* pps, PictureMbInfo* info, int32_t sliceTag, BitReader* r,
                    bool skipPixels) {
  Picture* refList[kMaxRefListEntries] = {};
  int numActive = 0;
  const int st = h->slice_type % 5;
  if (st != 2 && st != 4) {
    numActive = (h->num_ref_idx_active_override_flag ? h->num_ref_idx_l0_active_minus1
                                                     : pps->num_ref_idx_l0_active_minus1) +
                1;
    if (numActive < 1 || numActive > kMaxRefListEntries - 1) return kErrRange;
    int rc = InitRefPicList(dpb, refList, numActive);
    if (rc < 0) return rc;
    if (h->ref_pic_list_reordering_flag_l0) {
      rc = ReorderRefPicList(h, dpb, refList, numActive);
      if (rc < 0) return rc;
    }
    for (int i = 0; i < numActive; ++i) {
      if (refList[i] == nullptr) return kErrRange;
    }
  }

  const int width = pic->width, height = pic->height;
  const int widthMbs = width / 16;
  const int sizeMbs = widthMbs * (height / 16);
  int addr = h->first_mb_in_slice;
  if (addr < 0 || addr >= sizeMbs) return kErrRange;
  int mbX = addr % widthMbs, mbY = addr / widthMbs;
  const int32_t group = sliceTag & 15;

  SliceContext s;
  s.pic = pic;
  s.refList = refList;
  s.numActive = numActive;
  s.info = info;
  s.width = width;
  s.height = height;
  s.sliceType = h->slice_type;
  s.constrainedIntraPred = pps->constrained_intra_pred_flag;
  s.chromaQpOffset = pps->chroma_qp_index_offset;
  s.skipPixels = skipPixels;
  s.reader = r;

  MacroblockState mb;
  InitMacroblockState(&mb, h->sliceQp, pps->chroma_qp_index_offset);
  const auto deblockIdc = static_cast<uint8_t>(h->disable_deblocking_filter_idc);
  const auto alpha = static_cast<int8_t>(2 * h->slice_alpha_c0_offset_div2);
  const auto beta = static_cast<int8_t>(2 * h->slice_beta_offset_div2);
  int32_t* sliceMap = info->sliceMap.data();

  for (;;) {
    sliceMap[addr] = sliceTag;
    info->mbDeblockIdc[addr] = deblockIdc;
    info->mbAlphaOffset[addr] = alpha;
    info->mbBetaOffset[addr] = beta;
    if (DecodeMacroblock(s, &mb, mbX, mbY) < 0) return kErrRead;
    if (mb.skipRunLeft <= 0 && !MoreRbspData(r)) return kOk;
    do {
      ++addr;
      if (++mbX == widthMbs) {
        mbX = 0;
        ++mbY;
      }
      if (addr >= sizeMbs) return kOk;
    } while ((sliceMap[addr] & 15) != group);
  }
}

}  // namespace vexlor::h264
