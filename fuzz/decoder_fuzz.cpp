// Fuzz target of the decoder: the input is one channel's H.264 byte stream, decoded one NAL unit
// at a time and then drained. Besides memory and undefined-behaviour faults, a drain that never
// ends and a delivered picture without a sound size or planes are faults.
#include <cstddef>
#include <cstdint>

#include "h264/api.h"
#include "h264/md5.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vexlor::h264;
  bool insane = false;
  const StreamSummary r = DecodeStream({data, size}, [&](const PictureView& p) {
    insane = insane || p.width <= 0 || p.height <= 0 || p.width % 16 != 0 || p.height % 16 != 0 ||
             p.luma == nullptr || p.cb == nullptr || p.cr == nullptr;
    if (!insane) (void)PictureMd5(p);  // every sample is read
  });
  if (r.endless || insane) __builtin_trap();
  return 0;
}
