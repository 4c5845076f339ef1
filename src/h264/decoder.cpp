// Placeholder entry until the front end lands: creates instances and reports no picture.
#include "h264/decoder.h"

#include "h264/internal.h"

namespace vexlor::h264 {

int32_t FindNalUnitLength(const uint8_t*, int32_t n) { return n; }

int32_t DecoderEntry(int32_t operation, H264Decoder* instance, void* parameter) {
  switch (operation) {
    case kCreateDecoder:
      *static_cast<H264Decoder**>(parameter) = new H264Decoder();
      return 0;
    case kDecodeData: {
      auto* req = static_cast<DecodeRequest*>(parameter);
      req->status = 0;
      return req->length > 0 ? req->length : 0;
    }
    case kDestroyDecoder:
      delete instance;
      return 0;
    default:
      return -1;
  }
}

}  // namespace vexlor::h264
