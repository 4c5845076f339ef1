// Picture setup at the first slice of a picture, picture order count (H.264 clause 8.2.1,
// frames) and frame_num gap filling (clause 8.2.5.2).
#pragma once

#include <cstdint>

#include "decoder_state.h"

namespace vexlor::h264 {

// Prepares the current picture for the slice in curSlice: storage (at IDR pictures), slice
// group map, picture order count and the fields the DPB reads. 0, or kErrRange.
int SetupPicture(H264Decoder* dec, const SeqParamSet* sps, const PicParamSet* pps, int width,
                 int height);
int32_t ComputePoc(H264Decoder* dec, const SliceHeader* h, const SeqParamSet* sps);
// FrameNumOffset of a picture with this frame_num (types 1 and 2 of the picture order count).
void UpdateFrameNumOffset(H264Decoder* dec, int frameNum, int idr, int maxFrameNum);
// Synthesises the frames of a frame_num gap, from gapFrameNum up to the frame_num of nextSlice.
int FillFrameNumGap(H264Decoder* dec);

}  // namespace vexlor::h264
