// Operations that cross the decoder's files. Each group is implemented in the file named above
// it; all of them work on the records of records.h.
#pragma once

#include "h264/records.h"

namespace vexlor::h264 {

// ---- param_sets.cpp --------------------------------------------------------------------
struct LevelLimit {
  int32_t level_idc;
  int32_t maxMbps, maxFs, maxDpbBytes, maxBr, maxCpb, maxVmvR, minCr, maxMvsPer2Mb;
};
extern const LevelLimit LevelLimits[15];
const LevelLimit* FindLevel(int32_t level_idc);
int ParseSps(BitReader* r, std::unique_ptr<SeqParamSet>* spsTable);
int ParsePps(BitReader* r, std::unique_ptr<PicParamSet>* ppsTable);

// ---- slice_header.cpp ------------------------------------------------------------------
int ParseSliceHeader(SliceHeader* h, std::unique_ptr<SeqParamSet>* spsTable,
                     std::unique_ptr<PicParamSet>* ppsTable, BitReader* r);
// Reference picture list 0 of a P slice: 0, or -2 when too few frames / a reordering target
// is missing. list has kMaxRefListEntries entries.
int InitRefPicList(const DecodedPictureBuffer* dpb, Picture** list, int numActive);
int ReorderRefPicList(const SliceHeader* h, const DecodedPictureBuffer* dpb, Picture** list,
                      int numActive);

// ---- slice_data.cpp --------------------------------------------------------------------
// Decodes the macroblocks of one slice into pic. 0 when the slice ended normally.
int DecodeSliceData(const SliceHeader* h, Picture* pic, DecodedPictureBuffer* dpb,
                    const PicParamSet* pps, PictureMbInfo* info, int32_t sliceTag,
                    BitReader* r);

// ---- mv_pred.cpp -----------------------------------------------------------------------
// Motion of a P macroblock with coded vector differences (partitionMode 1..5): writes
// refIdx4x4, refUid4x4 and mv4x4 of its 16 blocks. mvd holds the differences in bitstream
// order.
void DeriveInterMotion(const MacroblockState* mb, const int32_t (*mvd)[2], int numActive,
                       Picture* const* refList, PictureMbInfo* info, int width);
// P_Skip motion: writes the 16 blocks; returns true when the vector is zero by rule.
bool DerivePSkipMotion(const MacroblockState* mb, Picture* const* refList, PictureMbInfo* info,
                       int width);

// ---- inter_pred.cpp --------------------------------------------------------------------
// Inter prediction of one macroblock into mb->pred from the blocks' references and vectors.
void PredictInter(MacroblockState* mb, Picture* const* refList, const PictureMbInfo* info,
                  int width, int height);

// ---- deblock.cpp -----------------------------------------------------------------------
void DeblockPicture(Picture* pic, const PictureMbInfo* info, int width, int height,
                    int chromaQpOffset);

// ---- picture_setup.cpp -----------------------------------------------------------------
// Allocates the PictureMbInfo arrays for a width x height picture.
void AllocateMbInfo(PictureMbInfo* info, int width, int height);

}  // namespace vexlor::h264
