// Feeds an Annex B byte stream through the decoder entry the way the channel scan does: one NAL
// unit per call, advancing by the returned length whatever the status, then calls with length 0
// until no picture comes. Shared by the stream tests and the fuzz target.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "h264/decoder.h"

namespace vexlor::testing {

struct FeedResult {
  int pictures = 0;  // pictures delivered
  int errors = 0;    // calls that reported status -1
  // Set when the entry misbehaved: a returned length outside 1..remaining bytes (the caller
  // could loop forever or overrun), or pictures still coming after far more drain calls than a
  // full picture buffer can hold.
  bool stalled = false;
};

// Reads every sample of a delivered picture's planes (full decoded size) so that a plane smaller
// than the reported size shows up under the address sanitizer.
inline uint32_t PlaneChecksum(const h264::DecodeRequest& req) {
  uint32_t sum = 0;
  size_t luma = static_cast<size_t>(req.width) * static_cast<size_t>(req.height);
  for (size_t i = 0; i < luma; ++i) sum += req.luma[i];
  for (size_t i = 0; i < luma / 4; ++i) sum += req.cb[i] + req.cr[i];
  return sum;
}

// What every caller relies on for a delivered picture: a positive size in whole macroblocks and
// all three planes.
inline bool PictureLooksSane(const h264::DecodeRequest& req) {
  return req.width > 0 && req.height > 0 && req.width % 16 == 0 && req.height % 16 == 0 &&
         req.luma != nullptr && req.cb != nullptr && req.cr != nullptr;
}

// Far above the 16 frame stores plus the output queue: a drain that goes on longer is endless.
inline constexpr int kMaxDrainCalls = 100;

// `data` is consumed (the decoder rewrites NAL units in place). onPicture(const DecodeRequest&)
// is called for every delivered picture while its planes are valid. rgb may be null.
template <typename OnPicture>
FeedResult FeedStream(std::vector<uint8_t> data, OnPicture&& onPicture, uint8_t* rgb = nullptr,
                      int32_t rgbCapacity = 0) {
  FeedResult result;
  h264::H264Decoder* decoder = nullptr;
  h264::CreateDecoder(&decoder);
  auto call = [&](uint8_t* at, int32_t length) {
    h264::DecodeRequest req;
    std::memset(&req, 0, sizeof req);
    req.length = length;
    req.stream = at;
    req.rgbOut = rgb;
    req.rgbCapacity = rgb ? rgbCapacity : 0;
    int32_t used = h264::DecodeData(decoder, &req);
    if (req.status < 0) ++result.errors;
    if (req.status > 0) {
      ++result.pictures;
      onPicture(static_cast<const h264::DecodeRequest&>(req));
    }
    return std::make_pair(used, req.status);
  };
  size_t pos = 0;
  while (pos < data.size()) {
    auto remaining = static_cast<int32_t>(data.size() - pos);
    int32_t used = call(data.data() + pos, remaining).first;
    if (used <= 0 || used > remaining) {
      result.stalled = true;
      break;
    }
    pos += static_cast<size_t>(used);
  }
  int drains = 0;
  for (; drains < kMaxDrainCalls; ++drains) {
    if (call(data.data(), 0).second <= 0) break;
  }
  if (drains == kMaxDrainCalls) result.stalled = true;
  h264::DestroyDecoder(decoder);
  return result;
}

// The size of each picture buffer of the conversion job.
inline constexpr int32_t kJobPictureBytes = 2073600;

// Feeds hostile data the way the scan does, with a picture buffer of the job's size, and checks
// what a caller relies on: the entry always advances, the drain ends, and every delivered picture
// is readable at its reported size (the sanitizer build checks the memory side). Returns a
// description of the first misbehaviour, empty when there was none. Shared by the decoder fuzz
// target, the replay test and the robustness test.
inline std::string DecoderInputProblem(std::vector<uint8_t> data) {
  static std::vector<uint8_t> rgb(kJobPictureBytes);
  std::string problem;
  FeedResult r = FeedStream(
      std::move(data),
      [&](const h264::DecodeRequest& req) {
        if (!PictureLooksSane(req)) {
          if (problem.empty()) {
            problem = "picture delivered with size " + std::to_string(req.width) + "x" +
                      std::to_string(req.height) + " or without planes";
          }
          return;
        }
        (void)PlaneChecksum(req);
      },
      rgb.data(), kJobPictureBytes);
  if (r.stalled && problem.empty()) problem = "the entry did not come to an end";
  return problem;
}

}  // namespace vexlor::testing
