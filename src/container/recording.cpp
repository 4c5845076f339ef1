// Recording packets and the frame reader.
#include "container/recording.h"

#include <algorithm>
#include <cstring>

#include "platform/file.h"

namespace vexlor::container {
namespace {

inline uint32_t U16(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
inline uint32_t U32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline bool IsMark(const uint8_t* p, const uint8_t* mark) {
  return p[0] == mark[0] && p[1] == mark[1] && p[2] == mark[2];
}

// First offset from 1 on where a sync mark begins. Offsets 1416 and 1417 count when the bytes
// present match the start of the mark; the rest is read afterwards and checked then. Returns 0
// when there is no candidate.
int FindSync(const uint8_t* packet) {
  const int last_full = kPacketSize - 3;
  for (int i = 1; i <= last_full; ++i) {
    const void* hit = std::memchr(packet + i, kSyncMark[0], size_t(last_full - i + 1));
    if (hit == nullptr) break;
    i = int(static_cast<const uint8_t*>(hit) - packet);
    if (packet[i + 1] == kSyncMark[1] && packet[i + 2] == kSyncMark[2]) return i;
  }
  if (packet[kPacketSize - 2] == kSyncMark[0] && packet[kPacketSize - 1] == kSyncMark[1]) {
    return kPacketSize - 2;
  }
  if (packet[kPacketSize - 1] == kSyncMark[0]) return kPacketSize - 1;
  return 0;
}

}  // namespace

void InitFrame(MediaFrame* f) {
  f->data.assign(size_t(kMaxFrameSize) + kFramePadding, 0);
  f->length = 0;
  f->channel = 0;
  f->passthrough = 0;
  f->frame_ticks = 0;
  f->frame_seconds = 0;
  f->start_offset = -1;
  f->dirty = 0;
}

FrameKind KindOfFrame(const uint8_t* frame, uint32_t length) {
  if (frame == nullptr || length <= uint32_t(kStreamIdOffset) || frame[0] != 0 || frame[1] != 0 ||
      frame[2] != 1) {
    return FrameKind::kOther;
  }
  const uint8_t kind = frame[kStreamIdOffset] >> 4;
  return kind == kVideoKind   ? FrameKind::kVideo
         : kind == kAudioKind ? FrameKind::kAudio
                              : FrameKind::kOther;
}

int ReadNextFrame(RecordingSource* src, MediaFrame* frame) {
  if (src == nullptr || frame == nullptr || src->file == nullptr) return 0;
  if (src->assembly.size() < kMaxFrameSize) src->assembly.assign(kMaxFrameSize, 0);
  uint8_t* assembly = src->assembly.data();
  uint8_t packet[kPacketSize];

  int64_t position = platform::TellFile(src->file);
  const bool tracked = position >= 0;
  const int64_t start = position;
  int filled = 0;
  uint32_t assembled = 0;
  for (;;) {
    // Fill the packet area. A short read means end of file or a failing file; either ends the
    // call, so a file that keeps failing cannot keep the reader busy.
    const size_t wanted = size_t(kPacketSize - filled);
    const size_t got = std::fread(packet + filled, 1, wanted, src->file);
    if (got != wanted) return 0;
    if (tracked) {
      position += int64_t(got);
      src->read_position.store(position, std::memory_order_relaxed);
    } else {
      src->read_position.store(src->read_position.load(std::memory_order_relaxed) + int64_t(got),
                               std::memory_order_relaxed);
    }
    filled = kPacketSize;

    const bool sync_ok = IsMark(packet + kSyncOffset, kSyncMark);
    if (!sync_ok || !IsMark(packet + kEndMarkOffset, kEndMark)) {
      const int i = sync_ok ? 0 : FindSync(packet);
      if (i == 0) {
        filled = 0;
        assembled = 0;
      } else {
        std::memmove(packet, packet + i, size_t(kPacketSize - i));
        filled = kPacketSize - i;
      }
      continue;
    }

    filled = 0;
    if (U16(packet + kPacketKindOffset) == kIgnoredPacketKind) continue;
    const uint32_t fragment = U16(packet + kFragmentLengthOffset);
    const uint32_t total = U16(packet + kTotalHighOffset) << 16 | U16(packet + kTotalLowOffset);
    if (fragment > uint32_t(kPayloadSize) || total > kMaxFrameSize ||
        fragment > kMaxFrameSize - assembled) {
      assembled = 0;  // a frame that cannot be delivered whole is not delivered at all
      continue;
    }
    std::memcpy(assembly + assembled, packet + kPayloadOffset, fragment);
    assembled += fragment;
    if (assembled < total) continue;

    // Complete. Bytes beyond the new length must read as zero; only the part that an earlier
    // frame may have dirtied needs clearing.
    uint8_t* out = frame->data.data();
    if (frame->data.size() < size_t(kMaxFrameSize) + kFramePadding) {
      frame->data.assign(size_t(kMaxFrameSize) + kFramePadding, 0);
      frame->dirty = 0;
      out = frame->data.data();
    }
    std::memcpy(out, assembly, assembled);
    // The padding right after the frame is cleared in any case: it is what a bitstream reader
    // looks at past the end.
    const uint32_t clear_end =
        std::min(std::max(frame->dirty, assembled + kFramePadding), kMaxFrameSize + kFramePadding);
    std::memset(out + assembled, 0, clear_end - assembled);
    frame->dirty = assembled;
    frame->length = assembled;
    frame->channel = out[kStreamIdOffset] & 0x0F;
    frame->passthrough = packet[kTypeCodeOffset] >= kPassthroughTypeCode ? 1 : 0;
    frame->frame_ticks = U32(out + kFrameTicksOffset);
    frame->frame_seconds = U32(out + kFrameSecondsOffset);
    frame->start_offset = start;
    return 1;
  }
}

}  // namespace vexlor::container
