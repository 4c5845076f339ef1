// An independent reader of the MP4 files we write, for tests: walks the ISO boxes, checks that
// they hold together (sizes, fragments and their data, times that only grow, the random access
// table) and lists each track's samples; decodes the FLAC frames of the sound.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vexlor::testing {

struct Mp4Sample {
  int64_t time = 0;
  uint32_t duration = 0, flags = 0;
  size_t offset = 0, size = 0;
};

struct Mp4Track {
  uint32_t id = 0, timescale = 0;
  std::string handler;  // vide, soun, sbtl
  std::vector<Mp4Sample> samples;
};

struct WalkedMp4 {
  std::vector<uint8_t> bytes;
  uint64_t creation = 0;  // mvhd, seconds since 1904
  int finished = -1;      // as moov/udta records it
  std::vector<Mp4Track> tracks;
  const Mp4Track* Find(const char* handler) const {
    for (const Mp4Track& t : tracks) {
      if (t.handler == handler) return &t;
    }
    return nullptr;
  }
  std::span<const uint8_t> Data(const Mp4Sample& s) const { return {&bytes[s.offset], s.size}; }
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
  std::vector<IsoBox> top, moov, kids, trak, traf;
  if (!IsoChildren(b, 0, b.size(), &top)) return "the top-level boxes do not fill the file";
  if (top.size() < 3 || top[0].type != "ftyp" || top[1].type != "moov" || top.back().type != "mfra")
    return "not ftyp, moov, ..., mfra";
  if (!IsoChildren(b, top[1].body, top[1].end, &moov)) return "moov";
  const IsoBox* mvhd = IsoFind(moov, "mvhd");
  if (mvhd == nullptr || b[mvhd->body] != 1) return "no mvhd of version 1";
  out->creation = Be(b, mvhd->body + 4, 8);
  if (const IsoBox* udta = IsoFind(moov, "udta");
      udta != nullptr && IsoChildren(b, udta->body, udta->end, &kids) && IsoFind(kids, "vxst")) {
    out->finished = b[IsoFind(kids, "vxst")->body + 4];
  }
  for (const IsoBox& t : moov) {
    if (t.type != "trak") continue;
    if (!IsoChildren(b, t.body, t.end, &trak) || !IsoFind(trak, "tkhd") || !IsoFind(trak, "mdia"))
      return "a trak without tkhd or mdia";
    Mp4Track track;
    track.id = uint32_t(Be(b, IsoFind(trak, "tkhd")->body + 20, 4));
    const IsoBox* mdia = IsoFind(trak, "mdia");
    if (!IsoChildren(b, mdia->body, mdia->end, &kids) || !IsoFind(kids, "mdhd") ||
        !IsoFind(kids, "hdlr") || !IsoFind(kids, "minf"))
      return "an mdia without mdhd, hdlr or minf";
    track.timescale = uint32_t(Be(b, IsoFind(kids, "mdhd")->body + 20, 4));
    const size_t h = IsoFind(kids, "hdlr")->body + 8;
    track.handler.assign(b.begin() + ptrdiff_t(h), b.begin() + ptrdiff_t(h + 4));
    out->tracks.push_back(track);
  }
  std::vector<size_t> moofs;
  uint64_t sequence = 0;
  for (size_t i = 2; i + 1 < top.size(); i += 2) {
    if (top[i].type != "moof" || top[i + 1].type != "mdat") return "a moof without its mdat";
    moofs.push_back(top[i].at);
    if (!IsoChildren(b, top[i].body, top[i].end, &kids) || !IsoFind(kids, "mfhd") ||
        Be(b, IsoFind(kids, "mfhd")->body + 4, 4) <= sequence)
      return "moof sequence numbers do not grow";
    sequence = Be(b, IsoFind(kids, "mfhd")->body + 4, 4);
    for (const IsoBox& f : kids) {
      if (f.type != "traf") continue;
      if (!IsoChildren(b, f.body, f.end, &traf) || !IsoFind(traf, "tfhd") ||
          !IsoFind(traf, "tfdt") || !IsoFind(traf, "trun"))
        return "a traf without tfhd, tfdt or trun";
      const size_t tfhd = IsoFind(traf, "tfhd")->body, trun = IsoFind(traf, "trun")->body;
      Mp4Track* track = nullptr;
      for (Mp4Track& t : out->tracks) track = t.id == Be(b, tfhd + 4, 4) ? &t : track;
      if (track == nullptr || Be(b, tfhd, 4) != 0x020000) return "a traf of no track";
      int64_t time = int64_t(Be(b, IsoFind(traf, "tfdt")->body + 4, 8));
      if (!track->samples.empty() && time < track->samples.back().time + 1)
        return "a fragment starts before the one before ends";
      const uint32_t flags = uint32_t(Be(b, trun, 4)) & 0xFFFFFF;
      const size_t count = Be(b, trun + 4, 4), per = 8 + (flags & 0x400 ? 4 : 0);
      if ((flags & 0xFFF) != 0x301 + (flags & 0xC00) || 12 + count * per > f.end - trun)
        return "a trun of another form";
      size_t offset = top[i].at + Be(b, trun + 8, 4);
      for (size_t k = 0; k < count; ++k) {
        Mp4Sample s{time, uint32_t(Be(b, trun + 12 + k * per, 4)), 0, offset,
                    Be(b, trun + 16 + k * per, 4)};
        if (flags & 0x400) s.flags = uint32_t(Be(b, trun + 20 + k * per, 4));
        if (offset < top[i + 1].body || s.size > top[i + 1].end - offset)
          return "a sample outside its mdat";
        track->samples.push_back(s);
        time += s.duration;
        offset += s.size;
      }
    }
  }
  if (!IsoChildren(b, top.back().body, top.back().end, &kids) || kids.empty() ||
      kids.back().type != "mfro" ||
      Be(b, kids.back().body + 4, 4) != top.back().end - top.back().at)
    return "mfra without its mfro";
  for (const IsoBox& t : kids) {
    if (t.type != "tfra") continue;
    const size_t n = Be(b, t.body + 12, 4);
    if (Be(b, t.body + 8, 4) != 0x3F || 16 + n * 28 != t.end - t.body) return "tfra";
    for (size_t k = 0; k < n; ++k) {
      const size_t e = t.body + 16 + k * 28;
      bool found = false;
      for (const Mp4Track& track : out->tracks) {
        for (const Mp4Sample& s : track.samples) {
          found = found || (track.id == Be(b, t.body + 4, 4) && s.time == int64_t(Be(b, e, 8)) &&
                            (s.flags & 0x10000) == 0);
        }
      }
      if (!found || std::find(moofs.begin(), moofs.end(), Be(b, e + 8, 8)) == moofs.end())
        return "a random access point that is none";
    }
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
