// What a video sample of the formats that keep each frame's time holds: the frame's NAL units,
// each with a four-byte length in place of its start code. Written here on its own, for the
// tests to compare the muxers' samples with.
#pragma once

#include <cstdint>
#include <vector>

namespace vexlor::testing {

// The NAL units of an Annex B stream with four-byte lengths: what a video sample holds.
inline std::vector<uint8_t> LengthPrefixed(const std::vector<uint8_t>& s, int type_wanted = -1) {
  std::vector<uint8_t> out;
  std::vector<size_t> starts;  // of the units' bodies
  for (size_t i = 0; i + 2 < s.size(); ++i) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) starts.push_back(i + 3), i += 2;
  }
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
    while (end > starts[k] && s[end - 1] == 0) --end;
    if (end == starts[k] || (type_wanted >= 0 && (s[starts[k]] & 0x1F) != type_wanted)) continue;
    for (int b = 3; b >= 0; --b) out.push_back(uint8_t((end - starts[k]) >> (8 * b)));
    out.insert(out.end(), s.begin() + ptrdiff_t(starts[k]), s.begin() + ptrdiff_t(end));
  }
  return out;
}

}  // namespace vexlor::testing
