// Read-back check of Matroska files: the top level of the segment, and the tags.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mkv/mkv_muxer.h"
#include "platform/file.h"
#include "segment_writer.h"

namespace vexlor::mkv {
namespace {

constexpr uint32_t kEbmlId = 0x1A45DFA3;
constexpr uint32_t kDocTypeId = 0x4282;
constexpr uint32_t kSegmentId = 0x18538067;
constexpr uint32_t kInfoId = 0x1549A966;
constexpr uint32_t kTracksId = 0x1654AE6B;
constexpr uint32_t kTagsId = 0x1254C367;
constexpr uint32_t kTagId = 0x7373;
constexpr uint32_t kSimpleTagId = 0x67C8;
constexpr uint32_t kTagNameId = 0x45A3;
constexpr uint32_t kTagStringId = 0x4487;
constexpr uint64_t kUnknownSize = ~uint64_t{0};
constexpr uint64_t kMaxRead = 1 << 16;  // the EBML header and our tags are far smaller

// A variable-length number of `data` at *at: an element ID (marker bit kept, up to 4 bytes) or a
// size (marker removed, up to 8 bytes; all ones: unknown). False when it does not fit.
bool ReadNumber(const uint8_t* data, size_t size, size_t* at, bool id, uint64_t* value) {
  if (*at >= size || data[*at] == 0) return false;
  int length = 1;
  while ((data[*at] & (0x80 >> (length - 1))) == 0) ++length;
  if ((id && length > 4) || size - *at < size_t(length)) return false;
  uint64_t v = id ? data[*at] : data[*at] & (0xFF >> length);
  bool all_ones = v == (0xFFu >> length);
  for (int i = 1; i < length; ++i) {
    v = v << 8 | data[*at + i];
    all_ones = all_ones && data[*at + i] == 0xFF;
  }
  *at += length;
  *value = !id && all_ones ? kUnknownSize : v;
  return true;
}

struct Element {
  uint32_t id = 0;
  uint64_t size = 0;
  size_t data = 0;  // offset of the content
};

// The elements of data[begin, end), each checked to lie inside.
bool Children(const std::vector<uint8_t>& bytes, size_t begin, size_t end,
              std::vector<Element>* out) {
  for (size_t at = begin; at < end;) {
    Element e;
    uint64_t id = 0;
    if (!ReadNumber(bytes.data(), end, &at, true, &id) ||
        !ReadNumber(bytes.data(), end, &at, false, &e.size) || e.size > end - at) {
      return false;
    }
    e.id = uint32_t(id);
    e.data = at;
    at += size_t(e.size);
    out->push_back(e);
  }
  return true;
}

// Whether Tags content holds the tag of a cancelled conversion.
bool MarksCancelled(const std::vector<uint8_t>& tags) {
  std::vector<Element> tag_list;
  if (!Children(tags, 0, tags.size(), &tag_list)) return false;
  for (const Element& tag : tag_list) {
    std::vector<Element> inside;
    if (tag.id != kTagId || !Children(tags, tag.data, tag.data + tag.size, &inside)) continue;
    for (const Element& simple : inside) {
      std::vector<Element> fields;
      if (simple.id != kSimpleTagId ||
          !Children(tags, simple.data, simple.data + simple.size, &fields)) {
        continue;
      }
      std::string name, value;
      for (const Element& f : fields) {
        const std::string text(tags.begin() + f.data, tags.begin() + f.data + f.size);
        if (f.id == kTagNameId) name = text;
        if (f.id == kTagStringId) value = text;
      }
      if (name == kCancelledTagName && value == kCancelledTagValue) return true;
    }
  }
  return false;
}

class File {
 public:
  explicit File(const std::string& path) : f_(platform::OpenFile(path, "rb")) {
    if (f_ != nullptr && !platform::IsRegularFile(f_)) {
      std::fclose(f_);
      f_ = nullptr;
    }
  }
  ~File() {
    if (f_ != nullptr) std::fclose(f_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool ok() const { return f_ != nullptr; }
  bool Size(uint64_t* size) {
    if (platform::SeekFile(f_, 0, SEEK_END) != 0) return false;
    const int64_t end = platform::TellFile(f_);
    *size = uint64_t(end);
    return end >= 0;
  }
  // Up to n bytes at `offset` (fewer at the end of the file).
  bool Read(uint64_t offset, size_t n, std::vector<uint8_t>* out) {
    out->resize(n);
    if (offset > uint64_t(INT64_MAX) || platform::SeekFile(f_, int64_t(offset), SEEK_SET) != 0)
      return false;
    out->resize(std::fread(out->data(), 1, n, f_));
    return true;
  }

 private:
  std::FILE* f_;
};

// The ID and size of the element at `offset`; *head: their length.
bool ReadHead(File& file, uint64_t offset, uint32_t* id, uint64_t* size, size_t* head) {
  std::vector<uint8_t> bytes;
  if (!file.Read(offset, 12, &bytes)) return false;
  size_t at = 0;
  uint64_t v = 0;
  if (!ReadNumber(bytes.data(), bytes.size(), &at, true, &v) ||
      !ReadNumber(bytes.data(), bytes.size(), &at, false, size)) {
    return false;
  }
  *id = uint32_t(v);
  *head = at;
  return true;
}

}  // namespace

bool IsFinishedMkvFile(const std::string& path) {
  File file(path);
  uint64_t file_size = 0;
  if (!file.ok() || !file.Size(&file_size)) return false;
  uint32_t id = 0;
  uint64_t size = 0;
  size_t head = 0;
  // The EBML header, of document type "matroska".
  if (!ReadHead(file, 0, &id, &size, &head) || id != kEbmlId || size > kMaxRead) return false;
  std::vector<uint8_t> header;
  std::vector<Element> fields;
  if (!file.Read(head, size_t(size), &header) || header.size() != size ||
      !Children(header, 0, header.size(), &fields)) {
    return false;
  }
  bool matroska = false;
  for (const Element& f : fields) {
    matroska = matroska ||
               (f.id == kDocTypeId && std::string(header.begin() + f.data,
                                                  header.begin() + f.data + f.size) == "matroska");
  }
  // One segment of known size, to the end of the file.
  const uint64_t segment_at = head + size;
  if (!matroska || !ReadHead(file, segment_at, &id, &size, &head) || id != kSegmentId ||
      size == kUnknownSize || size != file_size - std::min(file_size, segment_at + head)) {
    return false;
  }
  bool info = false, tracks = false;
  for (uint64_t at = segment_at + head; at < file_size;) {
    if (!ReadHead(file, at, &id, &size, &head) || size == kUnknownSize ||
        size > file_size - at - head) {
      return false;
    }
    info = info || id == kInfoId;
    tracks = tracks || id == kTracksId;
    if (id == kTagsId && size <= kMaxRead) {
      std::vector<uint8_t> tags;
      if (!file.Read(at + head, size_t(size), &tags) || tags.size() != size ||
          MarksCancelled(tags)) {
        return false;
      }
    }
    at += head + size;
  }
  return info && tracks;
}

}  // namespace vexlor::mkv
