// Pictures whose decoded samples are known by construction: I_PCM macroblocks carry their
// samples, and P macroblocks (P_L0_16x16 or P_Skip) copy a reference with a zero vector.
//
// Zero vectors: every P macroblock the writer makes is P_L0_16x16 with mvd (0, 0) or P_Skip.
// When all vectors of a picture are zero, every motion vector prediction of that picture is
// zero as well (the predictors are taken from neighbouring vectors, or are zero for intra and
// unavailable neighbours), so by induction over the decoding order each coded vector is zero.
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
  int refIdx = 0;  // kInter only
};

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
