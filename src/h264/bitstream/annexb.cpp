#include "h264/annexb.h"

#include <cstring>

namespace vexlor::h264 {

const uint8_t* FindStartCode(const uint8_t* from, const uint8_t* end) {
  // Look at each byte 01 from the third byte on: a start code ends there when two zeros precede.
  if (end - from < 3) return end;
  const uint8_t* p = from + 2;
  while (p < end) {
    p = static_cast<const uint8_t*>(std::memchr(p, 1, static_cast<size_t>(end - p)));
    if (p == nullptr) break;
    if (p[-1] == 0 && p[-2] == 0) return p - 2;
    ++p;
  }
  return end;
}

int32_t StartCodePrefixLength(const uint8_t* data, int32_t n) {
  int32_t zeros = 0;
  while (zeros < n && data[zeros] == 0) ++zeros;
  if (zeros == n) return n;
  return zeros >= 2 && data[zeros] == 1 ? zeros + 1 : 0;
}

int32_t FindNalUnitLength(const uint8_t* data, int32_t n) {
  if (data == nullptr || n <= 0) return 0;
  int32_t i = 0;
  while (i < n && data[i] == 0) ++i;
  if (i == n) return n;
  // The next start code after the unit's first byte; with 00 00 00 01 the unit ends one earlier.
  const uint8_t* end = data + n;
  const uint8_t* next = FindStartCode(data + i + 1, end);
  if (next == end) return n;
  return static_cast<int32_t>(next - data) - (next[-1] == 0 ? 1 : 0);
}

bool HoldsIdrSlice(std::span<const uint8_t> stream) {
  const uint8_t* end = stream.data() + stream.size();
  for (const uint8_t* p = FindStartCode(stream.data(), end); p != end;
       p = FindStartCode(p + 3, end)) {
    if (end - p > 3 && (p[3] & 0x9F) == 5) return true;
  }
  return false;
}

}  // namespace vexlor::h264
