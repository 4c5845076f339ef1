// The Matroska muxer through its format record, checked with the tests' own EBML walk (on every
// platform): what each file of the table of recordings holds, which files count as finished, and
// the files that must not be written.
#include "mkv/mkv_muxer.h"

#include <gtest/gtest.h>

#include "mkv/ebml_walk.h"
#include "mkv/recordings.h"

namespace vexlor::testing {
namespace {

const mux::Format& Mkv() {
  return mkv::MkvFormat();
}

TEST(MkvMuxer, FilesHoldWhatWasWritten) {
  // The files are kept; the Windows build compares its own with the Linux build's.
  const std::string kept = VEXLOR_BINARY_DIR "/tests/mkv/files/";
  std::filesystem::create_directories(Fs(kept));
  for (const Recording& r : Recordings()) {
    SCOPED_TRACE(r.name);
    const std::string path = kept + r.name + ".mkv";
    Fed fed;
    ASSERT_TRUE(WriteRecording(Mkv(), r, path, &fed).ok());
    const Bytes bytes = ReadAll(path);
    WalkedMkv f;
    ASSERT_EQ(WalkMkv(bytes, &f), "");
    EXPECT_EQ(f.UintOf(0x2AD7B1), 1000000u);  // milliseconds
    EXPECT_EQ(f.Float(*f.All(0x4489).at(0)), r.duration_ms);
    EXPECT_EQ(f.All(0xAE).size(), r.audio.empty() ? 2u : 3u);  // video, clock (, audio)
    // The codec data: the first frame's parameter sets.
    const Bytes& sps = fed.description.parameter_sets[0];
    Bytes record = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
    for (const Bytes& set : fed.description.parameter_sets) {
      if ((set[0] & 0x1F) == 8) record.push_back(1);
      record.insert(record.end(), {uint8_t(set.size() >> 8), uint8_t(set.size())});
      record.insert(record.end(), set.begin(), set.end());
    }
    EXPECT_EQ(Bytes(bytes.begin() + long(f.All(0x63A2).at(0)->data),
                    bytes.begin() + long(f.All(0x63A2).at(0)->end)),
              record);

    // Each frame's NAL units with length prefixes at its time; the sound bit for bit; the clock's
    // text of each second the frames show; all in time order.
    std::vector<double> times[4];
    Bytes sound;
    std::vector<std::string> texts, seconds;
    size_t frame = 0;
    for (const MkvBlock& b : f.blocks) {
      EXPECT_GE(b.time, times[0].empty() ? 0 : times[0].back()) << "blocks in time order";
      times[0].push_back(double(b.time));
      times[b.track].push_back(double(b.time));
      const Bytes data(bytes.begin() + long(b.data), bytes.begin() + long(b.data + b.size));
      if (b.track == 1) {
        ASSERT_LT(frame, fed.frames.size());
        EXPECT_EQ(data, LengthPrefixed(fed.frames[frame].bytes)) << frame;
        EXPECT_EQ(b.key, fed.frames[frame++].idr) << frame;
      } else if (b.track == 2) {
        EXPECT_TRUE(b.duration > 0 && b.duration <= 1000) << b.duration;
        texts.emplace_back(data.begin(), data.end());
      } else {
        sound.insert(sound.end(), data.begin(), data.end());
      }
    }
    for (auto [got, want] :
         {std::pair{times[1], Expand(r.video_ms)}, {times[3], Expand(r.audio_ms)}}) {
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], 0.5 + 1e-9) << i;
    }
    EXPECT_TRUE(sound == fed.audio);
    for (int64_t tick : Expand(r.video)) {
      const std::string text = TestClockText(TestWallClock(Stamp(tick).Seconds()));
      if (seconds.empty() || seconds.back() != text) seconds.push_back(text);
    }
    EXPECT_EQ(texts, seconds);
    EXPECT_EQ(f.All(0xBB).size(), size_t(std::count_if(fed.frames.begin(), fed.frames.end(),
                                                       [](auto& au) { return au.idr; })));
    EXPECT_EQ(fed.facts.video_samples, int64_t(fed.frames.size()));
    EXPECT_EQ(fed.facts.audio_bytes, int64_t(fed.audio.size()));
    EXPECT_EQ(fed.facts.backward_steps, r.backward_steps);
    EXPECT_EQ(fed.facts.duration_units, std::llround(r.duration_ms * 90));

