// What comes before the fragments: ftyp and moov. The header is written twice, once before the
// first fragment and once more over it at the end with the final values; both have the same
// size, since every value that changes has a field of fixed size, and a track that got no
// samples is turned into a free box.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexlor::mp4 {

enum TrackIndex : int { kVideo = 0, kAudio = 1, kText = 2, kTracks = 3 };

inline constexpr uint32_t kTimescale[kTracks] = {90000, 8000, 90000};
inline constexpr uint32_t kTrackId[kTracks] = {1, 2, 3};
inline constexpr const char kFinishedBox[] = "vxst";  // moov/udta: 1 finished, 0 cancelled
inline constexpr size_t kCreationTextSize = 24;       // 2024-03-01T12:34:56.789Z

struct HeaderInfo {
  // Fixed before the first fragment.
  uint32_t width = 0, height = 0;  // the picture as shown
  std::vector<std::vector<uint8_t>> sps, pps;
  bool clock_track = false;
  std::string clock_name;
  // Final at the end.
  uint64_t creation = 0;      // seconds since 1904-01-01 UTC, 0: unknown
  std::string creation_text;  // kCreationTextSize characters, or empty: unknown
  bool present[kTracks] = {true, true, true};
  uint64_t duration[kTracks] = {};  // units of the track's timescale
  uint64_t audio_samples = 0;
  bool finished = false;
};

std::vector<uint8_t> BuildHeader(const HeaderInfo& info);

// The creation date of a wall-clock time (seconds since 1970 UTC) as ISO 8601 text with
// milliseconds in UTC, and in seconds since 1904; false for a time outside the years 1904 to
// 9999.
bool CreationTime(double wall, std::string* text, uint64_t* since_1904);

}  // namespace vexlor::mp4
