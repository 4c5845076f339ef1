// Whether an MP4 file is one that a muxer finished: its top-level boxes follow each other up to
// the end of the file (ftyp, moov, the fragments, mfra last, its size in the mfro at the end),
// and moov records a finished conversion. Reads box headers only, and moov.
#include <cstdio>
#include <cstring>
#include <vector>

#include "mp4/mp4_muxer.h"
#include "mp4_header.h"
#include "platform/file.h"

namespace vexlor::mp4 {
namespace {

constexpr uint64_t kMaxHeader = uint64_t{16} << 20;

uint64_t Be(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int k = 0; k < n; ++k) v = v << 8 | p[k];
  return v;
}

bool ReadAt(std::FILE* f, int64_t at, void* out, size_t n) {
  return platform::SeekFile(f, at, SEEK_SET) == 0 && std::fread(out, 1, n, f) == n;
}

// The child box of `type` in [from, to) of `b`: its offset, or 0.
size_t Child(const std::vector<uint8_t>& b, size_t from, size_t to, const char* type) {
  while (from + 8 <= to) {
    const uint64_t size = Be(&b[from], 4);
    if (size < 8 || size > to - from) return 0;
    if (std::memcmp(&b[from + 4], type, 4) == 0) return from;
    from += size_t(size);
  }
  return 0;
}

bool RecordsFinished(const std::vector<uint8_t>& moov) {
  const size_t udta = Child(moov, 8, moov.size(), "udta");
  if (udta == 0) return false;
  const size_t end = udta + size_t(Be(&moov[udta], 4));
  const size_t state = Child(moov, udta + 8, end, kFinishedBox);
  return state != 0 && Be(&moov[state], 4) == 13 && moov[state + 12] == 1;
}

bool Check(std::FILE* f) {
  if (!platform::IsRegularFile(f) || platform::SeekFile(f, 0, SEEK_END) != 0) return false;
  const int64_t size = platform::TellFile(f);
  int64_t at = 0, last = 0;
  uint64_t last_size = 0;
  bool finished = false;
  for (int index = 0; at < size; ++index) {
    uint8_t h[16];
    if (size - at < 8 || !ReadAt(f, at, h, 8)) return false;
    uint64_t box = Be(h, 4);
    if (box == 1 && !(size - at >= 16 && ReadAt(f, at + 8, h + 8, 8))) return false;
    if (box == 1) box = Be(h + 8, 8);
    if (box < 8 || box > uint64_t(size - at)) return false;
    const char* want = index == 0 ? "ftyp" : index == 1 ? "moov" : nullptr;
    if (want != nullptr && std::memcmp(h + 4, want, 4) != 0) return false;
    if (index == 1) {
      if (box > kMaxHeader) return false;
      std::vector<uint8_t> moov(box);
      if (!ReadAt(f, at, moov.data(), moov.size())) return false;
      finished = RecordsFinished(moov);
    }
    last = at;
    last_size = box;
    at += int64_t(box);
  }
  uint8_t tail[16], head[8];
  return finished && last_size >= 24 && ReadAt(f, last, head, 8) &&
         std::memcmp(head + 4, "mfra", 4) == 0 && ReadAt(f, size - 16, tail, 16) &&
         Be(tail, 4) == 16 && std::memcmp(tail + 4, "mfro", 4) == 0 &&
         Be(tail + 12, 4) == last_size;
}

}  // namespace

bool IsFinishedMp4File(const std::string& path) {
  std::FILE* f = platform::OpenFile(path, "rb");
  if (f == nullptr) return false;
  const bool finished = Check(f);
  std::fclose(f);
  return finished;
}

}  // namespace vexlor::mp4
