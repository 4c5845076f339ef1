// Frame reader: assembly, time fields, re-synchronisation on damaged data, and safety on
// hostile input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include "app/test_support.h"
#include "container/recording.h"
#include "container/recording_reader.h"
#include "container/recording_writer.h"
#include "platform/file.h"

namespace vexlor::container {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes MakeFrame(uint8_t kind, int channel, uint32_t ticks, uint32_t seconds, size_t payload,
                uint32_t seed) {
  Bytes f(kFrameHeaderSize + payload);
  PutFrameHeader(f.data(), kind, channel, ticks, seconds);
  std::mt19937 rng(seed);
  for (size_t i = kFrameHeaderSize; i < f.size(); ++i) f[i] = uint8_t(rng() % 251);
  return f;
}

void Append(Bytes* out, const Bytes& more) {
  out->insert(out->end(), more.begin(), more.end());
}

Bytes Packet(uint32_t total, const uint8_t* fragment, uint32_t fragment_length, uint16_t kind = 0,
             uint8_t type_code = 0) {
  Bytes p(kPacketSize);
  PutPacket(p.data(), total, fragment, fragment_length, kind, type_code);
  return p;
}

// Packets of one frame, returned one by one so tests can put damage between them.
std::vector<Bytes> Packets(const Bytes& frame, uint8_t type_code = 0) {
  Bytes all;
  const uint32_t n = AppendFramePackets(frame.data(), uint32_t(frame.size()), type_code, &all);
  std::vector<Bytes> out;
  for (uint32_t k = 0; k < n; ++k) {
    out.emplace_back(all.begin() + k * kPacketSize, all.begin() + (k + 1) * kPacketSize);
  }
  return out;
}

Bytes Garbage(size_t n, uint32_t seed) {
  Bytes g(n);
  std::mt19937 rng(seed);
  for (uint8_t& b : g) {
    do b = uint8_t(rng());
    while (b == 'T');
  }
  return g;
}

struct Delivered {
  Bytes data;
  int channel;
  int passthrough;
  uint32_t ticks, seconds;
};

class Reader {
 public:
  explicit Reader(const Bytes& file) {
    src_.file = std::tmpfile();
    if (!file.empty()) std::fwrite(file.data(), 1, file.size(), src_.file);
    std::rewind(src_.file);
    InitFrame(&frame_);
  }
  ~Reader() { std::fclose(src_.file); }
  // Reads up to `limit` frames; checks the zero tail after each.
  std::vector<Delivered> All(size_t limit = 100000) {
    std::vector<Delivered> out;
    while (out.size() < limit && ReadNextFrame(&src_, &frame_) == 1) {
      EXPECT_LE(frame_.length, kMaxFrameSize);
      const uint8_t* d = frame_.data.data();
      bool tail_zero = true;
      for (size_t i = frame_.length; i < frame_.data.size(); ++i) tail_zero &= d[i] == 0;
      EXPECT_TRUE(tail_zero) << "bytes after the frame's end are not zero";
      out.push_back({Bytes(d, d + frame_.length), frame_.channel, frame_.passthrough,
                     frame_.frame_ticks, frame_.frame_seconds});
    }
    return out;
  }
  RecordingSource src_;
  MediaFrame frame_;
};

TEST(FrameReaderTest, DeliversWholeFramesWithTheirFields) {
  const Bytes a = MakeFrame(kVideoKind, 3, 59, 1000, 5000, 1);      // several packets
  const Bytes b = MakeFrame(kAudioKind, 15, 1, 4000000000u, 8, 2);  // one packet
  const Bytes c = MakeFrame(kVideoKind, 0, 0, 7, kPayloadSize - kFrameHeaderSize, 3);  // exactly
  const Bytes d = MakeFrame(kVideoKind, 9, 30, 8, kPayloadSize + 1 - kFrameHeaderSize, 4);
  Bytes file;
  for (const Bytes& p : Packets(a)) Append(&file, p);
  for (const Bytes& p : Packets(b, 200)) Append(&file, p);
  for (const Bytes& p : Packets(c, 199)) Append(&file, p);
  // Passthrough is decided by the packet that completes the frame.
  std::vector<Bytes> dp = Packets(d);
  dp[0][kTypeCodeOffset] = 255;
  for (const Bytes& p : dp) Append(&file, p);
  std::vector<Bytes> ap = Packets(a, 0);
  ap.back()[kTypeCodeOffset] = 230;
  for (const Bytes& p : ap) Append(&file, p);

  Reader r(file);
  const std::vector<Delivered> got = r.All();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].data, a);
  EXPECT_EQ(got[0].channel, 3);
  EXPECT_EQ(got[0].ticks, 59u);
  EXPECT_EQ(got[0].seconds, 1000u);
  EXPECT_EQ(got[0].passthrough, 0);
  EXPECT_EQ(got[1].data, b);  // the smaller frame after a larger one: tail cleared
  EXPECT_EQ(got[1].channel, 15);
  EXPECT_EQ(got[1].seconds, 4000000000u);
  EXPECT_EQ(got[1].passthrough, 1);
  EXPECT_EQ(got[2].data, c);
  EXPECT_EQ(got[2].passthrough, 0);
  EXPECT_EQ(got[3].data, d);
  EXPECT_EQ(got[3].passthrough, 0);
  EXPECT_EQ(got[4].passthrough, 1);
  EXPECT_EQ(r.src_.read_position.load(), int64_t(file.size()));
  EXPECT_FALSE(r.src_.skips.Any());

  // After the end: 0 again, the current frame left as it was.
  EXPECT_EQ(ReadNextFrame(&r.src_, &r.frame_), 0);
  EXPECT_EQ(r.frame_.length, a.size());
  EXPECT_EQ(Bytes(r.frame_.data.begin(), r.frame_.data.begin() + long(a.size())), a);
}

