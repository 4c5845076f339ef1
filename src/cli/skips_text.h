// What the recording reader skipped, as the commands show it: one line of text and a JSON
// object.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "container/recording.h"

namespace vexlor::cli {

// "skipped damaged_bytes=N damaged_ranges=N frames_lost=N oversized_frames=N", then the listed
// ranges (damaged=B-E,B-E ... and oversized=B-E,...; ",..." when more were counted than listed).
std::string SkipsLine(const container::ReaderSkips& skips);

// The lines of the channels with video frames of the three-byte start code, one each:
// "skipped CH_NN three_byte_start_code=N" (channels numbered from 1).
std::string StartCodeLines(const container::ReaderSkips& skips);

// {"damaged_bytes", "damaged_ranges", "damaged": [{"begin", "end"}...], "frames_lost",
//  "oversized_frames", "oversized": [{"begin", "end", "length"}...],
//  "three_byte_start_code": [{"channel" (from 1), "frames"}...]}
nlohmann::json SkipsJson(const container::ReaderSkips& skips);

}  // namespace vexlor::cli
