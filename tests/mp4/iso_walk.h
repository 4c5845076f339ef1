// An independent reader of the MP4 files we write, for tests: walks the ISO boxes, checks that
// they hold together (sizes; the index before the media data; sample tables that agree, every
// sample inside the media data) and lists each track's samples; decodes the FLAC frames of the
// sound.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vexlor::testing {

struct Mp4Sample {
  int64_t time = 0;  // in the track's time scale, from the start of the file
  size_t offset = 0, size = 0;
  bool key = true;
};

struct Mp4Track {
  uint32_t id = 0, timescale = 0;
  std::string handler;  // vide, soun, sbtl
  std::vector<Mp4Sample> samples;
};

struct WalkedMp4 {
  std::vector<uint8_t> bytes;
  int finished = -1;  // as moov/udta records it
  std::vector<Mp4Track> tracks;
  const Mp4Track* Find(const char* handler) const {
    for (const Mp4Track& t : tracks) {
      if (t.handler == handler) return &t;
    }
    return nullptr;
  }
  std::span<const uint8_t> Data(const Mp4Sample& s) const {
    return {bytes.data() + s.offset, s.size};
  }
};

inline uint64_t Be(const std::vector<uint8_t>& b, size_t at, int n) {
  uint64_t v = 0;
  for (int k = 0; k < n; ++k) v = v << 8 | b[at + size_t(k)];
  return v;
}

struct IsoBox {
  std::string type;
  size_t at, body, end;
};

// The boxes of [from, to) of `b`; false when they do not fill it exactly.
inline bool IsoChildren(const std::vector<uint8_t>& b, size_t from, size_t to,
                        std::vector<IsoBox>* out) {
  out->clear();
  while (from < to) {
    if (to - from < 8) return false;
    uint64_t size = Be(b, from, 4);
    size_t header = 8;
    if (size == 1 && to - from >= 16) size = Be(b, from + 8, 8), header = 16;
    if (size < header || size > to - from) return false;
    out->push_back({std::string(b.begin() + ptrdiff_t(from + 4), b.begin() + ptrdiff_t(from + 8)),
                    from, from + header, from + size_t(size)});
    from += size_t(size);
  }
  return true;
}

inline const IsoBox* IsoFind(const std::vector<IsoBox>& boxes, const char* type) {
  for (const IsoBox& x : boxes) {
    if (x.type == type) return &x;
  }
  return nullptr;
}

