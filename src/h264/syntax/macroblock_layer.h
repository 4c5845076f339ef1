// macroblock_layer() of H.264 clause 7.3.5 for the Baseline tools: mb_skip_run handling, mb_type
// and sub_mb_type, intra prediction modes, ref_idx_l0 and mvd_l0, coded_block_pattern,
// mb_qp_delta and the residual.
#pragma once

#include <cstdint>

#include "bitstream/bitreader.h"
#include "common/qp_chroma.h"
#include "slice/macroblock.h"
#include "slice/slice_context.h"

namespace vexlor::h264 {

// Top coefficient contexts of the macroblock: topNnzLuma from blkX, topNnzCb/Cr from 2 * mbX.
struct TopNnz {
  uint8_t* luma;
  uint8_t* cb;
  uint8_t* cr;
};

// Parses one macroblock (mb_skip_run handling, mb_type, prediction syntax, coded_block_pattern,
// mb_qp_delta, residual) into mb, the intra 4x4 mode codes and the motion vector differences.
// mb's position fields and neighbourFlags must be set. 0, or -1 on any syntax or range error.
int ParseMacroblockLayer(const SliceContext& s, MacroblockState* mb, int8_t* modeCodes,
                         const TopNnz& top, int32_t (*mvd)[2]);

void ClearLumaContexts(MacroblockState* mb, const TopNnz& top);
void ClearChromaContexts(MacroblockState* mb, const TopNnz& top);
void SetPcmContexts(MacroblockState* mb, const TopNnz& top);

}  // namespace vexlor::h264
