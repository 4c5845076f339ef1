// The Matroska format: files that keep each frame's own time (mux/muxer.h is the seam).
//
// A file holds the channel's video as an AVC track (each frame's H.264 data as the recording
// carries it, in length-prefixed form, the parameter sets in the track's codec data), its audio
// as 8-bit PCM (A_PCM/INT/LIT, only when audio was written), and a clock track (S_TEXT/UTF8,
// named kClockTrackName, not shown by default) when the description has a clock text. Times are
// whole milliseconds: a sample's time (mux::ChannelClock's, exact in sixtieths) is rounded to the
// nearest millisecond, so a frame sits within half a millisecond of its stamp. The creation time
// (DateUTC) is the wall-clock time of the file's zero, with milliseconds; the duration is the
// footage's span. A cancelled conversion's file is whole and plays, and carries a tag that says so.
//
// A file of several channels (OpenStreams) holds a video track per channel (1, 2, ...), the clock
// track, then an audio track per channel that has sound, the channel's tracks named after it.
// Without a given origin, the samples wait (for at most a minute of stamps, or 64 MiB) until every
// channel has given its first stamp; the earliest is the file's zero, and the clock track follows
// that channel's pictures. A channel that starts later still, with an earlier stamp than that,
// starts at zero. Each channel keeps its own mux::ChannelClock.
#pragma once

#include <string>

#include "mux/muxer.h"

namespace vexlor::mkv {

inline constexpr char kClockTrackName[] = "Recording clock";

// Name "mkv", suffix ".mkv".
const mux::Format& MkvFormat();

// Whether the file at `path` (UTF-8) is a Matroska file whose structure is whole (every element
// of the segment inside it, the segment as long as the file says) and that no cancelled
// conversion cut short. Reads the top-level elements only.
bool IsFinishedMkvFile(const std::string& path);

}  // namespace vexlor::mkv