// "" when the file holds together, else the first fault.
inline std::string WalkMp4(std::vector<uint8_t> bytes, WalkedMp4* out) {
  out->bytes = std::move(bytes);
  const std::vector<uint8_t>& b = out->bytes;
  std::vector<IsoBox> top, moov, kids;
  if (!IsoChildren(b, 0, b.size(), &top)) return "the top-level boxes do not fill the file";
  if (top.size() != 3 || top[0].type != "ftyp" || top[1].type != "moov" || top[2].type != "mdat")
    return "not ftyp, moov, mdat";
  const IsoBox& mdat = top[2];
  if (!IsoChildren(b, top[1].body, top[1].end, &moov)) return "moov";
  if (!IsoFind(moov, "mvhd")) return "no mvhd";
  if (const IsoBox* udta = IsoFind(moov, "udta");
      udta != nullptr && IsoChildren(b, udta->body, udta->end, &kids) && IsoFind(kids, "vxst")) {
    out->finished = b[IsoFind(kids, "vxst")->body + 4];
  }
  // The box at the end of `path` below `box`.
  const auto find = [&](IsoBox box, std::initializer_list<const char*> path, IsoBox* found) {
    std::vector<IsoBox> children;
    for (const char* type : path) {
      if (!IsoChildren(b, box.body, box.end, &children) || !IsoFind(children, type)) return false;
      box = *IsoFind(children, type);
    }
    *found = box;
    return true;
  };
  for (const IsoBox& trak : moov) {
    if (trak.type != "trak") continue;
    Mp4Track track;
    IsoBox tkhd, mdhd, hdlr, elst, stbl, stts, stsz, stsc, offsets, stss;
    if (!find(trak, {"tkhd"}, &tkhd) || !find(trak, {"mdia", "mdhd"}, &mdhd) ||
        !find(trak, {"mdia", "hdlr"}, &hdlr) || !find(trak, {"mdia", "minf", "stbl"}, &stbl) ||
        !find(stbl, {"stts"}, &stts) || !find(stbl, {"stsz"}, &stsz) ||
        !find(stbl, {"stsc"}, &stsc))
      return "a trak without tkhd, mdhd, hdlr, stts, stsz or stsc";
    const int width = find(stbl, {"stco"}, &offsets) ? 4 : find(stbl, {"co64"}, &offsets) ? 8 : 0;
    if (width == 0) return "no chunk offsets";
    track.id = uint32_t(Be(b, tkhd.body + 20, 4));
    track.timescale = uint32_t(Be(b, mdhd.body + 20, 4));
    track.handler.assign(b.begin() + ptrdiff_t(hdlr.body + 8),
                         b.begin() + ptrdiff_t(hdlr.body + 12));
    int64_t time = 0;  // an empty edit first: the samples start after it
    if (find(trak, {"edts", "elst"}, &elst) && Be(b, elst.body + 16, 8) == ~0ull)
      time = int64_t(Be(b, elst.body + 8, 8) * track.timescale / 90000);
    const size_t count = Be(b, stsz.body + 8, 4), chunks = Be(b, offsets.body + 4, 4);
    if (stsz.end - stsz.body != 12 + 4 * count ||
        offsets.end - offsets.body != 8 + width * chunks ||
        stts.end - stts.body != 8 + 8 * Be(b, stts.body + 4, 4) ||
        stsc.end - stsc.body != 8 + 12 * Be(b, stsc.body + 4, 4))
      return "a sample table of the wrong size";
    for (size_t e = 0, n = Be(b, stts.body + 4, 4); e < n; ++e) {
      for (uint64_t k = 0; k < Be(b, stts.body + 8 + 8 * e, 4); ++k) {
        track.samples.push_back({time, 0, 0, true});
        time += int64_t(Be(b, stts.body + 12 + 8 * e, 4));
      }
    }
    if (track.samples.size() != count) return "stts and stsz count different samples";
    size_t sample = 0;
    for (size_t c = 0, e = 0, n = Be(b, stsc.body + 4, 4); c < chunks; ++c) {
      if (e + 1 < n && Be(b, stsc.body + 8 + 12 * (e + 1), 4) == c + 1) ++e;
      size_t at = Be(b, offsets.body + 8 + width * c, width);
      for (uint64_t k = 0; e < n && k < Be(b, stsc.body + 12 + 12 * e, 4); ++k, ++sample) {
        if (sample >= count) return "stsc holds more samples than stsz";
        Mp4Sample& s = track.samples[sample];
        s.offset = at;
        s.size = Be(b, stsz.body + 12 + 4 * sample, 4);
        if (at < mdat.body || s.size > mdat.end - at) return "a sample outside mdat";
        at += s.size;
      }
    }
    if (sample != count) return "stsc holds fewer samples than stsz";
    if (find(stbl, {"stss"}, &stss)) {
      if (stss.end - stss.body != 8 + 4 * Be(b, stss.body + 4, 4)) return "stss";
      for (Mp4Sample& s : track.samples) s.key = false;
      for (size_t k = 0, n = Be(b, stss.body + 4, 4); k < n; ++k) {
        const uint64_t number = Be(b, stss.body + 8 + 4 * k, 4);
        if (number < 1 || number > count) return "stss";
        track.samples[number - 1].key = true;
      }
    }
    out->tracks.push_back(std::move(track));
  }
  return "";
}

// The samples of a FLAC frame of 8-bit mono sound (constant or verbatim), unsigned; empty when
// it is not one.
inline std::vector<uint8_t> FlacSamples(std::span<const uint8_t> f) {
  if (f.size() < 9 || f[0] != 0xFF || f[1] != 0xF8 || (f[2] & 0x0F) != 4 || f[3] != 2) return {};
  size_t at = 5, n = 4096;  // after the frame number: as long as its first byte's leading ones
  for (uint8_t lead = f[4]; lead >= 0xC0; lead = uint8_t(lead << 1)) ++at;
  if (at + 4 > f.size()) return {};
  if ((f[2] >> 4) == 6) n = size_t(f[at++]) + 1;
  if ((f[2] >> 4) == 7) n = size_t(f[at] << 8 | f[at + 1]) + 1, at += 2;
  const size_t body = at + 1;  // after the header's checksum
  if (body + 3 > f.size()) return {};
  if (f[body] == 0x00 && body + 4 == f.size()) return std::vector<uint8_t>(n, f[body + 1] ^ 0x80);
  if (f[body] != 0x02 || body + 1 + n + 2 != f.size()) return {};
  std::vector<uint8_t> out(f.begin() + ptrdiff_t(body + 1), f.end() - 2);
  for (uint8_t& s : out) s ^= 0x80;
  return out;
}

}  // namespace vexlor::testing
