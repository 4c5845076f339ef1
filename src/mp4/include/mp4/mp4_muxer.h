// The MP4 format of the muxer seam: fragmented MP4 files that keep every sample's own time.
//
// The file is ftyp, moov (the tracks' descriptions, no samples), then one fragment after the
// other (moof, mdat), then mfra (each track's random access points). Video samples are the
// frames' H.264 data with four-byte length prefixes in place of start codes, at the times the
// channel clock gives (timescale 90000); audio is FLAC (8-bit mono at 8000 Hz, every sample
// kept), gaps filled with silence; the clock track (3GPP timed text) shows the recording's
// local time for every second of footage. A file's bytes depend only on what it is given.
#pragma once

#include <string>

#include "mux/muxer.h"

namespace vexlor::mp4 {

// name "mp4", suffix ".mp4".
const mux::Format& Mp4Format();

// Whether `path` is an MP4 file that a muxer finished (whole, and not cancelled).
bool IsFinishedMp4File(const std::string& path);

}  // namespace vexlor::mp4
