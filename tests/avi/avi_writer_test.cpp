// AVI writer: the written files are checked by an independent RIFF walk.
#include "avi/avi_writer.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "avi/riff_walk.h"
#include "support/process.h"

namespace vexlor::avi {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::WalkAvi;
using testing::WalkedAvi;

std::string TempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "avi_writer_" + std::to_string(testing::ProcessId()) +
         "_" + name;
}

// A media frame: 32-byte header with the given stream id, then the given NAL units, the first
// behind a four-byte start code and the others behind three-byte ones.
Bytes Frame(uint8_t stream_id, const std::vector<Bytes>& nals) {
  Bytes f(32, 0);
  f[2] = 1;
  f[3] = stream_id;
  bool first = true;
  for (const Bytes& nal : nals) {
    if (first) f.push_back(0);
    f.insert(f.end(), {0, 0, 1});
    f.insert(f.end(), nal.begin(), nal.end());
    first = false;
  }
  return f;
}
Bytes Nal(uint8_t header, size_t payload) {
  Bytes n(1 + payload, 0x5A);
  n[0] = header;
  return n;
}
Bytes Audio(size_t samples) {
  Bytes f(32 + samples, 0x80);
  f[0] = 0, f[1] = 0, f[2] = 1, f[3] = 0xC2;
  if (f.size() > 36) f[36] = 0x41;  // a P-slice-like byte must not matter for audio
  return f;
}

WalkedAvi WriteAndWalk(AviWriter* w, const std::string& path, const std::vector<Bytes>& frames,
                       std::vector<int32_t>* codes = nullptr) {
  EXPECT_EQ(w->Open(path.c_str()), kAviOk);
  for (const Bytes& f : frames) {
    const int32_t code = w->WriteFrame(f.data(), uint32_t(f.size()));
    if (codes != nullptr) codes->push_back(code);
  }
  EXPECT_EQ(w->Close(), kAviOk);
  Bytes bytes;
  EXPECT_TRUE(testing::ReadWholeFile(path, &bytes));
  WalkedAvi avi;
  EXPECT_EQ(WalkAvi(bytes, &avi), "");
  std::remove(path.c_str());
  return avi;
}

