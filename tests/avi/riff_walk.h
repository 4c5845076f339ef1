// An independent reader of the AVI files we write, for tests: walks the RIFF structure and
// reports the first structural fault it finds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
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
  int key = -1;  // the key flag of its index entry (1 key, 0 not)
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
  size_t movi_fourcc = 0;  // file offset of the first "movi"
  uint32_t movi_list_size = 0;
  uint32_t trailing_zeros = 0;          // zero bytes after the last chunk inside the movi list
  std::vector<WalkedChunk> chunks;      // the media chunks of every movi list, in file order
  std::vector<WalkedIndexEntry> index;  // idx1
  // The large-file form: its RIFFs (file offset and size field of each), the odml list's frame
  // count, and the standard index chunks ("ix00", "ix01") that the super indexes list.
  bool large = false;
  std::vector<std::pair<size_t, uint32_t>> riffs;
  uint32_t dmlh_frames = 0;
  size_t std_indexes = 0;
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

// Large-file form: checks the super index of stream `s` (its "indx" chunk's data at `indx`) and
// every standard index chunk it lists against the media chunks; sets each chunk's key flag.
inline std::string WalkSuperIndex(WalkedAvi* out, int s, size_t indx, uint32_t indx_size,
                                  const std::vector<WalkedChunk>& ix_chunks) {
  const std::vector<uint8_t>& b = out->bytes;
  const std::string id = s == 0 ? "00dc" : "01wb", ix = s == 0 ? "ix00" : "ix01";
  if (indx_size < 24 || LeU16(b, indx) != 4 || b[indx + 2] != 0 || b[indx + 3] != 0 ||
      Tag(b, indx + 8) != id) {
    return "super index " + ix + " header";
  }
  const uint32_t used = LeU32(b, indx + 4);
  if (used > (indx_size - 24) / 16) return "super index " + ix + " overflows its room";
  size_t next = 0;  // the stream's next media chunk
  for (uint32_t k = 0; k < used; ++k) {
    const size_t e = indx + 24 + 16 * size_t(k);
    const uint64_t at = uint64_t(LeU32(b, e)) | uint64_t(LeU32(b, e + 4)) << 32;
    const WalkedChunk* c = nullptr;
    for (const WalkedChunk& i : ix_chunks) c = i.data_offset == at + 8 ? &i : c;
    if (c == nullptr || c->id != ix || c->size + 8 != LeU32(b, e + 8) || c->size < 24) {
      return "super index " + ix + " entry " + std::to_string(k) + " is not a standard index";
    }
    const size_t d = c->data_offset;
    const uint32_t n = LeU32(b, d + 4);
    if (LeU16(b, d) != 2 || b[d + 2] != 0 || b[d + 3] != 1 || Tag(b, d + 8) != id ||
        uint64_t(n) * 8 + 24 != c->size) {
      return ix + " at " + std::to_string(at) + " header";
    }
    const uint64_t base = uint64_t(LeU32(b, d + 12)) | uint64_t(LeU32(b, d + 16)) << 32;
    uint64_t duration = 0;
    for (uint32_t j = 0; j < n; ++j) {
      while (next < out->chunks.size() && out->chunks[next].id != id) ++next;
      if (next == out->chunks.size()) return ix + " lists more chunks than there are";
      WalkedChunk& chunk = out->chunks[next++];
      const uint32_t size = LeU32(b, d + 24 + 8 * size_t(j) + 4);
      if (base + LeU32(b, d + 24 + 8 * size_t(j)) != chunk.data_offset ||
          (size & 0x7FFFFFFFu) != chunk.size) {
        return ix + " entry " + std::to_string(j) + " does not point at its chunk";
      }
      const int key = (size >> 31) == 0 ? 1 : 0;
      if (chunk.key != -1 && chunk.key != key) return ix + " and idx1 disagree on a key flag";
      chunk.key = key;
      duration += s == 0 ? 1 : chunk.size;
    }
    if (LeU32(b, e + 12) != duration) return "super index " + ix + " duration";
  }
  while (next < out->chunks.size() && out->chunks[next].id != id) ++next;
  if (next != out->chunks.size()) return "chunks missing from the " + ix + " indexes";
  out->std_indexes += used;
  return "";
}

