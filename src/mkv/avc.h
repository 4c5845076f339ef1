// H.264 in the length-prefixed form of Matroska's AVC tracks: the frames' NAL units each behind a
// four-byte big-endian length instead of a start code, and the decoder configuration record
// (the track's codec data) holding the parameter sets.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vexlor::mkv {

// The NAL units of an Annex B frame, each behind its four-byte length, appended to *out. The
// bytes between units that belong to the start codes (the zero bytes that trail a unit before
// the next start code, or end the frame) are dropped, and so are bytes before the first start
// code and units that are empty; every other byte is kept as it is.
void AppendLengthPrefixed(std::span<const uint8_t> frame, std::vector<uint8_t>* out);

// The decoder configuration record of the sequence (type 7) and picture (type 8) parameter sets
// among `parameter_sets` (whole NAL units without start codes), in their order; units of other
// types, and those too long for the record's 16-bit lengths, are left out. Profile and level
// come from the first sequence set (zero without one).
std::vector<uint8_t> DecoderConfiguration(const std::vector<std::vector<uint8_t>>& parameter_sets);

}  // namespace vexlor::mkv