TEST(AviWriterTest, ChunksIndexFlagsAndHeaders) {
  AviWriter w;
  w.settings.width = 704;
  w.settings.height = 480;
  const std::vector<Bytes> frames = {
      Frame(0xE5, {Nal(0x67, 10), Nal(0x68, 3), Nal(0x65, 101)}),  // IDR access unit, odd size
      Frame(0xE5, {Nal(0x41, 60)}),                                // P
      Frame(0xE5, {Nal(0x61, 60)}),                                // P with nal_ref_idc 3
      Frame(0xE5, {Nal(0x06, 7), Nal(0x25, 20)}),                  // SEI, then IDR (ref_idc 1)
      Audio(801),                                                  // odd audio chunk
      Frame(0xE5, {Nal(0x21, 0), Nal(0x21, 0)}),                   // two P slices
      Bytes{0, 0, 1, 0xE5, 9, 9},                                  // shorter than a header
      Frame(0xD0, {Nal(0x65, 5)}),                                 // unknown kind
      Frame(0x05, {Nal(0x65, 5)}),
  };
  Bytes minimal(36, 0);  // 36 bytes: a chunk of 4
  minimal[2] = 1, minimal[3] = 0xE0, minimal[35] = 1;
  std::vector<Bytes> all = frames;
  all.push_back(minimal);
  Bytes bad_prefix = frames[0];
  bad_prefix[2] = 2;
  all.push_back(bad_prefix);

  std::vector<int32_t> codes;
  ASSERT_EQ(w.Open(TempPath("headers.avi").c_str()), kAviOk);
  for (const Bytes& f : all) codes.push_back(w.WriteFrame(f.data(), uint32_t(f.size())));
  w.mainHeader.dwMicroSecPerFrame = 100000;
  w.videoHeader.dwScale = 100;
  w.videoHeader.dwRate = 999;
  w.videoHeader.dwLength = 5;
  ASSERT_EQ(w.Close(), kAviOk);
  EXPECT_EQ(codes, (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 2, 2, 2, 0, 2}));

  Bytes bytes;
  ASSERT_TRUE(testing::ReadWholeFile(TempPath("headers.avi"), &bytes));
  std::remove(TempPath("headers.avi").c_str());
  WalkedAvi avi;
  ASSERT_EQ(WalkAvi(bytes, &avi), "");

  // Chunks: ids, sizes, data, pad bytes (checked by the walk), key flags.
  const std::vector<size_t> stored = {0, 1, 2, 3, 4, 5, 9};
  const std::vector<uint32_t> flags = {0x10, 0, 0, 0x10, 0x10, 0, 0};
  ASSERT_EQ(avi.chunks.size(), stored.size());
  for (size_t k = 0; k < stored.size(); ++k) {
    const Bytes& f = all[stored[k]];
    EXPECT_EQ(avi.chunks[k].id, stored[k] == 4 ? "01wb" : "00dc") << k;
    EXPECT_EQ(avi.chunks[k].size, f.size() - 32) << k;
    EXPECT_TRUE(
        std::equal(f.begin() + 32, f.end(), bytes.begin() + long(avi.chunks[k].data_offset)));
    EXPECT_EQ(avi.index[k].flags, flags[k]) << "chunk " << k;
  }
  EXPECT_EQ(avi.chunks.back().size, 4u);
  EXPECT_GE(avi.trailing_zeros, 1u);
  EXPECT_LE(avi.trailing_zeros, 4u);
  EXPECT_EQ((avi.movi_fourcc + avi.movi_list_size) % 4, 0u);

  // Fixed layout and header fields.
  EXPECT_EQ(avi.U32(16), 294u);
  EXPECT_EQ(avi.movi_fourcc, 322u);
  const size_t m = avi.avih;
  EXPECT_EQ(avi.U32(m), 100000u);
  EXPECT_EQ(avi.U32(m + 12), 0x110u);
  EXPECT_EQ(avi.U32(m + 16), 6u);  // dwTotalFrames: video chunks
  EXPECT_EQ(avi.U32(m + 24), 2u);
  EXPECT_EQ(avi.U32(m + 32), 704u);
  EXPECT_EQ(avi.U32(m + 36), 480u);
  const size_t v = avi.video_strh;
  EXPECT_EQ(testing::Tag(bytes, v), "vids");
  EXPECT_EQ(testing::Tag(bytes, v + 4), "h264");
  EXPECT_EQ(avi.U32(v + 20), 100u);
  EXPECT_EQ(avi.U32(v + 24), 999u);
  EXPECT_EQ(avi.U32(v + 32), 5u);
  EXPECT_EQ(avi.U32(v + 40), 10000u);
  EXPECT_EQ(testing::LeU16(bytes, v + 52), 704);
  EXPECT_EQ(testing::LeU16(bytes, v + 54), 480);
  const size_t vf = avi.video_strf;
  EXPECT_EQ(avi.video_strf_size, 40u);
  EXPECT_EQ(avi.U32(vf), 40u);
  EXPECT_EQ(avi.U32(vf + 4), 704u);
  EXPECT_EQ(avi.U32(vf + 8), 480u);
  EXPECT_EQ(testing::LeU16(bytes, vf + 12), 1);
  EXPECT_EQ(testing::LeU16(bytes, vf + 14), 24);
  EXPECT_EQ(testing::Tag(bytes, vf + 16), "H264");
  EXPECT_EQ(avi.U32(vf + 20), 1013760u);
  const size_t a = avi.audio_strh;
  EXPECT_EQ(testing::Tag(bytes, a), "auds");
  EXPECT_EQ(avi.U32(a + 4), 0u);
  EXPECT_EQ(avi.U32(a + 20), 1u);
  EXPECT_EQ(avi.U32(a + 24), 8000u);
  EXPECT_EQ(avi.U32(a + 32), all[4].size() - 32);  // dwLength: the samples written
  EXPECT_EQ(avi.U32(a + 36), 26880u);
  EXPECT_EQ(avi.U32(a + 44), 1u);
  const size_t af = avi.audio_strf;
  EXPECT_EQ(avi.audio_strf_size, 18u);
  EXPECT_EQ(Bytes(bytes.begin() + long(af), bytes.begin() + long(af) + 18),
            (Bytes{1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0, 0, 0}));
}

TEST(AviWriterTest, MoviPaddingEmptyFilesAndReuse) {
  AviWriter w;
  EXPECT_EQ(w.Entry(7), kAviBadOperation);
  // Chunk data ending at a multiple of 4 gets 4 zero bytes; a padded odd chunk counts its pad.
  const Bytes two = Frame(0xE0, {});
  Bytes v2 = two;
  v2.insert(v2.end(), {0x41, 0x00});
  WalkedAvi avi = WriteAndWalk(&w, TempPath("pad4.avi"), {v2});
  EXPECT_EQ(avi.trailing_zeros, 4u);
  Bytes v3 = two;
  v3.insert(v3.end(), {0x41, 0x01, 0x02});
  avi = WriteAndWalk(&w, TempPath("pad3.avi"), {v3});
  EXPECT_EQ(avi.trailing_zeros, 2u);  // chunk at 326: 8 + 3 + pad 1 ends at 338

  // A file without chunks is still a valid AVI with an empty movi list.
  avi = WriteAndWalk(&w, TempPath("empty.avi"), {});
  EXPECT_TRUE(avi.chunks.empty());
  EXPECT_EQ(avi.U32(avi.avih + 16), 0u);

  // The writer reused: counts, index and header values start afresh at each Open.
  w.settings.width = 176;
  w.settings.height = 144;
  ASSERT_EQ(w.Entry(kAviOpen, TempPath("first.avi").c_str()), kAviOk);
  const Bytes idr = Frame(0xE1, {Nal(0x65, 30)});
  for (int k = 0; k < 3; ++k) w.Entry(kAviWriteFrame, idr.data(), uint32_t(idr.size()));
  w.videoHeader.dwRate = 1234;
  ASSERT_EQ(w.Entry(kAviClose), kAviOk);
  w.settings.width = 352;
  avi = WriteAndWalk(&w, TempPath("second.avi"), {idr});
  EXPECT_EQ(avi.chunks.size(), 1u);
  EXPECT_EQ(avi.U32(avi.avih + 16), 1u);
  EXPECT_EQ(avi.U32(avi.avih + 32), 352u);
  EXPECT_EQ(avi.U32(avi.video_strh + 24), 24u);
  EXPECT_EQ(avi.U32(avi.avih), 41666u);
  std::remove(TempPath("first.avi").c_str());
}

