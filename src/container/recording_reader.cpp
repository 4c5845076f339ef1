#include "container/recording_reader.h"

#include <cerrno>
#include <cstring>

#include "platform/file.h"

namespace vexlor::container {
namespace {

// The reader takes one packet at a time; the runtime's default buffer (4 KB with glibc and the
// Windows runtime) would make that a system call every third packet.
constexpr size_t kReadBufferSize = size_t{1} << 18;

bool StartsWithVideoStartCode(std::span<const uint8_t> payload) {
  return payload.size() >= 4 && payload[0] == 0 && payload[1] == 0 && payload[2] == 0 &&
         payload[3] == 1;
}

}  // namespace

RecordingReader::RecordingReader() {
  InitFrame(&frame_);
}

RecordingReader::~RecordingReader() {
  Close();
}

Status RecordingReader::Open(const std::string& path) {
  Close();
  // Only regular files: a FIFO would block the open, a device could be read for ever.
  switch (platform::KindOf(path)) {
    case platform::PathKind::kDirectory:
      return Status(StatusCode::kIsDirectory, path + " is a directory");
    case platform::PathKind::kFifo:
    case platform::PathKind::kOther:
      return Status(StatusCode::kNotRegularFile, path + " is not a regular file");
    default:
      break;
  }
  std::FILE* file = platform::OpenFile(path, "rb");
  if (file == nullptr) {
    return Status(StatusCode::kCannotOpen, "cannot open " + path + ": " + std::strerror(errno));
  }
  if (!platform::IsRegularFile(file)) {
    std::fclose(file);
    return Status(StatusCode::kNotRegularFile, path + " is not a regular file");
  }
  buffer_.resize(kReadBufferSize);
  std::setvbuf(file, buffer_.data(), _IOFBF, buffer_.size());
  int64_t size = -1;
  if (platform::SeekFile(file, 0, SEEK_END) == 0) size = platform::TellFile(file);
  if (size < 0 || platform::SeekFile(file, 0, SEEK_SET) != 0) {
    const int error = errno;
    std::fclose(file);
    return Status(StatusCode::kCannotOpen, "cannot open " + path + ": " + std::strerror(error));
  }
  source_.file = file;
  source_.read_position.store(0);
  source_.skips = ReaderSkips{};
  path_ = path;
  size_ = size;
  next_index_ = 0;
  frame_.length = 0;
  return Status::Ok();
}

void RecordingReader::Close() {
  if (source_.file != nullptr) std::fclose(source_.file);
  source_.file = nullptr;
  source_.read_position.store(0);
  path_.clear();
  size_ = 0;
}

Status RecordingReader::Rewind() {
  Status s = Restart(0, 0);
  if (s.ok()) source_.skips = ReaderSkips{};
  return s;
}

Status RecordingReader::Restart(int64_t offset, int64_t index) {
  if (source_.file == nullptr) return Status(StatusCode::kInvalidArgument, "no recording open");
  if (offset < 0 || platform::SeekFile(source_.file, offset, SEEK_SET) != 0) {
    return Status(StatusCode::kReadFailed, "cannot seek in " + path_);
  }
  source_.read_position.store(offset);
  frame_.length = 0;
  next_index_ = index;
  return Status::Ok();
}

Status RecordingReader::Next(Frame* frame) {
  if (ReadNextFrame(&source_, &frame_) == 0) return Status(StatusCode::kEndOfData, "");
  const uint8_t* data = frame_.data.data();
  frame->kind = KindOfFrame(data, frame_.length);
  frame->channel = frame_.channel;
  frame->seconds = frame_.frame_seconds;
  frame->ticks = frame_.frame_ticks;
  frame->passthrough = frame_.passthrough != 0;
  frame->bytes = std::span<const uint8_t>(data, frame_.length);
  frame->payload = frame_.length > kFrameHeaderSize ? frame->bytes.subspan(kFrameHeaderSize)
                                                    : std::span<const uint8_t>();
  // The start code test reads the four bytes at the header's end, which are zero beyond a
  // shorter frame: such a frame never counts.
  frame->counted = !frame->passthrough && StartsWithVideoStartCode(frame->payload);
  frame->index = next_index_++;
  frame->offset = frame_.start_offset;
  return Status::Ok();
}

}  // namespace vexlor::container
