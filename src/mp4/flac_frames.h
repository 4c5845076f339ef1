// FLAC frames of the channel's sound: 8-bit mono at 8000 samples per second, every sample kept
// as it is (a block of one value as a constant subframe, any other as a verbatim one).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace vexlor::mp4 {

inline constexpr uint32_t kFlacBlock = 4096;  // samples per frame; only a last frame is shorter

// Appends the frame `frame_number` of the stream holding `samples` (1 to kFlacBlock unsigned
// 8-bit samples).
void AppendFlacFrame(uint32_t frame_number, std::span<const uint8_t> samples,
                     std::vector<uint8_t>* out);

// The stream information block (34 bytes) of such a stream of `total_samples` samples.
std::array<uint8_t, 34> FlacStreamInfo(uint64_t total_samples);

}  // namespace vexlor::mp4
