#include "mp4_header.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "boxes.h"
#include "flac_frames.h"

namespace vexlor::mp4 {
namespace {

constexpr int64_t kSeconds1904To1970 = 2082844800;

void Matrix(BoxWriter* b) {
  for (uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) b->U32(v);
}

constexpr int64_t kMaxDelta = 0xFFFFFFFF;

bool Present(const HeaderInfo& info, int track) {
  return track == kVideo || !info.tracks[track].sizes.empty();
}

// Units of the track's time scale in units of the movie's (that of video).
uint64_t InMovie(int64_t units, int track) {
  return uint64_t(units) / kTimescale[track] * kTimescale[kVideo] +
         uint64_t(units) % kTimescale[track] * kTimescale[kVideo] / kTimescale[track];
}

// The time scale a track is written in: its own, unless a sample lasts longer than a time
// difference can say (a pause of more than 13 hours): then 90000 divided by the smallest factor
// that makes it fit, each of which still counts sixtieths exactly.
int64_t Coarsening(const HeaderInfo& info, int track) {
  if (track == kAudio) return 1;
  int64_t longest = 0;
  for (int64_t d : info.tracks[track].long_durations) longest = std::max(longest, d);
  for (int64_t f : {1, 2, 5, 10, 30, 150, 1500}) {
    if (longest / f <= kMaxDelta) return f;
  }
  return 1500;
}

// How far the composition offsets are moved so that none is negative: the samples' times in the
// track then run that much behind, and the edit list takes them back. The offsets are written
// unsigned (every player reads those), rather than negative in a box's newer version.
int64_t CompositionShift(const TrackTable& t) {
  int64_t least = 0;
  for (int64_t c : t.compositions) least = std::min(least, c);
  return -least;
}

void WriteAvcC(BoxWriter* b, const HeaderInfo& info) {
  const std::vector<uint8_t>* first = info.sps.empty() ? nullptr : &info.sps[0];
  auto at = [&](size_t i) { return first != nullptr && first->size() > i ? (*first)[i] : 0; };
  b->Begin("avcC");
  b->U8(1);
  b->U8(at(1));  // profile, its compatibility flags, level
  b->U8(at(2));
  b->U8(at(3));
  b->U8(0xFF);  // four-byte lengths
  b->U8(0xE0 | uint32_t(info.sps.size()));
  for (const auto& s : info.sps) b->U16(uint32_t(s.size())), b->Bytes(s);
  b->U8(uint32_t(info.pps.size()));
  for (const auto& p : info.pps) b->U16(uint32_t(p.size())), b->Bytes(p);
  b->End();
}

void WriteSampleEntry(BoxWriter* b, const HeaderInfo& info, int track) {
  if (track == kVideo) {
    b->Begin("avc1");
    b->Zeros(6);
    b->U16(1);  // data reference
    b->Zeros(16);
    b->U16(info.width);
    b->U16(info.height);
    b->U32(0x00480000);  // 72 dpi
    b->U32(0x00480000);
    b->U32(0);
    b->U16(1);  // one picture per sample
    b->Zeros(32);
    b->U16(0x18);
    b->U16(0xFFFF);
    WriteAvcC(b, info);
    b->End();
  } else if (track == kAudio) {
    b->Begin("fLaC");
    b->Zeros(6);
    b->U16(1);
    b->Zeros(8);
    b->U16(1);  // mono
    b->U16(8);  // bits per sample
    b->U32(0);
    b->U32(kTimescale[kAudio] << 16);
    b->BeginFull("dfLa", 0, 0);
    b->U8(0x80);  // the last (and only) metadata block: stream information
    b->U8(0);
    b->U16(34);
    b->Bytes(FlacStreamInfo(info.audio_samples));
    b->End();
    b->End();
  } else {
    b->Begin("tx3g");
    b->Zeros(6);
    b->U16(1);
    b->U32(0);             // display flags
    b->U8(1);              // centred
    b->U8(0xFF);           // at the bottom
    b->U32(0x00000000);    // no background
    b->Zeros(8);           // text box: the whole track
    b->U16(0), b->U16(0);  // style: characters, font 1, plain, 18, white
    b->U16(1);
    b->U8(0);
    b->U8(18);
    b->U32(0xFFFFFFFF);
    b->Begin("ftab");
    b->U16(1);
    b->U16(1);
    b->U8(10);
    b->Text("Sans-Serif");
    b->End();
    b->End();
  }
}

// The sample tables: times (as differences), key frames, sizes, chunks and their offsets.
void WriteTables(BoxWriter* b, const HeaderInfo& info, int track, int64_t factor,
                 uint64_t data_start) {
  const TrackTable& t = info.tracks[track];
  std::vector<std::pair<uint32_t, uint32_t>> deltas;
  int64_t at = 0;  // in the track's own units, from its start
  size_t next_long = 0;
  for (uint32_t duration : t.durations) {
    const int64_t d = duration == kLongDuration ? t.long_durations[next_long++] : duration;
    const uint32_t delta = uint32_t(std::min((at + d) / factor - at / factor, kMaxDelta));
    if (deltas.empty() || deltas.back().second != delta) deltas.emplace_back(0, delta);
    ++deltas.back().first;
    at += d;
  }
  b->BeginFull("stts", 0, 0);
  b->U32(uint32_t(deltas.size()));
  for (const auto& [count, delta] : deltas) b->U32(count), b->U32(delta);
  b->End();
  if (!t.compositions.empty()) {
    // Each sample's showing time less its decoding time, in the track's units, shifted.
    const int64_t shift = CompositionShift(t);
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    at = 0;
    next_long = 0;
    for (size_t i = 0; i < t.durations.size() && i < t.compositions.size(); ++i) {
      const int64_t shown = std::max<int64_t>(at + t.compositions[i] + shift, 0);
      const uint32_t offset = uint32_t(std::min(shown / factor - at / factor, kMaxDelta));
      if (runs.empty() || runs.back().second != offset) runs.emplace_back(0, offset);
      ++runs.back().first;
      at += t.durations[i] == kLongDuration ? t.long_durations[next_long++] : t.durations[i];
    }
    b->BeginFull("ctts", 0, 0);
    b->U32(uint32_t(runs.size()));
    for (const auto& [count, offset] : runs) b->U32(count), b->U32(offset);
    b->End();
  }
  if (track == kVideo) {
    b->BeginFull("stss", 0, 0);
    b->U32(uint32_t(t.sync.size()));
    for (uint32_t n : t.sync) b->U32(n);
    b->End();
  }
  b->BeginFull("stsz", 0, 0);
  b->U32(0);
  b->U32(uint32_t(t.sizes.size()));
  for (uint32_t size : t.sizes) b->U32(size);
  b->End();
  std::vector<std::pair<uint32_t, uint32_t>> runs;  // first chunk, samples per chunk
  for (size_t c = 0; c < t.chunks.size(); ++c) {
    if (runs.empty() || runs.back().second != t.chunks[c].second) {
      runs.emplace_back(uint32_t(c + 1), t.chunks[c].second);
    }
  }
  b->BeginFull("stsc", 0, 0);
  b->U32(uint32_t(runs.size()));
  for (const auto& [first, count] : runs) b->U32(first), b->U32(count), b->U32(1);
  b->End();
  b->BeginFull(info.offsets64 ? "co64" : "stco", 0, 0);
  b->U32(uint32_t(t.chunks.size()));
  for (const auto& [offset, count] : t.chunks) {
    if (info.offsets64) {
      b->U64(data_start + offset);
    } else {
      b->U32(uint32_t(data_start + offset));
    }
  }
  b->End();
}

void WriteTrack(BoxWriter* b, const HeaderInfo& info, int track, uint64_t data_start) {
  static const char* const kHandler[kTracks] = {"vide", "soun", "sbtl"};
  const std::string name = track == kVideo ? "Video" : track == kAudio ? "Sound" : info.clock_name;
  const TrackTable& t = info.tracks[track];
  const int64_t factor = Coarsening(info, track);
  b->Begin("trak");
  b->BeginFull("tkhd", 1, 0x3);  // enabled, in the movie
  b->U64(info.creation);
  b->U64(info.creation);
  b->U32(kTrackId[track]);
  b->U32(0);
  b->U64(InMovie(t.end, track));
  b->Zeros(8);
  b->U16(track == kText ? 0xFFFF : 0);  // layer: text in front
  b->U16(0);
  b->U16(track == kAudio ? 0x0100 : 0);
  b->U16(0);
  Matrix(b);
  b->U32(track == kAudio ? 0 : info.width << 16);
  b->U32(track == kAudio ? 0 : info.height << 16);
  b->End();
  const int64_t shift = CompositionShift(t);
  if (t.start > 0 || shift > 0) {
    // Nothing before the first sample, then the samples (from the first shown).
    b->Begin("edts");
    b->BeginFull("elst", 1, 0);
    b->U32(t.start > 0 ? 2 : 1);
    if (t.start > 0) {
      b->U64(InMovie(t.start, track));
      b->U64(~uint64_t{0});
      b->U32(0x00010000);
    }
    b->U64(InMovie(t.end - t.start, track));
    b->U64(uint64_t(shift / factor));
    b->U32(0x00010000);
    b->End();
    b->End();
  }
  b->Begin("mdia");
  b->BeginFull("mdhd", 1, 0);
  b->U64(info.creation);
  b->U64(info.creation);
  b->U32(uint32_t(kTimescale[track] / factor));
  b->U64(uint64_t((t.end - t.start) / factor));
  b->U16(0x55C4);  // und
  b->U16(0);
  b->End();
  b->BeginFull("hdlr", 0, 0);
  b->U32(0);
  b->Type(kHandler[track]);
  b->Zeros(12);
  b->Text(name);
  b->U8(0);
  b->End();
  b->Begin("minf");
  if (track == kVideo) {
    b->BeginFull("vmhd", 0, 1);
    b->Zeros(8);
  } else if (track == kAudio) {
    b->BeginFull("smhd", 0, 0);
    b->Zeros(4);
  } else {
    b->BeginFull("nmhd", 0, 0);
  }
  b->End();
  b->Begin("dinf");
  b->BeginFull("dref", 0, 0);
  b->U32(1);
  b->BeginFull("url ", 0, 1);  // in this file
  b->End();
  b->End();
  b->End();
  b->Begin("stbl");
  b->BeginFull("stsd", 0, 0);
  b->U32(1);
  WriteSampleEntry(b, info, track);
  b->End();
  WriteTables(b, info, track, factor, data_start);
  b->End();  // stbl
  b->End();  // minf
  b->End();  // mdia
  b->End();  // trak
}

// The creation date with milliseconds, as programs that line up files read it.
void WriteCreationDate(BoxWriter* b, const HeaderInfo& info) {
  static const char kKey[] = "com.apple.quicktime.creationdate";
  b->BeginFull("meta", 0, 0);
  b->BeginFull("hdlr", 0, 0);
  b->U32(0);
  b->Type("mdta");
  b->Zeros(12);
  b->U8(0);
  b->End();
  b->BeginFull("keys", 0, 0);
  b->U32(1);
  b->U32(8 + sizeof kKey - 1);
  b->Type("mdta");
  b->Text(kKey);
  b->End();
  b->Begin("ilst");
  b->U32(8 + 16 + kCreationTextSize);  // the value of key 1
  b->U32(1);
  b->Begin("data");
  b->U32(1);  // UTF-8
  b->U32(0);
  b->Text(info.creation_text);
  b->End();
  b->End();
  b->End();
}

}  // namespace

std::vector<uint8_t> BuildHeader(const HeaderInfo& info, uint64_t data_start) {
  std::vector<uint8_t> out;
  BoxWriter b(&out);
  b.Begin("ftyp");
  b.Type("isom");
  b.U32(0x200);
  for (const char* brand : {"isom", "iso2", "mp41"}) b.Type(brand);
  b.End();

  uint64_t duration = 0;
  for (int t = 0; t < kTracks; ++t) {
    if (Present(info, t)) duration = std::max(duration, InMovie(info.tracks[t].end, t));
  }
  b.Begin("moov");
  b.BeginFull("mvhd", 1, 0);
  b.U64(info.creation);
  b.U64(info.creation);
  b.U32(kTimescale[kVideo]);
  b.U64(duration);
  b.U32(0x00010000);  // rate 1
  b.U16(0x0100);      // volume 1
  b.Zeros(10);
  Matrix(&b);
  b.Zeros(24);
  b.U32(kTracks + 1);  // next track id
  b.End();
  if (info.creation_text.size() == kCreationTextSize) WriteCreationDate(&b, info);
  for (int t = 0; t < kTracks; ++t) {
    if (Present(info, t)) WriteTrack(&b, info, t, data_start);
  }
  b.Begin("udta");
  b.BeginFull(kFinishedBox, 0, 0);
  b.U8(info.finished ? 1 : 0);
  b.End();
  b.End();
  b.End();  // moov
  return out;
}

bool CreationTime(double wall, std::string* text, uint64_t* since_1904) {
  // 1904-01-01 and 10000-01-01 in seconds since 1970.
  if (!(wall >= -double(kSeconds1904To1970) && wall < 253402300800.0)) return false;
  int64_t ms = std::llround(wall * 1000.0);
  const int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  ms -= seconds * 1000;
  if (seconds >= 253402300800) return false;
  *since_1904 = uint64_t(seconds + kSeconds1904To1970);
  // The civil date of a day count since 1970-01-01 (proleptic Gregorian, eras of 400 years).
  const int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  const int64_t secs = seconds - days * 86400;
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", int(year), int(month),
                int(day), int(secs / 3600), int(secs / 60 % 60), int(secs % 60), int(ms));
  *text = buf;
  return text->size() == kCreationTextSize;
}

}  // namespace vexlor::mp4
