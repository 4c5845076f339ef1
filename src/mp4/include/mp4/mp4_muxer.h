// The MP4 format of the muxer seam: MP4 files that keep every sample's own time.
//
// The file is ftyp, moov (every track's sample tables: the index), then mdat (the samples), so
// that a player can start, and seek anywhere, as soon as it has read the beginning. Video
// samples are the frames' H.264 data with four-byte length prefixes in place of start codes, at
// the times the channel clock gives (time scale 90000); sound is FLAC (8-bit mono at 8000 Hz,
// every sample kept), its gaps filled with silence; the clock track (timed text) shows the
// recording's local time for every second of footage. A file's bytes depend only on what it
// is given.
#pragma once

#include <string>

#include "mux/muxer.h"

namespace vexlor::mp4 {

// name "mp4", suffix ".mp4".
const mux::Format& Mp4Format();

// Whether `path` is an MP4 file that a muxer finished (whole, and not cancelled).
bool IsFinishedMp4File(const std::string& path);

}  // namespace vexlor::mp4
