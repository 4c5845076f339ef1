// What a video sample must hold for a frame of the recording, worked out on its own: the frame's
// NAL units (cut at every 00 00 01; the zero bytes before a start code or at the end, empty units
// and bytes before the first start code left out), each behind its length in four big-endian
// bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace vexlor::testing {

inline std::vector<uint8_t> LengthPrefixed(const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> out;
  auto start_code = [&](size_t i) {
    return i + 3 <= frame.size() && frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1;
  };
  size_t at = 0;
  while (at < frame.size() && !start_code(at)) ++at;
  while (at < frame.size()) {
    size_t end = at + 3, last = at + 3;
    while (end < frame.size() && !start_code(end)) last = frame[end++] != 0 ? end : last;
    const size_t n = last - (at + 3);
    if (n > 0)
      out.insert(out.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    out.insert(out.end(), frame.begin() + long(at + 3), frame.begin() + long(last));
    at = end;
  }
  return out;
}

}  // namespace vexlor::testing
