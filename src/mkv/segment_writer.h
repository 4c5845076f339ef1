// One Matroska segment written to a file: the EBML header, room for the headers, the blocks in
// clusters, then the index (Cues), and at the end the headers themselves (SeekHead, Info,
// Tracks) in the room kept for them, with what only the end knows (the duration, the tracks that
// were used). Any number of tracks, so one file may hold several channels.
//
// Memory: one cluster's blocks, and a few bytes per index entry. The bytes written depend only on
// what is given: no clock, no random numbers; the segment's identifier is a hash of the blocks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vexlor::mkv {

// File times are whole milliseconds: the segment's timestamp scale in nanoseconds.
inline constexpr int64_t kTimestampScale = 1000000;
// A cluster ends before a block that would make it longer than this (milliseconds) or larger
// (bytes), and before each video key frame, so that every key frame can be sought to.
inline constexpr int64_t kClusterSpan = 5000;
inline constexpr size_t kClusterBytes = size_t{8} << 20;

enum class TrackType : uint8_t { kVideo = 1, kAudio = 2, kSubtitle = 0x11 };

struct TrackDescription {
  uint64_t number = 0;  // 1 to 127; also the track's identifier
  TrackType type = TrackType::kVideo;
  std::string codec_id;
  std::vector<uint8_t> codec_private;
  std::string name;           // none when empty
  bool default_track = true;  // players show or play the track unless told otherwise
  int64_t width = 0;          // video: the picture as shown
  int64_t height = 0;
  double sampling_frequency = 0;  // audio
  int64_t channels = 0;
  int64_t bit_depth = 0;
};

struct Block {
  uint64_t track = 0;
  int64_t time = 0;       // milliseconds, 0 or more
  int64_t duration = -1;  // milliseconds; -1: none (a simple block)
  bool key = true;
  std::vector<uint8_t> data;
};

struct SegmentEnd {
  double duration = 0;           // milliseconds; 0: not stated
  bool has_date = false;         // the time of the segment's zero
  int64_t date_ns = 0;           // nanoseconds since 2001-01-01 00:00 UTC
  std::vector<uint64_t> tracks;  // the tracks the file describes, of those given to Begin
  // A global tag that marks the file as cut short by a cancelled conversion.
  bool cancelled = false;
};

// The tag of a cancelled file: ffprobe and mkvinfo show it; IsFinishedMkvFile looks for it.
inline constexpr char kCancelledTagName[] = "VEXLOR_CONVERSION";
inline constexpr char kCancelledTagValue[] = "cancelled";

class SegmentWriter {
 public:
  SegmentWriter();
  ~SegmentWriter();
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Writes the start of the file to `file` (new and empty) and keeps room for the headers of
  // `tracks`, every track that the file may hold. False when writing failed.
  bool Begin(std::FILE* file, std::vector<TrackDescription> tracks);
  // Adds a block of a track given to Begin, in the file's order (times growing, apart from rare
  // blocks that come late: those start a cluster of their own).
  bool Add(Block block);
  // Writes what remains and the headers. False when any write failed.
  bool End(const SegmentEnd& end);
  bool failed() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace vexlor::mkv
