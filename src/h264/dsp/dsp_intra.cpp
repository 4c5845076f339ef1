// Portable intra prediction kernels: the reference versions, and table-driven versions of the
// directional Intra 4x4 modes.
#include "dsp/dsp_intra.h"

#include <cstring>

#include "dsp/dsp_transform.h"
#include "h264/cpu.h"

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

void InitIntraReference(IntraKernels* k) {
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

void InitIntraKernels(IntraKernels* k, uint32_t cpuFlags) {
  (void)cpuFlags;  // no SIMD versions yet
  InitIntraReference(k);
  k->intra4x4[3] = I4Directional<3>;
  k->intra4x4[4] = I4Directional<4>;
  k->intra4x4[5] = I4Directional<5>;
  k->intra4x4[6] = I4Directional<6>;
  k->intra4x4[7] = I4Directional<7>;
  k->intra4x4[8] = I4Directional<8>;
}

const IntraKernels& IntraKernelsInUse() {
  return dsp::KernelsInUse<IntraKernels, InitIntraKernels>();
}

}  // namespace vexlor::h264