    // The same recording gives the same bytes, on Linux and on Windows.
    ASSERT_TRUE(WriteRecording(Mkv(), r, path + ".again", &fed).ok());
    EXPECT_TRUE(ReadAll(path + ".again") == bytes);
    std::filesystem::remove(Fs(path + ".again"));
#ifdef VEXLOR_HOST_MKV_DIR
    const std::string host = std::string(VEXLOR_HOST_MKV_DIR "/") + r.name + ".mkv";
    if (!Exists(host)) GTEST_SKIP() << host << " is missing: run the Linux suite first";
    EXPECT_TRUE(ReadAll(host) == bytes) << "differs from " << host;
#endif
  }
}

TEST(MkvMuxer, TellsFinishedFiles) {
  ScratchDir dir;
  Fed fed;
  ASSERT_TRUE(WriteRecording(Mkv(), Recordings()[4], dir / "done.mkv", &fed).ok());
  ASSERT_TRUE(WriteRecording(Mkv(), Recordings()[4], dir / "cancelled.mkv", &fed, true).ok());
  WalkedMkv f;
  const Bytes cancelled = ReadAll(dir / "cancelled.mkv"), done = ReadAll(dir / "done.mkv");
  ASSERT_EQ(WalkMkv(cancelled, &f), "");
  EXPECT_EQ(f.Text(*f.All(0x45A3).at(0)) + "=" + f.Text(*f.All(0x4487).at(0)),
            "VEXLOR_CONVERSION=cancelled");
  auto write = [&](const std::string& name, Bytes b) {
    std::ofstream(Fs(dir / name), std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
  };
  write("cut.mkv", Bytes(done.begin(), done.end() - 1));
  write("longer.mkv", [&] {
    Bytes b = done;
    b.push_back(0);
    return b;
  }());
  write("other.mkv", Bytes(done.begin() + 4, done.end()));
  for (const auto& [name, finished] :
       std::vector<std::pair<std::string, bool>>{{"done.mkv", true},
                                                 {"cancelled.mkv", false},
                                                 {"cut.mkv", false},
                                                 {"longer.mkv", false},
                                                 {"other.mkv", false},
                                                 {"missing.mkv", false}}) {
    EXPECT_EQ(Mkv().is_finished(dir / name), finished) << name;
  }
}

TEST(MkvMuxer, WritesNoFileItMustNot) {
  ScratchDir dir;
  Fed fed;
  ASSERT_TRUE(WriteRecording(Mkv(), Recordings()[5], dir / "earlier.mkv", &fed).ok());
  const Bytes earlier = ReadAll(dir / "earlier.mkv");
  std::filesystem::create_directory(Fs(dir / "folder.mkv"));
  std::ofstream(Fs(dir / "kept.mkv")) << "recording";
  fed.description.keep_paths = {dir / "other.kvr", dir / "kept.mkv"};
  for (const auto& [name, code] : std::vector<std::pair<std::string, StatusCode>>{
           {"kept.mkv", StatusCode::kIsKept},
           {"folder.mkv", StatusCode::kIsDirectory},
           {"missing/x.mkv", StatusCode::kCannotCreate}}) {
    const Status s = Mkv().create()->Open(dir / name, fed.description);
    EXPECT_EQ(s.code(), code) << name;
    EXPECT_NE(s.message().find(name), std::string::npos) << s.message();
  }
  // Abandoned: the earlier file stays, no temporary file is left, and the muxer is done.
  std::unique_ptr<mux::Muxer> muxer = Mkv().create();
  ASSERT_TRUE(muxer->Open(dir / "earlier.mkv", fed.description).ok());
  const mux::Sample frame{mux::Track::kVideo, fed.frames[0].bytes, Stamp(0), true, true};
  EXPECT_TRUE(muxer->Write(frame).ok());
  muxer->Abandon();
  EXPECT_TRUE(ReadAll(dir / "earlier.mkv") == earlier);
  EXPECT_EQ(muxer->Write(frame).code(), StatusCode::kInvalidArgument);
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(Fs(dir.path())))
    files += !e.is_directory();
  EXPECT_EQ(files, 2u);  // earlier.mkv and kept.mkv
}

}  // namespace
}  // namespace vexlor::testing