// Frame rate settings whose header values do not fit their 32-bit fields (found by fuzzing:
// the conversion was undefined) are held within them; a rate that is not positive gives 0.
TEST(AviWriterTest, FrameRatesBeyondTheHeaderFieldsAreHeldWithinThem) {
  struct Case {
    double rate;
    uint32_t micro_sec, video_rate;
  };
  const Case cases[] = {{1e-9, 0xFFFFFFFFu, 0},
                        {1e12, 0, 0xFFFFFFFFu},
                        {0.5, 2000000, 0},
                        {-3, 0, 0},
                        {std::numeric_limits<double>::quiet_NaN(), 0, 0},
                        {std::numeric_limits<double>::infinity(), 0, 0xFFFFFFFFu}};
  AviWriter w;
  for (const Case& c : cases) {
    w.settings.frame_rate = c.rate;
    ASSERT_EQ(w.Open(TempPath("rate.avi").c_str()), kAviOk);
    EXPECT_EQ(w.mainHeader.dwMicroSecPerFrame, c.micro_sec) << c.rate;
    EXPECT_EQ(w.videoHeader.dwRate, c.video_rate) << c.rate;
    EXPECT_EQ(w.Close(), kAviOk);
  }
  std::remove(TempPath("rate.avi").c_str());
}

TEST(AviWriterTest, IndexKeepsEveryChunkPastItsCapacity) {
  AviWriter w;
  const Bytes video = Frame(0xE0, {Nal(0x41, 1)});
  const Bytes audio = Audio(3);
  const std::string path = TempPath("large.avi");
  ASSERT_EQ(w.Open(path.c_str()), kAviOk);
  const uint32_t total = kIndexCapacity + 5;
  int fours = 0;
  for (uint32_t k = 0; k < total; ++k) {
    const Bytes& f = k % 10 == 0 ? audio : video;
    const int32_t code = w.WriteFrame(f.data(), uint32_t(f.size()));
    ASSERT_EQ(code, k < kIndexCapacity ? kAviOk : kAviIndexFull) << k;
    fours += code == kAviIndexFull;
  }
  ASSERT_EQ(w.Close(), kAviOk);
  EXPECT_EQ(fours, 5);
  Bytes bytes;
  ASSERT_TRUE(testing::ReadWholeFile(path, &bytes));
  std::remove(path.c_str());
  WalkedAvi avi;
  ASSERT_EQ(WalkAvi(bytes, &avi), "");
  ASSERT_EQ(avi.chunks.size(), total);
  EXPECT_EQ(avi.U32(avi.avih + 16), total - (total + 9) / 10);
  EXPECT_EQ(avi.chunks.back().id, "00dc");
}

