// The decoder entry: the H.264 decoder as the channel scan reaches it, through DecoderEntry with
// an operation number and a DecodeRequest record. A thin adapter over the decoder's own API
// (h264/api.h): it cuts the caller's data into NAL units, takes at most one picture per call and
// converts it to 32-bit pixels (colour/yuv_to_rgb.h) in the caller's buffer.
#pragma once

#include <cstdint>

#include "h264/annexb.h"
#include "h264/api.h"

namespace vexlor::h264 {

enum DecoderOperation : int32_t {
  kCreateDecoder = 0,
  kDecodeData = 1,
  kDestroyDecoder = 2,
};

// Filled by the caller, zeroed before each call.
//
// rgbOut must hold width x height 32-bit pixels (width x height x 4 bytes, rows of width x 4
// bytes) of the full decoded size of any picture the stream may deliver; rgbCapacity says how
// many bytes it holds. The decoder never writes more than min(rgbCapacity, width x height x 4)
// bytes: a picture that does not fit is still reported (status positive, width and height set)
// but is not converted, and `converted` stays 0. rgbOut may be null when only the sizes matter.
struct DecodeRequest {
  int32_t status;         // out: -1 error, 0 no picture, positive: a picture was delivered
  int32_t length;         // in: bytes available at stream; 0 drains the decoder (end of data)
  int32_t width;          // out: luma width of the delivered picture
  int32_t height;         // out: luma height of the delivered picture
  const uint8_t* stream;  // in: Annex B byte stream, starting at a start code; never written
  uint8_t* rgbOut;        // in: caller's pixel buffer (may be null)
  int32_t rgbCapacity;    // in: bytes available at rgbOut
  int32_t converted;      // out: 1 when the picture was written to rgbOut
  // Out, with a picture: its planes (valid until the next call on this instance), so callers
  // that want the samples themselves need not convert them.
  const uint8_t* luma;
  const uint8_t* cb;
  const uint8_t* cr;
  int32_t cropLeft, cropRight, cropTop, cropBottom;
  int32_t poc;
};

// operation 0: parameter is an H264Decoder** that receives the new instance; returns 0.
// operation 1: parameter is a DecodeRequest*; returns the length of the NAL unit found at
//              stream (0 when length is 0).
// operation 2: destroys instance (null is allowed); returns 0.
// other operations: -1.
int32_t DecoderEntry(int32_t operation, H264Decoder* instance, void* parameter);

// Thin named wrappers.
inline int32_t CreateDecoder(H264Decoder** out) {
  return DecoderEntry(kCreateDecoder, nullptr, out);
}
inline int32_t DecodeData(H264Decoder* d, DecodeRequest* req) {
  return DecoderEntry(kDecodeData, d, req);
}
inline int32_t DestroyDecoder(H264Decoder* d) {
  return DecoderEntry(kDestroyDecoder, d, nullptr);
}

}  // namespace vexlor::h264
