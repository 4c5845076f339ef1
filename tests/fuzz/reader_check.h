// Arbitrary bytes as a recording, read frame by frame to the end: what the scan and the worker
// rely on of ReadNextFrame. Shared by the reader fuzz target and the replay test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "container/recording.h"

namespace vexlor::testing {

// Returns "" when every call kept the reader's promises, else the first broken one:
//  - a delivered frame has a channel 0..15, a length within kMaxFrameSize, the buffer size that
//    InitFrame gave it, and zero bytes after its length (the padding a bitstream reader may look
//    at, and whatever a longer earlier frame left);
//  - every delivered frame consumed at least one whole packet, and read_position is the file
//    offset after the reader's latest read, never beyond the end;
//  - the call that finds the end leaves the frame as it was.
inline std::string ReaderInputProblem(const uint8_t* data, size_t size) {
  namespace ct = vexlor::container;
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return "";  // nothing to check without a file
  if (size > 0 && std::fwrite(data, 1, size, file) != size) {
    std::fclose(file);
    return "";
  }
  std::rewind(file);
  ct::RecordingSource src;
  src.file = file;
  ct::MediaFrame frame;
  ct::InitFrame(&frame);
  const size_t buffer_size = frame.data.size();

  std::string problem;
  uint32_t longest = 0;  // bytes up to which an earlier frame may have left data
  size_t frames = 0;
  for (;;) {
    const int64_t before = src.read_position.load();
    const uint32_t length_before = frame.length;
    const int r = ct::ReadNextFrame(&src, &frame);
    const int64_t after = src.read_position.load();
    if (after < before || after > static_cast<int64_t>(size)) {
      problem = "read_position went from " + std::to_string(before) + " to " +
                std::to_string(after) + " in a file of " + std::to_string(size) + " bytes";
      break;
    }
    if (r == 0) {
      if (frame.length != length_before) problem = "the end of the file changed the frame";
      break;
    }
    if (r != 1) {
      problem = "ReadNextFrame returned " + std::to_string(r);
      break;
    }
    ++frames;
    if (after - before < ct::kPacketSize) {
      problem =
          "a frame was delivered after reading only " + std::to_string(after - before) + " bytes";
      break;
    }
    if (after != static_cast<int64_t>(ftello(file))) {
      problem = "read_position is not the file position";
      break;
    }
    if (frame.channel < 0 || frame.channel > 15) {
      problem = "channel " + std::to_string(frame.channel);
      break;
    }
    if (frame.length > ct::kMaxFrameSize || frame.data.size() != buffer_size) {
      problem = "frame length " + std::to_string(frame.length) + " in a buffer of " +
                std::to_string(frame.data.size());
      break;
    }
    if (frame.passthrough != 0 && frame.passthrough != 1) {
      problem = "passthrough " + std::to_string(frame.passthrough);
      break;
    }
    const uint32_t tail_end = std::min<uint32_t>(
        static_cast<uint32_t>(buffer_size), std::max(longest, frame.length) + ct::kFramePadding);
    for (uint32_t i = frame.length; i < tail_end; ++i) {
      if (frame.data[i] != 0) {
        problem = "byte " + std::to_string(i) + " after a frame of " +
                  std::to_string(frame.length) + " bytes is not zero";
        break;
      }
    }
    if (!problem.empty()) break;
    longest = std::max(longest, frame.length);
  }
  if (problem.empty() && frames > size / ct::kPacketSize) problem = "more frames than packets";
  std::fclose(file);
  return problem;
}

}  // namespace vexlor::testing
