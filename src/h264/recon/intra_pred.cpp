// Intra prediction (H.264 clause 8.3): Intra4x4PredMode derivation, the Intra 4x4 block loop,
// Intra 16x16 and chroma prediction. Neighbour samples come from the current picture, which holds
// unfiltered reconstructed samples while the picture is decoded.
#include "recon/intra_pred.h"

#include <cstring>

#include "dsp/dsp_recon.h"

namespace vexlor::h264 {
namespace {

// ---- Intra 4x4 kernels: edge = L K J I M A B C D E F G H -------------------------------
inline int P(const uint8_t* e, int x) {
  return e[kEdgeA + x];
}  // p[x, -1], x = -1..7
inline int Q(const uint8_t* e, int y) {
  return e[kEdgeI - y];
}  // p[-1, y], y = -1..3

void I4Vertical(uint8_t* d, const uint8_t* e, int) {
  for (int y = 0; y < 4; ++y) std::memcpy(d + y * kPredStride, e + kEdgeA, 4);
}

void I4Horizontal(uint8_t* d, const uint8_t* e, int) {
  for (int y = 0; y < 4; ++y) std::memset(d + y * kPredStride, Q(e, y), 4);
}

void I4Dc(uint8_t* d, const uint8_t* e, int avail) {
  int v = 128;
  const int top = P(e, 0) + P(e, 1) + P(e, 2) + P(e, 3);
  const int left = Q(e, 0) + Q(e, 1) + Q(e, 2) + Q(e, 3);
  if ((avail & 3) == 3) {
    v = (top + left + 4) >> 3;
  } else if (avail & kIntraAbove) {
    v = (top + 2) >> 2;
  } else if (avail & kIntraLeft) {
    v = (left + 2) >> 2;
  }
  for (int y = 0; y < 4; ++y) std::memset(d + y * kPredStride, v, 4);
}

inline uint8_t F3(int a, int b, int c) {
  return static_cast<uint8_t>((a + 2 * b + c + 2) >> 2);
}
inline uint8_t F2(int a, int b) {
  return static_cast<uint8_t>((a + b + 1) >> 1);
}

void I4DiagDownLeft(uint8_t* d, const uint8_t* e, int) {
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      d[y * kPredStride + x] = (x == 3 && y == 3)
                                   ? F3(P(e, 6), P(e, 7), P(e, 7))
                                   : F3(P(e, x + y), P(e, x + y + 1), P(e, x + y + 2));
    }
  }
}

void I4DiagDownRight(uint8_t* d, const uint8_t* e, int) {
  // Every sample is the filtered edge at index M + x - y.
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      const int i = kEdgeM + x - y;
      d[y * kPredStride + x] = F3(e[i - 1], e[i], e[i + 1]);
    }
  }
}

void I4VerticalRight(uint8_t* d, const uint8_t* e, int) {
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      const int z = 2 * x - y;
      const int xo = x - (y >> 1);
      uint8_t v;
      if (z >= 0 && (z & 1) == 0) {
        v = F2(P(e, xo - 1), P(e, xo));
      } else if (z >= 0) {
        v = F3(P(e, xo - 2), P(e, xo - 1), P(e, xo));
      } else if (z == -1) {
        v = F3(Q(e, 0), Q(e, -1), P(e, 0));
      } else {
        v = F3(Q(e, y - 1), Q(e, y - 2), Q(e, y - 3));
      }
      d[y * kPredStride + x] = v;
    }
  }
}

void I4HorizontalDown(uint8_t* d, const uint8_t* e, int) {
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      const int z = 2 * y - x;
      const int yo = y - (x >> 1);
      uint8_t v;
      if (z >= 0 && (z & 1) == 0) {
        v = F2(Q(e, yo - 1), Q(e, yo));
      } else if (z >= 0) {
        v = F3(Q(e, yo - 2), Q(e, yo - 1), Q(e, yo));
      } else if (z == -1) {
        v = F3(Q(e, 0), Q(e, -1), P(e, 0));
      } else {
        v = F3(P(e, x - 1), P(e, x - 2), P(e, x - 3));
      }
      d[y * kPredStride + x] = v;
    }
  }
}

void I4VerticalLeft(uint8_t* d, const uint8_t* e, int) {
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      const int i = x + (y >> 1);
      d[y * kPredStride + x] =
          (y & 1) ? F3(P(e, i), P(e, i + 1), P(e, i + 2)) : F2(P(e, i), P(e, i + 1));
    }
  }
}

void I4HorizontalUp(uint8_t* d, const uint8_t* e, int) {
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      const int z = x + 2 * y;
      const int i = y + (x >> 1);
      uint8_t v;
      if (z > 5) {
        v = static_cast<uint8_t>(Q(e, 3));
      } else if (z == 5) {
        v = F3(Q(e, 2), Q(e, 3), Q(e, 3));
      } else if (z & 1) {
        v = F3(Q(e, i), Q(e, i + 1), Q(e, i + 2));
      } else {
        v = F2(Q(e, i), Q(e, i + 1));
      }
      d[y * kPredStride + x] = v;
    }
  }
}

