// The decoder instance: everything one decoder owns between calls (H.264 decoder records of the
// parameter sets, slice headers, picture buffer, output queue and picture order count state).
#pragma once

#include <cstdint>
#include <memory>

#include "bitstream/bitreader.h"
#include "picture/picture.h"
#include "slice/macroblock.h"
#include "syntax/coding_tools.h"
#include "syntax/param_sets.h"
#include "syntax/slice_header.h"

namespace vexlor::h264 {

struct H264Decoder {
  bool skipPixels = false;  // DecoderSettings::skipPixels
  DecodedPictureBuffer dpb;
  Picture* outputQueue[kMaxDpbFrames + 1] = {};  // capacity + 1 entries
  int32_t outputQueueNext = 0;
  int32_t outputQueueCount = 0;
  BitReader reader;
  int32_t sliceCount[kMaxSliceGroups] = {};
  std::unique_ptr<SeqParamSet> spsTable[kMaxSps];
  std::unique_ptr<PicParamSet> ppsTable[kMaxPps];
  SliceHeader slices[2] = {};
  SliceHeader* curSlice = &slices[0];
  SliceHeader* nextSlice = &slices[1];
  int32_t firstPicture = 1;
  int32_t flushMode = 0;
  int32_t gapFrameNum = -1;
  int32_t gapConceal = 0;
  int32_t prevFrameNum = 0;
  int32_t prevRefFrameNum = 0;
  int32_t pocMsb = 0;
  int32_t prevPocMsb = 0;
  int32_t prevPocLsb = 0;
  int32_t frameNumOffset = 0;
  int32_t prevFrameNumOffset = 0;
  int32_t prevHadMmco5 = 0;
  std::unique_ptr<PictureMbInfo> mbInfo;
  std::unique_ptr<Picture> current;
  uint32_t nextUid = 1;
  // Front end state beyond the records above.
  int32_t idrSeen = 0;            // an IDR slice has been accepted; earlier slices are skipped
  int32_t pictureInProgress = 0;  // the current picture has been set up and not yet finished
  // Queued pictures are moved or copied here before decoding goes on (see ProtectQueuedOutput).
  std::unique_ptr<Picture> outputCopies[kMaxDpbFrames + 1];
  // Every parameter set, read with the syntax of every profile, and the tools of the units the
  // decoder refused (UnsupportedReason).
  std::unique_ptr<ToolSurvey> survey;

  H264Decoder() = default;
  H264Decoder(const H264Decoder&) = delete;
  H264Decoder& operator=(const H264Decoder&) = delete;
};

}  // namespace vexlor::h264
