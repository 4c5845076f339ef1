// Annex B byte streams: NAL units separated by start code prefixes 00 00 01 (often 00 00 00 01).
// The one start code scanner of the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vexlor::h264 {

// The first byte of the first start code prefix 00 00 01 in [from, end), or end.
const uint8_t* FindStartCode(const uint8_t* from, const uint8_t* end);

// Length of the start code prefix that data begins with: its zero bytes (two or more) and the 01
// after them, where the NAL unit header follows. 0 when data does not begin with one; n when it
// is all zero.
int32_t StartCodePrefixLength(const uint8_t* data, int32_t n);

// Length of the first NAL unit of data, its own start code prefix included, up to the next
// start code (a zero byte before that start code stays with the next unit). All zero data is
// one unit. 0 for no data.
int32_t FindNalUnitLength(const uint8_t* data, int32_t n);

// True when the byte stream holds an IDR slice: after some start code, a NAL unit header with
// forbidden_zero_bit 0 and nal_unit_type 5.
bool HoldsIdrSlice(std::span<const uint8_t> stream);

// The first NAL unit of data, as FindNalUnitLength cuts it (empty for no data).
inline std::span<const uint8_t> NextNalUnit(std::span<const uint8_t> data) {
  const auto n = data.size() > 0x7FFFFFFF ? int32_t{0x7FFFFFFF} : static_cast<int32_t>(data.size());
  return data.first(static_cast<size_t>(FindNalUnitLength(data.data(), n)));
}

}  // namespace vexlor::h264
