// The in-loop deblocking filter (H.264 clause 8.7) for frame pictures: run over a whole picture
// once its last macroblock is decoded, macroblock by macroblock in raster order, in place.
// Boundary strengths come from the per-picture side information: intra flags, coded-block masks,
// and per 4x4 block the referenced picture (by uid, so two list entries naming one picture count
// as the same reference) and the vector.
#include "recon/deblock.h"

#include <cstdlib>

#include "common/qp_chroma.h"
#include "dsp/dsp_deblock.h"

namespace vexlor::h264 {
namespace {

inline int Clip51(int v) {
  return v < 0 ? 0 : (v > 51 ? 51 : v);
}

// Filter thresholds of one edge (or of all internal edges) of a macroblock.
struct EdgeThresholds {
  int alphaL, betaL, indexAL;
  int alphaC, betaC, indexAC;
};

EdgeThresholds MakeThresholds(int qpLuma, int qpChroma, int offA, int offB) {
  EdgeThresholds t;
  t.indexAL = Clip51(qpLuma + offA);
  t.alphaL = kDeblockAlpha[t.indexAL];
  t.betaL = kDeblockBeta[Clip51(qpLuma + offB)];
  t.indexAC = Clip51(qpChroma + offA);
  t.alphaC = kDeblockAlpha[t.indexAC];
  t.betaC = kDeblockBeta[Clip51(qpChroma + offB)];
  return t;
}

struct MbFilterContext {
  const DeblockKernels* fn;
  const PictureMbInfo* info;
  uint8_t* luma;
  uint8_t* cb;
  uint8_t* cr;
  int stride;  // luma stride; chroma is half
  int w4;      // 4x4 blocks per picture row
  int chromaQpOffset;
};

inline uint32_t Bs4(const uint8_t* bs) {
  return static_cast<uint32_t>(bs[0]) | (static_cast<uint32_t>(bs[1]) << 8) |
         (static_cast<uint32_t>(bs[2]) << 16) | (static_cast<uint32_t>(bs[3]) << 24);
}

// bS 1 when the two blocks use different reference pictures or their vectors differ by four
// quarter samples or more in either component, else 0.
inline uint8_t MotionBs(const PictureMbInfo* info, int p, int q) {
  const int16_t* mv = info->mv4x4.data();
  return info->refUid4x4[p] != info->refUid4x4[q] || std::abs(mv[2 * p] - mv[2 * q]) >= 4 ||
         std::abs(mv[2 * p + 1] - mv[2 * q + 1]) >= 4;
}

// dir 0: vertical edge at pix; dir 1: horizontal edge.
void FilterLumaEdge(const MbFilterContext& c, int dir, uint8_t* pix, const uint8_t* bs,
                    const EdgeThresholds& t) {
  if (Bs4(bs) == 0 || t.alphaL == 0 || t.betaL == 0) return;
  int8_t tc0[4];
  for (int s = 0; s < 4; ++s) {
    tc0[s] = bs[s] ? static_cast<int8_t>(kDeblockTc0[t.indexAL][bs[s] - 1]) : int8_t{-1};
  }
  c.fn->lumaNormal[dir](pix, c.stride, t.alphaL, t.betaL, tc0);
}

void FilterChromaEdge(const MbFilterContext& c, int dir, ptrdiff_t offset, const uint8_t* bs,
                      const EdgeThresholds& t) {
  if (Bs4(bs) == 0 || t.alphaC == 0 || t.betaC == 0) return;
  int8_t tc0[4];
  for (int s = 0; s < 4; ++s) {
    tc0[s] = bs[s] ? static_cast<int8_t>(kDeblockTc0[t.indexAC][bs[s] - 1]) : int8_t{-1};
  }
  c.fn->chromaNormal[dir](c.cb + offset, c.cr + offset, c.stride >> 1, t.alphaC, t.betaC, tc0);
}

void FilterStrongEdge(const MbFilterContext& c, int dir, uint8_t* lumaPix, ptrdiff_t chromaOffset,
                      const EdgeThresholds& t) {
  if (t.alphaL != 0 && t.betaL != 0) c.fn->lumaStrong[dir](lumaPix, c.stride, t.alphaL, t.betaL);
  if (t.alphaC != 0 && t.betaC != 0) {
    c.fn->chromaStrong[dir](c.cb + chromaOffset, c.cr + chromaOffset, c.stride >> 1, t.alphaC,
                            t.betaC);
  }
}

void DeblockMacroblock(const MbFilterContext& c, int mbX, int mbY) {
  const PictureMbInfo* info = c.info;
  const int W = info->widthMbs;
  const int mbAddr = mbX + mbY * W;
  const int idc = info->mbDeblockIdc[mbAddr];
  if (idc == 1) return;
  const int32_t slice = info->sliceMap[mbAddr];
  const bool filterLeft = mbX >= 1 && (idc != 2 || info->sliceMap[mbAddr - 1] == slice);
  const bool filterTop = mbY >= 1 && (idc != 2 || info->sliceMap[mbAddr - W] == slice);

  // Boundary strengths: bsV[e][s] for vertical edge e (luma column 4e), segment s (rows
  // 4s..4s+3); bsH[e][s] for horizontal edge e (row 4e), segment s (columns 4s..4s+3).
  alignas(4) uint8_t bsV[4][4] = {};
  alignas(4) uint8_t bsH[4][4] = {};
  bool leftStrong = false, topStrong = false;
  const int interFlag = info->mbInterFlag[mbAddr];
  if (interFlag == 0) {
    for (int e = 1; e < 4; ++e) {
      for (int s = 0; s < 4; ++s) bsV[e][s] = bsH[e][s] = 3;
    }
    leftStrong = filterLeft;
    topStrong = filterTop;
  } else {
    const int w4 = c.w4;
    const int base = 4 * mbY * w4 + 4 * mbX;
    const int nz = info->mbCodedMask[mbAddr] & 0xFFFF;
    // Bit 4s+e: a block on either side of vertical edge e in row s has coefficients; bit 4e+s
    // likewise for horizontal edge e in column s. Edge 0 gets the neighbour's blocks below.
    const int nzV = nz | ((nz & 0x7777) << 1);
    const int nzH = nz | ((nz & 0x0FFF) << 4);
    // Inner edges where motion can differ: none for P_Skip and 16x16, the middle row for 16x8,
    // the middle column for 8x16, all for 8x8 partitions (bit e set: edge e).
    static constexpr uint8_t kMotionEdgesV[7] = {0, 0, 0, 0, 0x4, 0xE, 0xE};
    static constexpr uint8_t kMotionEdgesH[7] = {0, 0, 0, 0x4, 0, 0xE, 0xE};
    const int motionV = kMotionEdgesV[interFlag < 7 ? interFlag : 6];
    const int motionH = kMotionEdgesH[interFlag < 7 ? interFlag : 6];
    for (int e = 1; e < 4; ++e) {
      const bool mvV = (motionV >> e) & 1, mvH = (motionH >> e) & 1;
      for (int s = 0; s < 4; ++s) {
        if ((nzV >> (4 * s + e)) & 1) {
          bsV[e][s] = 2;
        } else if (mvV) {
          bsV[e][s] = MotionBs(info, base + s * w4 + e - 1, base + s * w4 + e);
        }
        if ((nzH >> (4 * e + s)) & 1) {
          bsH[e][s] = 2;
        } else if (mvH) {
          bsH[e][s] = MotionBs(info, base + (e - 1) * w4 + s, base + e * w4 + s);
        }
      }
    }
    if (filterLeft) {
      if (info->mbInterFlag[mbAddr - 1] == 0) {
        leftStrong = true;
      } else {
        const int nzl = ((info->mbCodedMask[mbAddr - 1] >> 3) & 0x1111) | nzV;
        for (int s = 0; s < 4; ++s) {
          bsV[0][s] = ((nzl >> (4 * s)) & 1) ? 2 : MotionBs(info, base + s * w4 - 1, base + s * w4);
        }
      }
    }
    if (filterTop) {
      if (info->mbInterFlag[mbAddr - W] == 0) {
        topStrong = true;
      } else {
        const int nzt = ((info->mbCodedMask[mbAddr - W] >> 12) & 0xF) | nzH;
        for (int s = 0; s < 4; ++s) {
          bsH[0][s] = ((nzt >> s) & 1) ? 2 : MotionBs(info, base - w4 + s, base + s);
        }
      }
    }
  }

  // Nothing to filter (common for skipped areas): done before any threshold is looked up.
  uint32_t anyBs = 0;
  for (int e = 0; e < 4; ++e) anyBs |= Bs4(bsV[e]) | Bs4(bsH[e]);
  if (anyBs == 0 && !leftStrong && !topStrong) return;

  // Thresholds: internal edges from this macroblock's QP; the left and top edges from the
  // average with the neighbour's. The filter offsets are always this macroblock's.
  const int offA = info->mbAlphaOffset[mbAddr];
  const int offB = info->mbBetaOffset[mbAddr];
  const int qp = info->mbQp[mbAddr];
  const int qpc = QpChroma(qp, c.chromaQpOffset);
  const EdgeThresholds inner = MakeThresholds(qp, qpc, offA, offB);
  EdgeThresholds left = inner, top = inner;
  if (filterLeft) {
    const int qpN = info->mbQp[mbAddr - 1];
    if (qpN != qp) {
      left = MakeThresholds((qpN + qp + 1) >> 1, (QpChroma(qpN, c.chromaQpOffset) + qpc + 1) >> 1,
                            offA, offB);
    }
  }
  if (filterTop) {
    const int qpN = info->mbQp[mbAddr - W];
    if (qpN != qp) {
      top = MakeThresholds((qpN + qp + 1) >> 1, (QpChroma(qpN, c.chromaQpOffset) + qpc + 1) >> 1,
                           offA, offB);
    }
  }

  const ptrdiff_t stride = c.stride;
  uint8_t* y0 = c.luma + 16 * mbY * stride + 16 * mbX;
  const ptrdiff_t c0 = 8 * mbY * (stride >> 1) + 8 * mbX;
  const ptrdiff_t cRow4 = 4 * (stride >> 1);

  // Vertical edges, left to right.
  if (leftStrong) {
    FilterStrongEdge(c, 0, y0, c0, left);
  } else if (filterLeft) {
    FilterLumaEdge(c, 0, y0, bsV[0], left);
  }
  for (int e = 1; e < 4; ++e) FilterLumaEdge(c, 0, y0 + 4 * e, bsV[e], inner);
  if (filterLeft && !leftStrong) FilterChromaEdge(c, 0, c0, bsV[0], left);
  FilterChromaEdge(c, 0, c0 + 4, bsV[2], inner);

  // Horizontal edges, top to bottom.
  if (topStrong) {
    FilterStrongEdge(c, 1, y0, c0, top);
  } else if (filterTop) {
    FilterLumaEdge(c, 1, y0, bsH[0], top);
  }
  for (int e = 1; e < 4; ++e) FilterLumaEdge(c, 1, y0 + 4 * e * stride, bsH[e], inner);
  if (filterTop && !topStrong) FilterChromaEdge(c, 1, c0, bsH[0], top);
  FilterChromaEdge(c, 1, c0 + cRow4, bsH[2], inner);
}

}  // namespace

void DeblockPicture(Picture* pic, const PictureMbInfo* info, int width, int height,
                    int chromaQpOffset) {
  if (pic == nullptr || info == nullptr || pic->nonExisting || pic->luma == nullptr) return;
  const int widthMbs = width >> 4, heightMbs = height >> 4;
  const size_t mbs = static_cast<size_t>(widthMbs) * static_cast<size_t>(heightMbs);
  if (widthMbs <= 0 || heightMbs <= 0 || info->widthMbs != widthMbs ||
      info->heightMbs != heightMbs || pic->width != width || pic->height != height ||
      info->sliceMap.size() < mbs || info->mbDeblockIdc.size() < mbs ||
      info->refUid4x4.size() < 16 * mbs || info->mv4x4.size() < 32 * mbs) {
    return;
  }
  MbFilterContext c;
  c.fn = &DeblockKernelsInUse();
  c.info = info;
  c.luma = pic->luma;
  c.cb = pic->cb;
  c.cr = pic->cr;
  c.stride = width;
  c.w4 = width >> 2;
  c.chromaQpOffset = chromaQpOffset;
  for (int mbY = 0; mbY < heightMbs; ++mbY) {
    for (int mbX = 0; mbX < widthMbs; ++mbX) DeblockMacroblock(c, mbX, mbY);
  }
}

}  // namespace vexlor::h264
