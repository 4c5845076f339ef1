// An independent reader of the AVI files we write, for tests: walks the RIFF structure and
// reports the first structural fault it finds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vexlor::testing {

inline uint32_t LeU32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
inline uint16_t LeU16(const std::vector<uint8_t>& b, size_t at) {
  return uint16_t(b[at] | b[at + 1] << 8);
}
inline std::string Tag(const std::vector<uint8_t>& b, size_t at) {
  return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}

struct WalkedChunk {
  std::string id;
  size_t data_offset = 0;  // file offset of the chunk's data
  uint32_t size = 0;
};
struct WalkedIndexEntry {
  std::string id;
  uint32_t flags = 0, offset = 0, size = 0;
};

struct WalkedAvi {
  std::vector<uint8_t> bytes;
  size_t avih = 0;  // file offsets of the header blocks' data
  size_t video_strh = 0, video_strf = 0, audio_strh = 0, audio_strf = 0;
  uint32_t video_strf_size = 0, audio_strf_size = 0;
  size_t movi_fourcc = 0;  // file offset of "movi"
  uint32_t movi_list_size = 0;
  uint32_t trailing_zeros = 0;      // zero bytes after the last chunk inside the movi list
  std::vector<WalkedChunk> chunks;  // the movi list, in file order
  std::vector<WalkedIndexEntry> index;
  uint32_t U32(size_t at) const { return LeU32(bytes, at); }
};

inline bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

// Returns "" when the file is a well-formed AVI of the expected shape, else the first fault.
inline std::string WalkAvi(const std::vector<uint8_t>& b, WalkedAvi* out) {
  out->bytes = b;
  const size_t n = b.size();
  if (n < 12 || Tag(b, 0) != "RIFF" || Tag(b, 8) != "AVI ") return "no RIFF AVI header";
  if (LeU32(b, 4) != n - 8)
    return "RIFF size " + std::to_string(LeU32(b, 4)) + " != " + std::to_string(n - 8);
  // Top level: LIST hdrl, LIST movi, idx1 (each padded to even size).
  std::vector<WalkedChunk> top;
  for (size_t at = 12; at < n;) {
    if (n - at < 8) return "truncated top-level chunk header";
    const uint32_t size = LeU32(b, at + 4);
    if (size > n - at - 8) return "top-level chunk " + Tag(b, at) + " runs past the end";
    top.push_back({Tag(b, at), at + 8, size});
    at += 8 + size + (size & 1);
  }
  if (top.size() != 3 || top[0].id != "LIST" || top[1].id != "LIST" || top[2].id != "idx1") {
    return "top level is not LIST, LIST, idx1";
  }
  const WalkedChunk& hdrl = top[0];
  if (Tag(b, hdrl.data_offset) != "hdrl") return "first LIST is not hdrl";
  // hdrl: avih, strl, strl.
  std::vector<WalkedChunk> h;
  for (size_t at = hdrl.data_offset + 4; at < hdrl.data_offset + hdrl.size;) {
    const uint32_t size = LeU32(b, at + 4);
    if (at + 8 + size > hdrl.data_offset + hdrl.size) return "hdrl member runs past its list";
    h.push_back({Tag(b, at), at + 8, size});
    at += 8 + size + (size & 1);
  }
  // A file without audio declares one stream: its audio list is a JUNK chunk of zeros.
  const bool audio = h.size() == 3 && h[2].id == "LIST";
  if (h.size() != 3 || h[0].id != "avih" || h[0].size != 56 || h[1].id != "LIST" ||
      (h[2].id != "LIST" && (h[2].id != "JUNK" || h[2].size != 94))) {
    return "hdrl is not avih, LIST, LIST or JUNK";
  }
  out->avih = h[0].data_offset;
  if (LeU32(b, out->avih + 24) != (audio ? 2u : 1u)) return "dwStreams != stream lists";
  for (size_t at = h[2].data_offset; !audio && at < h[2].data_offset + h[2].size; ++at) {
    if (b[at] != 0) return "JUNK chunk is not zeros";
  }
  for (int s = 1; s <= (audio ? 2 : 1); ++s) {
    const size_t list = h[size_t(s)].data_offset;
    if (Tag(b, list) != "strl" || Tag(b, list + 4) != "strh" || LeU32(b, list + 8) != 56 ||
        Tag(b, list + 68) != "strf") {
      return "stream list " + std::to_string(s) + " is not strl(strh, strf)";
    }
    const uint32_t strf_size = LeU32(b, list + 72);
    if (4 + 64 + 8 + strf_size + (strf_size & 1) != h[size_t(s)].size) return "strl size";
    (s == 1 ? out->video_strh : out->audio_strh) = list + 12;
    (s == 1 ? out->video_strf : out->audio_strf) = list + 76;
    (s == 1 ? out->video_strf_size : out->audio_strf_size) = strf_size;
  }

  const WalkedChunk& movi = top[1];
  if (Tag(b, movi.data_offset) != "movi") return "second LIST is not movi";
  out->movi_fourcc = movi.data_offset;
  out->movi_list_size = movi.size;
  const size_t movi_end = movi.data_offset + movi.size;
  size_t at = movi.data_offset + 4;
  while (movi_end - at >= 8 && (Tag(b, at) == "00dc" || Tag(b, at) == "01wb")) {
    const uint32_t size = LeU32(b, at + 4);
    if (size > movi_end - at - 8) return "movi chunk runs past the list";
    if ((size & 1) && (at + 8 + size >= movi_end || b[at + 8 + size] != 0)) {
      return "odd chunk without a zero pad byte";
    }
    out->chunks.push_back({Tag(b, at), at + 8, size});
    at += 8 + size + (size & 1);
  }
  out->trailing_zeros = uint32_t(movi_end - at);
  for (; at < movi_end; ++at) {
    if (b[at] != 0) return "unexpected bytes after the last movi chunk";
  }

  const WalkedChunk& idx1 = top[2];
  if (idx1.size % 16 != 0) return "idx1 size not a multiple of 16";
  for (size_t e = idx1.data_offset; e < idx1.data_offset + idx1.size; e += 16) {
    out->index.push_back({Tag(b, e), LeU32(b, e + 4), LeU32(b, e + 8), LeU32(b, e + 12)});
  }
  if (out->index.size() != out->chunks.size()) return "idx1 entries != movi chunks";
  for (size_t k = 0; k < out->index.size(); ++k) {
    const WalkedIndexEntry& e = out->index[k];
    const size_t header = out->movi_fourcc + e.offset;
    if (header + 8 > movi_end || header + 8 != out->chunks[k].data_offset) {
      return "idx1 entry " + std::to_string(k) + " does not point at chunk " + std::to_string(k);
    }
    if (Tag(b, header) != e.id || LeU32(b, header + 4) != e.size) {
      return "idx1 entry " + std::to_string(k) + " disagrees with its chunk";
    }
  }
  // The audio stream declares exactly the samples written: one byte each.
  uint64_t audio_bytes = 0;
  for (const WalkedChunk& c : out->chunks) audio_bytes += c.id == "01wb" ? c.size : 0;
  if (audio_bytes > 0 && !audio) return "audio chunks without an audio stream";
  if (audio && LeU32(b, out->audio_strh + 32) != audio_bytes) {
    return "audio dwLength " + std::to_string(LeU32(b, out->audio_strh + 32)) +
           " != " + std::to_string(audio_bytes) + " samples written";
  }
  return "";
}

}  // namespace vexlor::testing
