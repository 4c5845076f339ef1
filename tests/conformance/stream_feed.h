// What the stream tests check of every picture the decoder delivers (h264::DecodeStream feeds
// the streams; h264::PictureMd5 reads every sample), and the check of hostile input shared by
// the decoder fuzz target, the replay test and the robustness test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "h264/api.h"
#include "h264/md5.h"

namespace vexlor::testing {

// What every caller relies on for a delivered picture: a positive size in whole macroblocks and
// all three planes.
inline bool PictureLooksSane(const h264::PictureView& p) {
  return p.width > 0 && p.height > 0 && p.width % 16 == 0 && p.height % 16 == 0 &&
         p.luma != nullptr && p.cb != nullptr && p.cr != nullptr && p.lumaStride >= p.width &&
         p.chromaStride >= p.width / 2;
}

// Decodes hostile data one NAL unit at a time and then drains, and checks what a caller relies
// on: the drain ends, and every delivered picture is readable at its reported size (every
// sample is read; the sanitizer build checks the memory side). Returns a description of the
// first misbehaviour, empty when there was none.
inline std::string DecoderInputProblem(const std::vector<uint8_t>& data) {
  std::string problem;
  const h264::StreamSummary r = h264::DecodeStream(data, [&](const h264::PictureView& p) {
    if (!PictureLooksSane(p)) {
      if (problem.empty()) {
        problem = "picture delivered with size " + std::to_string(p.width) + "x" +
                  std::to_string(p.height) + " or without planes";
      }
      return;
    }
    (void)h264::PictureMd5(p);
  });
  if (r.endless && problem.empty()) problem = "the decoder did not come to an end";
  return problem;
}

}  // namespace vexlor::testing