// The large-file form: every RIFF within the limit (a chunk larger than the limit alone in one;
// the walk checks every index, the frame counts of avih and odml and the audio length; the fuzz
// programs check the chunks and key flags), the timing values where the classic form has them.
TEST(AviWriterTest, LargeFileFormKeepsEveryRiffWithinItsLimit) {
  struct Case {
    uint32_t limit;
    int chunks;    // video chunks of 700 to 1,199 bytes, every fourth one a key frame
    bool audio;    // an audio chunk of 801 bytes after every third video chunk
    size_t riffs;  // RIFFs expected
  };
  const Case cases[] = {{kRiffLimit, 9, true, 1},
                        {20000, 40, true, 3},
                        {20000, 40, false, 3},
                        {0, 6, true, 8},  // every chunk in a RIFF of its own
                        {0, 0, true, 1}};
  AviWriter w;
  const std::string path = TempPath("large.avi");
  for (const Case& c : cases) {
    w.settings.open_dml = true;
    w.settings.riff_limit = c.limit;
    ASSERT_EQ(w.Open(path.c_str()), kAviOk);
    for (int k = 0; k < c.chunks; ++k) {
      const Bytes video(700 + size_t(k) * 37 % 500, uint8_t(k)), audio(801, 0x80);
      ASSERT_EQ(w.WriteChunk(AviStream::kVideo, video, k % 4 == 0), kAviOk);
      if (c.audio && k % 3 == 2) {
        ASSERT_EQ(w.WriteChunk(AviStream::kAudio, audio, true), kAviOk);
      }
    }
    w.mainHeader.dwMicroSecPerFrame = 40000;
    w.videoHeader.dwScale = 100;
    w.videoHeader.dwRate = 2500;
    w.videoHeader.dwLength = uint32_t(c.chunks);
    ASSERT_EQ(w.Close(), kAviOk);
    Bytes bytes;
    ASSERT_TRUE(testing::ReadWholeFile(path, &bytes));
    WalkedAvi avi;
    ASSERT_EQ(WalkAvi(bytes, &avi), "") << c.limit << " " << c.chunks;
    EXPECT_TRUE(avi.large);
    EXPECT_EQ(avi.riffs.size(), c.riffs) << c.limit << " " << c.chunks;
    for (const auto& riff : avi.riffs) {
      EXPECT_TRUE(riff.second + 8 <= c.limit || c.limit == 0);
    }
    EXPECT_EQ(avi.dmlh_frames, uint32_t(c.chunks));
    for (auto [at, value] : {std::pair{kMicroSecPos, 40000u},
                             {kVideoScalePos, 100u},
                             {kVideoRatePos, 2500u},
                             {kVideoLengthPos, uint32_t(c.chunks)}}) {
      EXPECT_EQ(avi.U32(at), value);
    }
  }
  // Past the super indexes' room the file cannot be indexed: the write fails, no file is left.
  std::remove(path.c_str());
  w.settings.riff_limit = 0;
  ASSERT_EQ(w.Open(path.c_str()), kAviOk);
  const Bytes one(10, 1);
  for (uint32_t k = 0; k < kSuperIndexEntries; ++k) {
    ASSERT_EQ(w.WriteChunk(AviStream::kVideo, one, true), kAviOk) << k;
  }
  EXPECT_EQ(w.WriteChunk(AviStream::kVideo, one, true), kAviWriteFailed);
  EXPECT_EQ(w.Close(), kAviWriteFailed);
  Bytes left;
  EXPECT_FALSE(testing::ReadWholeFile(path, &left));
}

TEST(AviWriterTest, FailuresAreReported) {
  AviWriter w;
  const Bytes idr = Frame(0xE0, {Nal(0x65, 100)});

  // A file that cannot be created: the message, a failing Open, nothing written, failing Close.
  const std::string missing = "/nonexistent-directory/cam_01.avi";
  EXPECT_NE(w.Open(missing.c_str()), kAviOk);
  EXPECT_EQ(w.last_error(), "file create error /nonexistent-directory/cam_01.avi");
  EXPECT_EQ(w.WriteFrame(idr.data(), uint32_t(idr.size())), kAviWriteFailed);
  EXPECT_NE(w.Close(), kAviOk);
  WriteAndWalk(&w, TempPath("after_failure.avi"), {idr});  // the writer recovers

  // Only regular files are written: a device is refused, never opened.
#ifdef _WIN32
  const std::string device = "NUL";
#else
  const std::string device = "/dev/full";
#endif
  EXPECT_EQ(w.Open(device.c_str()), kAviCannotCreate);
  EXPECT_EQ(w.last_error(), device + " is not a regular file");
  EXPECT_NE(w.Close(), kAviOk);

#ifndef _WIN32

  // A file-size limit hit in the middle of the chunks (in a child, so the limit stays there):
  // the failed file is removed, and the earlier file of that name stays as it was.
  const std::string path = TempPath("limited.avi");
  const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(earlier.data(), 1, earlier.size(), f);
    std::fclose(f);
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    AviWriter limited;
    const Bytes big = Frame(0xE0, {Nal(0x65, 5000)});
    int failed_writes = 0;
    if (limited.Open(path.c_str()) != kAviOk) _exit(10);
    for (int k = 0; k < 400; ++k) {
      failed_writes += limited.WriteFrame(big.data(), uint32_t(big.size())) == kAviWriteFailed;
    }
    const int32_t closed = limited.Close();
    _exit(closed == kAviOk ? 11 : failed_writes == 0 ? 12 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "11: Close reported success, 12: no WriteFrame failed";
  Bytes after;
  ASSERT_TRUE(testing::ReadWholeFile(path, &after));
  EXPECT_EQ(after, earlier);
  std::remove(path.c_str());
#endif
}

}  // namespace
}  // namespace vexlor::avi