TEST(FrameReaderTest, IncompleteFramesAtTheEndAreNotDelivered) {
  const Bytes a = MakeFrame(kVideoKind, 1, 0, 1, 100, 5);
  const Bytes big = MakeFrame(kVideoKind, 2, 0, 2, 4000, 6);
  Bytes whole;
  Append(&whole, Packets(a)[0]);
  const std::vector<Bytes> bp = Packets(big);
  for (size_t k = 0; k + 1 < bp.size(); ++k) Append(&whole, bp[k]);  // last packet missing
  for (size_t cut : {size_t(0), size_t(700), size_t(kPacketSize - 1)}) {
    Bytes file = whole;
    if (cut > 0) file.insert(file.end(), bp.back().begin(), bp.back().begin() + long(cut));
    Reader r(file);
    const std::vector<Delivered> got = r.All();
    ASSERT_EQ(got.size(), 1u) << "cut " << cut;
    EXPECT_EQ(got[0].data, a);
    EXPECT_EQ(r.src_.read_position.load(), int64_t(whole.size())) << "cut " << cut;
    EXPECT_EQ(r.src_.skips.frames_lost, 1) << "cut " << cut;
    EXPECT_EQ(r.src_.skips.damaged_bytes, int64_t(file.size() - kPacketSize)) << "cut " << cut;
  }
  Reader empty(Bytes{});
  EXPECT_TRUE(empty.All().empty());
  EXPECT_EQ(empty.frame_.length, 0u);
}

TEST(FrameReaderTest, IgnoredPacketsAndGarbageKeepTheFrame) {
  const Bytes a = MakeFrame(kVideoKind, 4, 12, 34, 3000, 7);  // three packets
  const Bytes b = MakeFrame(kVideoKind, 5, 0, 35, 200, 8);
  const std::vector<Bytes> ap = Packets(a);
  ASSERT_EQ(ap.size(), 3u);
  const Bytes junk = Garbage(kPayloadSize, 9);
  const Bytes ignored = Packet(77, junk.data(), kPayloadSize, kIgnoredPacketKind, 250);

  // A sync mark may start anywhere in the window, including offsets 1416 and 1417 whose last
  // bytes lie beyond it; "TT" followed by another byte is not a sync mark.
  Bytes not_a_mark = {'T', 'T', 'x'};
  for (const Bytes& between :
       {ignored, Garbage(3, 1), Garbage(1415, 2), Garbage(1416, 3), Garbage(1417, 4), not_a_mark}) {
    Bytes file;
    Append(&file, ap[0]);
    Append(&file, between);
    Append(&file, ap[1]);
    Append(&file, between);
    Append(&file, ap[2]);
    Append(&file, Packets(b)[0]);
    Reader r(file);
    const std::vector<Delivered> got = r.All();
    ASSERT_EQ(got.size(), 2u) << "between " << between.size();
    EXPECT_EQ(got[0].data, a) << "between " << between.size();
    EXPECT_EQ(got[1].data, b);
    // Garbage is damage, ignored packets are not; no frame is lost.
    EXPECT_EQ(r.src_.skips.damaged_bytes, between == ignored ? 0 : 2 * int64_t(between.size()));
    EXPECT_EQ(r.src_.skips.frames_lost, 0);
  }

  // A candidate at 1416 whose third byte turns out wrong is re-examined, not trusted.
  Bytes file;
  Append(&file, ap[0]);
  Bytes tricky = Garbage(1416, 5);
  Append(&tricky, not_a_mark);
  Append(&tricky, Garbage(50, 6));
  Append(&file, tricky);
  Append(&file, ap[1]);
  Append(&file, ap[2]);
  Reader r(file);
  const std::vector<Delivered> got = r.All();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, a);
}

