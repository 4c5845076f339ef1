// The H.264 decoder's own API. A decoder decodes one Annex B byte stream (Baseline tools, frame
// pictures) one NAL unit at a time and hands out the decoded pictures in output order:
//
//   H264Decoder* d = nullptr;
//   if (OpenDecoder(DecoderSettings{}, &d) != DecodeStatus::kOk) ...
//   PictureView p;
//   for (each NAL unit u of the stream) {          // NextNalUnit (h264/annexb.h) cuts them
//     (void)SendNalUnit(d, u);                     // kError: the unit was refused; go on
//     if (GetPicture(d, &p) == DecodeStatus::kOk) Use(p);
//   }
//   (void)Drain(d);                                // the end of the stream
//   while (GetPicture(d, &p) == DecodeStatus::kOk) Use(p);
//   CloseDecoder(d);
//
// DecodeStream below does exactly that. Taking at most one picture per NAL unit is how the
// channel scan has always fed the decoder, and every output of the program depends on it: the
// pictures bumped out of a full picture buffer wait in an output queue of 17, and a damaged
// stream that bumps more pictures than are taken can fill it, after which a picture that cannot
// be stored is lost. Taking every ready picture at once decodes such streams differently.
//
// A stream the decoder cannot decode (another profile's tools) yields no pictures, or none from
// the units it refused; UnsupportedReason then says why, for a person to read.
//
// Nothing here converts pixels or touches a file; the decoder depends on the standard library
// only. A decoder is used by one thread at a time; decoders are independent of each other.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace vexlor::h264 {

struct H264Decoder;  // the decoder instance

enum class [[nodiscard]] DecodeStatus : int32_t{
    kOk = 0,
    kNoPicture = 1,         // GetPicture: no picture is ready for output
    kError = -1,            // SendNalUnit, Drain: the unit (or the last picture) was not accepted
    kInvalidArgument = -2,  // a null decoder or output pointer
};

struct DecoderSettings {
  // Parse every unit and manage the pictures exactly as usual (the same pictures come out, in
  // the same order, with the same sizes, cropping and picture order counts), but leave their
  // samples uncomputed: no prediction, residual or deblocking. For callers that need to know
  // which pictures a stream gives, not what they show; a picture's planes then hold nothing of
  // meaning.
  bool skipPixels = false;
};

// A decoded picture: 8-bit 4:2:0 planes of the full decoded size (multiples of 16), valid until
// the next SendNalUnit, Drain or CloseDecoder on the decoder that gave it.
struct PictureView {
  const uint8_t* luma = nullptr;
  const uint8_t* cb = nullptr;
  const uint8_t* cr = nullptr;
  int32_t lumaStride = 0;    // bytes from one row to the next
  int32_t chromaStride = 0;  // the same for Cb and Cr
  int32_t width = 0;         // luma samples
  int32_t height = 0;
  // frame_crop_*_offset of the sequence parameter set (units of two luma samples), 0 when the
  // stream does not crop: the part of the picture not meant for display.
  int32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
  int32_t poc = 0;  // picture order count
};

// Creates a decoder in *out. kOk (memory exhaustion ends the process), or kInvalidArgument.
DecodeStatus OpenDecoder(const DecoderSettings& settings, H264Decoder** out);
// Changes the settings of a decoder between two units (kInvalidArgument for a null decoder).
// Pictures decoded with skipPixels are no references for the samples of pictures decoded
// without it.
DecodeStatus ApplySettings(H264Decoder* decoder, const DecoderSettings& settings);

// Decodes one NAL unit completely (its start code prefix may be included; the bytes are copied
// and never written). kOk also when a slice could not be decoded: it is dropped and the picture
// keeps what the stream gave. kError when the unit is refused: a NAL header that cannot be read,
// a data partition (types 2 to 4), a parameter set that fails its checks, or a failure to store
// the picture this unit finished.
DecodeStatus SendNalUnit(H264Decoder* decoder, std::span<const uint8_t> nalUnit);

// Signals the end of the stream: the picture in progress is finished, and from now on every
// decoded picture is ready for output. kError when that picture could not be stored.
DecodeStatus Drain(H264Decoder* decoder);

// The next picture ready for output: kOk with *out filled, or kNoPicture. Pictures become ready
// when the picture buffer bumps them, at once when the stream promises no reordering (VUI
// num_reorder_frames 0, or picture order count type 2), and all of them after Drain.
DecodeStatus GetPicture(H264Decoder* decoder, PictureView* out);

// Destroys a decoder (null is allowed).
void CloseDecoder(H264Decoder* decoder);

// Why the decoder refused units of the stream sent so far for want of a coding tool: the profile
// of the latest such unit and every tool seen missing in them, e.g. "High profile: CABAC, 8x8
// transform", "Main profile: B slices", "High profile: interlaced (MBAFF) frames, CABAC". Empty
// while nothing was refused for a tool (damaged units give no reason; a null decoder neither).
// The decoder takes the Baseline profile's tools in frame pictures: a profile_idc of 66 or a set
// constraint_set0_flag, the levels of its table, CAVLC, I and P slices.
std::string UnsupportedReason(const H264Decoder* decoder);

// What DecodeStream saw.
struct StreamSummary {
  int32_t pictures = 0;      // pictures delivered
  int32_t refusedUnits = 0;  // NAL units (and a final picture) the decoder did not accept
  bool endless = false;      // pictures kept coming after the end of data: a decoder fault
  std::string unsupported;   // UnsupportedReason at the end
};

// Decodes a whole byte stream held in memory with a decoder of its own, as the loop above does:
// every NAL unit in turn (onNalUnit, when given, sees each unit first) with at most one picture
// taken after each, then the end of data and the remaining pictures. onPicture gets every picture
// in output order while its planes are valid. Stops taking pictures after the end of data when
// far more come than a picture buffer holds (endless).
StreamSummary DecodeStream(std::span<const uint8_t> stream,
                           const std::function<void(const PictureView&)>& onPicture,
                           const std::function<void(std::span<const uint8_t>)>& onNalUnit = {},
                           const DecoderSettings& settings = {});

}  // namespace vexlor::h264
