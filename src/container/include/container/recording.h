// Recording container: the fixed-size packets of a recorder's file and the frame reader that
// glues their fragments back into media frames.
//
// A recording is a plain sequence of 1418-byte packets. Each packet carries one fragment of one
// media frame; frames of up to 16 channels are interleaved. ReadNextFrame is the only code that
// interprets packets on the reading side; recording_writer.h builds them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace vexlor::container {

// Packet layout (offsets from the start of a packet; multi-byte fields little-endian).
inline constexpr int kPacketSize = 1418;
inline constexpr int kPayloadSize = 1390;         // the payload area; a fragment fills its start
inline constexpr int kSyncOffset = 0;             // "TT\0"
inline constexpr int kTotalHighOffset = 6;        // u16: high 16 bits of the frame's total length
inline constexpr int kTotalLowOffset = 8;         // u16: low 16 bits of the frame's total length
inline constexpr int kFragmentLengthOffset = 12;  // u16: payload bytes carried by this packet
inline constexpr int kPacketKindOffset = 14;      // u16: kIgnoredPacketKind marks an ignored packet
inline constexpr int kTypeCodeOffset = 21;        // u8: >= kPassthroughTypeCode: passthrough frame
inline constexpr int kPayloadOffset = 22;
inline constexpr int kEndMarkOffset = 1412;  // "DD\0"
inline constexpr uint8_t kSyncMark[3] = {0x54, 0x54, 0x00};
inline constexpr uint8_t kEndMark[3] = {0x44, 0x44, 0x00};
inline constexpr uint16_t kIgnoredPacketKind = 255;
inline constexpr uint8_t kPassthroughTypeCode = 200;

// Frame layout (offsets from the first byte of a reassembled frame).
// The largest frame delivered. Key frames of cameras of several megapixels can be a few
// megabytes; a larger frame is dropped and recorded in ReaderSkips::oversized.
inline constexpr uint32_t kMaxFrameSize = 16u << 20;
// What the frame buffers hold before they grow: frames of most cameras fit, and a buffer grows
// (up to kMaxFrameSize) only when a frame needs it.
inline constexpr uint32_t kInitialFrameCapacity = 409600;
inline constexpr uint32_t kFrameHeaderSize = 32;  // elementary stream data starts here
inline constexpr int kStreamIdOffset = 3;         // high nibble kind, low nibble channel
inline constexpr int kFrameTicksOffset = 4;       // u32: sixtieths of a second
inline constexpr int kFrameSecondsOffset = 28;    // u32: seconds
inline constexpr uint8_t kVideoKind = 0xE;
inline constexpr uint8_t kAudioKind = 0xC;
// Zero bytes kept after the largest frame, so that a bitstream reader may look a little past the
// end of the data it was given.
inline constexpr uint32_t kFramePadding = 64;

// The current frame.
struct MediaFrame {
  // At least `length` + kFramePadding bytes (InitFrame: kInitialFrameCapacity + kFramePadding;
  // grown for a longer frame); every byte after `length` is zero.
  std::vector<uint8_t> data;
  uint32_t length = 0;      // bytes assembled (may exceed the announced total length)
  int32_t channel = 0;      // low nibble of the stream id
  int32_t passthrough = 0;  // 1: the packet that completed the frame had type code >= 200
  uint32_t frame_ticks = 0;
  uint32_t frame_seconds = 0;
  // The file offset at which the call that delivered this frame began to read (-1 when the
  // file cannot tell its position): reading from there delivers the frame again.
  int64_t start_offset = -1;
  // Reader bookkeeping: no byte of `data` at or after this offset is non-zero. Lets the reader
  // clear only what the previous frame left instead of the whole buffer. Callers leave it alone
  // (resetting `length` to 0 between passes is fine).
  uint32_t dirty = 0;
};

// Allocates frame->data (zeroed) and resets the other fields.
void InitFrame(MediaFrame* f);

// What a reassembled frame carries, by its header: 00 00 01 and a stream id whose high nibble is
// kVideoKind or kAudioKind. Anything else (shorter than that, no prefix, another kind) is kOther.
enum class FrameKind { kOther, kVideo, kAudio };
FrameKind KindOfFrame(const uint8_t* frame, uint32_t length);