TEST(FrameReaderTest, WholePacketDiscardsDropTheFrameSoFar) {
  const Bytes a = MakeFrame(kVideoKind, 4, 0, 1, 3000, 10);  // three packets
  const Bytes b = MakeFrame(kVideoKind, 5, 0, 2, 100, 11);
  const Bytes c = MakeFrame(kVideoKind, 6, 0, 3, 2000, 12);
  const std::vector<Bytes> ap = Packets(a);

  // Broken end mark on the frame's last packet, with a sync mark inside its payload that must
  // not be used: the frame is lost (one range with the garbage inside it), the next ones are
  // intact.
  {
    Bytes broken = ap[2];
    std::memcpy(broken.data() + kPayloadOffset + 100, kSyncMark, 3);
    broken[kEndMarkOffset + 2] = 1;
    Bytes file;
    Append(&file, ap[0]);
    Append(&file, Garbage(50, 1));
    Append(&file, ap[1]);
    Append(&file, broken);
    for (const Bytes& f : {b, c}) {
      for (const Bytes& p : Packets(f)) Append(&file, p);
    }
    Reader r(file);
    const std::vector<Delivered> got = r.All();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data, b);
    EXPECT_EQ(got[1].data, c);
    EXPECT_EQ(r.src_.skips.frames_lost, 1);
    EXPECT_EQ(r.src_.skips.damaged_bytes, 3 * kPacketSize + 50);
    EXPECT_EQ(r.src_.skips.damaged_ranges, 1);
  }
  // The same in the middle of a frame, and 1418 bytes without any sync mark: the earlier
  // fragments are dropped and the following packets are glued on from scratch, so the next
  // delivery is the rest of `a` followed by `b` (nothing ties fragments together).
  Bytes broken_middle = ap[1];
  broken_middle[kEndMarkOffset] = 'X';
  for (const Bytes& damage : {broken_middle, Garbage(kPacketSize, 13)}) {
    Bytes file;
    Append(&file, ap[0]);
    Append(&file, damage);
    Append(&file, ap[2]);
    for (const Bytes& f : {b, c}) {
      for (const Bytes& p : Packets(f)) Append(&file, p);
    }
    Reader r(file);
    const std::vector<Delivered> got = r.All();
    ASSERT_EQ(got.size(), 2u);
    const size_t rest = a.size() - 2 * kPayloadSize;
    ASSERT_EQ(got[0].data.size(), rest + b.size());
    EXPECT_TRUE(std::equal(a.end() - long(rest), a.end(), got[0].data.begin()));
    EXPECT_EQ(got[1].data, c);
    EXPECT_EQ(r.src_.skips.frames_lost, 1);
    EXPECT_EQ(r.src_.skips.damaged_bytes, 2 * kPacketSize);
  }
}

