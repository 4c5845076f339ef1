// The decoder's API: instances, NAL unit dispatch and picture output.
//
// Every NAL unit is decoded completely when it is sent. Pictures that become ready wait in the
// output queue until they are taken; before decoding goes on, queued pictures are made
// independent of the frame stores (ProtectQueuedOutput), so no NAL unit ever has to wait for the
// queue and nothing is finished or stored twice.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "common/alloc.h"
#include "common/errors.h"
#include "decoder_state.h"
#include "h264/annexb.h"
#include "h264/api.h"
#include "picture/dpb.h"
#include "picture/picture_setup.h"
#include "slice/slice_data.h"
#include "syntax/param_sets.h"
#include "syntax/slice_header.h"

namespace vexlor::h264 {

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
                                &dec->reader, dec->skipPixels);
  dec->firstPicture = 0;
  return r < 0 ? kErrRead : 0;
}

int HandleSliceNal(H264Decoder* dec, int nalUnitType, int nalRefIdc, const uint8_t* data,
                   int32_t n) {
  // Until the first IDR picture there is nothing to predict from: such slices are skipped.
  if (!dec->idrSeen && nalUnitType != 5) {
    (void)SurveySlice(dec->survey.get(), data, n);
    return 0;
  }
  SliceHeader* h = dec->nextSlice;
  h->nal_unit_type = nalUnitType;
  h->nal_ref_idc = nalRefIdc;
  h->idrFlag = nalUnitType == 5;
  const int r = ParseSliceHeader(h, dec->spsTable, dec->ppsTable, &dec->reader);
  if (r < 0) {
    (void)SurveySlice(dec->survey.get(), data, n);
    return r;
  }
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
      // A failing slice is dropped silently.
      HandleSliceNal(dec, nalUnitType, nalRefIdc, data, n);
      return 0;
    case 2:
      (void)SurveySlice(dec->survey.get(), data, n);
      return -1;
    case 3:
    case 4:
      return -1;
    case 7: {
      const bool refused = ParseSps(r, dec->spsTable) < 0;
      (void)SurveySps(dec->survey.get(), data, n, refused);
      return refused ? -1 : 0;
    }
    case 8: {
      const bool refused = ParsePps(r, dec->ppsTable) < 0;
      (void)SurveyPps(dec->survey.get(), data, n, refused);
      return refused ? -1 : 0;
    }
    default:
      return 0;
  }
}

int FinishForDrain(H264Decoder* dec) {
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

// The next picture for output, or null: the queue first, then (when output without reordering
// is allowed, or after the end of data) the picture buffer's choice.
Picture* EmitPicture(H264Decoder* dec) {
  if (dec->firstPicture) return nullptr;
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
  if (p != nullptr) p->neededForOutput = 0;
  return p;
}

}  // namespace

DecodeStatus ApplySettings(H264Decoder* decoder, const DecoderSettings& settings) {
  if (decoder == nullptr) return DecodeStatus::kInvalidArgument;
  decoder->skipPixels = settings.skipPixels;
  return DecodeStatus::kOk;
}

DecodeStatus OpenDecoder(const DecoderSettings& settings, H264Decoder** out) {
  if (out == nullptr) return DecodeStatus::kInvalidArgument;
  std::unique_ptr<H264Decoder> dec = MakeOrDie<H264Decoder>();
  dec->skipPixels = settings.skipPixels;
  dec->survey = MakeOrDie<ToolSurvey>();
  for (int i = 0; i < kMaxDpbFrames; ++i) {
    dec->dpb.storage[i] = MakeOrDie<Picture>();
    dec->dpb.stores[i] = dec->dpb.storage[i].get();
  }
  *out = dec.release();
  return DecodeStatus::kOk;
}

DecodeStatus SendNalUnit(H264Decoder* decoder, std::span<const uint8_t> nalUnit) {
  if (decoder == nullptr) return DecodeStatus::kInvalidArgument;
  const auto n = static_cast<int32_t>(std::min<size_t>(nalUnit.size(), INT32_MAX));
  return DecodeNalUnit(decoder, nalUnit.data(), n) < 0 ? DecodeStatus::kError : DecodeStatus::kOk;
}

DecodeStatus Drain(H264Decoder* decoder) {
  if (decoder == nullptr) return DecodeStatus::kInvalidArgument;
  return FinishForDrain(decoder) < 0 ? DecodeStatus::kError : DecodeStatus::kOk;
}

DecodeStatus GetPicture(H264Decoder* decoder, PictureView* out) {
  if (decoder == nullptr || out == nullptr) return DecodeStatus::kInvalidArgument;
  const Picture* p = EmitPicture(decoder);
  if (p == nullptr) return DecodeStatus::kNoPicture;
  out->luma = p->luma;
  out->cb = p->cb;
  out->cr = p->cr;
  out->lumaStride = p->width;
  out->chromaStride = p->width / 2;
  out->width = p->width;
  out->height = p->height;
  out->cropLeft = p->cropLeft;
  out->cropRight = p->cropRight;
  out->cropTop = p->cropTop;
  out->cropBottom = p->cropBottom;
  out->poc = p->poc;
  return DecodeStatus::kOk;
}

void CloseDecoder(H264Decoder* decoder) {
  delete decoder;
}

std::string UnsupportedReason(const H264Decoder* decoder) {
  return decoder ? DescribeTools(decoder->survey->stream) : std::string();
}

StreamSummary DecodeStream(std::span<const uint8_t> stream,
                           const std::function<void(const PictureView&)>& onPicture,
                           const std::function<void(std::span<const uint8_t>)>& onNalUnit,
                           const DecoderSettings& settings) {
  StreamSummary summary;
  H264Decoder* decoder = nullptr;
  (void)OpenDecoder(settings, &decoder);
  PictureView picture;
  auto takeReady = [&](int limit) {
    int taken = 0;
    for (; taken < limit && GetPicture(decoder, &picture) == DecodeStatus::kOk; ++taken) {
      ++summary.pictures;
      onPicture(picture);
    }
    return taken;
  };
  // Far more than the frame stores and the output queue can hold together.
  constexpr int kMaxPicturesAfterDrain = 4 * kOutputQueueSize + 1;
  for (std::span<const uint8_t> rest = stream; !rest.empty();) {
    const std::span<const uint8_t> unit = NextNalUnit(rest);
    if (onNalUnit) onNalUnit(unit);
    if (SendNalUnit(decoder, unit) == DecodeStatus::kError) ++summary.refusedUnits;
    takeReady(1);
    rest = rest.subspan(unit.size());
  }
  if (Drain(decoder) == DecodeStatus::kError) ++summary.refusedUnits;
  summary.endless = takeReady(kMaxPicturesAfterDrain) == kMaxPicturesAfterDrain;
  summary.unsupported = UnsupportedReason(decoder);
  CloseDecoder(decoder);
  return summary;
}

}  // namespace vexlor::h264
