#include "container/recording_reader.h"

#include <algorithm>
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
  SetByteObserver(nullptr);
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
  SetByteObserver(nullptr);
  path_.clear();
  size_ = 0;
}

void RecordingReader::SetByteObserver(ByteObserver observer) {
  observer_ = std::move(observer);
  observed_to_ = 0;
  source_.observe = observer_ ? &RecordingReader::Observe : nullptr;
  source_.observe_context = this;
}

void RecordingReader::Observe(void* context, int64_t offset, const uint8_t* bytes, size_t size) {
  auto* self = static_cast<RecordingReader*>(context);
  const int64_t end = offset + int64_t(size);
  // Only bytes that continue what was seen: earlier ones again are not news, and a read beyond
  // them cannot happen (Restart reads what it jumps over first).
  if (offset > self->observed_to_ || end <= self->observed_to_) return;
  const size_t skip = size_t(self->observed_to_ - offset);
  self->observer_(std::span<const uint8_t>(bytes + skip, size - skip));
  self->observed_to_ = end;
}

bool RecordingReader::ObserveUpTo(int64_t end) {
  if (platform::SeekFile(source_.file, observed_to_, SEEK_SET) != 0) return false;
  std::vector<uint8_t> block(size_t{1} << 16);
  while (end < 0 || observed_to_ < end) {
    size_t wanted = block.size();
    if (end >= 0) wanted = size_t(std::min<int64_t>(int64_t(wanted), end - observed_to_));
    const size_t got = std::fread(block.data(), 1, wanted, source_.file);
    if (got > 0) {
      observer_(std::span<const uint8_t>(block.data(), got));
      observed_to_ += int64_t(got);
    }
    if (got < wanted) return end < 0 && std::feof(source_.file) && !std::ferror(source_.file);
  }
  return true;
}

Status RecordingReader::FinishObserving() {
  if (source_.file == nullptr || !observer_) {
    return Status(StatusCode::kInvalidArgument, "no recording observed");
  }
  const int64_t resume = platform::TellFile(source_.file);
  const bool read_whole = ObserveUpTo(-1);
  std::clearerr(source_.file);
  if (resume < 0 || platform::SeekFile(source_.file, resume, SEEK_SET) != 0 || !read_whole) {
    return Status(StatusCode::kReadFailed, "cannot read " + path_ + " to its end");
  }
  return Status::Ok();
}

Status RecordingReader::Rewind() {
  Status s = Restart(0, 0);
  if (s.ok()) source_.skips = ReaderSkips{};
  return s;
}

Status RecordingReader::Restart(int64_t offset, int64_t index) {
  if (source_.file == nullptr) return Status(StatusCode::kInvalidArgument, "no recording open");
  // What the jump passes over is read for the observer first, so that it sees every byte.
  if (offset > observed_to_ && observer_ && !ObserveUpTo(offset)) {
    return Status(StatusCode::kReadFailed, "cannot read " + path_);
  }
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