// ---- Intra 16x16 and chroma kernels ----------------------------------------------------
template <int N>
void Vertical(uint8_t* d, const uint8_t* top, const uint8_t*, int, int) {
  for (int y = 0; y < N; ++y) std::memcpy(d + y * kPredStride, top, N);
}

template <int N>
void Horizontal(uint8_t* d, const uint8_t*, const uint8_t* left, int, int) {
  for (int y = 0; y < N; ++y) std::memset(d + y * kPredStride, left[y], N);
}

void Dc16x16(uint8_t* d, const uint8_t* top, const uint8_t* left, int, int avail) {
  int st = 0, sl = 0;
  for (int i = 0; i < 16; ++i) {
    st += top[i];
    sl += left[i];
  }
  int v = 128;
  if ((avail & 3) == 3) {
    v = (st + sl + 16) >> 5;
  } else if (avail & kIntraLeft) {
    v = (sl + 8) >> 4;
  } else if (avail & kIntraAbove) {
    v = (st + 8) >> 4;
  }
  for (int y = 0; y < 16; ++y) std::memset(d + y * kPredStride, v, 16);
}

// Plane prediction of an N x N block: N = 16 (luma) or 8 (chroma, 4:2:0).
template <int N>
void Plane(uint8_t* d, const uint8_t* top, const uint8_t* left, int corner, int) {
  constexpr int h = N / 2;
  int hs = 0, vs = 0;
  for (int i = 1; i <= h; ++i) {
    const int tp = h - 1 - i >= 0 ? top[h - 1 - i] : corner;
    const int lp = h - 1 - i >= 0 ? left[h - 1 - i] : corner;
    hs += i * (top[h - 1 + i] - tp);
    vs += i * (left[h - 1 + i] - lp);
  }
  int b, c;
  if (N == 16) {
    b = (5 * hs + 32) >> 6;
    c = (5 * vs + 32) >> 6;
  } else {
    b = (17 * hs + 16) >> 5;
    c = (17 * vs + 16) >> 5;
  }
  const int a = 16 * (left[N - 1] + top[N - 1]);
  for (int y = 0; y < N; ++y) {
    int v = a + c * (y - (h - 1)) - b * (h - 1) + 16;
    for (int x = 0; x < N; ++x) {
      d[y * kPredStride + x] = Clip255(v >> 5);
      v += b;
    }
  }
}

void DcChroma(uint8_t* d, const uint8_t* top, const uint8_t* left, int, int avail) {
  const int st0 = top[0] + top[1] + top[2] + top[3];
  const int st1 = top[4] + top[5] + top[6] + top[7];
  const int sl0 = left[0] + left[1] + left[2] + left[3];
  const int sl1 = left[4] + left[5] + left[6] + left[7];
  const bool hasT = avail & kIntraAbove, hasL = avail & kIntraLeft;
  int v[4] = {128, 128, 128, 128};
  if (hasT && hasL) {
    v[0] = (st0 + sl0 + 4) >> 3;
    v[3] = (st1 + sl1 + 4) >> 3;
  } else if (hasT) {
    v[0] = (st0 + 2) >> 2;
    v[3] = (st1 + 2) >> 2;
  } else if (hasL) {
    v[0] = (sl0 + 2) >> 2;
    v[3] = (sl1 + 2) >> 2;
  }
  if (hasT) {
    v[1] = (st1 + 2) >> 2;
  } else if (hasL) {
    v[1] = (sl0 + 2) >> 2;
  }
  if (hasL) {
    v[2] = (sl1 + 2) >> 2;
  } else if (hasT) {
    v[2] = (st0 + 2) >> 2;
  }
  for (int y = 0; y < 8; ++y) {
    std::memset(d + y * kPredStride, v[(y >> 2) * 2], 4);
    std::memset(d + y * kPredStride + 4, v[(y >> 2) * 2 + 1], 4);
  }
}

// Edge samples of an N x N area whose above-left sample is at topLeft.
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

// ---- Intra 4x4 directional modes by lookup ----------------------------------------------
// Every sample of modes 3..8 is one of: an edge sample, the two-tap average of neighbouring edge
// samples, or the three-tap filtered edge sample. The kernels compute those once and pick each
// sample by a constant index, without branches. Source layout: [0] L again, [1..13] the edge,
// [14] H again; [16 + i] two-tap of edge i and i + 1; [32 + i] three-tap centred on edge i.
constexpr int kSrcEdge = 1, kSrcTwo = 16, kSrcThree = 32;

