// The reference edge filters of the deblocking filter and the standard's threshold tables. Per
// line, the only branches are the standard's filter decisions.
#include "dsp/dsp_deblock.h"

#include <cstdlib>
#include <initializer_list>

#include "h264/cpu.h"

namespace vexlor::h264 {

const uint8_t kDeblockAlpha[52] = {0,  0,  0,  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
                                   0,  0,  0,  4,   4,   5,   6,   7,   8,   9,   10,  12,  13,
                                   15, 17, 20, 22,  25,  28,  32,  36,  40,  45,  50,  56,  63,
                                   71, 80, 90, 101, 113, 127, 144, 162, 182, 203, 226, 255, 255};

const uint8_t kDeblockBeta[52] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  0,  0,  0,  2,  2,  2,  3,  3,  3,  3,  4,  4,  4,
    6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 17, 17, 18, 18};

const uint8_t kDeblockTc0[52][3] = {
    {0, 0, 0},    {0, 0, 0},    {0, 0, 0},    {0, 0, 0},  {0, 0, 0},   {0, 0, 0},   {0, 0, 0},
    {0, 0, 0},    {0, 0, 0},    {0, 0, 0},    {0, 0, 0},  {0, 0, 0},   {0, 0, 0},   {0, 0, 0},
    {0, 0, 0},    {0, 0, 0},    {0, 0, 0},    {0, 0, 1},  {0, 0, 1},   {0, 0, 1},   {0, 0, 1},
    {0, 1, 1},    {0, 1, 1},    {1, 1, 1},    {1, 1, 1},  {1, 1, 1},   {1, 1, 1},   {1, 1, 2},
    {1, 1, 2},    {1, 1, 2},    {1, 1, 2},    {1, 2, 3},  {1, 2, 3},   {2, 2, 3},   {2, 2, 4},
    {2, 3, 4},    {2, 3, 4},    {3, 3, 5},    {3, 4, 6},  {3, 4, 6},   {4, 5, 7},   {4, 5, 8},
    {4, 6, 9},    {5, 7, 10},   {6, 8, 11},   {6, 8, 13}, {7, 10, 14}, {8, 11, 16}, {9, 12, 18},
    {10, 13, 20}, {11, 15, 23}, {13, 17, 25},
};

