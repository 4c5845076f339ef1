// Edge filters of the in-loop deblocking filter (H.264 clause 8.7.2), behind a function table
// with a portable reference implementation. Index [0] of each entry filters a vertical edge (the
// samples p3..q3 lie along a row, the edge runs down a column), index [1] a horizontal edge.
// `pix` points at q0 of the first line; `stride` is the plane's row stride.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlor::h264 {

// bS 1..3 across one luma edge of 16 lines: tc0[s] is tC0 of the 4 lines of segment s, or
// negative for a segment of bS 0, which is left untouched.
using LumaNormalFn = void (*)(uint8_t* pix, ptrdiff_t stride, int alpha, int beta,
                              const int8_t* tc0);
// bS 4 across one luma edge of 16 lines.
using LumaStrongFn = void (*)(uint8_t* pix, ptrdiff_t stride, int alpha, int beta);
// The chroma versions: the same edge of both chroma planes (cb and cr point at q0 of the first
// line of each; `stride` is the chroma stride), 8 lines each, two lines per segment.
using ChromaNormalFn = void (*)(uint8_t* cb, uint8_t* cr, ptrdiff_t stride, int alpha, int beta,
                                const int8_t* tc0);
using ChromaStrongFn = void (*)(uint8_t* cb, uint8_t* cr, ptrdiff_t stride, int alpha, int beta);

struct DeblockKernels {
  LumaNormalFn lumaNormal[2];
  LumaStrongFn lumaStrong[2];
  ChromaNormalFn chromaNormal[2];
  ChromaStrongFn chromaStrong[2];
};

// The portable reference: an edge at a time, line by line.
void InitDeblockReference(DeblockKernels* k);
// The fastest kernels the CPU flags allow (dsp::CpuFlag). Without SIMD these are the portable
// lane-parallel versions (dsp_deblock_lanes.cpp).
void InitDeblockKernels(DeblockKernels* k, uint32_t cpuFlags);
// The table the decoder uses: InitDeblockKernels for dsp::CpuFlagsInUse(), built once.
const DeblockKernels& DeblockKernelsInUse();
void InitDeblockLanes(DeblockKernels* k);

// Fills a table from a set of filters: a class with the four static member templates LumaNormal,
// LumaStrong, ChromaNormal and ChromaStrong, each templated on the edge being vertical.
template <class Filters>
void SetDeblockKernels(DeblockKernels* k) {
  k->lumaNormal[0] = &Filters::template LumaNormal<true>;
  k->lumaNormal[1] = &Filters::template LumaNormal<false>;
  k->lumaStrong[0] = &Filters::template LumaStrong<true>;
  k->lumaStrong[1] = &Filters::template LumaStrong<false>;
  k->chromaNormal[0] = &Filters::template ChromaNormal<true>;
  k->chromaNormal[1] = &Filters::template ChromaNormal<false>;
  k->chromaStrong[0] = &Filters::template ChromaStrong<true>;
  k->chromaStrong[1] = &Filters::template ChromaStrong<false>;
}

// Threshold tables of the standard, indexed 0..51: alpha' and beta' by indexA / indexB (Table
// 8-16), and tC0 by indexA and bS - 1 (Table 8-17).
extern const uint8_t kDeblockAlpha[52];
extern const uint8_t kDeblockBeta[52];
extern const uint8_t kDeblockTc0[52][3];

}  // namespace vexlor::h264
