// Fuzz target of the decoder entry: the input is one channel's H.264 byte stream, fed as the
// channel scan feeds it (one NAL unit per call, then drained), with a pixel buffer of the size
// the conversion job gives each channel. Besides memory and undefined-behaviour faults, an
// entry that stops advancing, a drain that never ends and a delivered picture without a sound
// size or planes are faults.
#include <cstdint>
#include <vector>

#include "conformance/stream_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> rgb(2073600);
  bool insane = false;
  vexlor::testing::FeedResult r = vexlor::testing::FeedStream(
      std::vector<uint8_t>(data, data + size),
      [&](const vexlor::h264::DecodeRequest& req) {
        if (!vexlor::testing::PictureLooksSane(req)) {
          insane = true;
          return;
        }
        (void)vexlor::testing::PlaneChecksum(req);
      },
      rgb.data(), static_cast<int32_t>(rgb.size()));
  if (r.stalled || insane) __builtin_trap();
  return 0;
}
