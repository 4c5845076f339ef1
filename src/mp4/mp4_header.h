// What comes before the media data: ftyp and moov, with every track's sample tables (the index
// of the file), built when the file is complete.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vexlor::mp4 {

enum TrackIndex : int { kVideo = 0, kAudio = 1, kText = 2, kTracks = 3 };

inline constexpr uint32_t kTrackId[kTracks] = {1, 2, 3};
inline constexpr uint32_t kTimescale[kTracks] = {90000, 8000, 90000};
inline constexpr const char kFinishedBox[] = "vxst";  // moov/udta: 1 finished, 0 cancelled
inline constexpr size_t kCreationTextSize = 24;       // 2024-03-01T12:34:56.789Z

inline constexpr uint32_t kLongDuration = 0xFFFFFFFF;

// A track's samples, in units of its time scale.
struct TrackTable {
  int64_t start = 0;  // time of the first sample; nothing is shown before it
  // The duration of each sample; those of kLongDuration last the next of long_durations.
  std::vector<uint32_t> durations;
  std::vector<int64_t> long_durations;
  std::vector<uint32_t> sizes;
  std::vector<uint32_t> sync;  // numbers (from 1) of the key frames (video only)
  // Video: how much later than its decoding time each sample is shown (negative: earlier);
  // empty while every sample is shown at its decoding time.
  std::vector<int64_t> compositions;
  std::vector<std::pair<uint64_t, uint32_t>> chunks;  // offset in the media data, samples
  int64_t end = 0;                                    // start plus every duration
};

struct HeaderInfo {
  uint32_t width = 0, height = 0;  // the picture as shown
  std::vector<std::vector<uint8_t>> sps, pps;
  std::string clock_name;
  uint64_t creation = 0;       // seconds since 1904-01-01 UTC, 0: unknown
  std::string creation_text;   // kCreationTextSize characters, or empty: unknown
  TrackTable tracks[kTracks];  // sound and clock only when they have samples
  uint64_t audio_samples = 0;
  bool finished = false;
  bool offsets64 = false;  // chunk offsets of 64 bits
};

// The header for media data whose first byte is at `data_start` in the file.
std::vector<uint8_t> BuildHeader(const HeaderInfo& info, uint64_t data_start);

// The creation date of a wall-clock time (seconds since 1970 UTC) as ISO 8601 text with
// milliseconds in UTC, and in seconds since 1904; false for a time outside the years 1904 to
// 9999.
bool CreationTime(double wall, std::string* text, uint64_t* since_1904);

}  // namespace vexlor::mp4
