// Decoding of one macroblock: neighbour availability, parsing, prediction, residual, and the
// picture-wide side information that later macroblocks and the deblocking filter read.
#include "slice/mb_decode.h"

#include <cstring>

#include "recon/inter_pred.h"
#include "recon/intra_pred.h"
#include "recon/mv_pred.h"
#include "recon/transform.h"
#include "syntax/macroblock_layer.h"

namespace vexlor::h264 {

int ComputeNeighbourFlags(const MacroblockState* mb, const PictureMbInfo* info, int width,
                          int constrained) {
  const int w = width / 16;
  const int addr = mb->mbY * w + mb->mbX;
  const int32_t* map = info->sliceMap.data();
  const int32_t id = map[addr];
  int flags = 0;
  if (mb->mbX > 0 && map[addr - 1] == id) flags |= 0x11;
  if (mb->mbY > 0) {
    if (map[addr - w] == id) flags |= 0x22;
    if (mb->mbX + 1 < w && map[addr - w + 1] == id) flags |= 0x44;
    if (mb->mbX > 0 && map[addr - w - 1] == id) flags |= 0x88;
  }
  if (constrained) {
    const uint8_t* inter = info->mbInterFlag.data();
    if ((flags & 0x10) && inter[addr - 1]) flags &= ~0x10;
    if ((flags & 0x20) && inter[addr - w]) flags &= ~0x20;
    if ((flags & 0x40) && inter[addr - w + 1]) flags &= ~0x40;
    if ((flags & 0x80) && inter[addr - w - 1]) flags &= ~0x80;
  }
  return flags;
}

int ReadPcmSamples(Picture* pic, int pixX, int pixY, int width, BitReader* r) {
  const uint32_t aligned = (r->bitPos + 7) & ~7u;
  if (aligned > r->bitEnd || r->bitEnd - aligned < 384 * 8) return -1;
  const uint8_t* src = r->data + (aligned >> 3);
  uint8_t* luma = pic->luma + pixY * width + pixX;
  for (int y = 0; y < 16; ++y) std::memcpy(luma + y * width, src + 16 * y, 16);
  src += 256;
  const int cw = width / 2;
  const int coff = (pixY / 2) * cw + pixX / 2;
  for (int y = 0; y < 8; ++y) std::memcpy(pic->cb + coff + y * cw, src + 8 * y, 8);
  src += 64;
  for (int y = 0; y < 8; ++y) std::memcpy(pic->cr + coff + y * cw, src + 8 * y, 8);
  r->bitPos = aligned + 384 * 8;
  return 0;
}

void CopySkipMacroblock(Picture* pic, const Picture* ref, int pixX, int pixY, int width) {
  uint8_t* dst = pic->luma + pixY * width + pixX;
  const uint8_t* src = ref->luma + pixY * width + pixX;
  for (int y = 0; y < 16; ++y) std::memcpy(dst + y * width, src + y * width, 16);
  const int cw = width / 2;
  const int co = (pixY / 2) * cw + pixX / 2;
  uint8_t* dcb = pic->cb + co;
  uint8_t* dcr = pic->cr + co;
  const uint8_t* scb = ref->cb + co;
  const uint8_t* scr = ref->cr + co;
  for (int y = 0; y < 8; ++y) {
    std::memcpy(dcb + y * cw, scb + y * cw, 8);
    std::memcpy(dcr + y * cw, scr + y * cw, 8);
  }
}

void SetIntraNeighbourModesDc(MacroblockState* mb, PictureMbInfo* info) {
  std::memset(mb->leftIntraModes, 2, 4);
  std::memset(info->topIntraModes.data() + mb->blkX, 2, 4);
}

void ClearInterData(PictureMbInfo* info, int mbX, int mbY, int width) {
  const int w4 = width / 4;
  for (int y = 0; y < 4; ++y) {
    const int i = (4 * mbY + y) * w4 + 4 * mbX;
    std::memset(info->refIdx4x4.data() + i, -1, 4);
    std::memset(info->refUid4x4.data() + i, 0, 4 * sizeof(uint32_t));
    std::memset(info->mv4x4.data() + 2 * i, 0, 8 * sizeof(int16_t));
  }
}

// What the transforms would consume, cleared without them (parsing only writes the coefficients
// it reads, into blocks it takes to be zero).
static void ClearCoefficients(MacroblockState* mb) {
  for (int b = 0; b < 16; ++b) {
    if (mb->lumaCodedMask & (1 << b)) std::memset(mb->lumaCoeff[b], 0, sizeof(mb->lumaCoeff[b]));
  }
  for (int b = 0; b < 8; ++b) {
    if (mb->chromaAcMask & (1 << b)) std::memset(mb->chromaAc[b], 0, sizeof(mb->chromaAc[b]));
  }
}

int DecodeMacroblock(const SliceContext& s, MacroblockState* mb, int mbX, int mbY) {
  Picture* pic = s.pic;
  PictureMbInfo* info = s.info;
  const int width = s.width;
  mb->mbX = mbX;
  mb->mbY = mbY;
  mb->blkX = 4 * mbX;
  mb->blkY = 4 * mbY;
  mb->pixX = 16 * mbX;
  mb->pixY = 16 * mbY;
  const int st = s.sliceType % 5;
  const int constrained = s.constrainedIntraPred == 1 && st != 2 && st != 4;
  mb->neighbourFlags = ComputeNeighbourFlags(mb, info, width, constrained);

  int8_t modes[16];
  int32_t mvd[16][2];
  const TopNnz top{info->topNnzLuma.data() + mb->blkX, info->topNnzCb.data() + 2 * mbX,
                   info->topNnzCr.data() + 2 * mbX};
  const int parsed = ParseMacroblockLayer(s, mb, modes, top, mvd);
  if (parsed < 0) return parsed;
  if (s.skipPixels) ClearCoefficients(mb);

  const int addr = mbY * (width / 16) + mbX;
  const int cw = width / 2;
  uint8_t* luma = pic->luma + mb->pixY * width + mb->pixX;
  uint8_t* cb = pic->cb + (mb->pixY / 2) * cw + mb->pixX / 2;
  uint8_t* cr = pic->cr + (mb->pixY / 2) * cw + mb->pixX / 2;
  const int avail = mb->neighbourFlags >> 4;

  if (mb->isInter) {
    info->mbInterFlag[addr] = static_cast<uint8_t>(mb->partitionMode + 1);
    SetIntraNeighbourModesDc(mb, info);
    if (mb->partitionMode == 0) {
      const bool zero = DerivePSkipMotion(s, mb);
      mb->partitionMode = 1;
      // The copy reads the reference at this picture's size; a reference of another size (a new
      // sequence parameter set without an IDR picture) takes the general path, which predicts
      // mid-grey for it.
      const Picture* ref = s.refList[0];
      if (zero && ref != nullptr && ref->luma != nullptr && ref->width == width &&
          ref->height == s.height) {
        if (!s.skipPixels) CopySkipMacroblock(pic, ref, mb->pixX, mb->pixY, width);
        info->mbQp[addr] = static_cast<uint8_t>(mb->qp);
        info->mbCodedMask[addr] = 0;
        return 0;
      }
    } else {
      DeriveInterMotion(s, mb, mvd);
    }
    if (!s.skipPixels) {
      PredictInter(s, mb);
      ReconstructLuma(mb->pred, mb->lumaDc, 0, mb->lumaCoeff, luma, width, mb->qp,
                      mb->lumaCodedMask, mb->lumaDcOnlyMask);
    }
  } else {
    info->mbInterFlag[addr] = 0;
    ClearInterData(info, mbX, mbY, width);
    if (mb->intraKind == 2) {
      SetIntraNeighbourModesDc(mb, info);
      if (ReadPcmSamples(pic, mb->pixX, mb->pixY, width, s.reader) < 0) return -1;
      info->mbQp[addr] = 0;
      info->mbCodedMask[addr] = mb->lumaCodedMask;
      return 0;
    }
    if (mb->intraKind == 1) {
      SetIntraNeighbourModesDc(mb, info);
      if (!s.skipPixels) {
        PredictIntra16x16(mb->pred, mb->intra16x16PredMode, luma, width, avail);
        PredictIntraChroma(mb->pred, cb, cr, cw, avail, mb->intraChromaPredMode);
        ReconstructLuma(mb->pred, mb->lumaDc, 1, mb->lumaCoeff, luma, width, mb->qp,
                        mb->lumaCodedMask, 0);
      }
    } else {
      DeriveIntra4x4Modes(avail, modes, mb->leftIntraModes, info->topIntraModes.data() + mb->blkX);
      if (!s.skipPixels) {
        ReconstructIntra4x4(mb, pic->luma, width, modes, avail);
        PredictIntraChroma(mb->pred, cb, cr, cw, avail, mb->intraChromaPredMode);
      }
    }
  }
  if (!s.skipPixels) {
    ReconstructChroma(mb->pred, mb->chromaDc, mb->chromaAc, cb, cr, cw, mb->qpChroma,
                      mb->chromaDcMask, mb->chromaAcMask);
  }
  info->mbQp[addr] = static_cast<uint8_t>(mb->qp);
  info->mbCodedMask[addr] = mb->lumaCodedMask;
  return 0;
}

}  // namespace vexlor::h264