namespace {

inline int Clip1(int v) {
  return v < 0 ? 0 : (v > 255 ? 255 : v);
}
inline int Clip3(int lo, int hi, int v) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// One line of the bS < 4 filter. `step` goes across the edge.
template <bool kChroma>
inline void NormalLine(uint8_t* q, ptrdiff_t step, int alpha, int beta, int tc0) {
  const int p0 = q[-step], p1 = q[-2 * step];
  const int q0 = q[0], q1 = q[step];
  if (std::abs(p0 - q0) >= alpha || std::abs(p1 - p0) >= beta || std::abs(q1 - q0) >= beta) return;
  if constexpr (kChroma) {
    const int tc = tc0 + 1;
    const int delta = Clip3(-tc, tc, (((q0 - p0) * 4) + (p1 - q1) + 4) >> 3);
    q[-step] = static_cast<uint8_t>(Clip1(p0 + delta));
    q[0] = static_cast<uint8_t>(Clip1(q0 - delta));
  } else {
    const int p2 = q[-3 * step], q2 = q[2 * step];
    const int ap = std::abs(p2 - p0), aq = std::abs(q2 - q0);
    const int tc = tc0 + (ap < beta) + (aq < beta);
    const int delta = Clip3(-tc, tc, (((q0 - p0) * 4) + (p1 - q1) + 4) >> 3);
    q[-step] = static_cast<uint8_t>(Clip1(p0 + delta));
    q[0] = static_cast<uint8_t>(Clip1(q0 - delta));
    if (ap < beta) {
      q[-2 * step] =
          static_cast<uint8_t>(p1 + Clip3(-tc0, tc0, (p2 + ((p0 + q0 + 1) >> 1) - (p1 * 2)) >> 1));
    }
    if (aq < beta) {
      q[step] =
          static_cast<uint8_t>(q1 + Clip3(-tc0, tc0, (q2 + ((p0 + q0 + 1) >> 1) - (q1 * 2)) >> 1));
    }
  }
}

// One line of the bS 4 filter.
template <bool kChroma>
inline void StrongLine(uint8_t* q, ptrdiff_t step, int alpha, int beta) {
  const int p0 = q[-step], p1 = q[-2 * step];
  const int q0 = q[0], q1 = q[step];
  if (std::abs(p0 - q0) >= alpha || std::abs(p1 - p0) >= beta || std::abs(q1 - q0) >= beta) return;
  if constexpr (kChroma) {
    q[-step] = static_cast<uint8_t>((2 * p1 + p0 + q1 + 2) >> 2);
    q[0] = static_cast<uint8_t>((2 * q1 + q0 + p1 + 2) >> 2);
  } else {
    const int p2 = q[-3 * step], q2 = q[2 * step];
    const bool small = std::abs(p0 - q0) < ((alpha >> 2) + 2);
    if (small && std::abs(p2 - p0) < beta) {
      const int p3 = q[-4 * step];
      q[-step] = static_cast<uint8_t>((p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3);
      q[-2 * step] = static_cast<uint8_t>((p2 + p1 + p0 + q0 + 2) >> 2);
      q[-3 * step] = static_cast<uint8_t>((2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3);
    } else {
      q[-step] = static_cast<uint8_t>((2 * p1 + p0 + q1 + 2) >> 2);
    }
    if (small && std::abs(q2 - q0) < beta) {
      const int q3 = q[3 * step];
      q[0] = static_cast<uint8_t>((p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3);
      q[step] = static_cast<uint8_t>((p0 + q0 + q1 + q2 + 2) >> 2);
      q[2 * step] = static_cast<uint8_t>((2 * q3 + 3 * q2 + q1 + q0 + p0 + 4) >> 3);
    } else {
      q[0] = static_cast<uint8_t>((2 * q1 + q0 + p1 + 2) >> 2);
    }
  }
}

// The reference filters, an edge at a time, line by line.
struct LineFilters {
  // kVertical: the edge is vertical, so "across" is along a row (step 1) and lines follow rows.
  template <bool kVertical>
  static void LumaNormal(uint8_t* pix, ptrdiff_t stride, int alpha, int beta, const int8_t* tc0) {
    const ptrdiff_t across = kVertical ? 1 : stride;
    const ptrdiff_t along = kVertical ? stride : 1;
    for (int s = 0; s < 4; ++s) {
      const int tc = tc0[s];
      uint8_t* line = pix + 4 * s * along;
      if (tc < 0) continue;
      for (int i = 0; i < 4; ++i, line += along) NormalLine<false>(line, across, alpha, beta, tc);
    }
  }

  template <bool kVertical>
  static void LumaStrong(uint8_t* pix, ptrdiff_t stride, int alpha, int beta) {
    const ptrdiff_t across = kVertical ? 1 : stride;
    const ptrdiff_t along = kVertical ? stride : 1;
    for (int i = 0; i < 16; ++i, pix += along) StrongLine<false>(pix, across, alpha, beta);
  }

  template <bool kVertical>
  static void ChromaNormal(uint8_t* cb, uint8_t* cr, ptrdiff_t stride, int alpha, int beta,
                           const int8_t* tc0) {
    const ptrdiff_t across = kVertical ? 1 : stride;
    const ptrdiff_t along = kVertical ? stride : 1;
    for (uint8_t* pix : {cb, cr}) {
      for (int s = 0; s < 4; ++s) {
        const int tc = tc0[s];
        uint8_t* line = pix + 2 * s * along;
        if (tc < 0) continue;
        NormalLine<true>(line, across, alpha, beta, tc);
        NormalLine<true>(line + along, across, alpha, beta, tc);
      }
    }
  }

  template <bool kVertical>
  static void ChromaStrong(uint8_t* cb, uint8_t* cr, ptrdiff_t stride, int alpha, int beta) {
    const ptrdiff_t across = kVertical ? 1 : stride;
    const ptrdiff_t along = kVertical ? stride : 1;
    for (uint8_t* pix : {cb, cr}) {
      for (int i = 0; i < 8; ++i, pix += along) StrongLine<true>(pix, across, alpha, beta);
    }
  }
};

}  // namespace

void InitDeblockReference(DeblockKernels* k) {
  SetDeblockKernels<LineFilters>(k);
}

void InitDeblockKernels(DeblockKernels* k, uint32_t cpuFlags) {
  (void)cpuFlags;  // no SIMD versions yet
  InitDeblockLanes(k);
}

const DeblockKernels& DeblockKernelsInUse() {
  return dsp::KernelsInUse<DeblockKernels, InitDeblockKernels>();
}

}  // namespace vexlor::h264