// Returns "" when the file is a well-formed AVI of the expected shape, else the first fault.
// Both forms: one RIFF with idx1, or the large-file form (an odml list in the header, RIFF AVIX
// extensions, super and standard indexes).
inline std::string WalkAvi(const std::vector<uint8_t>& b, WalkedAvi* out) {
  out->bytes = b;
  const size_t n = b.size();
  if (n < 12 || Tag(b, 0) != "RIFF" || Tag(b, 8) != "AVI ") return "no RIFF AVI header";
  const size_t first_end = 8 + size_t(LeU32(b, 4));
  if (first_end > n) return "RIFF size " + std::to_string(LeU32(b, 4)) + " runs past the end";
  // Top level: LIST hdrl, LIST movi, idx1 (each padded to even size).
  std::vector<WalkedChunk> top;
  for (size_t at = 12; at < first_end;) {
    if (first_end - at < 8) return "truncated top-level chunk header";
    const uint32_t size = LeU32(b, at + 4);
    if (size > first_end - at - 8) return "top-level chunk " + Tag(b, at) + " runs past the end";
    top.push_back({Tag(b, at), at + 8, size});
    at += 8 + size + (size & 1);
  }
  if (top.size() != 3 || top[0].id != "LIST" || top[1].id != "LIST" || top[2].id != "idx1") {
    return "top level is not LIST, LIST, idx1";
  }
  const WalkedChunk& hdrl = top[0];
  if (Tag(b, hdrl.data_offset) != "hdrl") return "first LIST is not hdrl";
  // hdrl: avih, strl, strl, and in the large-file form the odml list.
  std::vector<WalkedChunk> h;
  for (size_t at = hdrl.data_offset + 4; at < hdrl.data_offset + hdrl.size;) {
    const uint32_t size = LeU32(b, at + 4);
    if (at + 8 + size > hdrl.data_offset + hdrl.size) return "hdrl member runs past its list";
    h.push_back({Tag(b, at), at + 8, size});
    at += 8 + size + (size & 1);
  }
  out->large = h.size() == 4 && h[3].id == "LIST" && Tag(b, h[3].data_offset) == "odml";
  if (out->large) {
    if (h[3].size != 4 + 8 + 248 || Tag(b, h[3].data_offset + 4) != "dmlh" ||
        LeU32(b, h[3].data_offset + 8) != 248) {
      return "odml list is not dmlh";
    }
    out->dmlh_frames = LeU32(b, h[3].data_offset + 12);
  } else if (first_end != n) {
    return "RIFF size " + std::to_string(LeU32(b, 4)) + " != " + std::to_string(n - 8);
  }
  // A file without audio declares one stream: its audio list is a JUNK chunk of zeros, as long
  // as the list (the video list less the formats' difference, 40 - 18 bytes).
  const bool audio = h.size() >= 3 && h[2].id == "LIST";
  if (h.size() != (out->large ? 4u : 3u) || h[0].id != "avih" || h[0].size != 56 ||
      h[1].id != "LIST" ||
      (h[2].id != "LIST" && (h[2].id != "JUNK" || h[2].size + 22 != h[1].size))) {
    return "hdrl is not avih, LIST, LIST or JUNK";
  }
  out->avih = h[0].data_offset;
  if (LeU32(b, out->avih + 24) != (audio ? 2u : 1u)) return "dwStreams != stream lists";
  for (size_t at = h[2].data_offset; !audio && at < h[2].data_offset + h[2].size; ++at) {
    if (b[at] != 0) return "JUNK chunk is not zeros";
  }
  size_t indx[2] = {0, 0};
  uint32_t indx_size[2] = {0, 0};
  for (int s = 1; s <= (audio ? 2 : 1); ++s) {
    const size_t list = h[size_t(s)].data_offset;
    if (Tag(b, list) != "strl" || Tag(b, list + 4) != "strh" || LeU32(b, list + 8) != 56 ||
        Tag(b, list + 68) != "strf") {
      return "stream list " + std::to_string(s) + " is not strl(strh, strf)";
    }
    const uint32_t strf_size = LeU32(b, list + 72);
    size_t size = 4 + 64 + 8 + strf_size + (strf_size & 1);
    if (out->large && size + 8 <= h[size_t(s)].size && Tag(b, list + size) == "indx") {
      indx[s - 1] = list + size + 8;
      indx_size[s - 1] = LeU32(b, list + size + 4);
      size += 8 + indx_size[s - 1];
    }
    if (size != h[size_t(s)].size) return "strl size";
    if (out->large && indx[s - 1] == 0) return "stream list " + std::to_string(s) + " lacks indx";
    (s == 1 ? out->video_strh : out->audio_strh) = list + 12;
    (s == 1 ? out->video_strf : out->audio_strf) = list + 76;
    (s == 1 ? out->video_strf_size : out->audio_strf_size) = strf_size;
  }

  // The movi lists: the first RIFF's, then one in each RIFF AVIX up to the end of the file.
  std::vector<std::pair<size_t, size_t>> movis = {{top[1].data_offset, top[1].size}};
  out->riffs.push_back({0, LeU32(b, 4)});
  for (size_t at = first_end; at < n;) {
    if (n - at < 24 || Tag(b, at) != "RIFF" || Tag(b, at + 8) != "AVIX") return "no RIFF AVIX";
    const uint32_t size = LeU32(b, at + 4);
    if (size > n - at - 8) return "RIFF AVIX runs past the end";
    if (Tag(b, at + 12) != "LIST" || size_t(LeU32(b, at + 16)) + 12 != size) {
      return "RIFF AVIX does not hold just a movi list";
    }
    out->riffs.push_back({at, size});
    movis.push_back({at + 20, LeU32(b, at + 16)});
    at += 8 + size;
  }
  out->movi_fourcc = movis[0].first;
  out->movi_list_size = uint32_t(movis[0].second);
  std::vector<WalkedChunk> ix_chunks;
  size_t first_riff_chunks = 0;
  for (const auto& [fourcc, list_size] : movis) {
    if (Tag(b, fourcc) != "movi") return "LIST is not movi";
    const size_t movi_end = fourcc + list_size;
    size_t at = fourcc + 4;
    for (; movi_end - at >= 8; at += 8 + LeU32(b, at + 4) + (LeU32(b, at + 4) & 1)) {
      const std::string id = Tag(b, at);
      const bool media = id == "00dc" || id == "01wb";
      if (!media && !(out->large && (id == "ix00" || id == "ix01"))) break;
      const uint32_t size = LeU32(b, at + 4);
      if (size > movi_end - at - 8) return "movi chunk runs past the list";
      if ((size & 1) && (at + 8 + size >= movi_end || b[at + 8 + size] != 0)) {
        return "odd chunk without a zero pad byte";
      }
      (media ? out->chunks : ix_chunks).push_back({id, at + 8, size});
    }
    if (fourcc == movis[0].first) {
      out->trailing_zeros = uint32_t(movi_end - at);
      first_riff_chunks = out->chunks.size();
    }
    for (; at < movi_end; ++at) {
      if (b[at] != 0) return "unexpected bytes after the last movi chunk";
    }
  }

  const WalkedChunk& idx1 = top[2];
  if (idx1.size % 16 != 0) return "idx1 size not a multiple of 16";
  for (size_t e = idx1.data_offset; e < idx1.data_offset + idx1.size; e += 16) {
    out->index.push_back({Tag(b, e), LeU32(b, e + 4), LeU32(b, e + 8), LeU32(b, e + 12)});
  }
  if (out->index.size() != first_riff_chunks) return "idx1 entries != movi chunks";
  for (size_t k = 0; k < out->index.size(); ++k) {
    const WalkedIndexEntry& e = out->index[k];
    const size_t header = out->movi_fourcc + e.offset;
    if (header + 8 > out->movi_fourcc + out->movi_list_size ||
        header + 8 != out->chunks[k].data_offset) {
      return "idx1 entry " + std::to_string(k) + " does not point at chunk " + std::to_string(k);
    }
    if (Tag(b, header) != e.id || LeU32(b, header + 4) != e.size) {
      return "idx1 entry " + std::to_string(k) + " disagrees with its chunk";
    }
    out->chunks[k].key = e.flags == 0x10 ? 1 : 0;
  }
  if (out->large) {
    for (int s = 0; s < (audio ? 2 : 1); ++s) {
      if (std::string fault = WalkSuperIndex(out, s, indx[s], indx_size[s], ix_chunks);
          !fault.empty()) {
        return fault;
      }
    }
    if (out->std_indexes != ix_chunks.size()) return "a standard index that no super index lists";
    uint32_t video = 0, first_riff_video = 0;
    for (size_t k = 0; k < out->chunks.size(); ++k) {
      video += out->chunks[k].id == "00dc";
      first_riff_video += k < first_riff_chunks && out->chunks[k].id == "00dc";
    }
    if (out->dmlh_frames != video) return "dmlh frames != video chunks";
    if (LeU32(b, out->avih + 16) != first_riff_video) {
      return "dwTotalFrames != the first RIFF's video chunks";
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
