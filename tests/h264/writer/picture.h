// Pictures whose decoded samples are known by construction: I_PCM macroblocks carry their
// samples, Intra 16x16 DC macroblocks follow from their neighbours, and P macroblocks
// (P_L0_16x16 or P_Skip) copy a reference displaced by a whole number of chroma samples.
//
// Motion: a P_L0_16x16 macroblock carries the vector the test chooses; the writer predicts the
// vector from the neighbours exactly as the standard does (median prediction of a 16x16
// partition) and writes the difference. P_Skip takes the vector the standard's skip rule gives.
// Vectors are multiples of 8 quarter samples, so both luma and chroma copy whole samples
// (clamped at the picture edges) and no interpolation is involved.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "h264/writer/syntax.h"

namespace vexlor::h264w {

// A 4:2:0 picture of the full decoded size.
struct Frame {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, cb, cr;

  bool operator==(const Frame& o) const = default;
};

Frame MakeFrame(int width, int height);
// Samples from a seeded generator (zero bytes included, to exercise emulation prevention).
Frame NoiseFrame(int width, int height, uint32_t seed);
// Every macroblock flat, neighbouring macroblocks a few levels apart: content on which the
// loop filter visibly changes macroblock edges of boundary strength 1 or more at high QP.
Frame SteppedFrame(int width, int height, uint32_t seed);
void CopyMacroblock(const Frame& from, Frame* to, int mbAddr);

// kIntraDc: Intra 16x16 with DC prediction for luma and chroma and no coefficients; its
// samples follow from the neighbours available to it (same slice; intra only when
// constrained_intra_pred_flag is set).
enum class MbKind : uint8_t { kPcm, kSkip, kInter, kIntraDc };

struct MbCode {
  MbKind kind = MbKind::kSkip;
  int refIdx = 0;        // kInter only
  int mvx = 0, mvy = 0;  // kInter only: quarter samples, multiples of 8
};

// Reference index (-1 for intra) and vector of every macroblock, skipped ones included, as the
// decoder must derive them.
struct MbMotion {
  int refIdx = -1;
  int mvx = 0, mvy = 0;
};
std::vector<MbMotion> DeriveMotion(const Sps& sps, const Pps& pps, const struct PictureCode& pic);
// The vector predicted for a 16x16 partition with reference refIdx at mbAddr.
void PredictVector(const Sps& sps, const std::vector<int>& sliceOf,
                   const std::vector<MbMotion>& motion, int mbAddr, int refIdx, int* mvx, int* mvy);

struct PictureCode {
  SliceHeader header;          // first_mb_in_slice is set per slice
  std::vector<MbCode> mb;      // one per macroblock address (raster order)
  const Frame* pcm = nullptr;  // samples of the kPcm macroblocks
  int slicesPerGroup = 1;      // each slice group is cut into this many slices
  // Send order: a permutation of the slice numbers (slices are numbered group by group, in
  // decoding order inside each group). Empty: that order, or shuffled when shuffleSeed is set.
  std::vector<int> sliceOrder;
  uint32_t shuffleSeed = 0;
  // Optional per-slice changes of the header (by slice number), e.g. another PPS or another
  // deblocking mode.
  std::function<void(int slice, SliceHeader* h)> adjustSlice;
};

// Macroblock codes for a whole picture.
std::vector<MbCode> AllPcm(const Sps& sps);
std::vector<MbCode> AllSkip(const Sps& sps);
std::vector<MbCode> AllInter(const Sps& sps, int refIdx);

// The slices of the picture, each a complete NAL unit, in send order.
std::vector<std::vector<uint8_t>> EncodePicture(const Sps& sps, const Pps& pps,
                                                const PictureCode& pic);

// The slice number of every macroblock, as EncodePicture cuts the picture.
std::vector<int> SliceNumbers(const Sps& sps, const Pps& pps, const PictureCode& pic);

// The picture the decoder must reconstruct: kPcm macroblocks from pic.pcm, kIntraDc from their
// neighbours, the others from refList[refIdx] (P_Skip uses index 0). Deblocking is assumed to
// leave the samples alone. The form without a PPS assumes a single slice group and no intra
// macroblocks other than I_PCM.
Frame ExpectedPicture(const Sps& sps, const Pps& pps, const PictureCode& pic,
                      const std::vector<const Frame*>& refList);
Frame ExpectedPicture(const Sps& sps, const PictureCode& pic,
                      const std::vector<const Frame*>& refList);

}  // namespace vexlor::h264w
