// Decoder entry, NAL unit dispatch and picture output.
//
// Every call decodes the NAL unit it is given completely and hands at most one picture to the
// caller. Pictures that become ready beyond that wait in the output queue; before decoding goes
// on, queued pictures are made independent of the frame stores (ProtectQueuedOutput), so no NAL
// unit ever has to wait for the queue and nothing is finished or stored twice.
#include "h264/decoder.h"

#include <cstring>
#include <utility>

#include "colour/yuv_to_rgb.h"
#include "common/alloc.h"
#include "common/errors.h"
#include "decoder_state.h"
#include "picture/dpb.h"
#include "picture/picture_setup.h"
#include "slice/slice_data.h"
#include "syntax/param_sets.h"
#include "syntax/slice_header.h"

namespace vexlor::h264 {

int32_t FindNalUnitLength(const uint8_t* data, int32_t n) {
  if (data == nullptr || n <= 0) return 0;
  int32_t i = 0;
  while (i < n && data[i] == 0) ++i;
  if (i == n) return n;
  // The next 00 00 01: look at each byte 01 after the unit's first byte.
  const uint8_t* p = data + i + 1;
  const uint8_t* end = data + n;
  while (p < end) {
    p = static_cast<const uint8_t*>(std::memchr(p, 1, static_cast<size_t>(end - p)));
    if (p == nullptr) break;
    const int32_t j = static_cast<int32_t>(p - data);
    if (data[j - 1] == 0 && j >= 2 && data[j - 2] == 0) {
      return (j >= 3 && data[j - 3] == 0) ? j - 3 : j - 2;
    }
    ++p;
  }
  return n;
}

namespace {

// The PPS named by a parsed slice header and its SPS (both exist after a successful parse).
const PicParamSet* SlicePps(const H264Decoder* dec, const SliceHeader* h) {
  if (h->pic_parameter_set_id < 0 || h->pic_parameter_set_id >= kMaxPps) return nullptr;
  return dec->ppsTable[h->pic_parameter_set_id].get();
}

const SeqParamSet* SliceSps(const H264Decoder* dec, const SliceHeader* h) {
  const PicParamSet* pps = SlicePps(dec, h);
  return pps ? dec->spsTable[pps->seq_parameter_set_id].get() : nullptr;
}

// Decodes a slice whose header is in nextSlice.
int DecodeSlice(H264Decoder* dec, bool newPicture) {
  std::swap(dec->curSlice, dec->nextSlice);
  const SliceHeader* h = dec->curSlice;
  const PicParamSet* pps = SlicePps(dec, h);
  const SeqParamSet* sps = SliceSps(dec, h);
  if (pps == nullptr || sps == nullptr) return kErrRead;
  const int width = 16 * (sps->pic_width_in_mbs_minus1 + 1);
  const int height = 16 * (sps->pic_height_in_map_units_minus1 + 1);
  if (newPicture) {
    ProtectQueuedOutput(dec);
    if (h->idrFlag) SetDpbCapacity(dec, sps, width, height);
    if (SetupPicture(dec, sps, pps, width, height) < 0) return kErrRead;
    dec->pictureInProgress = 1;
  } else if (dec->current->width != width || dec->current->height != height) {
    return kErrRead;  // the slice's parameter sets describe another picture size
  }
  if (!h->idrFlag) UpdatePicNums(&dec->dpb, h->frame_num, h->maxFrameNum);
  const int group = dec->mbInfo->sliceMap[h->first_mb_in_slice] & 15;
  const uint32_t count = static_cast<uint32_t>(++dec->sliceCount[group]) & 0x07FFFFFFu;
  const int32_t sliceTag = static_cast<int32_t>(static_cast<uint32_t>(group) + 16 * count);
  const int r = DecodeSliceData(h, dec->current.get(), &dec->dpb, pps, dec->mbInfo.get(), sliceTag,
                                &dec->reader);
  dec->firstPicture = 0;
  return r < 0 ? kErrRead : 0;
}

int HandleSliceNal(H264Decoder* dec, int nalUnitType, int nalRefIdc) {
  // Until the first IDR picture there is nothing to predict from: such slices are skipped.
  if (!dec->idrSeen && nalUnitType != 5) return 0;
  SliceHeader* h = dec->nextSlice;
  h->nal_unit_type = nalUnitType;
  h->nal_ref_idc = nalRefIdc;
  h->idrFlag = nalUnitType == 5;
  const int r = ParseSliceHeader(h, dec->spsTable, dec->ppsTable, &dec->reader);
  if (r < 0) return r;
  if (dec->pictureInProgress &&
      !IsNewPicture(dec->curSlice, dec->nextSlice, dec->spsTable, dec->ppsTable)) {
    return DecodeSlice(dec, false);
  }
  // A picture whose marking or storage fails is lost, but the new one is still decoded.
  if (dec->pictureInProgress) FinishPicture(dec);
  if (!h->idrFlag && dec->idrSeen) {
    const int maxFrameNum = h->maxFrameNum;
    const int prev = dec->prevRefFrameNum % maxFrameNum;
    const int expected = (prev + 1) % maxFrameNum;
    if (h->frame_num != prev && h->frame_num != expected) {
      const SeqParamSet* sps = SliceSps(dec, h);
      dec->gapFrameNum = expected;
      dec->gapConceal = sps && sps->gaps_in_frame_num_value_allowed_flag == 0 ? 1 : 0;
      FillFrameNumGap(dec);
    }
  }
  if (h->idrFlag) dec->idrSeen = 1;
  return DecodeSlice(dec, true);
}

int DecodeNalUnit(H264Decoder* dec, const uint8_t* data, int32_t n) {
  BitReader* r = &dec->reader;
  InitReader(r, data, n);
  uint8_t header = 0;
  if (ReadByte(r, &header) != 0) return -1;
  const int nalUnitType = header & 31;
  const int nalRefIdc = (header >> 5) & 3;
  switch (nalUnitType) {
    case 1:
    case 5:
      HandleSliceNal(dec, nalUnitType, nalRefIdc);  // a failing slice is dropped silently
      return 0;
    case 2:
    case 3:
    case 4:
      return -1;
    case 7:
      return ParseSps(r, dec->spsTable) < 0 ? -1 : 0;
    case 8:
      return ParsePps(r, dec->ppsTable) < 0 ? -1 : 0;
    default:
      return 0;
  }
}

int Drain(H264Decoder* dec) {
  dec->flushMode = 1;
  if (dec->pictureInProgress) return FinishPicture(dec) < 0 ? -1 : 0;
  return 0;
}

// Output without reordering is allowed when the active SPS promises none.
bool NoReordering(const H264Decoder* dec) {
  const SeqParamSet* sps = SliceSps(dec, dec->curSlice);
  if (sps == nullptr) return false;
  if (sps->pic_order_cnt_type == 2) return true;
  return sps->vui_parameters_present_flag && sps->vui.bitstream_restriction_flag &&
         sps->vui.num_reorder_frames == 0;
}

bool EmitPicture(H264Decoder* dec, DecodeRequest* req) {
  if (dec->firstPicture) return false;
  Picture* p = nullptr;
  if (dec->outputQueueCount > 0) {
    p = dec->outputQueue[dec->outputQueueNext];
    --dec->outputQueueCount;
    dec->outputQueueNext =
        dec->outputQueueCount == 0 ? 0 : (dec->outputQueueNext + 1) % kOutputQueueSize;
  } else if (dec->flushMode || NoReordering(dec)) {
    int barrier = 0;
    p = SelectOutputPicture(&dec->dpb, &barrier);
  }
  if (p == nullptr) return false;
  p->neededForOutput = 0;
  const int w = p->width, h = p->height;
  req->width = w;
  req->height = h;
  req->luma = p->luma;
  req->cb = p->cb;
  req->cr = p->cr;
  req->cropLeft = p->cropLeft;
  req->cropRight = p->cropRight;
  req->cropTop = p->cropTop;
  req->cropBottom = p->cropBottom;
  req->poc = p->poc;
  req->converted = 0;
  const int64_t need = static_cast<int64_t>(w) * h * 4;
  if (req->rgbOut != nullptr && req->rgbCapacity >= need) {
    if (colour::useMmxPath) {
      colour::ConvertPictureMmx(p->luma, w, p->cb, p->cr, w / 2, w / 2, req->rgbOut, w, h, w * 4);
    } else {
      colour::ConvertPicturePortable(p->luma, p->cb, p->cr, w, w / 2, w / 2, req->rgbOut, w, h,
                                     w * 4);
    }
    req->converted = 1;
  }
  return true;
}

int32_t CreateInstance(H264Decoder** slot) {
  static bool processReady = false;
  if (!processReady) {
    colour::DetectMmx();
    colour::InitColourTables();
    processReady = true;
  }
  std::unique_ptr<H264Decoder> dec = MakeOrDie<H264Decoder>();
  for (int i = 0; i < kMaxDpbFrames; ++i) {
    dec->dpb.storage[i] = MakeOrDie<Picture>();
    dec->dpb.stores[i] = dec->dpb.storage[i].get();
  }
  *slot = dec.release();
  return 0;
}

int32_t Decode(H264Decoder* dec, DecodeRequest* req) {
  int32_t n = 0;
  int rc = 0;
  if (req->length > 0 && req->stream != nullptr) {
    n = FindNalUnitLength(req->stream, req->length);
    rc = DecodeNalUnit(dec, req->stream, n);
  } else {
    rc = Drain(dec);
  }
  // A picture that is ready is always delivered, even when this unit failed; the failure
  // itself changes nothing for the caller, which goes on with the next unit either way.
  if (EmitPicture(dec, req)) {
    req->status = 2;
  } else {
    req->status = rc < 0 ? -1 : 0;
  }
  return n;
}

}  // namespace

int32_t DecoderEntry(int32_t operation, H264Decoder* instance, void* parameter) {
  switch (operation) {
    case kCreateDecoder:
      if (parameter == nullptr) return -1;
      return CreateInstance(static_cast<H264Decoder**>(parameter));
    case kDecodeData:
      if (instance == nullptr || parameter == nullptr) return -1;
      return Decode(instance, static_cast<DecodeRequest*>(parameter));
    case kDestroyDecoder:
      delete instance;
      return 0;
    default:
      return -1;
  }
}

}  // namespace vexlor::h264
