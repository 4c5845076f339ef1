// The decoder entry over the decoder's API: one NAL unit and at most one picture per call, the
// picture converted to 32-bit pixels when the caller's buffer holds it.
#include "colour/yuv_to_rgb.h"
#include "h264/decoder.h"

namespace vexlor::h264 {
namespace {

int32_t Create(H264Decoder** slot) {
  colour::DetectMmx();  // the processor test, once per process
  return OpenDecoder(DecoderSettings{}, slot) == DecodeStatus::kOk ? 0 : -1;
}

int32_t Decode(H264Decoder* dec, DecodeRequest* req) {
  int32_t n = 0;
  DecodeStatus done;
  if (req->length > 0 && req->stream != nullptr) {
    n = FindNalUnitLength(req->stream, req->length);
    done = SendNalUnit(dec, {req->stream, static_cast<size_t>(n)});
  } else {
    done = Drain(dec);
  }
  // A picture that is ready is always delivered, even when this unit failed; the failure
  // itself changes nothing for the caller, which goes on with the next unit either way.
  PictureView p;
  if (GetPicture(dec, &p) != DecodeStatus::kOk) {
    req->status = done == DecodeStatus::kError ? -1 : 0;
    return n;
  }
  req->status = 2;
  req->width = p.width;
  req->height = p.height;
  req->luma = p.luma;
  req->cb = p.cb;
  req->cr = p.cr;
  req->cropLeft = p.cropLeft;
  req->cropRight = p.cropRight;
  req->cropTop = p.cropTop;
  req->cropBottom = p.cropBottom;
  req->poc = p.poc;
  req->converted = 0;
  const int64_t need = int64_t{p.width} * p.height * 4;
  if (req->rgbOut != nullptr && req->rgbCapacity >= need) {
    req->converted = colour::ConvertPicture(p.luma, p.lumaStride, p.cb, p.cr, p.chromaStride,
                                            req->rgbOut, p.width, p.height);
  }
  return n;
}

}  // namespace

int32_t DecoderEntry(int32_t operation, H264Decoder* instance, void* parameter) {
  switch (operation) {
    case kCreateDecoder:
      if (parameter == nullptr) return -1;
      return Create(static_cast<H264Decoder**>(parameter));
    case kDecodeData:
      if (instance == nullptr || parameter == nullptr) return -1;
      return Decode(instance, static_cast<DecodeRequest*>(parameter));
    case kDestroyDecoder:
      CloseDecoder(instance);
      return 0;
    default:
      return -1;
  }
}

}  // namespace vexlor::h264
