// macroblock_layer() of H.264 clause 7.3.5 for the Baseline tools: mb_skip_run handling, mb_type
// and sub_mb_type, intra prediction modes, ref_idx_l0 and mvd_l0, coded_block_pattern,
// mb_qp_delta, and the residual in the order of clause 7.3.5.3.
#include "syntax/macroblock_layer.h"

#include <cstring>

#include "syntax/cavlc.h"

namespace vexlor::h264 {

namespace {

// H.264 Table 9-4 (chroma_format_idc 1): coded_block_pattern by codeNum, for Intra_4x4 and for
// Inter macroblocks.
constexpr uint8_t Table9_4[48][2] = {
    {47, 0},  {31, 16}, {15, 1},  {0, 2},   {23, 4},  {27, 8},  {29, 32}, {30, 3},
    {7, 5},   {11, 10}, {13, 12}, {14, 15}, {39, 47}, {43, 7},  {45, 11}, {46, 13},
    {16, 14}, {3, 6},   {5, 9},   {10, 31}, {12, 35}, {19, 37}, {21, 42}, {26, 44},
    {28, 33}, {35, 34}, {37, 36}, {42, 40}, {44, 39}, {1, 43},  {2, 45},  {4, 46},
    {8, 17},  {17, 18}, {18, 20}, {20, 24}, {24, 19}, {6, 21},  {9, 26},  {22, 28},
    {25, 23}, {32, 27}, {33, 29}, {34, 30}, {36, 22}, {40, 25}, {38, 38}, {41, 41},
};

// Number of motion vector differences of a P_8x8 quadrant by sub_mb_type.
constexpr int kSubMvdCount[4] = {1, 2, 2, 4};

bool IsIntraSliceClass(int sliceType) {
  return sliceType % 5 == 2 || sliceType % 5 == 4;
}
bool IsPSliceClass(int sliceType) {
  return sliceType % 5 == 0 || sliceType % 5 == 3;
}

void ApplyChromaPattern(MacroblockState* mb, int cbpChroma) {
  mb->chromaDcMask = cbpChroma ? 3 : 0;
  mb->chromaAcMask = cbpChroma == 2 ? 0xFF : 0;
}

}  // namespace

void ClearLumaContexts(MacroblockState* mb, const TopNnz& top) {
  std::memset(top.luma, 0, 4);
  std::memset(mb->leftNnzLuma, 0, 4);
}

void ClearChromaContexts(MacroblockState* mb, const TopNnz& top) {
  top.cb[0] = top.cb[1] = top.cr[0] = top.cr[1] = 0;
  mb->leftNnzCb[0] = mb->leftNnzCb[1] = mb->leftNnzCr[0] = mb->leftNnzCr[1] = 0;
}

void SetPcmContexts(MacroblockState* mb, const TopNnz& top) {
  std::memset(top.luma, 16, 4);
  std::memset(mb->leftNnzLuma, 16, 4);
  top.cb[0] = top.cb[1] = top.cr[0] = top.cr[1] = 16;
  mb->leftNnzCb[0] = mb->leftNnzCb[1] = mb->leftNnzCr[0] = mb->leftNnzCr[1] = 16;
}

// mb_type (and sub_mb_type). 0, or -1.
int ReadMbType(MacroblockState* mb, int sliceType, BitReader* r) {
  uint32_t mbType = ReadUe(r);
  if (r->error < 0) return -1;
  mb->intraKind = 0;
  mb->intra16x16PredMode = 0;
  mb->partitionMode = 0;
  mb->lumaCodedMask = 0;
  mb->chromaAcMask = 0;
  mb->chromaDcMask = 0;
  std::memset(mb->subMbType, 0, sizeof(mb->subMbType));
  if (IsIntraSliceClass(sliceType)) {
    if (mbType > 25) return -1;
  } else {
    if (mbType > 30) return -1;
    if (mbType < 5) {
      mb->isInter = 1;
      mb->partitionMode = static_cast<int32_t>(mbType) + 1;
      if (mbType >= 3) {
        for (int i = 0; i < 4; ++i) {
          const uint32_t sub = ReadUe(r);
          if (r->error < 0 || sub > 3) return -1;
          mb->subMbType[i] = static_cast<int32_t>(sub);
        }
      }
      return 0;
    }
    mbType -= 5;
  }
  mb->isInter = 0;
  if (mbType == 25) {
    mb->intraKind = 2;
    mb->lumaCodedMask = 0xFFFF;
    mb->chromaAcMask = 0xFF;
    mb->chromaDcMask = 3;
  } else if (mbType > 0) {
    mb->intraKind = 1;
    mb->intra16x16PredMode = static_cast<int32_t>((mbType - 1) % 4);
    mb->lumaCodedMask = mbType >= 13 ? 0xFFFF : 0;
    ApplyChromaPattern(mb, static_cast<int>(((mbType - 1) / 4) % 3));
  }
  return 0;
}

int ReadIntra4x4Modes(int8_t* modeCodes, BitReader* r) {
  // Bitstream order: 8x8 quadrants, and the four 4x4 blocks inside each; stored by raster index.
  const uint32_t bitsLeft = r->bitEnd - r->bitPos;
  if (bitsLeft >= 64) {
    // At most 16 x 4 bits: work on one 64-bit peek.
    uint64_t v = PeekBits64(r);  // 57 valid bits at least
    uint32_t used = 0;
    for (int b = 0; b < 16; ++b) {
      if (used > 53) {  // refill
        r->bitPos += used;
        used = 0;
        v = PeekBits64(r);
      }
      const int raster = 4 * (((b >> 3) << 1) | ((b >> 1) & 1)) + (((b >> 2) & 1) << 1 | (b & 1));
      if (v >> 63) {
        modeCodes[raster] = -1;
        v <<= 1;
        used += 1;
      } else {
        modeCodes[raster] = static_cast<int8_t>((v >> 60) & 7);
        v <<= 4;
        used += 4;
      }
    }
    r->bitPos += used;
    return 0;
  }
  for (int b = 0; b < 16; ++b) {
    const int raster = 4 * (((b >> 3) << 1) | ((b >> 1) & 1)) + (((b >> 2) & 1) << 1 | (b & 1));
    const uint32_t flag = ReadBits(r, 1);
    modeCodes[raster] = flag ? -1 : static_cast<int8_t>(ReadBits(r, 3));
  }
  return r->error < 0 ? -1 : 0;
}

int ReadIntraChromaMode(MacroblockState* mb, BitReader* r) {
  const uint32_t mode = ReadUe(r);
  if (r->error < 0 || mode > 3) return -1;
  mb->intraChromaPredMode = static_cast<int32_t>(mode);
  return 0;
}

int ReadRefIdxAndMvd(MacroblockState* mb, int numActive, int32_t (*mvd)[2], BitReader* r) {
  int numRef = 0, numMvd = 0;
  switch (mb->partitionMode) {
    case 1:
      numRef = 1;
      numMvd = 1;
      break;
    case 2:
    case 3:
      numRef = 2;
      numMvd = 2;
      break;
    default:
      numRef = mb->partitionMode == 4 ? 4 : 0;
      for (int i = 0; i < 4; ++i) numMvd += kSubMvdCount[mb->subMbType[i]];
      break;
  }
  std::memset(mb->refIdx, 0, sizeof(mb->refIdx));
  if (numActive >= 2) {
    for (int i = 0; i < numRef; ++i) {
      if (numActive == 2) {
        mb->refIdx[i] = 1 - static_cast<int32_t>(ReadBits(r, 1));
      } else {
        const uint32_t v = ReadUe(r);
        if (r->error < 0 || v >= static_cast<uint32_t>(numActive)) return -1;
        mb->refIdx[i] = static_cast<int32_t>(v);
      }
    }
  }
  for (int i = 0; i < numMvd; ++i) {
    mvd[i][0] = ReadSe(r);
    mvd[i][1] = ReadSe(r);
  }
  return r->error < 0 ? -1 : 0;
}

int ReadCodedBlockPattern(MacroblockState* mb, BitReader* r) {
  const uint32_t codeNum = ReadUe(r);
  if (r->error < 0 || codeNum > 47) return -1;
  const int cbp = Table9_4[codeNum][mb->isInter ? 1 : 0];
  int luma = 0;
  if (cbp & 1) luma |= 0x0033;
  if (cbp & 2) luma |= 0x00CC;
  if (cbp & 4) luma |= 0x3300;
  if (cbp & 8) luma |= 0xCC00;
  mb->lumaCodedMask = luma;
  ApplyChromaPattern(mb, cbp >> 4);
  return 0;
}

int ReadMbQpDelta(MacroblockState* mb, int chromaQpOffset, BitReader* r) {
  const uint32_t codeNum = ReadUe(r);
  if (r->error < 0 || codeNum > 52) return -1;
  const int32_t delta = SeFromCodeNum(codeNum);
  if (delta < -26 || delta > 25) return -1;
  if (delta != 0) {
    int32_t qp = mb->qp + delta;
    if (qp < 0) qp += 52;
    if (qp > 51) qp -= 52;
    mb->qp = qp;
    mb->qpChroma = QpChroma(qp, chromaQpOffset);
  }
  return 0;
}

int ParseMacroblockLayer(const SliceContext& s, MacroblockState* mb, int8_t* modeCodes,
                         const TopNnz& top, int32_t (*mvd)[2]) {
  BitReader* r = s.reader;
  const int sliceType = s.sliceType;
  if (IsPSliceClass(sliceType)) {
    if (mb->skipRunLeft < 0) {
      mb->skipRunLeft = static_cast<int32_t>(ReadUe(r));
      if (r->error < 0) return -1;
    }
    if (mb->skipRunLeft > 0) {
      mb->isInter = 1;
      mb->intraKind = 0;
      mb->partitionMode = 0;
      mb->refIdx[0] = 0;
      mb->lumaCodedMask = 0;
      mb->lumaDcOnlyMask = 0;
      mb->chromaAcMask = 0;
      mb->chromaDcMask = 0;
      --mb->skipRunLeft;
      ClearLumaContexts(mb, top);
      ClearChromaContexts(mb, top);
      return 0;
    }
  }
  if (ReadMbType(mb, sliceType, r) < 0) return -1;
  --mb->skipRunLeft;
  mb->lumaDcOnlyMask = 0;

  if (!mb->isInter) {
    if (mb->intraKind == 2) {
      SetPcmContexts(mb, top);
      return 0;
    }
    if (mb->intraKind == 0 && ReadIntra4x4Modes(modeCodes, r) < 0) return -1;
    if (ReadIntraChromaMode(mb, r) < 0) return -1;
  } else {
    if (ReadRefIdxAndMvd(mb, s.numActive, mvd, r) < 0) return -1;
  }

  if (mb->isInter || mb->intraKind == 0) {
    if (ReadCodedBlockPattern(mb, r) < 0) return -1;
  }
  const bool isIntra16x16 = !mb->isInter && mb->intraKind == 1;
  if (isIntra16x16 || mb->lumaCodedMask || mb->chromaDcMask || mb->chromaAcMask) {
    if (ReadMbQpDelta(mb, s.chromaQpOffset, r) < 0) return -1;
  }

  if (isIntra16x16 && ParseLumaDc(r, mb, top.luma) < 0) return -1;
  if (mb->lumaCodedMask == 0) {
    ClearLumaContexts(mb, top);
  } else if (ParseLumaResidual(r, mb, top.luma) < 0) {
    return -1;
  }
  if (mb->chromaDcMask && ParseChromaDc(r, mb) < 0) return -1;
  if (mb->chromaAcMask) {
    if (ParseChromaAc(r, mb, top.cb, top.cr) < 0) return -1;
  } else {
    ClearChromaContexts(mb, top);
  }
  return 0;
}

}  // namespace vexlor::h264
