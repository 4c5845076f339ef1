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

uint64_t Le64(const uint8_t* p) {
  return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32;
}

// What the hdrl list tells: the video stream header's values (into the facts) and, for the
// large-file form (an odml list), the total frame count and each stream's super index.
struct Header {
  bool video = false;  // a video stream header was found
  bool large = false;
  uint32_t dmlh_frames = 0;
  // Per stream (video, audio): the super index chunk's data within the hdrl bytes; size 0 for
  // none.
  size_t indx[2] = {0, 0};
  uint32_t indx_size[2] = {0, 0};
};

// Reads the hdrl list's bytes. The first video stream list gives the facts; a member that runs
// past the list ends the reading.
void ReadHeader(const std::vector<uint8_t>& hdrl, AviFacts* facts, Header* header) {
  for (size_t pos = 0; pos + 8 <= hdrl.size();) {
    const uint8_t* h = hdrl.data() + pos;
    const uint32_t size = Le32(h + 4);
    if (size > hdrl.size() - pos - 8) return;
    const bool list = std::memcmp(h, "LIST", 4) == 0 && size >= 4;
    if (list && std::memcmp(h + 8, "odml", 4) == 0 && size >= 16 &&
        std::memcmp(h + 12, "dmlh", 4) == 0 && Le32(h + 16) >= 4 && Le32(h + 16) <= size - 12) {
      header->large = true;
      header->dmlh_frames = Le32(h + 20);
    }
    if (list && std::memcmp(h + 8, "strl", 4) == 0 && size >= 4 + 8 + 36 &&
        std::memcmp(h + 12, "strh", 4) == 0 && Le32(h + 16) >= 36) {
      const uint8_t* s = h + 12;
      const bool video = std::memcmp(s + 8, "vids", 4) == 0;
      const bool audio = std::memcmp(s + 8, "auds", 4) == 0;
      if (video && !header->video) {
        header->video = true;
        facts->video_scale = Le32(s + 8 + 20);
        facts->video_rate = Le32(s + 8 + 24);
        facts->video_length = Le32(s + 8 + 32);
      }
      // The stream's members after strh: strf, and indx in the large-file form.
      for (size_t at = pos + 12; (video || audio) && at + 8 <= pos + 8 + size;) {
        const uint32_t member = Le32(hdrl.data() + at + 4);
        if (member > pos + 8 + size - at - 8) break;
        if (std::memcmp(hdrl.data() + at, "indx", 4) == 0 && header->indx_size[audio] == 0) {
          header->indx[audio] = at + 8;
          header->indx_size[audio] = member;
        }
        at += 8 + member + (member & 1);
      }
    }
    pos += 8 + size + (size & 1);
  }
}

// Large-file form: the standard index chunks that one stream's super index lists, and every
// entry of theirs, point at `chunks` chunks of the stream, one after another through the file.
bool CheckStreamIndex(File* index, File* file, uint64_t size, const uint8_t* indx,
                      uint32_t indx_size, const char* id, uint64_t chunks) {
  if (indx_size < 24 || Le32(indx) != 4 || std::memcmp(indx + 8, id, 4) != 0) return false;
  const uint32_t used = Le32(indx + 4);
  if (used > (indx_size - 24) / 16) return false;
  const uint8_t ix[4] = {'i', 'x', uint8_t(id[0]), uint8_t(id[1])};
  uint64_t listed = 0;
  uint64_t next = 0;  // where the stream's next chunk may begin
  for (uint32_t k = 0; k < used; ++k) {
    const uint8_t* e = indx + 24 + 16 * size_t(k);
    const uint64_t at = Le64(e);
    const uint32_t ix_size = Le32(e + 8);
    uint8_t h[32];
    if (ix_size < 32 || at > size || size - at < ix_size || !index->ReadAt(at, h, 32)) {
      return false;
    }
    const uint32_t entries = Le32(h + 12);
    const uint64_t base = Le64(h + 20);
    if (std::memcmp(h, ix, 4) != 0 || Le32(h + 4) != ix_size - 8 || Le32(h + 8) != 0x01000002u ||
        std::memcmp(h + 16, id, 4) != 0 || uint64_t(entries) * 8 + 32 != ix_size || base > size) {
      return false;
    }
    for (uint32_t j = 0; j < entries; ++j) {
      uint8_t entry[8], chunk[8];
      if (++listed > chunks || !index->Next(entry, 8)) return false;
      const uint64_t data = base + Le32(entry);
      const uint32_t chunk_size = Le32(entry + 4) & 0x7FFFFFFFu;
      if (data < next + 8 || data > size || size - data < chunk_size ||
          !file->ReadAt(data - 8, chunk, 8) || std::memcmp(chunk, id, 4) != 0 ||
          Le32(chunk + 4) != chunk_size) {
        return false;
      }
      next = data + chunk_size;
    }
  }
  return listed == chunks;
}

