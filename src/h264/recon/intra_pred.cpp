// Intra prediction (H.264 clause 8.3): Intra4x4PredMode derivation, the Intra 4x4 block loop,
// Intra 16x16 and chroma prediction. Neighbour samples come from the current picture, which holds
// unfiltered reconstructed samples while the picture is decoded.
#include "recon/intra_pred.h"

#include <cstring>

#include "dsp/dsp_intra.h"
#include "dsp/dsp_transform.h"

namespace vexlor::h264 {
namespace {

template <int N>
struct Edges {
  uint8_t top[N];
  uint8_t left[N];
  int corner;
};

template <int N>
void GatherEdges(Edges<N>* e, const uint8_t* origin, int stride, int avail) {
  if (avail & 2) {
    std::memcpy(e->top, origin - stride, N);
  } else {
    std::memset(e->top, 128, N);
  }
  if (avail & 1) {
    for (int y = 0; y < N; ++y) e->left[y] = origin[y * stride - 1];
  } else {
    std::memset(e->left, 128, N);
  }
  e->corner = (avail & 8) ? origin[-stride - 1] : 128;
}

// Modes that need a neighbour: vertical 1 above, horizontal 1 left, plane all three.
bool Intra16x16Allowed(int mode, int avail) {
  switch (mode) {
    case 0:
      return avail & 2;
    case 1:
      return avail & 1;
    case 3:
      return (avail & 11) == 11;
    default:
      return true;
  }
}

}  // namespace

void DeriveIntra4x4Modes(int avail, int8_t* modes, uint8_t* leftIntraModes,
                         uint8_t* topIntraModes) {
  static constexpr uint16_t kBoth[4] = {0xEEE0, 0xFFF0, 0xEEEE, 0xFFFF};
  const int both = kBoth[avail & 3];
  for (int y = 0; y < 4; ++y) {
    int left = leftIntraModes[y];
    for (int x = 0; x < 4; ++x) {
      const int k = 4 * y + x;
      int predicted = 2;
      if (both & (1 << k)) {
        const int above = y == 0 ? topIntraModes[x] : modes[k - 4];
        predicted = left < above ? left : above;
      }
      const int code = modes[k];
      const int mode = code < 0 ? predicted : (code < predicted ? code : code + 1);
      modes[k] = static_cast<int8_t>(mode);
      left = mode;
    }
    leftIntraModes[y] = static_cast<uint8_t>(left);
  }
  for (int x = 0; x < 4; ++x) topIntraModes[x] = static_cast<uint8_t>(modes[12 + x]);
}

void PredictIntra4x4(uint8_t* dst, int mode, const uint8_t* origin, int stride, int blockFlags) {
  uint8_t e[kEdgeSize];
  std::memset(e, 128, sizeof(e));
  if (blockFlags & kBlkAboveLeft) e[kEdgeM] = origin[-stride - 1];
  if (blockFlags & kBlkAbove) {
    const uint8_t* above = origin - stride;
    std::memcpy(e + kEdgeA, above, 4);
    if (blockFlags & kBlkAboveRight) {
      std::memcpy(e + kEdgeE, above + 4, 4);
    } else {
      std::memset(e + kEdgeE, above[3], 4);
    }
  }
  if (blockFlags & kBlkLeft) {
    for (int y = 0; y < 4; ++y) e[kEdgeI - y] = origin[y * stride - 1];
  }
  const int avail =
      ((blockFlags & kBlkLeft) ? kIntraLeft : 0) | ((blockFlags & kBlkAbove) ? kIntraAbove : 0);
  IntraKernelsInUse().intra4x4[mode](dst, e, avail);
}

void ReconstructIntra4x4(MacroblockState* mb, uint8_t* luma, int stride, const int8_t* modes,
                         int avail) {
  const int leftMask = (avail & 1) ? 0xFFFF : 0xEEEE;
  const int aboveMask = (avail & 2) ? 0xFFFF : 0xFFF0;
  const int aboveRightMask = ((avail & 2) ? 0x5757 : 0x5750) | ((avail & 4) ? 0x0008 : 0);
  const int aboveLeftMask =
      ((avail & 2) ? 0xEEEE : 0xEEE0) | ((avail & 1) ? 0x1110 : 0) | ((avail & 8) ? 1 : 0);
  const TransformKernels& k = TransformKernelsInUse();
  uint8_t* origin = luma + mb->pixY * stride + mb->pixX;
  const int qp = mb->qp;
  for (int b = 0; b < 16; ++b) {
    const int bx = (b & 3) * 4, by = (b >> 2) * 4;
    const int flags = ((leftMask >> b) & 1) | (((aboveMask >> b) & 1) << 4) |
                      (((aboveRightMask >> b) & 1) << 8) | (((aboveLeftMask >> b) & 1) << 12);
    uint8_t* d = origin + by * stride + bx;
    uint8_t* p = mb->pred + by * kPredStride + bx;
    PredictIntra4x4(p, modes[b], d, stride, flags);
    const int bit = 1 << b;
    if (mb->lumaCodedMask & bit) {
      if (mb->lumaDcOnlyMask & bit) {
        const int s = (qp * 43) >> 8;
        k.addDcOnly4x4(d, stride, p,
                       mb->lumaCoeff[b][0] * (levelScalePairs[qp - 6 * s][0][0] << s));
        mb->lumaCoeff[b][0] = 0;
      } else {
        k.addResidual4x4(d, stride, p, mb->lumaCoeff[b], qp, 0, 0);
      }
    } else {
      k.copyPrediction4x4(d, stride, p);
    }
  }
}

int PredictIntra16x16(uint8_t* pred, int mode, const uint8_t* origin, int stride, int avail) {
  if (mode < 0 || mode > 3 || !Intra16x16Allowed(mode, avail)) return -1;
  Edges<16> e;
  GatherEdges(&e, origin, stride, avail);
  IntraKernelsInUse().intra16x16[mode](pred, e.top, e.left, e.corner, avail);
  return 1;
}

int PredictIntraChroma(uint8_t* pred, const uint8_t* cbOrigin, const uint8_t* crOrigin, int stride,
                       int avail, int mode) {
  if (mode < 0 || mode > 3) return 1;
  // Chroma modes: 0 DC, 1 horizontal, 2 vertical, 3 plane.
  static constexpr int kLuma16Equivalent[4] = {2, 1, 0, 3};
  if (!Intra16x16Allowed(kLuma16Equivalent[mode], avail)) return -1;
  const IntraKernels& k = IntraKernelsInUse();
  for (int c = 0; c < 2; ++c) {
    Edges<8> e;
    GatherEdges(&e, c == 0 ? cbOrigin : crOrigin, stride, avail);
    k.intraChroma[mode](pred + 256 + 8 * c, e.top, e.left, e.corner, avail);
  }
  return 1;
}

}  // namespace vexlor::h264
