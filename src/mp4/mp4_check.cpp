// Whether an MP4 file is one that a muxer finished: its top-level boxes follow each other up to
// the end of the file (ftyp, moov, the media data last), and moov records a finished
// conversion. Reads box headers only, and the small box that records it.
#include <cstdio>
#include <cstring>

#include "mp4/mp4_muxer.h"
#include "mp4_header.h"
#include "platform/file.h"

namespace vexlor::mp4 {
namespace {

struct BoxHeader {
  char type[5] = {};
  uint64_t size = 0;    // whole box
  uint64_t header = 8;  // bytes before its content
};

// The header of the box at `at`, which must end by `end`.
bool ReadBox(std::FILE* f, int64_t at, int64_t end, BoxHeader* box) {
  uint8_t h[16];
  if (end - at < 8 || platform::SeekFile(f, at, SEEK_SET) != 0 || std::fread(h, 1, 8, f) != 8) {
    return false;
  }
  box->size = 0;
  for (int k = 0; k < 4; ++k) box->size = box->size << 8 | h[k];
  std::memcpy(box->type, h + 4, 4);
  box->header = 8;
  if (box->size == 1) {
    if (end - at < 16 || std::fread(h + 8, 1, 8, f) != 8) return false;
    box->size = 0;
    for (int k = 8; k < 16; ++k) box->size = box->size << 8 | h[k];
    box->header = 16;
  }
  return box->size >= box->header && box->size <= uint64_t(end - at);
}

// The offset of the child of `type` among the boxes of [from, to), or -1.
int64_t Child(std::FILE* f, int64_t from, int64_t to, const char* type) {
  for (BoxHeader box; from < to && ReadBox(f, from, to, &box); from += int64_t(box.size)) {
    if (std::strcmp(box.type, type) == 0) return from;
  }
  return -1;
}

bool Check(std::FILE* f) {
  if (!platform::IsRegularFile(f) || platform::SeekFile(f, 0, SEEK_END) != 0) return false;
  const int64_t size = platform::TellFile(f);
  BoxHeader box;
  if (!ReadBox(f, 0, size, &box) || std::strcmp(box.type, "ftyp") != 0) return false;
  const int64_t moov = int64_t(box.size);
  if (!ReadBox(f, moov, size, &box) || std::strcmp(box.type, "moov") != 0) return false;
  for (int64_t at = moov; at < size; at += int64_t(box.size)) {
    if (!ReadBox(f, at, size, &box)) return false;
  }
  if (std::strcmp(box.type, "mdat") != 0 || !ReadBox(f, moov, size, &box)) return false;
  const int64_t udta = Child(f, moov + 8, moov + int64_t(box.size), "udta");
  if (udta < 0 || !ReadBox(f, udta, size, &box)) return false;
  const int64_t state = Child(f, udta + 8, udta + int64_t(box.size), kFinishedBox);
  uint8_t record[13];
  return state >= 0 && platform::SeekFile(f, state, SEEK_SET) == 0 &&
         std::fread(record, 1, sizeof record, f) == sizeof record &&
         std::memcmp(record, "\0\0\0\15", 4) == 0 && record[12] == 1;
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
