// What the stream tests check of every picture the decoder delivers (h264::DecodeStream feeds
// the streams; h264::PictureMd5 reads every sample), and the check of hostile input shared by
// the decoder fuzz target, the replay test and the robustness test (the decoder, and the stream
// facts read from the same bytes).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "h264/access_units.h"
#include "h264/annexb.h"
#include "h264/api.h"
#include "h264/md5.h"
#include "h264/stream_facts.h"

namespace vexlor::testing {

// What every caller relies on for a delivered picture: a positive size in whole macroblocks and
// all three planes.
inline bool PictureLooksSane(const h264::PictureView& p) {
  return p.width > 0 && p.height > 0 && p.width % 16 == 0 && p.height % 16 == 0 &&
         p.luma != nullptr && p.cb != nullptr && p.cr != nullptr && p.lumaStride >= p.width &&
         p.chromaStride >= p.width / 2;
}

// Reads the facts of hostile data: every NAL unit as a parameter set, and the picture order of
// its access units (and of all of it as one unit). The presentation ranks must number the units
// that begin a frame 0, 1, 2, ... Returns a description of a misbehaviour, empty when none.
inline std::string StreamFactsProblem(const std::vector<uint8_t>& data) {
  h264::PictureOrderTracker whole, tracker;
  (void)whole.Add(data);
  std::vector<h264::AccessUnitFacts> units;
  for (const h264::AccessUnit& au : h264::SplitAccessUnits(data)) {
    units.push_back(tracker.Add(au.bytes));
  }
  for (std::span<const uint8_t> rest(data); !rest.empty();) {
    const std::span<const uint8_t> nal = h264::NextNalUnit(rest);
    h264::SequenceFacts sequence;
    h264::PictureSetFacts pictureSet;
    (void)h264::ReadSequenceFacts(nal, &sequence);
    (void)h264::ReadPictureSetFacts(nal, &pictureSet, tracker.ActiveSequence());
    rest = rest.subspan(nal.size());
  }
  std::vector<int32_t> ranks = h264::PresentationRanks(units);
  ranks.erase(std::remove(ranks.begin(), ranks.end(), -1), ranks.end());
  std::sort(ranks.begin(), ranks.end());
  for (size_t i = 0; i < ranks.size(); ++i) {
    if (ranks[i] != static_cast<int32_t>(i)) return "presentation ranks are not 0, 1, 2, ...";
  }
  const auto framed = std::count_if(units.begin(), units.end(),
                                    [](const h264::AccessUnitFacts& u) { return u.frames > 0; });
  if (static_cast<size_t>(framed) != ranks.size()) return "a frame without a presentation rank";
  (void)tracker.UnsupportedReason();
  return "";
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
  // Without the samples, the same pictures come out, in the same order, the same size.
  const auto outline = [&](const h264::DecoderSettings& settings) {
    std::vector<int64_t> seen;
    const h264::StreamSummary s = h264::DecodeStream(
        data,
        [&](const h264::PictureView& p) {
          seen.insert(seen.end(),
                      {p.width, p.height, p.cropLeft, p.cropRight, p.cropTop, p.cropBottom, p.poc});
        },
        {}, settings);
    seen.insert(seen.end(), {s.pictures, s.refusedUnits, s.endless});
    return seen;
  };
  if (problem.empty() && outline({}) != outline({.skipPixels = true})) {
    problem = "decoding without the samples gives other pictures";
  }
  return problem.empty() ? StreamFactsProblem(data) : problem;
}

}  // namespace vexlor::testing