// Bytes [begin, end) of the recording file.
struct ByteRange {
  int64_t begin = 0;
  int64_t end = 0;
};

// A frame longer than kMaxFrameSize, which the reader dropped: the bytes its packets span and
// its length (the total length its packets announced, or the bytes assembled when a frame of
// smaller announced totals outgrew the bound).
struct OversizedFrame {
  ByteRange range;
  uint64_t length = 0;
};

// What the reader skipped while it read, as far as it can tell from the packets. Every byte is
// recorded once, however often it is read again (see recorded_to).
struct ReaderSkips {
  // Ranges listed; beyond them only counted.
  static constexpr size_t kListed = 32;

  // Damage: garbage between packets, packets dropped whole, and frames dropped with the
  // packets assembled so far. Touching ranges are merged; `damaged` lists the first kListed in
  // file order, `damaged_ranges` and `damaged_bytes` count all of them.
  std::vector<ByteRange> damaged;
  int64_t damaged_ranges = 0;
  int64_t damaged_bytes = 0;
  // Frames lost to the damage: a partly assembled frame that was dropped, a packet dropped
  // whole that would have completed a frame on its own, and a frame cut off by the end of the
  // file.
  int64_t frames_lost = 0;
  // Frames beyond kMaxFrameSize: the first kListed, and the count of all.
  std::vector<OversizedFrame> oversized;
  int64_t oversized_frames = 0;
  // Per channel: video frames, not passthrough, whose data starts with the three-byte start
  // code 00 00 01 instead of 00 00 00 01. They are delivered; the conversion neither writes
  // nor counts them.
  int64_t three_byte_start_code[16] = {};

  // Reader bookkeeping. What lies before this offset (the furthest the reading has come) is
  // not recorded again: reading restarted at an earlier frame meets it a second time.
  int64_t recorded_to = 0;
  ByteRange last_damaged;  // the latest damaged range, listed or not, for merging

  // Anything dropped: damage, lost frames or oversized frames.
  bool Any() const { return damaged_bytes > 0 || frames_lost > 0 || oversized_frames > 0; }
  int64_t ThreeByteStartCodeFrames() const;
};

// Where ReadNextFrame reads from.
struct RecordingSource {
  std::FILE* file = nullptr;              // opened "rb" by the caller
  std::atomic<int64_t> read_position{0};  // file offset after the reader's latest read
  std::vector<uint8_t> assembly;          // reader's working area, grown as frames need it
  ReaderSkips skips;                      // what the reader skipped since it was reset
  // Sees every byte read, with the offset it was read at, right after the read (unset: none).
  void (*observe)(void* context, int64_t offset, const uint8_t* bytes, size_t size) = nullptr;
  void* observe_context = nullptr;
};

// Reads packets from the current file position until one frame is complete and stores it in
// *frame. Returns 1 when a frame was stored, 0 when the file ended (or a read failed) first; in
// that case *frame is left unchanged. Never seeks. What it skips is added to src->skips.
//
// Damaged data is skipped as follows:
//  - a packet with a good sync mark but a broken end mark is dropped whole together with the
//    frame assembled so far;
//  - otherwise the next sync mark inside the packet is searched for, and the packet is re-read
//    from there (the frame assembled so far is kept). A sync mark that starts at offset 1416 or
//    1417, whose tail lies beyond the bytes read, counts as a candidate: its missing bytes are
//    read and the mark check decides. Without any candidate the packet and the frame assembled
//    so far are dropped;
//  - a valid packet whose fragment length exceeds the payload area, whose total length exceeds
//    kMaxFrameSize, or whose fragment would make the frame outgrow kMaxFrameSize, is dropped
//    together with the frame assembled so far. Consecutive packets that announce the same total
//    beyond kMaxFrameSize make one oversized frame, which ends when their fragments reach that
//    total or another frame's packet comes;
//  - packets of kind 255 are ignored (the frame assembled so far is kept).
// A read that returns fewer bytes than asked (end of file or read error) ends the call with 0.
int ReadNextFrame(RecordingSource* src, MediaFrame* frame);

}  // namespace vexlor::container
