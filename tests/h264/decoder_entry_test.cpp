// The decoder entry as the channel scan uses it: NAL unit cutting, dispatch, picture output
// order and count, the output queue, and the bounds of the caller's pixel buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "decoder_state.h"
#include "h264/decoder.h"
#include "h264/frontend_streams.h"

namespace vexlor::h264 {
namespace {

using testing::Append;
using testing::MakePps;
using testing::MakeSlice;
using testing::MakeSps;
using testing::PpsOptions;
using testing::SliceOptions;
using testing::SpsOptions;

struct Out {
  int poc, width, height;
  int status;  // of the call that delivered it
};

struct RunResult {
  std::vector<Out> pictures;
  std::vector<int> statuses;  // one per NAL unit call
};

// Feeds the stream one NAL unit per call through a buffer that is overwritten after every call
// (the caller may reuse its memory), then drains.
RunResult Feed(const std::vector<uint8_t>& stream) {
  RunResult res;
  H264Decoder* dec = nullptr;
  EXPECT_EQ(CreateDecoder(&dec), 0);
  std::vector<uint8_t> buf;
  size_t pos = 0;
  while (pos < stream.size()) {
    buf.assign(stream.begin() + static_cast<long>(pos), stream.end());
    DecodeRequest req{};
    req.stream = buf.data();
    req.length = static_cast<int32_t>(buf.size());
    const int32_t n = DecodeData(dec, &req);
    std::memset(buf.data(), 0xA5, buf.size());
    res.statuses.push_back(req.status);
    if (req.status > 0) res.pictures.push_back({req.poc, req.width, req.height, req.status});
    EXPECT_GT(n, 0);
    if (n <= 0) break;
    pos += static_cast<size_t>(n);
  }
  for (int i = 0; i < 100; ++i) {
    DecodeRequest req{};
    EXPECT_EQ(DecodeData(dec, &req), 0);
    if (req.status <= 0) break;
    res.pictures.push_back({req.poc, req.width, req.height, req.status});
  }
  DestroyDecoder(dec);
  return res;
}

std::vector<int> Pocs(const RunResult& r) {
  std::vector<int> p;
  for (const Out& o : r.pictures) p.push_back(o.poc);
  return p;
}

// An IDR picture followed by pictures of the given picture order counts (pocLsb = 2 x order),
// each a reference I picture with its own frame_num, one slice each unless slices > 1.
std::vector<uint8_t> Stream(const SpsOptions& sps, const std::vector<int>& pocs, int slices = 1,
                            int refIdc = 1) {
  std::vector<uint8_t> s;
  Append(&s, MakeSps(sps));
  Append(&s, MakePps({}));
  int frameNum = 0;
  for (size_t i = 0; i < pocs.size(); ++i) {
    const int perSlice = sps.widthMbs * sps.heightMbs / slices;
    for (int k = 0; k < slices; ++k) {
      SliceOptions o;
      o.nalType = i == 0 ? 5 : 1;
      o.refIdc = i == 0 ? 3 : refIdc;
      o.frameNum = frameNum;
      o.pocLsb = pocs[i];
      o.firstMb = k * perSlice;
      o.numMbs = perSlice;
      Append(&s, MakeSlice(sps, o));
    }
    if (i == 0 || refIdc != 0) frameNum = (frameNum + 1) % (1 << (sps.log2MaxFrameNumMinus4 + 4));
  }
  return s;
}

TEST(FindNalUnitLength, CutsAtTheNextStartCode) {
  const uint8_t two[] = {0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x41};
  EXPECT_EQ(FindNalUnitLength(two, sizeof two), 5);
  const uint8_t four[] = {0, 0, 0, 1, 0x65, 0x88, 0, 0, 0, 1, 0x41};
  EXPECT_EQ(FindNalUnitLength(four, sizeof four), 6);
  const uint8_t zeros[] = {0, 0, 0, 0};
  EXPECT_EQ(FindNalUnitLength(zeros, sizeof zeros), 4);
  const uint8_t single[] = {0, 0, 1, 0x09, 0x10};
  EXPECT_EQ(FindNalUnitLength(single, sizeof single), 5);
  // No start code in front: the unit still ends at the next one, and is never empty.
  const uint8_t bare[] = {0x65, 0, 0, 1};
  EXPECT_EQ(FindNalUnitLength(bare, sizeof bare), 1);
}

TEST(DecoderEntry, OperationsAndEmptyData) {
  EXPECT_EQ(DecoderEntry(7, nullptr, nullptr), -1);
  EXPECT_EQ(DestroyDecoder(nullptr), 0);
  H264Decoder* dec = nullptr;
  ASSERT_EQ(CreateDecoder(&dec), 0);
  uint8_t zeros[8] = {};
  DecodeRequest req{};
  req.stream = zeros;
  req.length = sizeof zeros;
  EXPECT_EQ(DecodeData(dec, &req), 8);
  EXPECT_EQ(req.status, -1);
  uint8_t partition[] = {0, 0, 1, 0x22, 0x80};  // slice data partition A
  req = {};
  req.stream = partition;
  req.length = sizeof partition;
  EXPECT_EQ(DecodeData(dec, &req), 5);
  EXPECT_EQ(req.status, -1);
  uint8_t aud[] = {0, 0, 1, 0x09, 0xF0};
  req = {};
  req.stream = aud;
  req.length = sizeof aud;
  EXPECT_EQ(DecodeData(dec, &req), 5);
  EXPECT_EQ(req.status, 0);
  DestroyDecoder(dec);
}

TEST(DecoderEntry, RefusedProfileGivesErrorAndNoPicture) {
  SpsOptions sps;
  sps.profile = 77;
  std::vector<uint8_t> s;
  Append(&s, MakeSps(sps));
  Append(&s, MakePps({}));
  Append(&s, MakeSlice(sps, {}));
  const RunResult r = Feed(s);
  EXPECT_EQ(r.statuses[0], -1);
  EXPECT_TRUE(r.pictures.empty());
}

TEST(DecoderEntry, EveryPictureOnceInOrderWhateverTheBuffer) {
  const std::vector<int> pocs = {0, 8, 4, 2, 6, 16, 12, 10, 14, 18};
  std::vector<int> sorted = {0, 2, 4, 6, 8, 10, 12, 14, 16, 18};
  // Capacity 16 (no restriction), capacity 2 and 1 through the VUI, and capacity 0: output
  // follows the order count within the room each gives, and every picture comes out once.
  for (int mdfb : {-1, 3, 2, 1, 0}) {
    SpsOptions sps;
    sps.maxDecFrameBuffering = mdfb;
    sps.numReorderFrames = mdfb > 0 ? mdfb : 1;
    sps.numRefFrames = mdfb > 0 ? mdfb : 1;
    for (int slices : {1, 2, 4}) {
      const RunResult r = Feed(Stream(sps, pocs, slices));
      ASSERT_EQ(r.pictures.size(), pocs.size()) << "mdfb " << mdfb << " slices " << slices;
      std::vector<int> got = Pocs(r);
      std::vector<int> sortedGot = got;
      std::sort(sortedGot.begin(), sortedGot.end());
      EXPECT_EQ(sortedGot, sorted) << "mdfb " << mdfb << " slices " << slices;
      if (mdfb < 0) {
        EXPECT_EQ(got, sorted);
      }
      for (const Out& o : r.pictures) {
        EXPECT_EQ(o.width, 32);
        EXPECT_EQ(o.height, 32);
      }
    }
  }
}

TEST(DecoderEntry, RepeatedDrainsFinishThePictureOnce) {
  SpsOptions sps;
  sps.numRefFrames = 4;
  const std::vector<uint8_t> s = Stream(sps, {0, 2, 4});
  H264Decoder* dec = nullptr;
  CreateDecoder(&dec);
  std::vector<uint8_t> buf = s;
  size_t pos = 0;
  while (pos < buf.size()) {
    DecodeRequest req{};
    req.stream = buf.data() + pos;
    req.length = static_cast<int32_t>(buf.size() - pos);
    pos += static_cast<size_t>(DecodeData(dec, &req));
  }
  int pictures = 0;
  for (int i = 0; i < 6; ++i) {
    DecodeRequest req{};
    DecodeData(dec, &req);
    pictures += req.status > 0;
  }
  EXPECT_EQ(pictures, 3);
  EXPECT_EQ(dec->dpb.numShortTerm, 3);
  EXPECT_EQ(dec->dpb.used, 3);
  // A picture that arrives after the drain is finished by the next drain, once.
  SliceOptions more;
  more.nalType = 1;
  more.refIdc = 1;
  more.frameNum = 3;
  more.pocLsb = 6;
  std::vector<uint8_t> nal = MakeSlice(sps, more);
  DecodeRequest req{};
  req.stream = nal.data();
  req.length = static_cast<int32_t>(nal.size());
  DecodeData(dec, &req);
  pictures = 0;
  for (int i = 0; i < 4; ++i) {
    req = {};
    DecodeData(dec, &req);
    pictures += req.status > 0;
  }
  EXPECT_EQ(pictures, 1);
  EXPECT_EQ(dec->dpb.numShortTerm, 4);
  DestroyDecoder(dec);
}

TEST(DecoderEntry, NoReorderingPromisedOutputsInDecodingOrder) {
  SpsOptions sps;
  sps.maxDecFrameBuffering = 2;
  sps.numReorderFrames = 0;
  const std::vector<int> pocs = {0, 6, 2, 4};
  const RunResult r = Feed(Stream(sps, pocs, 1, 0));
  EXPECT_EQ(Pocs(r), pocs);
  // Each picture is delivered by the call that brings the first slice of the next one.
  EXPECT_EQ(r.statuses, (std::vector<int>{0, 0, 0, 2, 2, 2}));
}

TEST(DecoderEntry, PixelBufferIsNeverOverrun) {
  SpsOptions sps;
  sps.pocType = 2;  // output as soon as stored
  std::vector<uint8_t> s;
  Append(&s, MakeSps(sps));
  Append(&s, MakePps({}));
  Append(&s, MakeSlice(sps, {}));
  const int need = 32 * 32 * 4;
  for (int capacity : {need - 1, need}) {
    H264Decoder* dec = nullptr;
    CreateDecoder(&dec);
    std::vector<uint8_t> pixels(need + 64, 0xEE);
    size_t pos = 0;
    DecodeRequest req{};
    while (pos < s.size()) {
      req = {};
      req.stream = s.data() + pos;
      req.length = static_cast<int32_t>(s.size() - pos);
      req.rgbOut = pixels.data();
      req.rgbCapacity = capacity;
      pos += static_cast<size_t>(DecodeData(dec, &req));
    }
    req = {};
    req.rgbOut = pixels.data();
    req.rgbCapacity = capacity;
    DecodeData(dec, &req);
    ASSERT_GT(req.status, 0);
    EXPECT_EQ(req.converted, capacity >= need ? 1 : 0);
    for (int i = capacity; i < need + 64; ++i) ASSERT_EQ(pixels[i], 0xEE) << i;
    DestroyDecoder(dec);
  }
}

TEST(DecoderEntry, DamagedStreamsEndNormally) {
  // Parameter sets with slice groups, gaps allowed and long-term references, then pictures;
  // random bytes of the stream are changed. Decoding must end (the sanitizer build checks
  // memory).
  SpsOptions sps;
  sps.gapsAllowed = 1;
  sps.numRefFrames = 4;
  sps.maxDecFrameBuffering = 2;
  sps.numReorderFrames = 1;
  std::vector<uint8_t> clean = Stream(sps, {0, 4, 2, 8, 6, 12, 10}, 2);
  PpsOptions fmo;
  fmo.id = 1;
  fmo.numSliceGroups = 2;
  fmo.mapType = 6;
  fmo.sliceGroupIds = {0, 1, 1, 0};
  Append(&clean, MakePps(fmo));
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> s = clean;
    const int changes = 1 + static_cast<int>(rng() % 8);
    for (int c = 0; c < changes; ++c) {
      const size_t at = rng() % s.size();
      if (rng() % 4 == 0) {
        s[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
      } else {
        s[at] = static_cast<uint8_t>(rng());
      }
    }
    if (rng() % 5 == 0) s.resize(rng() % s.size() + 1);
    const RunResult r = Feed(s);
    EXPECT_LE(r.pictures.size(), 40u);
  }
}

}  // namespace
}  // namespace vexlor::h264