// Walks the chunks of a movi list from `pos` to `end`: counts the media chunks, and matches each
// with the next idx1 entry when `idx1` is given (`entries` of them left). Standard index chunks
// of the large-file form are passed over; 1 to 4 zero bytes may end the list.
bool WalkMovi(File* file, File* idx1, uint64_t* entries, uint64_t fourcc, uint64_t end, bool large,
              AviFacts* facts) {
  uint64_t pos = fourcc + 4;
  if (!file->Seek(pos)) return false;
  while (end - pos >= 8) {
    uint8_t h[8], e[16];
    if (!file->Next(h, 8)) return false;
    if (Le32(h) == 0) break;  // the closing zeros
    const uint32_t chunk = Le32(h + 4);
    const uint64_t padded = uint64_t(chunk) + (chunk & 1);
    if (padded > end - pos - 8) return false;
    const bool video = std::memcmp(h, "00dc", 4) == 0, audio = std::memcmp(h, "01wb", 4) == 0;
    const bool std_index =
        large && (std::memcmp(h, "ix00", 4) == 0 || std::memcmp(h, "ix01", 4) == 0);
    if (std_index) {
      // listed by a super index; checked there
    } else if (idx1 != nullptr) {
      if (*entries == 0 || !idx1->Next(e, 16)) return false;
      --*entries;
      if (std::memcmp(e, h, 4) != 0 || Le32(e + 8) != pos - fourcc || Le32(e + 12) != chunk) {
        return false;
      }
    } else if (!video && !audio) {
      return false;
    }
    facts->video_chunks += video ? 1 : 0;
    facts->audio_chunks += audio ? 1 : 0;
    pos += 8 + padded;
    if (!file->Seek(pos)) return false;
  }
  return true;
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

  // The first RIFF fills the file, or in the large-file form is followed by RIFF AVIX ones.
  uint8_t head[12];
  if (!file.ReadAt(0, head, 12) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "AVI ", 4) != 0 || uint64_t(Le32(head + 4)) + 8 > size) {
    return kCheckMalformed;
  }
  const uint64_t first_end = uint64_t(Le32(head + 4)) + 8;

  // The top level: hdrl, movi and idx1, in that order, possibly with other chunks between.
  Header header;
  std::vector<uint8_t> hdrl;
  uint64_t movi_fourcc = 0, movi_end = 0, idx1_data = 0;
  uint32_t idx1_size = 0;
  bool have_header = false, have_movi = false, have_index = false;
  for (uint64_t pos = 12; pos < first_end;) {
    uint8_t h[12];
    if (first_end - pos < 8 || !file.ReadAt(pos, h, 8)) return kCheckMalformed;
    const uint32_t chunk = Le32(h + 4);
    const uint64_t end = pos + 8 + chunk + (chunk & 1);
    if (end > first_end + (chunk & 1)) return kCheckMalformed;
    const bool list = std::memcmp(h, "LIST", 4) == 0;
    if (list && (chunk < 4 || !file.Next(h + 8, 4))) return kCheckMalformed;
    if (list && std::memcmp(h + 8, "hdrl", 4) == 0) {
      if (chunk > kMaxHeaderList) return kCheckMalformed;
      hdrl.resize(chunk - 4);
      if (!file.Next(hdrl.data(), hdrl.size())) return kCheckMalformed;
      ReadHeader(hdrl, facts, &header);
      if (!header.video) return kCheckMalformed;
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
  if (header.large ? header.indx_size[0] == 0 : first_end != size) return kCheckMalformed;

  // The first movi list's chunks, each matched with its index entry in order.
  uint64_t entries = idx1_size / 16;
  if (!index.Seek(idx1_data) ||
      !WalkMovi(&file, &index, &entries, movi_fourcc, movi_end, header.large, facts) ||
      entries != 0) {
    return kCheckMalformed;
  }
  if (!header.large) return kCheckOk;

  // The RIFF AVIX ones, each holding a movi list, up to the end of the file; then the super
  // indexes, which must list every chunk.
  for (uint64_t pos = first_end; pos < size;) {
    uint8_t h[24];
    if (size - pos < 24 || !file.ReadAt(pos, h, 24)) return kCheckMalformed;
    const uint64_t end = pos + 8 + Le32(h + 4);
    if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "AVIXLIST", 8) != 0 ||
        std::memcmp(h + 20, "movi", 4) != 0 || end > size ||
        uint64_t(Le32(h + 16)) + 12 != Le32(h + 4) ||
        !WalkMovi(&file, nullptr, nullptr, pos + 20, end, true, facts)) {
      return kCheckMalformed;
    }
    pos = end;
  }
  const bool audio = header.indx_size[1] != 0;
  if (header.dmlh_frames != facts->video_chunks ||
      !CheckStreamIndex(&index, &file, size, hdrl.data() + header.indx[0], header.indx_size[0],
                        "00dc", facts->video_chunks) ||
      (audio ? !CheckStreamIndex(&index, &file, size, hdrl.data() + header.indx[1],
                                 header.indx_size[1], "01wb", facts->audio_chunks)
             : facts->audio_chunks != 0)) {
    return kCheckMalformed;
  }
  return kCheckOk;
}

bool IsFinishedAviFile(const char* path, AviFacts* facts) {
  return CheckAviFile(path, facts) == kCheckOk && facts->video_length > 0;
}

}  // namespace vexlor::avi
