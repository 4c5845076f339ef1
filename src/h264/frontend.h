// Operations of the decoder's front end (NAL dispatch, parameter sets, slice headers, picture
// setup, picture order count, slice group map and the decoded picture buffer) that cross its
// files. The operations other parts of the decoder call are declared in internal.h.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "h264/internal.h"

// Reads one syntax element in a parser and returns from the parser with its negative result.
#define VX_TRY(expr)           \
  do {                         \
    const int vx_r = (expr);   \
    if (vx_r < 0) return vx_r; \
  } while (0)

namespace vexlor::h264 {

// The decoder's own allocations end the process with exit status 1 when memory runs out, so
// decoder code never sees a failed allocation.
[[noreturn]] void OutOfMemory();

template <class T>
void ResizeOrDie(std::vector<T>* v, size_t n) {
  try {
    v->resize(n);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  } catch (const std::length_error&) {
    OutOfMemory();
  }
}

template <class T>
std::unique_ptr<T> MakeOrDie() {
  try {
    return std::make_unique<T>();
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
}

// Gives a picture planes for width x height luma samples (4:2:0), reusing its storage.
void AllocatePicturePlanes(Picture* pic, int width, int height);

// ---- slice_header.cpp ----
int IsNewPicture(const SliceHeader* prev, const SliceHeader* next,
                 const std::unique_ptr<SeqParamSet>* spsTable,
                 const std::unique_ptr<PicParamSet>* ppsTable);
// The PPS named by a parsed slice header and its SPS (both exist after a successful parse).
const PicParamSet* SlicePps(const H264Decoder* dec, const SliceHeader* h);
const SeqParamSet* SliceSps(const H264Decoder* dec, const SliceHeader* h);

// ---- dpb.cpp ----
void SetDpbCapacity(H264Decoder* dec, const SeqParamSet* sps, int width, int height);
// Deblocks, marks and stores the current picture (bumping pictures to the output queue as
// needed). 0 on success, negative when marking or storing failed.
int FinishPicture(H264Decoder* dec);
int MarkReferencePicture(H264Decoder* dec);
void UpdatePicNums(DecodedPictureBuffer* dpb, int frameNum, int maxFrameNum);
// One store attempt: 0 stored (or nothing to store), a positive number of pictures placed in
// the output queue (the picture is then not yet stored), or -3.
int StorePicture(H264Decoder* dec, Picture* pic);
Picture* SelectOutputPicture(const DecodedPictureBuffer* dpb, int* barrierOut);
Picture* CopyPictureInfo(const Picture* source, Picture* store);
// Number of entries the output queue can hold.
constexpr int kOutputQueueSize = kMaxDpbFrames + 1;
// Appends to the output queue; false when it is full.
bool PushOutput(H264Decoder* dec, Picture* pic);
// Makes every queued picture independent of the DPB stores and the current picture, so that
// decoding may go on before the queue has been emitted.
void ProtectQueuedOutput(H264Decoder* dec);

// ---- picture_setup.cpp ----
int SetupPicture(H264Decoder* dec, const SeqParamSet* sps, const PicParamSet* pps, int width,
                 int height);
int32_t ComputePoc(H264Decoder* dec, const SliceHeader* h, const SeqParamSet* sps);
// FrameNumOffset of a picture with this frame_num (types 1 and 2 of the picture order count).
void UpdateFrameNumOffset(H264Decoder* dec, int frameNum, int idr, int maxFrameNum);
int FillFrameNumGap(H264Decoder* dec);

// ---- slice_group_map.cpp ----
// Fills the slice group of every macroblock into info->sliceMap. -2 when the explicit map of
// the PPS is shorter than the picture.
int BuildSliceGroupMap(PictureMbInfo* info, const SeqParamSet* sps, const PicParamSet* pps,
                       const SliceHeader* h);

}  // namespace vexlor::h264
