// Read-back check of AVI files.
#include "avi/avi_check.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/file.h"

namespace vexlor::avi {
namespace {

constexpr uint32_t kMaxHeaderList = 1 << 16;  // our hdrl list is a few hundred bytes

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A read-only file; closed when it goes out of scope.
class File {
 public:
  explicit File(const char* path) : f_(path ? platform::OpenFile(path, "rb") : nullptr) {
    if (f_ != nullptr && !platform::IsRegularFile(f_)) {
      std::fclose(f_);
      f_ = nullptr;
    }
  }
  ~File() {
    if (f_) std::fclose(f_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool ok() const { return f_ != nullptr; }
  bool Seek(uint64_t offset) {
    return offset <= uint64_t(INT64_MAX) && platform::SeekFile(f_, int64_t(offset), SEEK_SET) == 0;
  }
  bool ReadAt(uint64_t offset, void* out, size_t n) { return Seek(offset) && Next(out, n); }
  // Sequential reads from the current position.
  bool Next(void* out, size_t n) { return std::fread(out, 1, n, f_) == n; }
  bool Size(uint64_t* size) {
    if (platform::SeekFile(f_, 0, SEEK_END) != 0) return false;
    const int64_t end = platform::TellFile(f_);
    if (end < 0) return false;
    *size = uint64_t(end);
    return true;
  }

 private:
  std::FILE* f_;
};

// Finds the video stream header inside the hdrl list's bytes.
bool ReadVideoHeader(const std::vector<uint8_t>& hdrl, AviFacts* facts) {
  // hdrl holds chunks and strl lists; a strl list holds strh and strf.
  size_t pos = 0;
  while (pos + 8 <= hdrl.size()) {
    const uint8_t* h = hdrl.data() + pos;
    const uint32_t size = Le32(h + 4);
    if (size > hdrl.size() - pos - 8) return false;
    if (std::memcmp(h, "LIST", 4) == 0 && size >= 4 && std::memcmp(h + 8, "strl", 4) == 0) {
      const uint8_t* s = h + 12;
      if (size >= 4 + 8 + 36 && std::memcmp(s, "strh", 4) == 0 && Le32(s + 4) >= 36 &&
          std::memcmp(s + 8, "vids", 4) == 0) {
        facts->video_scale = Le32(s + 8 + 20);
        facts->video_rate = Le32(s + 8 + 24);
        facts->video_length = Le32(s + 8 + 32);
        return true;
      }
    }
    pos += 8 + size + (size & 1);
  }
  return false;
}

}  // namespace

int32_t CheckAviFile(const char* path, AviFacts* facts) {
  *facts = AviFacts{};
  File file(path);
  File index(path);
  if (!file.ok() || !index.ok()) return kCheckMissing;
  uint64_t size = 0;
  if (!file.Size(&size)) return kCheckMissing;
  facts->file_size = size;

  uint8_t head[12];
  if (!file.ReadAt(0, head, 12) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "AVI ", 4) != 0 || uint64_t(Le32(head + 4)) + 8 != size) {
    return kCheckMalformed;
  }

  // The top level: hdrl, movi and idx1, in that order, possibly with other chunks between.
  bool have_header = false;
  uint64_t movi_fourcc = 0, movi_end = 0, idx1_data = 0;
  uint32_t idx1_size = 0;
  bool have_movi = false, have_index = false;
  for (uint64_t pos = 12; pos < size;) {
    uint8_t h[12];
    if (size - pos < 8 || !file.ReadAt(pos, h, 8)) return kCheckMalformed;
    const uint32_t chunk = Le32(h + 4);
    const uint64_t end = pos + 8 + chunk + (chunk & 1);
    if (end > size + (chunk & 1)) return kCheckMalformed;
    const bool list = std::memcmp(h, "LIST", 4) == 0;
    if (list && (chunk < 4 || !file.Next(h + 8, 4))) return kCheckMalformed;
    if (list && std::memcmp(h + 8, "hdrl", 4) == 0) {
      if (chunk > kMaxHeaderList) return kCheckMalformed;
      std::vector<uint8_t> hdrl(chunk - 4);
      if (!file.Next(hdrl.data(), hdrl.size()) || !ReadVideoHeader(hdrl, facts)) {
        return kCheckMalformed;
      }
      have_header = true;
    } else if (list && std::memcmp(h + 8, "movi", 4) == 0) {
      movi_fourcc = pos + 8;
      movi_end = pos + 8 + chunk;
      have_movi = true;
    } else if (std::memcmp(h, "idx1", 4) == 0) {
      if (chunk % 16 != 0) return kCheckMalformed;
      idx1_data = pos + 8;
      idx1_size = chunk;
      have_index = true;
    }
    pos = end;
  }
  if (!have_header || !have_movi || !have_index) return kCheckMalformed;

  // The movi list's chunks, each matched with its index entry in order. 1 to 4 zero bytes
  // may end the list.
  uint64_t entries = idx1_size / 16;
  uint64_t pos = movi_fourcc + 4;
  if (!file.Seek(pos) || !index.Seek(idx1_data)) return kCheckMalformed;
  while (movi_end - pos >= 8) {
    uint8_t h[8], e[16];
    if (!file.Next(h, 8)) return kCheckMalformed;
    if (Le32(h) == 0) break;  // the closing zeros
    const uint32_t chunk = Le32(h + 4);
    const uint64_t padded = uint64_t(chunk) + (chunk & 1);
    if (padded > movi_end - pos - 8) return kCheckMalformed;
    if (entries == 0 || !index.Next(e, 16)) return kCheckMalformed;
    --entries;
    if (std::memcmp(e, h, 4) != 0 || Le32(e + 8) != pos - movi_fourcc || Le32(e + 12) != chunk) {
      return kCheckMalformed;
    }
    if (std::memcmp(h, "00dc", 4) == 0) ++facts->video_chunks;
    if (std::memcmp(h, "01wb", 4) == 0) ++facts->audio_chunks;
    pos += 8 + padded;
    if (!file.Seek(pos)) return kCheckMalformed;
  }
  return entries == 0 ? kCheckOk : kCheckMalformed;
}

bool IsFinishedAviFile(const char* path, AviFacts* facts) {
  return CheckAviFile(path, facts) == kCheckOk && facts->video_length > 0;
}

}  // namespace vexlor::avi
