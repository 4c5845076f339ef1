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

// The portable reference: every sample written out as the standard's equations give it.
void InitIntraReference(IntraKernels* k);
// The fastest kernels the CPU flags allow (dsp::CpuFlag). Without SIMD these are the portable
// reference, with the directional Intra 4x4 modes taken from lookup tables (no branches).
void InitIntraKernels(IntraKernels* k, uint32_t cpuFlags);
// The table the decoder uses: InitIntraKernels for dsp::CpuFlagsInUse(), built once.
const IntraKernels& IntraKernelsInUse();

}  // namespace vexlor::h264
