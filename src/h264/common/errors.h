// The decoder's error vocabulary. Its functions return 0 (or a count) on success and one of the
// negative codes below on failure; a code propagates unchanged up to the NAL unit dispatcher.
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
  // What went wrong in a read, as a BitReader records it in its sticky `error`. The syntax
  // parsers report each of these as kErrRead.
  kReaderPastEnd = -6,          // a read beyond the end of the RBSP
  kReaderBadTrailingBits = -7,  // rbsp_trailing_bits() is not a one followed by zeros
  kReaderCodeTooLong = -8,      // a code longer than the syntax allows (Exp-Golomb, level prefix)
};

}  // namespace vexlor::h264