TEST(FrameReaderTest, ImpossibleLengthsNeverOverflow) {
  const Bytes ok = MakeFrame(kVideoKind, 7, 0, 9, 500, 14);
  const Bytes payload = Garbage(kPayloadSize, 15);

  // A packet that announces a total below its fragment: complete after it, all bytes kept.
  {
    Bytes file = Packet(10, ok.data(), uint32_t(ok.size()));
    Reader r(file);
    const std::vector<Delivered> got = r.All();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, ok);
  }
  // A frame of exactly the largest size is delivered.
  const Bytes largest = MakeFrame(kVideoKind, 8, 0, 1, kMaxFrameSize - kFrameHeaderSize, 16);
  {
    Bytes file;
    for (const Bytes& p : Packets(largest)) Append(&file, p);
    Reader r(file);
    const std::vector<Delivered> got = r.All();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, largest);
  }
  // Fragment longer than the payload area, total above the frame limit, a frame that would
  // outgrow the buffer through mixed totals, and the packets of a frame beyond the limit: each
  // such packet is dropped with the frame assembled so far, and the next frame is intact. The
  // frame so far is lost; a frame beyond the limit is recorded as oversized, with its range.
  Bytes too_long_fragment = Packet(5000, payload.data(), kPayloadSize);
  too_long_fragment[kFragmentLengthOffset] = 0xFF;
  too_long_fragment[kFragmentLengthOffset + 1] = 0xFF;
  const Bytes too_large_total = Packet(kMaxFrameSize + 1, payload.data(), kPayloadSize);
  Bytes outgrow;
  {
    const std::vector<Bytes> lp = Packets(largest);
    for (size_t k = 0; k + 1 < lp.size(); ++k) Append(&outgrow, lp[k]);
    Append(&outgrow, Packet(kMaxFrameSize, payload.data(), kPayloadSize));
  }
  Bytes oversized;
  for (const Bytes& p : Packets(Bytes(kMaxFrameSize + 1))) Append(&oversized, p);
  const struct {
    const Bytes& bad;
    int64_t lost, oversized, damaged_bytes;
  } cases[] = {{too_long_fragment, 1, 0, 2 * kPacketSize},
               {too_large_total, 1, 1, kPacketSize},
               {outgrow, 0, 1, 0},
               {oversized, 1, 1, kPacketSize}};
  for (const auto& c : cases) {
    Bytes file;
    Append(&file, Packet(3000, payload.data(), 700));  // start of a frame, then the bad packet
    Append(&file, c.bad);
    Append(&file, Packets(ok)[0]);
    Reader r(file);
    const std::vector<Delivered> got = r.All();
    ASSERT_EQ(got.size(), 1u) << "bad packet of " << c.bad.size() << " bytes";
    EXPECT_EQ(got[0].data, ok);
    const ReaderSkips& skips = r.src_.skips;
    EXPECT_EQ(skips.frames_lost, c.lost) << c.bad.size();
    EXPECT_EQ(skips.damaged_bytes, c.damaged_bytes) << c.bad.size();
    ASSERT_EQ(skips.oversized_frames, c.oversized) << c.bad.size();
    if (c.oversized > 0) {
      EXPECT_EQ(skips.oversized[0].range.end, int64_t(file.size()) - kPacketSize);
    }
  }
}

#ifndef _WIN32  // fopencookie: glibc
// A stream whose reads keep failing after `good` bytes.
struct FailingCookie {
  Bytes data;
  size_t pos = 0;
  size_t good = 0;
  int calls = 0;
};
ssize_t FailingRead(void* c, char* buf, size_t size) {
  auto* f = static_cast<FailingCookie*>(c);
  ++f->calls;
  if (f->pos >= f->good) {
    errno = EIO;
    return -1;
  }
  const size_t n = std::min(size, f->good - f->pos);
  std::memcpy(buf, f->data.data() + f->pos, n);
  f->pos += n;
  return ssize_t(n);
}

TEST(FrameReaderTest, FailingReadsEndThePass) {
  const Bytes a = MakeFrame(kVideoKind, 1, 0, 1, 3000, 17);
  FailingCookie cookie;
  for (int k = 0; k < 3; ++k) {
    for (const Bytes& p : Packets(a)) Append(&cookie.data, p);
  }
  cookie.good = 4 * kPacketSize + 100;  // one frame and a bit
  cookie_io_functions_t io{};
  io.read = FailingRead;
  RecordingSource src;
  src.file = fopencookie(&cookie, "rb", io);
  ASSERT_NE(src.file, nullptr);
  MediaFrame frame;
  InitFrame(&frame);
  EXPECT_EQ(ReadNextFrame(&src, &frame), 1);
  EXPECT_EQ(ReadNextFrame(&src, &frame), 0);
  EXPECT_EQ(ReadNextFrame(&src, &frame), 0);
  EXPECT_LT(cookie.calls, 20);
  std::fclose(src.file);

  // A directory opens but cannot be read.
  src.file = std::fopen("/", "rb");
  if (src.file != nullptr) {
    EXPECT_EQ(ReadNextFrame(&src, &frame), 0);
    std::fclose(src.file);
  }
}
#endif

