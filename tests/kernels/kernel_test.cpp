// Every entry of every kernel table against its portable reference, at every CPU level this
// machine has, on random and extreme inputs (in the manner of checkasm).
//
//   kernel_tests            the comparison, as GoogleTest tests
//   kernel_tests --bench    the time of every entry at every level, relative to the reference
//
// Each table has a static_assert on its size below: an entry added to a table without a case here
// stops the build.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dsp/dsp_deblock.h"
#include "dsp/dsp_intra.h"
#include "dsp/dsp_mc.h"
#include "dsp/dsp_transform.h"
#include "dsp_colour.h"
#include "h264/cpu.h"

namespace vexlor {
namespace {

using Rng = std::mt19937;
using h264::kPredStride;

// Every kernel table, filled for one level (or with the references).
struct Tables {
  h264::TransformKernels transform{};
  h264::IntraKernels intra{};
  h264::McKernels mc{};
  h264::DeblockKernels deblock{};
  colour::ColourKernels colour{};
};

template <class T>
constexpr size_t Entries() {
  return sizeof(T) / sizeof(void (*)());
}
static_assert(Entries<h264::TransformKernels>() == 5, "a transform kernel without a case");
static_assert(Entries<h264::IntraKernels>() == 9 + 4 + 4, "an intra kernel without a case");
static_assert(Entries<h264::McKernels>() == 3 * 16 + 3,
              "a motion compensation kernel without a case");
static_assert(Entries<h264::DeblockKernels>() == 8, "a deblocking kernel without a case");
static_assert(Entries<colour::ColourKernels>() == 2, "a colour kernel without a case");

Tables ReferenceTables() {
  Tables t;
  h264::InitTransformReference(&t.transform);
  h264::InitIntraReference(&t.intra);
  h264::InitMcReference(&t.mc);
  h264::InitDeblockReference(&t.deblock);
  colour::InitColourReference(&t.colour);
  return t;
}

Tables TablesFor(uint32_t cpuFlags) {
  Tables t;
  h264::InitTransformKernels(&t.transform, cpuFlags);
  h264::InitIntraKernels(&t.intra, cpuFlags);
  h264::InitMcKernels(&t.mc, cpuFlags);
  h264::InitDeblockKernels(&t.deblock, cpuFlags);
  colour::InitColourKernels(&t.colour, cpuFlags);
  return t;
}

// The levels this machine can run.
std::vector<dsp::CpuLevel> AvailableLevels() {
  std::vector<dsp::CpuLevel> out;
  for (const dsp::CpuLevel& level : dsp::CpuLevels()) {
    if ((level.flags & dsp::DetectCpuFlags()) == level.flags) out.push_back(level);
  }
  return out;
}

int Uniform(Rng& rng, int lo, int hi) {
  return std::uniform_int_distribution<int>(lo, hi)(rng);
}

// Bytes: random, or for the first trials all 0, all 255, or alternating extremes.
void FillBytes(uint8_t* p, size_t n, Rng& rng, int trial) {
  if (trial < 3) {
    for (size_t i = 0; i < n; ++i) p[i] = trial == 0 ? 0 : trial == 1 ? 255 : (i & 1) ? 255 : 0;
    return;
  }
  for (size_t i = 0; i < n; i += 4) {
    const uint32_t r = static_cast<uint32_t>(rng());
    for (size_t k = 0; k < 4 && i + k < n; ++k) p[i + k] = static_cast<uint8_t>(r >> (8 * k));
  }
}

// A coefficient level as CAVLC can deliver it (at most 4095 in magnitude, mostly small), or the
// extreme values for the first trials.
int32_t Level(Rng& rng, int trial) {
  if (trial == 0) return 0;
  if (trial == 1) return 4095;
  if (trial == 2) return -4095;
  switch (rng() % 4) {
    case 0:
      return 0;
    case 1:
      return Uniform(rng, -3, 3);
    case 2:
      return Uniform(rng, -100, 100);
    default:
      return Uniform(rng, -4095, 4095);
  }
}

// One entry of one table. Work holds the input of a trial and the output area (a plain record,
// compared byte for byte); fill makes the input of a trial, call runs the entry of a table on it.
struct Case {
  std::string name;
  int trials = 0;
  // The work area after running the entry of `t` on the input of (rng, trial).
  std::function<std::vector<uint8_t>(const Tables& t, Rng& rng, int trial)> run;
  // Nanoseconds per call of the entry of `t`, on one input, the fastest of a few rounds.
  std::function<double(const Tables& t)> time;
};

template <class Work>
Case MakeCase(std::string name, int trials, std::function<void(Work&, Rng&, int)> fill,
              std::function<void(const Tables&, Work&)> call) {
  Case c;
  c.name = std::move(name);
  c.trials = trials;
  c.run = [fill, call](const Tables& t, Rng& rng, int trial) {
    Work w;
    std::memset(&w, 0, sizeof w);  // padding included: the whole record is compared
    fill(w, rng, trial);
    call(t, w);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&w);
    return std::vector<uint8_t>(bytes, bytes + sizeof w);
  };
  c.time = [fill, call](const Tables& t) {
    using Clock = std::chrono::steady_clock;
    Rng rng(7);
    Work w{};
    fill(w, rng, 10);
    double best = 1e30;
    for (int round = 0; round < 7; ++round) {
      constexpr int kCalls = 4000;
      const auto start = Clock::now();
      for (int i = 0; i < kCalls; ++i) call(t, w);
      const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
      best = std::min(best, ns / kCalls);
    }
    return best;
  };
  return c;
}

// "name[i]", and "name[i][j]" with j.
std::string Indexed(const char* name, int i, int j = -1) {
  std::string out(name);
  out.append("[").append(std::to_string(i)).append("]");
  if (j >= 0) out.append("[").append(std::to_string(j)).append("]");
  return out;
}

struct ResidualWork {
  alignas(16) int32_t coeff[16];
  alignas(16) uint8_t pred[4 * kPredStride];
  uint8_t dst[4 * 9];
  int32_t qp, dcSupplied, dcValue;
};

struct DcWork {
  int32_t levels[16], out[16];
  int32_t factor;
};

void AddTransformCases(std::vector<Case>* cases) {
  cases->push_back(MakeCase<ResidualWork>(
      "transform.addResidual4x4", 4000,
      [](ResidualWork& w, Rng& rng, int trial) {
        for (int32_t& c : w.coeff) c = Level(rng, trial);
        FillBytes(w.pred, sizeof w.pred, rng, trial);
        std::memset(w.dst, 0xA5, sizeof w.dst);
        w.qp = trial < 3 ? 51 * (trial & 1) : Uniform(rng, 0, 51);
        w.dcSupplied = trial < 3 ? 1 : Uniform(rng, 0, 1);
        w.dcValue = trial == 1   ? 40000000
                    : trial == 2 ? -40000000
                                 : Uniform(rng, -40000000, 40000000);
      },
      [](const Tables& t, ResidualWork& w) {
        t.transform.addResidual4x4(w.dst, 9, w.pred, w.coeff, w.qp, w.dcSupplied, w.dcValue);
      }));
  cases->push_back(MakeCase<ResidualWork>(
      "transform.addDcOnly4x4", 2000,
      [](ResidualWork& w, Rng& rng, int trial) {
        FillBytes(w.pred, sizeof w.pred, rng, trial);
        std::memset(w.dst, 0xA5, sizeof w.dst);
        const int32_t extremes[] = {0, 2147483583, -2147483647 - 1, -33, -32};
        w.dcValue = trial < 5 ? extremes[trial] : static_cast<int32_t>(rng()) >> (rng() % 31);
      },
      [](const Tables& t, ResidualWork& w) {
        t.transform.addDcOnly4x4(w.dst, 9, w.pred, w.dcValue);
      }));
  cases->push_back(MakeCase<ResidualWork>(
      "transform.copyPrediction4x4", 200,
      [](ResidualWork& w, Rng& rng, int trial) {
        FillBytes(w.pred, sizeof w.pred, rng, trial);
        std::memset(w.dst, 0xA5, sizeof w.dst);
      },
      [](const Tables& t, ResidualWork& w) { t.transform.copyPrediction4x4(w.dst, 9, w.pred); }));
  auto fillDc = [](DcWork& w, Rng& rng, int trial) {
    for (int32_t& v : w.levels) v = Level(rng, trial);
    w.factor = h264::dcScale[trial < 3 ? 51 : Uniform(rng, 0, 51)];
  };
  cases->push_back(MakeCase<DcWork>(
      "transform.inverseLumaDc", 2000, fillDc,
      [](const Tables& t, DcWork& w) { t.transform.inverseLumaDc(w.levels, w.out, w.factor); }));
  cases->push_back(MakeCase<DcWork>(
      "transform.inverseChromaDc", 2000, fillDc,
      [](const Tables& t, DcWork& w) { t.transform.inverseChromaDc(w.levels, w.out, w.factor); }));
}

struct Intra4x4Work {
  uint8_t edge[16];
  alignas(16) uint8_t dst[4 * kPredStride];
  int32_t avail;
};

struct Intra16Work {
  uint8_t top[16], left[16];
  alignas(16) uint8_t dst[16 * kPredStride];
  int32_t corner, avail;
};

void AddIntraCases(std::vector<Case>* cases) {
  for (int mode = 0; mode < 9; ++mode) {
    cases->push_back(MakeCase<Intra4x4Work>(
        Indexed("intra.intra4x4", mode), 1000,
        [](Intra4x4Work& w, Rng& rng, int trial) {
          FillBytes(w.edge, h264::kEdgeSize, rng, trial);
          std::memset(w.dst, 0xA5, sizeof w.dst);
          w.avail = Uniform(rng, 0, 3);
        },
        [mode](const Tables& t, Intra4x4Work& w) {
          t.intra.intra4x4[mode](w.dst, w.edge, w.avail);
        }));
  }
  for (int chroma = 0; chroma < 2; ++chroma) {
    for (int mode = 0; mode < 4; ++mode) {
      cases->push_back(MakeCase<Intra16Work>(
          Indexed(chroma ? "intra.intraChroma" : "intra.intra16x16", mode), 1000,
          [](Intra16Work& w, Rng& rng, int trial) {
            FillBytes(w.top, 16, rng, trial);
            FillBytes(w.left, 16, rng, trial);
            std::memset(w.dst, 0xA5, sizeof w.dst);
            w.corner = trial < 2 ? 255 * trial : Uniform(rng, 0, 255);
            w.avail = Uniform(rng, 0, 3);
          },
          [mode, chroma](const Tables& t, Intra16Work& w) {
            (chroma ? t.intra.intraChroma : t.intra.intra16x16)[mode](w.dst, w.top, w.left,
                                                                      w.corner, w.avail);
          }));
    }
  }
}

// A reference area big enough for every block with its filter margins around it.
constexpr int kSrcStride = 48, kSrcRows = 32, kOrigin = 8 * kSrcStride + 8;

struct McWork {
  uint8_t src[kSrcRows * kSrcStride];
  uint8_t dst[16 * 24];
  int32_t height, xFrac, yFrac;
};

void AddMcCases(std::vector<Case>* cases) {
  static const int kWidths[3] = {4, 8, 16};
  for (int size = 0; size < 3; ++size) {
    for (int frac = 0; frac < 16; ++frac) {
      cases->push_back(MakeCase<McWork>(
          Indexed("mc.luma", kWidths[size], frac), 200,
          [size](McWork& w, Rng& rng, int trial) {
            FillBytes(w.src, sizeof w.src, rng, trial);
            std::memset(w.dst, 0xA5, sizeof w.dst);
            // The heights the partitions give: 16 and 8 for width 16, 16, 8 and 4 for width 8,
            // 8 and 4 for width 4.
            const int width = kWidths[size];
            w.height = width == 16  ? 16 >> (trial & 1)
                       : width == 8 ? 16 >> (trial % 3)
                                    : 8 >> (trial & 1);
          },
          [size, frac](const Tables& t, McWork& w) {
            t.mc.luma[size][frac](w.dst, 24, w.src + kOrigin, kSrcStride, w.height);
          }));
    }
  }
  for (int size = 0; size < 3; ++size) {
    cases->push_back(MakeCase<McWork>(
        Indexed("mc.chroma", kWidths[size] / 2), 1000,
        [size](McWork& w, Rng& rng, int trial) {
          FillBytes(w.src, sizeof w.src, rng, trial);
          std::memset(w.dst, 0xA5, sizeof w.dst);
          const int width = kWidths[size] / 2;
          w.height = width == 8   ? 8 >> (trial & 1)
                     : width == 4 ? 8 >> (trial % 3)
                                  : 4 >> (trial & 1);
          // Every pair of fractions in the first 64 trials.
          w.xFrac = trial < 64 ? trial & 7 : Uniform(rng, 0, 7);
          w.yFrac = trial < 64 ? trial >> 3 : Uniform(rng, 0, 7);
        },
        [size](const Tables& t, McWork& w) {
          t.mc.chroma[size](w.dst, 16, w.src + kOrigin, kSrcStride, w.height, w.xFrac, w.yFrac);
        }));
  }
}

// Thresholds as the deblocking filter derives them: alpha and beta from their tables (index 16 and
// more, where they are not zero), tC0 by bS, -1 for a segment of bS 0; the first trials take the
// corners of the tables.
struct DeblockWork {
  uint8_t area[24 * 32];
  int32_t alpha, beta;
  int8_t tc0[4];
};
constexpr int kAreaStride = 32;

void FillDeblock(DeblockWork& w, int dir, Rng& rng, int trial) {
  // A 24 x 32 area with a step of random height across the edge at (8, 8) and noise, so that
  // every filter decision goes both ways; all 0, all 255 or alternating for the first trials.
  if (trial < 3) {
    FillBytes(w.area, sizeof w.area, rng, trial);
  } else {
    const int step = Uniform(rng, 0, 39), base = Uniform(rng, 0, 199);
    const int noise = Uniform(rng, 1, 12);
    for (int y = 0; y < 24; ++y) {
      for (int x = 0; x < kAreaStride; ++x) {
        const bool far = dir == 0 ? x >= 8 : y >= 8;
        w.area[y * kAreaStride + x] = static_cast<uint8_t>(
            std::clamp(base + (far ? step : 0) + Uniform(rng, 0, noise - 1), 0, 255));
      }
    }
  }
  const int indexA = trial < 4 ? (trial & 1 ? 51 : 16) : Uniform(rng, 16, 51);
  const int indexB = trial < 4 ? (trial & 2 ? 51 : 16) : Uniform(rng, 16, 51);
  w.alpha = h264::kDeblockAlpha[indexA];
  w.beta = h264::kDeblockBeta[indexB];
  for (int s = 0; s < 4; ++s) {
    const int bS = trial < 4 ? 3 : Uniform(rng, 0, 3);
    w.tc0[s] = bS == 0 ? int8_t{-1} : static_cast<int8_t>(h264::kDeblockTc0[indexA][bS - 1]);
  }
}

void AddDeblockCases(std::vector<Case>* cases) {
  for (int dir = 0; dir < 2; ++dir) {
    auto fill = [dir](DeblockWork& w, Rng& rng, int trial) { FillDeblock(w, dir, rng, trial); };
    // The edge at (8, 8); chroma: Cb and Cr side by side, 8 lines each.
    constexpr ptrdiff_t kEdge = 8 * kAreaStride + 8;
    const ptrdiff_t cr = dir == 0 ? 8 * kAreaStride : 8;
    cases->push_back(MakeCase<DeblockWork>(
        Indexed("deblock.lumaNormal", dir), 1500, fill, [dir](const Tables& t, DeblockWork& w) {
          t.deblock.lumaNormal[dir](w.area + kEdge, kAreaStride, w.alpha, w.beta, w.tc0);
        }));
    cases->push_back(MakeCase<DeblockWork>(
        Indexed("deblock.lumaStrong", dir), 1500, fill, [dir](const Tables& t, DeblockWork& w) {
          t.deblock.lumaStrong[dir](w.area + kEdge, kAreaStride, w.alpha, w.beta);
        }));
    cases->push_back(MakeCase<DeblockWork>(Indexed("deblock.chromaNormal", dir), 1500, fill,
                                           [dir, cr](const Tables& t, DeblockWork& w) {
                                             t.deblock.chromaNormal[dir](
                                                 w.area + kEdge, w.area + kEdge + cr, kAreaStride,
                                                 w.alpha, w.beta, w.tc0);
                                           }));
    cases->push_back(MakeCase<DeblockWork>(Indexed("deblock.chromaStrong", dir), 1500, fill,
                                           [dir, cr](const Tables& t, DeblockWork& w) {
                                             t.deblock.chromaStrong[dir](
                                                 w.area + kEdge, w.area + kEdge + cr, kAreaStride,
                                                 w.alpha, w.beta);
                                           }));
  }
}

// Two rows of a picture up to 64 pixels wide (odd widths too for the MMX arithmetic, whose rows
// finish pixel by pixel), with their chroma rows.
struct ColourWork {
  uint8_t y[2][64];
  uint8_t cb[32], cr[32];
  uint8_t out[2][64 * 4];
  int32_t width;
};

void AddColourCases(std::vector<Case>* cases) {
  auto fill = [](ColourWork& w, Rng& rng, int trial, bool evenOnly) {
    FillBytes(&w.y[0][0], sizeof w.y, rng, trial);
    FillBytes(w.cb, sizeof w.cb, rng, trial);
    FillBytes(w.cr, sizeof w.cr, rng, trial);
    std::memset(w.out, 0xA5, sizeof w.out);
    w.width = Uniform(rng, 1, 64);
    if (evenOnly) w.width = 2 * ((w.width + 1) / 2);
  };
  cases->push_back(MakeCase<ColourWork>(
      "colour.tableRowPair", 2000,
      [fill](ColourWork& w, Rng& rng, int trial) { fill(w, rng, trial, true); },
      [](const Tables& t, ColourWork& w) {
        t.colour.tableRowPair(w.y[0], w.y[1], w.cb, w.cr, w.out[0], w.out[1], w.width);
      }));
  cases->push_back(MakeCase<ColourWork>(
      "colour.mmxArithmeticRow", 2000,
      [fill](ColourWork& w, Rng& rng, int trial) { fill(w, rng, trial, false); },
      [](const Tables& t, ColourWork& w) {
        t.colour.mmxArithmeticRow(w.y[0], w.cb, w.cr, w.out[0], w.width);
      }));
}

const std::vector<Case>& AllCases() {
  static const std::vector<Case> cases = [] {
    std::vector<Case> c;
    AddTransformCases(&c);
    AddIntraCases(&c);
    AddMcCases(&c);
    AddDeblockCases(&c);
    AddColourCases(&c);
    return c;
  }();
  return cases;
}

TEST(Kernels, EveryEntryAtEveryLevelMatchesTheReference) {
  const Tables reference = ReferenceTables();
  const std::vector<dsp::CpuLevel> levels = AvailableLevels();
  ASSERT_FALSE(levels.empty());
  for (const dsp::CpuLevel& level : levels) {
    const Tables tables = TablesFor(level.flags);
    for (const Case& c : AllCases()) {
      Rng inputs(12345);
      for (int trial = 0; trial < c.trials; ++trial) {
        const uint32_t seed = static_cast<uint32_t>(inputs());
        Rng forRef(seed), forLevel(seed);
        const std::vector<uint8_t> want = c.run(reference, forRef, trial);
        const std::vector<uint8_t> got = c.run(tables, forLevel, trial);
        if (got != want) {
          ADD_FAILURE() << c.name << " at level " << level.name << " differs from the reference"
                        << " (trial " << trial << ", seed " << seed << ")";
          break;
        }
      }
    }
  }
}

TEST(Kernels, LevelsFollowTheProcessorAndTheLimit) {
  // The portable level is always there; the levels in use never exceed what was detected.
  EXPECT_STREQ(dsp::CpuLevels()[0].name, "c");
  EXPECT_EQ(dsp::CpuLevels()[0].flags, 0u);
  EXPECT_EQ(dsp::CpuFlagsInUse() & ~dsp::DetectCpuFlags(), 0u);
  uint32_t flags = 12345;
  EXPECT_TRUE(dsp::CpuLevelFlags("sse2", &flags));
  EXPECT_EQ(flags, static_cast<uint32_t>(dsp::kCpuSse2));
  EXPECT_FALSE(dsp::CpuLevelFlags("mmx2", &flags));
  EXPECT_EQ(flags, static_cast<uint32_t>(dsp::kCpuSse2));
#if defined(__x86_64__)
  EXPECT_NE(dsp::DetectCpuFlags() & dsp::kCpuSse2, 0u);  // every x86-64 processor has SSE2
#endif
}

// --bench: nanoseconds per call of every entry with the reference, and the speed of every level
// relative to it.
int RunBench() {
  const Tables reference = ReferenceTables();
  const std::vector<dsp::CpuLevel> levels = AvailableLevels();
  std::vector<Tables> tables;
  for (const dsp::CpuLevel& level : levels) tables.push_back(TablesFor(level.flags));
  std::printf("%-32s %10s", "kernel", "ref ns");
  for (const dsp::CpuLevel& level : levels) std::printf(" %9s", level.name);
  std::printf("\n");
  for (const Case& c : AllCases()) {
    const double ref = c.time(reference);
    std::printf("%-32s %10.1f", c.name.c_str(), ref);
    for (const Tables& t : tables) std::printf(" %8.2fx", ref / c.time(t));
    std::printf("\n");
  }
  return 0;
}

}  // namespace
}  // namespace vexlor

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--bench") == 0) return vexlor::RunBench();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
