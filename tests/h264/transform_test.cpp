// Scaling and inverse transforms against the equations of H.264 clauses 8.5.10 to 8.5.12 written
// out literally (LevelScale4x4 = 16 * normAdjust4x4, the rounding forms for small qP), on random
// input; and the shortcuts of the residual reconstruction against the full transform.
#include "recon/transform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "dsp/dsp_transform.h"

namespace vexlor::h264 {
namespace {

const int kNormAdjust[6][3] = {{10, 16, 13}, {11, 18, 14}, {13, 20, 16},
                               {14, 23, 18}, {16, 25, 20}, {18, 29, 23}};

int LevelScale4x4(int m, int i, int j) {
  const int v = (i % 2 == 0 && j % 2 == 0)   ? kNormAdjust[m][0]
                : (i % 2 == 1 && j % 2 == 1) ? kNormAdjust[m][1]
                                             : kNormAdjust[m][2];
  return 16 * v;
}

// Clause 8.5.12: c[i][j] with i the row; d00 taken as given when dcGiven.
void StandardResidual(const int c[4][4], int qP, bool dcGiven, int r[4][4]) {
  int d[4][4];
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      if (i == 0 && j == 0 && dcGiven) {
        d[i][j] = c[i][j];
      } else if (qP >= 24) {
        d[i][j] = (c[i][j] * LevelScale4x4(qP % 6, i, j)) << (qP / 6 - 4);
      } else {
        d[i][j] = (c[i][j] * LevelScale4x4(qP % 6, i, j) + (1 << (3 - qP / 6))) >> (4 - qP / 6);
      }
    }
  }
  int f[4][4], h[4][4];
  for (int i = 0; i < 4; ++i) {
    const int e0 = d[i][0] + d[i][2], e1 = d[i][0] - d[i][2];
    const int e2 = (d[i][1] >> 1) - d[i][3], e3 = d[i][1] + (d[i][3] >> 1);
    f[i][0] = e0 + e3;
    f[i][1] = e1 + e2;
    f[i][2] = e1 - e2;
    f[i][3] = e0 - e3;
  }
  for (int j = 0; j < 4; ++j) {
    const int g0 = f[0][j] + f[2][j], g1 = f[0][j] - f[2][j];
    const int g2 = (f[1][j] >> 1) - f[3][j], g3 = f[1][j] + (f[3][j] >> 1);
    h[0][j] = g0 + g3;
    h[1][j] = g1 + g2;
    h[2][j] = g1 - g2;
    h[3][j] = g0 - g3;
  }
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) r[i][j] = (h[i][j] + 32) >> 6;
  }
}

// The reference kernels, which the tests hold against the standard's equations.
const TransformKernels& Reference() {
  static const TransformKernels k = [] {
    TransformKernels t{};
    InitTransformReference(&t);
    return t;
  }();
  return k;
}

int RandomLevel(std::mt19937& rng) {
  switch (rng() % 4) {
    case 0:
      return 0;
    case 1:
      return static_cast<int>(rng() % 7) - 3;
    case 2:
      return static_cast<int>(rng() % 201) - 100;
    default:
      return static_cast<int>(rng() % 5001) - 2500;
  }
}

TEST(Transform, ResidualMatchesTheStandardOnRandomBlocks) {
  std::mt19937 rng(99);
  const TransformKernels& k = Reference();
  for (int iter = 0; iter < 50000; ++iter) {
    const int qP = static_cast<int>(rng() % 52);
    const bool dcGiven = rng() % 2;
    int c[4][4];
    alignas(16) int32_t coeff[16];
    for (int i = 0; i < 16; ++i) coeff[i] = c[i / 4][i % 4] = RandomLevel(rng);
    if (dcGiven) coeff[0] = c[0][0] = static_cast<int>(rng() % 200001) - 100000;
    alignas(16) uint8_t pred[4 * kPredStride];
    for (uint8_t& p : pred) p = static_cast<uint8_t>(rng());
    uint8_t dst[4 * 7];
    std::memset(dst, 0xEE, sizeof(dst));
    k.addResidual4x4(dst, 7, pred, coeff, qP, dcGiven, c[0][0]);
    int r[4][4];
    StandardResidual(c, qP, dcGiven, r);
    for (int i = 0; i < 4; ++i) {
      for (int j = 0; j < 4; ++j) {
        int u = pred[i * kPredStride + j] + r[i][j];
        u = u < 0 ? 0 : (u > 255 ? 255 : u);
        ASSERT_EQ(dst[i * 7 + j], u) << "qP " << qP << " iteration " << iter;
      }
      ASSERT_EQ(dst[i * 7 + 4], 0xEE);  // nothing outside the block
    }
    for (int i = 0; i < 16; ++i) ASSERT_EQ(coeff[i], 0);  // consumed
  }
}

