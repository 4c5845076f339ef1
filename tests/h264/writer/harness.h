// Builds test streams and runs them through the decoder entry exactly as the channel scan does:
// one NAL unit per call, advancing by the returned length whatever the status, then calls with
// length 0 until no further picture comes. The emitted pictures are compared with the pictures
// known by construction.
//
// With VEXLOR_WRITER_DUMP=DIR set, every checked stream is also written to DIR as NAME.264 with
// the expected pictures as NAME.yuv (I420, in expected output order), for checks with other
// tools.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "h264/writer/picture.h"

namespace vexlor::h264w {

// A byte stream under construction.
struct Stream {
  std::vector<uint8_t> bytes;
  int nalUnits = 0;
  void Add(const std::vector<uint8_t>& nal);
  void Add(const std::vector<std::vector<uint8_t>>& nals);
  void AddParams(const Sps& sps, const Pps& pps);
};

// Slice headers of the common kinds (I slices for PCM pictures, P slices otherwise).
SliceHeader IdrHeader(int idr_pic_id, int poc_lsb = 0);
SliceHeader RefHeader(int frame_num, int poc_lsb, int slice_type = kSliceP);
SliceHeader NonRefHeader(int frame_num, int poc_lsb, int slice_type = kSliceP);

// Whole pictures: every macroblock I_PCM from content, or every macroblock copying refIdx.
PictureCode PcmPicture(const Sps& sps, const Frame* content, SliceHeader header);
PictureCode CopyPicture(const Sps& sps, int refIdx, SliceHeader header);

struct DecodedPicture {
  Frame frame;
  int poc = 0;
  int cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
};

struct DecodeOptions {
  // Overwrite the bytes of every NAL unit once its call has returned, as a caller that reuses
  // its buffer does.
  bool reuseBuffer = false;
};

struct DecodeOutcome {
  std::vector<DecodedPicture> pictures;
  int errorCalls = 0;  // calls that reported status -1
  int calls = 0;
};

DecodeOutcome DecodeStream(const std::vector<uint8_t>& bytes, const DecodeOptions& options = {});

constexpr int kAnyPoc = 0x7fffffff;

struct Expected {
  const Frame* frame;
  int poc = kAnyPoc;
};

// Compares the emitted pictures (count, order, size, samples, poc) with the expected ones and
// describes every difference.
::testing::AssertionResult SameOutput(const DecodeOutcome& got, const std::vector<Expected>& want);

// Decodes and compares in one step (and dumps when asked); unless options ask for a reused
// buffer, decodes twice, keeping and reusing the buffer.
::testing::AssertionResult DecodesTo(const Stream& stream, const std::vector<Expected>& want,
                                     const DecodeOptions& options = {});

// A stream and the output it must decode to, built picture by picture. Pictures are expected
// in the order they are added, with their pic_order_cnt_lsb as picture order count unless
// told otherwise; tests whose output order differs from the decoding order build the expected
// list themselves from the returned frames.
class KnownStream {
 public:
  KnownStream(const Sps& sps, const Pps& pps) : sps_(sps), pps_(pps) { stream.AddParams(sps, pps); }

  // An I_PCM picture of fresh content.
  const Frame* Pcm(const SliceHeader& h, uint32_t seed, int poc = kUseLsb);
  // A P picture whose macroblocks use the reference indices 0 .. refs.size() - 1 in turn
  // (P_L0_16x16, the active count set by the override); refs are the frames the list must hold.
  const Frame* Probe(SliceHeader h, const std::vector<const Frame*>& refs, int poc = kUseLsb);
  // Any picture; its expected samples from refs.
  const Frame* Add(const PictureCode& pic, const std::vector<const Frame*>& refs,
                   int poc = kUseLsb);
  // Adds the picture to the stream but expects no output for it.
  void AddSilently(const PictureCode& pic) { stream.Add(EncodePicture(sps_, pps_, pic)); }
  const Frame* NewFrame(uint32_t seed);

  ::testing::AssertionResult Decodes(const DecodeOptions& options = {}) const {
    return DecodesTo(stream, expected, options);
  }

  static constexpr int kUseLsb = kAnyPoc - 1;
  Stream stream;
  std::vector<Expected> expected;
  Sps& sps() { return sps_; }
  Pps& pps() { return pps_; }

 private:
  Sps sps_;
  Pps pps_;
  std::deque<Frame> frames_;
};

}  // namespace vexlor::h264w