constexpr uint8_t DirectionalIndex(int mode, int x, int y) {
  switch (mode) {
    case 3:  // diagonal down-left
      return kSrcThree + 6 + x + y;
    case 4:  // diagonal down-right
      return kSrcThree + 4 + x - y;
    case 5: {  // vertical-right
      const int z = 2 * x - y, xo = x - (y >> 1);
      if (z >= 0) return (z & 1) ? kSrcThree + 4 + xo : kSrcTwo + 4 + xo;
      return z == -1 ? kSrcThree + 4 : kSrcThree + 5 - y;
    }
    case 6: {  // horizontal-down
      const int z = 2 * y - x, yo = y - (x >> 1);
      if (z >= 0) return (z & 1) ? kSrcThree + 4 - yo : kSrcTwo + 3 - yo;
      return z == -1 ? kSrcThree + 4 : kSrcThree + 3 + x;
    }
    case 7:  // vertical-left
      return (y & 1) ? kSrcThree + 6 + x + (y >> 1) : kSrcTwo + 5 + x + (y >> 1);
    default: {  // 8, horizontal-up
      const int z = x + 2 * y, i = y + (x >> 1);
      if (z > 5) return kSrcEdge + 0;
      if (z == 5) return kSrcThree + 0;
      return (z & 1) ? kSrcThree + 2 - i : kSrcTwo + 2 - i;
    }
  }
}

struct DirectionalTables {
  uint8_t index[6][16];
};

constexpr DirectionalTables BuildDirectionalTables() {
  DirectionalTables t{};
  for (int mode = 3; mode <= 8; ++mode) {
    for (int k = 0; k < 16; ++k) t.index[mode - 3][k] = DirectionalIndex(mode, k & 3, k >> 2);
  }
  return t;
}

constexpr DirectionalTables kDirectional = BuildDirectionalTables();

template <int kMode>
void I4Directional(uint8_t* d, const uint8_t* e, int) {
  uint8_t s[48];
  s[0] = e[0];
  std::memcpy(s + kSrcEdge, e, kEdgeSize);
  s[kSrcEdge + kEdgeSize] = e[kEdgeSize - 1];
  for (int i = 0; i < kEdgeSize - 1; ++i) s[kSrcTwo + i] = F2(e[i], e[i + 1]);
  for (int i = 0; i < kEdgeSize; ++i) s[kSrcThree + i] = F3(s[i], s[i + 1], s[i + 2]);
  const uint8_t* idx = kDirectional.index[kMode - 3];
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) d[y * kPredStride + x] = s[idx[4 * y + x]];
  }
}

}  // namespace

void SetIntraFastKernels(ReconKernels* k) {
  k->intra4x4[3] = I4Directional<3>;
  k->intra4x4[4] = I4Directional<4>;
  k->intra4x4[5] = I4Directional<5>;
  k->intra4x4[6] = I4Directional<6>;
  k->intra4x4[7] = I4Directional<7>;
  k->intra4x4[8] = I4Directional<8>;
}

void SetIntraReferenceKernels(ReconKernels* k) {
  k->intra4x4[0] = I4Vertical;
  k->intra4x4[1] = I4Horizontal;
  k->intra4x4[2] = I4Dc;
  k->intra4x4[3] = I4DiagDownLeft;
  k->intra4x4[4] = I4DiagDownRight;
  k->intra4x4[5] = I4VerticalRight;
  k->intra4x4[6] = I4HorizontalDown;
  k->intra4x4[7] = I4VerticalLeft;
  k->intra4x4[8] = I4HorizontalUp;
  k->intra16x16[0] = Vertical<16>;
  k->intra16x16[1] = Horizontal<16>;
  k->intra16x16[2] = Dc16x16;
  k->intra16x16[3] = Plane<16>;
  k->intraChroma[0] = DcChroma;
  k->intraChroma[1] = Horizontal<8>;
  k->intraChroma[2] = Vertical<8>;
  k->intraChroma[3] = Plane<8>;
}

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
  ActiveReconKernels().intra4x4[mode](dst, e, avail);
}

void ReconstructIntra4x4(MacroblockState* mb, uint8_t* luma, int stride, const int8_t* modes,
                         int avail) {
  const int leftMask = (avail & 1) ? 0xFFFF : 0xEEEE;
  const int aboveMask = (avail & 2) ? 0xFFFF : 0xFFF0;
  const int aboveRightMask = ((avail & 2) ? 0x5757 : 0x5750) | ((avail & 4) ? 0x0008 : 0);
  const int aboveLeftMask =
      ((avail & 2) ? 0xEEEE : 0xEEE0) | ((avail & 1) ? 0x1110 : 0) | ((avail & 8) ? 1 : 0);
  const ReconKernels& k = ActiveReconKernels();
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
  ActiveReconKernels().intra16x16[mode](pred, e.top, e.left, e.corner, avail);
  return 1;
}

int PredictIntraChroma(uint8_t* pred, const uint8_t* cbOrigin, const uint8_t* crOrigin, int stride,
                       int avail, int mode) {
  if (mode < 0 || mode > 3) return 1;
  // Chroma modes: 0 DC, 1 horizontal, 2 vertical, 3 plane.
  static constexpr int kLuma16Equivalent[4] = {2, 1, 0, 3};
  if (!Intra16x16Allowed(kLuma16Equivalent[mode], avail)) return -1;
  const ReconKernels& k = ActiveReconKernels();
  for (int c = 0; c < 2; ++c) {
    Edges<8> e;
    GatherEdges(&e, c == 0 ? cbOrigin : crOrigin, stride, avail);
    k.intraChroma[mode](pred + 256 + 8 * c, e.top, e.left, e.corner, avail);
  }
  return 1;
}

}  // namespace vexlor::h264