TEST(Transform, DcTransformsMatchTheStandard) {
  std::mt19937 rng(5);
  const TransformKernels& k = Reference();
  for (int iter = 0; iter < 20000; ++iter) {
    const int qP = static_cast<int>(rng() % 52);
    int32_t c[16], out[16];
    for (int32_t& v : c) v = RandomLevel(rng);
    k.inverseLumaDc(c, out, dcScale[qP]);
    // f = H c H, then clause 8.5.10.
    static const int H[4][4] = {{1, 1, 1, 1}, {1, 1, -1, -1}, {1, -1, -1, 1}, {1, -1, 1, -1}};
    for (int i = 0; i < 4; ++i) {
      for (int j = 0; j < 4; ++j) {
        long long f = 0;
        for (int a = 0; a < 4; ++a) {
          for (int b = 0; b < 4; ++b) f += H[i][a] * c[4 * a + b] * H[b][j];
        }
        const long long ls = LevelScale4x4(qP % 6, 0, 0);
        const long long want =
            qP >= 36 ? (f * ls) << (qP / 6 - 6) : (f * ls + (1LL << (5 - qP / 6))) >> (6 - qP / 6);
        ASSERT_EQ(out[4 * i + j], want) << "qP " << qP;
      }
    }
    int32_t cc[4], co[4];
    for (int32_t& v : cc) v = RandomLevel(rng);
    k.inverseChromaDc(cc, co, dcScale[qP]);
    const long long f[4] = {cc[0] + cc[1] + cc[2] + cc[3], cc[0] - cc[1] + cc[2] - cc[3],
                            cc[0] + cc[1] - cc[2] - cc[3], cc[0] - cc[1] - cc[2] + cc[3]};
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(co[i], ((f[i] * LevelScale4x4(qP % 6, 0, 0)) << (qP / 6)) >> 5) << "qP " << qP;
    }
  }
}

// The reconstruction shortcuts (copy, DC-only, DC matrix without AC) give what the full transform
// gives.
TEST(Transform, ReconstructLumaShortcutsEqualTheFullTransform) {
  std::mt19937 rng(11);
  const TransformKernels& k = Reference();
  for (int iter = 0; iter < 2000; ++iter) {
    const int qp = static_cast<int>(rng() % 52);
    const int dcFlag = iter % 2;
    alignas(16) uint8_t pred[256];
    for (uint8_t& p : pred) p = static_cast<uint8_t>(rng());
    alignas(16) int32_t coeff[16][16] = {};
    alignas(16) int32_t copy[16][16];
    int32_t lumaDc[16] = {};
    int coded = 0, dcOnly = 0;
    for (int b = 0; b < 16; ++b) {
      const int kind = rng() % 3;  // empty, DC only (P blocks), full
      if (kind == 0) continue;
      coded |= 1 << b;
      if (kind == 1 && !dcFlag) {
        coeff[b][0] = RandomLevel(rng) | 1;
        dcOnly |= 1 << b;
      } else {
        for (int i = dcFlag; i < 16; ++i) coeff[b][i] = RandomLevel(rng);
      }
    }
    if (dcFlag) {
      for (int32_t& v : lumaDc) v = rng() % 3 ? 0 : RandomLevel(rng);
    }
    std::memcpy(copy, coeff, sizeof(coeff));
    uint8_t fast[16 * 16], slow[16 * 16];
    ReconstructLuma(pred, lumaDc, dcFlag, coeff, fast, 16, qp, coded, dcOnly);
    int32_t dc[16] = {};
    if (dcFlag) k.inverseLumaDc(lumaDc, dc, dcScale[qp]);
    for (int b = 0; b < 16; ++b) {
      const int off = (b >> 2) * 64 + (b & 3) * 4;
      k.addResidual4x4(slow + off, 16, pred + off, copy[b], qp, dcFlag, dc[b]);
    }
    ASSERT_EQ(std::memcmp(fast, slow, sizeof(fast)), 0) << "iteration " << iter;
    for (int b = 0; b < 16; ++b) {
      for (int i = 0; i < 16; ++i) ASSERT_EQ(coeff[b][i], 0);
    }
  }
}

TEST(Transform, ReconstructChromaUsesTheDcOfEachBlock) {
  alignas(16) uint8_t pred[384];
  std::memset(pred, 100, sizeof(pred));
  int32_t chromaDc[2][4] = {{4, 0, 0, 0}, {0, 0, 0, -4}};
  alignas(16) int32_t chromaAc[8][16] = {};
  uint8_t cb[8 * 8], cr[8 * 8];
  // qpChroma 30: dcScale 320. Cb: f = (4, 4, 4, 4) -> 640 each -> +10. Cr: f = (-4, 4, 4, -4).
  ReconstructChroma(pred, chromaDc, chromaAc, cb, cr, 8, 30, 3, 0);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      EXPECT_EQ(cb[y * 8 + x], 110);
      const int j = (y >> 2) * 2 + (x >> 2);
      EXPECT_EQ(cr[y * 8 + x], (j == 0 || j == 3) ? 90 : 110) << x << "," << y;
    }
  }
  // Without any residual the prediction is copied.
  ReconstructChroma(pred, chromaDc, chromaAc, cb, cr, 8, 30, 0, 0);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(cb[i] + cr[i], 200);
}

TEST(Transform, ExtremeLevelsClip) {
  const TransformKernels& k = Reference();
  alignas(16) uint8_t pred[4 * kPredStride];
  std::memset(pred, 128, sizeof(pred));
  alignas(16) int32_t coeff[16] = {2500};
  uint8_t dst[16];
  k.addResidual4x4(dst, 4, pred, coeff, 51, 0, 0);
  for (uint8_t v : dst) EXPECT_EQ(v, 255);
  coeff[0] = -2500;
  k.addResidual4x4(dst, 4, pred, coeff, 51, 0, 0);
  for (uint8_t v : dst) EXPECT_EQ(v, 0);
  // (x + 32) >> 6 rounds towards minus infinity for negative values: -33 -> -1, -32 -> 0.
  k.addDcOnly4x4(dst, 4, pred, -33);
  EXPECT_EQ(dst[0], 127);
  k.addDcOnly4x4(dst, 4, pred, -32);
  EXPECT_EQ(dst[0], 128);
}

}  // namespace
}  // namespace vexlor::h264
