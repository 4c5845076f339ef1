// The recording reader: a recording file of any size opened for reading, and its frames one by
// one with what the rest of the program acts on (kind, channel, time stamp, payload without the
// 32-byte header, passthrough flag), with 64-bit offsets throughout.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "container/recording.h"
#include "platform/status.h"

namespace vexlor::container {

// A frame as the reader delivers it. The spans point into the reader's buffer and stay valid
// until the reader's next call; the buffer holds kFramePadding zero bytes after the frame, which
// a bitstream reader may look at.
struct Frame {
  FrameKind kind = FrameKind::kOther;
  int channel = 0;       // low nibble of the stream id
  uint32_t seconds = 0;  // the time fields of the header: whole seconds ...
  uint32_t ticks = 0;    // ... and sixtieths
  bool passthrough = false;
  // Not passthrough, and its data starts with the four-byte start code 00 00 00 01: a frame the
  // channel scan decodes and whose time stamp the conversion measures rates from.
  bool counted = false;
  std::span<const uint8_t> bytes;    // the whole frame, its header included
  std::span<const uint8_t> payload;  // the data after the 32-byte header (empty when shorter)
  int64_t index = 0;   // frames delivered before this one since the reading started at 0
  int64_t offset = 0;  // where reading this frame began: reading from here delivers it again

  // The time stamp in seconds: ticks * (1/60) + seconds, as the conversion measures.
  double Time() const { return ticks * (1.0 / 60) + static_cast<double>(seconds); }
};

class RecordingReader {
 public:
  RecordingReader();
  ~RecordingReader();
  RecordingReader(const RecordingReader&) = delete;
  RecordingReader& operator=(const RecordingReader&) = delete;

  // Opens a regular file (UTF-8 name) for reading and takes its size; closes any file open
  // before. Codes: kIsDirectory, kNotRegularFile (a FIFO or a device is never opened, so it
  // cannot block), kCannotOpen with the system's reason.
  Status Open(const std::string& path);
  void Close();
  bool is_open() const { return source_.file != nullptr; }
  const std::string& path() const { return path_; }
  int64_t size() const { return size_; }

  // Reading starts again at the first frame, with an empty skips().
  Status Rewind();
  // Reading starts again at the frame that began at `offset` (Frame::offset), which becomes
  // frame `index`. skips() keeps what it holds and does not record again what the reading
  // meets a second time.
  Status Restart(int64_t offset, int64_t index);
  // The next frame: Ok with *frame filled, kEndOfData at the end of the file (or when a read
  // fails: the reader never loops on a failing file).
  Status Next(Frame* frame);

  // How far the reading has come, in bytes: safe to read from any thread.
  int64_t position() const { return source_.read_position.load(std::memory_order_relaxed); }
  const std::atomic<int64_t>& position_counter() const { return source_.read_position; }

  // What the reading skipped since the file was opened or rewound: damaged ranges, frames lost,
  // frames beyond kMaxFrameSize, and per channel the video frames with the three-byte start
  // code (delivered, but not `counted`). For the thread that reads.
  const ReaderSkips& skips() const { return source_.skips; }

  // The observer is given the bytes of the file in file order, each byte once, as the reading
  // meets them: bytes read again after Rewind or Restart are not given again, and bytes that
  // Restart jumps over are read for it first. Set it after Open (Open and Close remove it).
  using ByteObserver = std::function<void(std::span<const uint8_t> bytes)>;
  void SetByteObserver(ByteObserver observer);
  // Reads what the reading has not met yet, to the end of the file, for the observer alone
  // (the reading itself goes on where it was). kReadFailed when the file cannot be read to its
  // end. Afterwards observed_bytes() is the file's length as read.
  Status FinishObserving();
  int64_t observed_bytes() const { return observed_to_; }

 private:
  static void Observe(void* context, int64_t offset, const uint8_t* bytes, size_t size);
  // Gives the observer the bytes from observed_bytes() up to `end` (or the end of the file),
  // read from the file; the file position is left wherever the read ended.
  bool ObserveUpTo(int64_t end);

  RecordingSource source_;
  MediaFrame frame_;
  std::vector<char> buffer_;
  std::string path_;
  int64_t size_ = 0;
  int64_t next_index_ = 0;
  ByteObserver observer_;
  int64_t observed_to_ = 0;  // the observer has seen the bytes before this offset
};

}  // namespace vexlor::container
