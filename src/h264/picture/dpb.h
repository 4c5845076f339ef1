// Decoded picture buffer operations (H.264 clause 8.2.5 and C.4): the capacity, reference
// marking, storing a finished picture, bumping pictures into the output queue and choosing the
// next picture to output.
#pragma once

#include "decoder_state.h"

namespace vexlor::h264 {

void SetDpbCapacity(H264Decoder* dec, const SeqParamSet* sps, int width, int height);
// Deblocks, marks and stores the current picture (bumping pictures to the output queue as
// needed). 0 on success, negative when marking or storing failed.
int FinishPicture(H264Decoder* dec);
int MarkReferencePicture(H264Decoder* dec);
void UpdatePicNums(DecodedPictureBuffer* dpb, int frameNum, int maxFrameNum);
// One store attempt: 0 stored (or nothing to store), a positive number of pictures placed in
// the output queue (the picture is then not yet stored), or kErrSyntax.
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

}  // namespace vexlor::h264
