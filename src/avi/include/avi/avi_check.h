// Reads back an AVI file of the shape the writer makes, in either form, and tells whether it is
// whole: the RIFF structure holds together, every chunk of the movi list lies inside it, and the
// index lists exactly those chunks. In the large-file form the RIFF AVIX extensions follow up to
// the end of the file, idx1 lists the first RIFF's chunks, each stream's super index leads to
// standard indexes that list all its chunks in file order, and the odml frame count is the
// number of video chunks. Memory use is fixed whatever the file holds.
#pragma once

#include <cstdint>

namespace vexlor::avi {

inline constexpr int32_t kCheckOk = 0;
inline constexpr int32_t kCheckMissing = 1;    // no such file, or it cannot be read
inline constexpr int32_t kCheckMalformed = 2;  // not an AVI file of our shape, or cut short

struct AviFacts {
  uint64_t file_size = 0;
  uint32_t video_chunks = 0;  // "00dc" chunks in the movi lists
  uint32_t audio_chunks = 0;  // "01wb" chunks
  // From the video stream header.
  uint32_t video_scale = 0;
  uint32_t video_rate = 0;
  uint32_t video_length = 0;
};

// kCheckOk when the file is well formed; *facts is filled as far as the file was read.
int32_t CheckAviFile(const char* path, AviFacts* facts);

// A file the conversion finished: well formed, and its video stream's length was set when the
// channel's pass ended. A pass that was cancelled closes its file as a valid AVI file but leaves
// that length at 0; a finished pass writes at least one counted frame.
bool IsFinishedAviFile(const char* path, AviFacts* facts);

}  // namespace vexlor::avi
