// The decoded frame and the decoded picture buffer that stores frames for reference and output.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace vexlor::h264 {

constexpr int kMaxDpbFrames = 16;

// One decoded frame: the current picture and every frame store of the DPB.
// Planes are stored without borders: luma stride `width`, chroma stride `width` / 2.
struct Picture {
  uint8_t* luma = nullptr;
  uint8_t* cb = nullptr;
  uint8_t* cr = nullptr;
  int32_t width = 0;   // luma samples, multiple of 16
  int32_t height = 0;  // luma samples, multiple of 16
  int32_t frameNum = 0;
  int32_t picNum = 0;
  int32_t longTermFrameIdx = 0;
  int32_t longTermPicNum = 0;
  int32_t refState = 0;  // 0 unused for reference, 1 short-term, 2 long-term
  int32_t neededForOutput = 0;
  int32_t nonExisting = 0;
  int32_t poc = 0;
  int32_t isIdr = 0;
  int32_t idrPicId = 0;
  int32_t hadMmco5 = 0;
  int32_t chromaQpOffset = 0;
  int32_t cropLeft = 0;
  int32_t cropRight = 0;
  int32_t cropTop = 0;
  int32_t cropBottom = 0;
  // Identity of the decoded picture: a serial number given at picture setup and carried into
  // the frame store with the samples. Two reference list entries name the same picture exactly
  // when their uids are equal (the deblocking filter compares pictures, not indices).
  uint32_t uid = 0;
  std::vector<uint8_t> planes;  // owns luma, cb and cr
};

struct DecodedPictureBuffer {
  int32_t capacity = 0;
  Picture* stores[kMaxDpbFrames] = {};  // used stores first (newest at 0), then free ones
  int32_t used = 0;
  int32_t numRefFrames = 0;
  int32_t numShortTerm = 0;
  int32_t numLongTerm = 0;
  int32_t maxLongTermFrameIdx = -1;
  std::unique_ptr<Picture> storage[kMaxDpbFrames];  // owns the stores
};

// Gives a picture planes for width x height luma samples (4:2:0), reusing its storage.
void AllocatePicturePlanes(Picture* pic, int width, int height);

}  // namespace vexlor::h264