TEST(FrameReaderTest, RandomDamageIsHandledSafely) {
  Bytes clean;
  for (uint32_t i = 0; i < 12; ++i) {
    for (const Bytes& p : Packets(MakeFrame(kVideoKind, int(i % 3), i, i, 300 + i * 900, i))) {
      Append(&clean, p);
    }
  }
  std::mt19937 rng(42);
  for (int round = 0; round < 150; ++round) {
    Bytes file = clean;
    const int edits = 1 + int(rng() % 20);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % file.size();
      switch (rng() % 4) {
        case 0:
          file[at] = uint8_t(rng());
          break;
        case 1: {  // damage a length or kind field
          const size_t field = at - at % kPacketSize + kTotalHighOffset + rng() % 10;
          if (field < file.size()) file[field] = uint8_t(rng());
          break;
        }
        case 2:
          file.insert(file.begin() + long(at), size_t(rng() % 3000), uint8_t(rng()));
          break;
        default:
          file.erase(file.begin() + long(at),
                     file.begin() + long(std::min(file.size(), at + rng() % 2000)));
          break;
      }
      if (file.size() < kPacketSize) break;
    }
    Reader r(file);
    const std::vector<Delivered> got = r.All(1000);
    EXPECT_LT(got.size(), 1000u);
  }
}

// A recording of any size: frames beyond the 2 GiB and 4 GiB offsets (of a sparse file) are
// found, with 64-bit offsets from which reading delivers them again.
TEST(RecordingReader, ReadsAndRestartsBeyondFourGigabytes) {
  testing::ScratchDir dir;
  const std::string path = dir / "big.kvr";
  const int64_t at[] = {0, (int64_t{2} << 30) + 5, (int64_t{4} << 30) + 11};
  if (!testing::MakeSparseFile(path, at[2] + 4 * kPacketSize)) GTEST_SKIP() << "no sparse files";
  std::FILE* f = platform::OpenFile(path, "r+b");
  ASSERT_NE(f, nullptr);
  for (int k = 0; k < 3; ++k) {
    const Bytes packet = Packets(MakeFrame(0xE, k, 0, uint32_t(100 + k), 40, k))[0];
    ASSERT_EQ(platform::SeekFile(f, at[k], SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(packet.data(), 1, packet.size(), f), packet.size());
  }
  ASSERT_EQ(std::fclose(f), 0);

  RecordingReader reader;
  ASSERT_TRUE(reader.Open(path).ok());
  EXPECT_EQ(reader.size(), at[2] + 4 * kPacketSize);
  for (int k = 1; k < 3; ++k) {
    // From a little before the frame (the reader skips what is not a packet), then from the
    // offset it reports: the same frame both times.
    Frame frame;
    ASSERT_TRUE(reader.Restart(at[k] - 3 * kPacketSize, 7).ok());
    ASSERT_TRUE(reader.Next(&frame).ok());
    EXPECT_EQ(frame.channel, k);
    EXPECT_EQ(frame.seconds, uint32_t(100 + k));
    EXPECT_EQ(frame.index, 7);
    EXPECT_EQ(reader.position(), at[k] + kPacketSize);
    ASSERT_TRUE(reader.Restart(frame.offset, 7).ok());
    ASSERT_TRUE(reader.Next(&frame).ok());
    EXPECT_EQ(frame.seconds, uint32_t(100 + k));
  }
  Frame last;
  EXPECT_EQ(reader.Next(&last).code(), StatusCode::kEndOfData);
}

// What a reading skipped: video frames of the three-byte start code per channel (delivered,
// never `counted`), the first ranges listed and all of them counted. Reading again from a
// frame's offset records nothing twice; Rewind starts afresh.
TEST(RecordingReader, SkipsAreRecordedOncePerReading) {
  const int64_t runs = ReaderSkips::kListed + 8;
  Bytes file;
  for (int64_t k = 0; k < runs; ++k) {
    Bytes f = MakeFrame(kVideoKind, int(k % 2), 0, uint32_t(k), 40, uint32_t(k));
    std::memcpy(f.data() + kFrameHeaderSize, "\0\0\0\1", 4);
    if (k % 4 == 1) f.erase(f.begin() + kFrameHeaderSize);  // 00 00 01
    Append(&file, Garbage(10, uint32_t(k)));
    for (const Bytes& p : Packets(f)) Append(&file, p);
  }
  testing::ScratchDir dir;
  std::ofstream(testing::Fs(dir / "skips.kvr"), std::ios::binary)
      .write((const char*)file.data(), std::streamsize(file.size()));
  RecordingReader reader;
  ASSERT_TRUE(reader.Open(dir / "skips.kvr").ok());
  std::vector<int64_t> offsets;
  for (Frame frame; reader.Next(&frame).ok(); offsets.push_back(frame.offset)) {
    EXPECT_EQ(frame.counted, frame.index % 4 != 1) << frame.index;
  }
  const ReaderSkips& skips = reader.skips();
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(skips.three_byte_start_code[1], runs / 4);
    EXPECT_EQ(skips.damaged.size(), ReaderSkips::kListed);
    EXPECT_EQ(skips.damaged_ranges, runs);
    EXPECT_EQ(skips.damaged_bytes, 10 * runs);
    ASSERT_TRUE(reader.Restart(offsets.at(runs / 2), runs / 2).ok());
    for (Frame frame; reader.Next(&frame).ok();) continue;
  }
  Frame first;
  ASSERT_TRUE(reader.Rewind().ok() && reader.Next(&first).ok());
  EXPECT_EQ(skips.damaged_ranges + skips.ThreeByteStartCodeFrames(), 1);
}

