// Arbitrary bytes as a recording, read frame by frame to the end: what the scan and the worker
// rely on of ReadNextFrame, and what it records of the data it skips. Shared by the reader fuzz
// target and the replay test.
#pragma once

#include <stdio.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "container/recording.h"

namespace vexlor::testing {

// The recording a fuzz input stands for: the input itself, except that a packet whose
// not-interpreted bytes 16 and 17 are 'R' 'P' stands for as many copies of itself as the
// 16-bit value at 18 says, up to kMaxExpandedRecording bytes in all. So a few packets of input
// make frames up to kMaxFrameSize and beyond.
inline constexpr size_t kMaxExpandedRecording = size_t{20} << 20;
inline std::vector<uint8_t> ExpandReaderInput(const uint8_t* data, size_t size) {
  namespace ct = vexlor::container;
  std::vector<uint8_t> out;
  out.reserve(size);
  for (size_t i = 0; i < size;) {
    const uint8_t* p = data + i;
    if (size - i >= size_t(ct::kPacketSize) && std::memcmp(p, ct::kSyncMark, 3) == 0 &&
        p[16] == 'R' && p[17] == 'P') {
      const size_t copies = size_t(p[18]) | size_t(p[19]) << 8;
      for (size_t k = 0;
           k < std::max<size_t>(copies, 1) && out.size() + ct::kPacketSize <= kMaxExpandedRecording;
           ++k) {
        out.insert(out.end(), p, p + ct::kPacketSize);
      }
      i += ct::kPacketSize;
    } else {
      out.push_back(*p);
      ++i;
    }
  }
  return out;
}

// "" when the skip record is well formed for a file of `size` bytes, else what is wrong: ranges
// inside the file, in order, merged, listed up to kListed and counted; oversized frames beyond
// kMaxFrameSize; facts recorded no further than the reading came.
inline std::string SkipsProblem(const container::ReaderSkips& s, int64_t size) {
  namespace ct = vexlor::container;
  int64_t listed = 0, last_end = -1;
  for (const ct::ByteRange& r : s.damaged) {
    if (r.begin <= last_end || r.end <= r.begin || r.end > size)
      return "damaged ranges out of order";
    listed += r.end - r.begin;
    last_end = r.end;
  }
  if (int64_t(s.damaged.size()) != std::min<int64_t>(s.damaged_ranges, ct::ReaderSkips::kListed) ||
      listed > s.damaged_bytes || s.damaged_bytes > size) {
    return "damaged ranges miscounted";
  }
  for (const ct::OversizedFrame& o : s.oversized) {
    if (o.range.end <= o.range.begin || o.range.end > size || o.length <= ct::kMaxFrameSize) {
      return "oversized frame out of bounds";
    }
  }
  if (int64_t(s.oversized.size()) !=
          std::min<int64_t>(s.oversized_frames, ct::ReaderSkips::kListed) ||
      s.frames_lost > size / ct::kPacketSize + 1 || s.recorded_to > size) {
    return "skips miscounted";
  }
  return "";
}

// The whole skip record as text, to compare two of them.
inline std::string SkipsText(const container::ReaderSkips& s) {
  std::string t;
  const auto add = [&](int64_t n) { t += std::to_string(n) + " "; };
  for (const container::ByteRange& r : s.damaged) add(r.begin), add(r.end);
  for (const container::OversizedFrame& o : s.oversized) {
    add(o.range.begin), add(o.range.end), add(int64_t(o.length));
  }
  for (const int64_t n : s.three_byte_start_code) add(n);
  for (const int64_t n :
       {s.damaged_ranges, s.damaged_bytes, s.frames_lost, s.oversized_frames, s.recorded_to}) {
    add(n);
  }
  return t;
}

// Returns "" when every call kept the reader's promises, else the first broken one:
//  - a delivered frame has a channel 0..15, a length within kMaxFrameSize and zero bytes after
//    it (the padding a bitstream reader may look at, and whatever a longer earlier frame left);
//  - its buffer and the reader's working area grow only as frames need them: the buffer to at
//    most twice the longest frame, the working area to at most twice the bytes read;
//  - every delivered frame consumed at least one whole packet, and read_position is the file
//    offset after the reader's latest read, never beyond the end;
//  - the call that finds the end leaves the frame as it was;
//  - the skip record stays well formed and never shrinks, and reading again from a delivered
//    frame's offset to the end leaves it as the first reading did.
inline std::string ReaderInputProblem(const uint8_t* input, size_t input_size) {
  namespace ct = vexlor::container;
  const std::vector<uint8_t> recording = ExpandReaderInput(input, input_size);
  const size_t size = recording.size();
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return "";  // nothing to check without a file
  if (size > 0 && std::fwrite(recording.data(), 1, size, file) != size) {
    std::fclose(file);
    return "";
  }
  std::rewind(file);
  ct::RecordingSource src;
  src.file = file;
  ct::MediaFrame frame;
  ct::InitFrame(&frame);
  const auto grown_within = [](size_t bytes, uint64_t need) {
    return bytes <= std::max<uint64_t>(ct::kInitialFrameCapacity,
                                       std::min<uint64_t>(2 * need, ct::kMaxFrameSize));
  };

  std::string problem;
  uint32_t longest = 0;  // bytes up to which an earlier frame may have left data
  size_t frames = 0;
  std::vector<int64_t> offsets;  // where each delivered frame's call began
  for (;;) {
    const int64_t before = src.read_position.load();
    const uint32_t length_before = frame.length;
    const ct::ReaderSkips skips_before = src.skips;
    const int r = ct::ReadNextFrame(&src, &frame);
    const int64_t after = src.read_position.load();
    if (after < before || after > static_cast<int64_t>(size)) {
      problem = "read_position went from " + std::to_string(before) + " to " +
                std::to_string(after) + " in a file of " + std::to_string(size) + " bytes";
      break;
    }
    problem = SkipsProblem(src.skips, int64_t(size));
    if (problem.empty() && (src.skips.damaged_bytes < skips_before.damaged_bytes ||
                            src.skips.frames_lost < skips_before.frames_lost ||
                            src.skips.oversized_frames < skips_before.oversized_frames)) {
      problem = "the skip record shrank";
    }
    if (problem.empty() && !grown_within(src.assembly.size(), uint64_t(after))) {
      problem = "working area of " + std::to_string(src.assembly.size()) + " bytes after reading " +
                std::to_string(after);
    }
    if (!problem.empty()) break;
    if (r == 0) {
      if (frame.length != length_before) problem = "the end of the file changed the frame";
      break;
    }
    if (r != 1) {
      problem = "ReadNextFrame returned " + std::to_string(r);
      break;
    }
    ++frames;
    offsets.push_back(frame.start_offset);
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
    longest = std::max(longest, frame.length);
    if (frame.length > ct::kMaxFrameSize ||
        frame.data.size() < size_t(frame.length) + ct::kFramePadding ||
        !grown_within(frame.data.size() - ct::kFramePadding, longest)) {
      problem = "frame length " + std::to_string(frame.length) + " in a buffer of " +
                std::to_string(frame.data.size());
      break;
    }
    if (frame.passthrough != 0 && frame.passthrough != 1) {
      problem = "passthrough " + std::to_string(frame.passthrough);
      break;
    }
    const size_t tail_end = std::min(frame.data.size(), size_t(longest) + ct::kFramePadding);
    for (size_t i = frame.length; i < tail_end; ++i) {
      if (frame.data[i] != 0) {
        problem = "byte " + std::to_string(i) + " after a frame of " +
                  std::to_string(frame.length) + " bytes is not zero";
        break;
      }
    }
    if (!problem.empty()) break;
  }
  if (problem.empty() && frames > size / ct::kPacketSize) problem = "more frames than packets";

  // Reading again from the middle frame on meets what was recorded once more.
  if (problem.empty() && !offsets.empty()) {
    const std::string first = SkipsText(src.skips);
    const int64_t from = offsets[offsets.size() / 2];
    if (fseeko(file, from, SEEK_SET) == 0) {
      src.read_position.store(from);
      size_t again = 0;
      while (ct::ReadNextFrame(&src, &frame) == 1) ++again;
      if (again != offsets.size() - offsets.size() / 2 || first != SkipsText(src.skips)) {
        problem = "reading again from offset " + std::to_string(from) + " changed what it found";
      }
    }
  }
  std::fclose(file);
  return problem;
}

}  // namespace vexlor::testing
