// Result codes of the decoder's functions: 0 (or a count) on success, a negative code on
// failure. A code propagates unchanged up to the NAL unit dispatcher.
#pragma once

#include <cstdint>

namespace vexlor::h264 {

enum DecodeResult : int32_t {
  kOk = 0,
  kErrRead = -1,         // bitstream read failure
  kErrRange = -2,        // value out of range
  kErrSyntax = -3,       // syntax or profile violation
  kErrUnsupported = -4,  // unsupported feature, or reference not found
  kErrNoParamSet = -5,   // missing parameter set
};

}  // namespace vexlor::h264