// The observer sees the file's bytes once each, in order, whatever the reading does: stopping
// early, jumping ahead, going back.
TEST(RecordingReader, ObserverSeesEveryByteOnce) {
  Bytes file;
  for (uint32_t k = 0; k < 40; ++k) {
    Append(&file, Garbage(k % 3 * 7, k));
    for (const Bytes& p : Packets(MakeFrame(kVideoKind, 0, 0, k, 3000, k))) Append(&file, p);
  }
  file.resize(file.size() - 100);  // a frame cut off by the end
  testing::ScratchDir dir;
  std::ofstream(testing::Fs(dir / "seen.kvr"), std::ios::binary)
      .write((const char*)file.data(), std::streamsize(file.size()));
  const struct {
    const char* what;
    int64_t jump_to;  // Restart at this frame (its offset) after the first 3; -1: none
    int frames;       // then read this many more (-1: to the end), then Rewind and read 2
  } table[] = {{"stopped early", -1, 0}, {"to the end", -1, -1}, {"jumping ahead", 30, 4}};
  for (const auto& row : table) {
    RecordingReader reader;
    ASSERT_TRUE(reader.Open(dir / "seen.kvr").ok());
    std::vector<int64_t> offsets;
    for (Frame f; reader.Next(&f).ok();) offsets.push_back(f.offset);
    ASSERT_TRUE(reader.Rewind().ok());
    Bytes seen;
    reader.SetByteObserver(
        [&](std::span<const uint8_t> b) { seen.insert(seen.end(), b.begin(), b.end()); });
    Frame frame;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(reader.Next(&frame).ok());
    if (row.jump_to >= 0) {
      ASSERT_TRUE(reader.Restart(offsets.at(row.jump_to), row.jump_to).ok());
    }
    for (int i = 0; i != row.frames && reader.Next(&frame).ok(); ++i) continue;
    ASSERT_TRUE(reader.Rewind().ok() && reader.Next(&frame).ok() && reader.Next(&frame).ok());
    ASSERT_TRUE(reader.FinishObserving().ok()) << row.what;
    EXPECT_TRUE(seen == file) << row.what << ": " << seen.size() << " of " << file.size();
    EXPECT_EQ(reader.observed_bytes(), int64_t(file.size())) << row.what;
    ASSERT_TRUE(reader.Next(&frame).ok() && frame.index == 2) << row.what;  // the reading goes on
  }
}

}  // namespace
}  // namespace vexlor::container
