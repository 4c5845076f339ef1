// Intra prediction kernels (H.264 clause 8.3): the nine Intra 4x4 modes from the block's edge
// samples, and the four Intra 16x16 and four chroma modes from the macroblock's neighbours.
#pragma once

#include <cstdint>

namespace vexlor::h264 {

// Intra 4x4 edge samples, in this order: L K J I (left column, bottom to top), M (above-left),
// A B C D (above), E F G H (above-right).
enum Intra4x4Edge : int {
  kEdgeL = 0,
  kEdgeI = 3,
  kEdgeM = 4,
  kEdgeA = 5,
  kEdgeE = 9,
  kEdgeSize = 13
};

// Availability bits handed to the intra kernels (only DC looks at them).
enum IntraAvail : int { kIntraLeft = 1, kIntraAbove = 2 };

struct IntraKernels {
  // Intra 4x4 modes 0..8 from the 13 edge samples; writes 4x4 samples at dst (stride kPredStride).
  void (*intra4x4[9])(uint8_t* dst, const uint8_t* edge, int avail);
  // Intra 16x16 modes 0..3: top[16], left[16] (top to bottom), corner p[-1, -1].
  void (*intra16x16[4])(uint8_t* dst, const uint8_t* top, const uint8_t* left, int corner,
                        int avail);
  // Chroma modes 0..3 (DC, horizontal, vertical, plane) for one 8x8 component.
  void (*intraChroma[4])(uint8_t* dst, const uint8_t* top, const uint8_t* left, int corner,
                         int avail);
};

// The parameters of plane prediction of an N x N block (N = 16 luma, 8 chroma): sample (x, y) is
// Clip((a + b (x - N/2 + 1) + c (y - N/2 + 1) + 16) >> 5).
template <int N>
inline void PlaneParameters(const uint8_t* top, const uint8_t* left, int corner, int* a, int* b,
                            int* c) {
  constexpr int h = N / 2;
  int hs = 0, vs = 0;
  for (int i = 1; i <= h; ++i) {
    const int tp = h - 1 - i >= 0 ? top[h - 1 - i] : corner;
    const int lp = h - 1 - i >= 0 ? left[h - 1 - i] : corner;
    hs += i * (top[h - 1 + i] - tp);
    vs += i * (left[h - 1 + i] - lp);
  }
  *b = N == 16 ? (5 * hs + 32) >> 6 : (17 * hs + 16) >> 5;
  *c = N == 16 ? (5 * vs + 32) >> 6 : (17 * vs + 16) >> 5;
  *a = 16 * (left[N - 1] + top[N - 1]);
}

// The portable reference: every sample written out as the standard's equations give it.
void InitIntraReference(IntraKernels* k);
// The fastest kernels the CPU flags allow (dsp::CpuFlag): the directional Intra 4x4 modes from
// lookup tables (no branches), and with SSE2 the 16x16 DC and the plane modes.
void InitIntraKernels(IntraKernels* k, uint32_t cpuFlags);
// The table the decoder uses: InitIntraKernels for dsp::CpuFlagsInUse(), built once.
const IntraKernels& IntraKernelsInUse();
// The SSE2 versions (dsp_intra_sse2.cpp), on x86 only.
void InitIntraSse2(IntraKernels* k);

}  // namespace vexlor::h264
