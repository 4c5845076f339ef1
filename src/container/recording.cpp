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

// The `held` bytes at the end of the file hold the start of a packet: they begin with the sync
// mark (as far as they go) or contain it.
bool HoldsCutPacket(const uint8_t* packet, int held) {
  if (held <= 0) return false;
  if (std::memcmp(packet, kSyncMark, size_t(std::min(held, 3))) == 0) return true;
  for (int i = 1; i + 3 <= held; ++i) {
    if (IsMark(packet + i, kSyncMark)) return true;
  }
  return false;
}

// The packet's own fields say that it carries a whole frame: a fragment that reaches the total
// it announces.
bool CarriesWholeFrame(const uint8_t* packet) {
  const uint32_t fragment = U16(packet + kFragmentLengthOffset);
  const uint32_t total = U16(packet + kTotalHighOffset) << 16 | U16(packet + kTotalLowOffset);
  return U16(packet + kPacketKindOffset) != kIgnoredPacketKind &&
         fragment <= uint32_t(kPayloadSize) && fragment >= total;
}

// Adds [begin, end) to the damaged ranges, merged with the latest one when they touch. What lies
// before recorded_to was recorded by an earlier read.
void AddDamage(ReaderSkips* s, int64_t begin, int64_t end) {
  begin = std::max(begin, s->recorded_to);
  if (end <= begin) return;
  if (s->damaged_ranges > 0 && begin <= s->last_damaged.end) {
    if (end <= s->last_damaged.end) return;
    s->damaged_bytes += end - s->last_damaged.end;
    s->last_damaged.end = end;
    if (s->damaged.size() == size_t(s->damaged_ranges)) s->damaged.back().end = end;
    return;
  }
  s->last_damaged = {begin, end};
  ++s->damaged_ranges;
  s->damaged_bytes += end - begin;
  if (s->damaged.size() < ReaderSkips::kListed) s->damaged.push_back(s->last_damaged);
}

// The damaged ranges as they were when a frame's first packet was taken: dropping the frame
// replaces what was recorded since (garbage between its packets) by one range over all of it.
struct DamageMark {
  size_t listed = 0;
  int64_t ranges = 0;
  int64_t bytes = 0;
  ByteRange last;
};
DamageMark MarkDamage(const ReaderSkips& s) {
  return {s.damaged.size(), s.damaged_ranges, s.damaged_bytes, s.last_damaged};
}

// Drops the frame assembled since `begin` (its mark `at`) with the bytes up to `end`.
void DropFrame(ReaderSkips* s, const DamageMark& at, int64_t begin, int64_t end) {
  if (end <= s->recorded_to) return;
  s->damaged.resize(at.listed);
  s->damaged_ranges = at.ranges;
  s->damaged_bytes = at.bytes;
  s->last_damaged = at.last;
  AddDamage(s, begin, end);
  ++s->frames_lost;
}

void AddOversized(ReaderSkips* s, ByteRange range, uint64_t length) {
  if (range.end <= s->recorded_to) return;
  ++s->oversized_frames;
  if (s->oversized.size() < ReaderSkips::kListed) s->oversized.push_back({range, length});
}

// Packets announcing one total beyond kMaxFrameSize, dropped one by one: one oversized frame.
struct OversizedRun {
  bool open = false;
  uint32_t total = 0;
  uint64_t bytes = 0;
  ByteRange range;

  void Close(ReaderSkips* s) {
    if (open) AddOversized(s, range, total);
    open = false;
  }
};

}  // namespace

int64_t ReaderSkips::ThreeByteStartCodeFrames() const {
  int64_t n = 0;
  for (int64_t c : three_byte_start_code) n += c;
  return n;
}

void InitFrame(MediaFrame* f) {
  f->data.assign(size_t(kInitialFrameCapacity) + kFramePadding, 0);
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
  if (src->assembly.empty()) src->assembly.assign(kInitialFrameCapacity, 0);
  uint8_t* assembly = src->assembly.data();
  ReaderSkips* skips = &src->skips;
  uint8_t packet[kPacketSize];

  const int64_t start = platform::TellFile(src->file);
  const bool tracked = start >= 0;
  int64_t position = tracked ? start : src->read_position.load(std::memory_order_relaxed);
  int filled = 0;
  uint32_t assembled = 0;
  int64_t frame_begin = 0;  // where the first packet of the frame being assembled began
  DamageMark at_frame_begin;
  OversizedRun oversized;
  for (;;) {
    // Fill the packet area. A short read means end of file or a failing file; either ends the
    // call, so a file that keeps failing cannot keep the reader busy.
    const size_t wanted = size_t(kPacketSize - filled);
    const size_t got = std::fread(packet + filled, 1, wanted, src->file);
    if (src->observe != nullptr && got > 0) {
      src->observe(src->observe_context, position, packet + filled, got);
    }
    if (got != wanted) {
      // What was read is dropped: a packet cut short (by its sync mark, as far as it was read)
      // loses its frame, unless it belongs to an oversized frame.
      const int64_t end = position + int64_t(got);
      const int held = filled + int(got);
      const bool cut_packet = HoldsCutPacket(packet, held);
      const bool oversized_tail = oversized.open && cut_packet;
      if (oversized_tail) oversized.range.end = end;
      oversized.Close(skips);
      if (assembled > 0) {
        DropFrame(skips, at_frame_begin, frame_begin, end);
      } else if (held > 0 && !oversized_tail) {
        AddDamage(skips, end - held, end);
        if (cut_packet && end > skips->recorded_to) ++skips->frames_lost;
      }
      skips->recorded_to = std::max(skips->recorded_to, end);
      return 0;
    }
    position += int64_t(got);
    src->read_position.store(position, std::memory_order_relaxed);
    filled = kPacketSize;
    const int64_t packet_begin = position - kPacketSize;

    const bool sync_ok = IsMark(packet + kSyncOffset, kSyncMark);
    if (!sync_ok || !IsMark(packet + kEndMarkOffset, kEndMark)) {
      const int i = sync_ok ? 0 : FindSync(packet);
      if (i == 0) {
        if (assembled > 0) {
          DropFrame(skips, at_frame_begin, frame_begin, position);
        } else {
          AddDamage(skips, packet_begin, position);
          if (sync_ok && CarriesWholeFrame(packet) && position > skips->recorded_to) {
            ++skips->frames_lost;
          }
        }
        filled = 0;
        assembled = 0;
      } else {
        AddDamage(skips, packet_begin, packet_begin + i);
        std::memmove(packet, packet + i, size_t(kPacketSize - i));
        filled = kPacketSize - i;
      }
      continue;
    }

    filled = 0;
    if (U16(packet + kPacketKindOffset) == kIgnoredPacketKind) continue;
    const uint32_t fragment = U16(packet + kFragmentLengthOffset);
    const uint32_t total = U16(packet + kTotalHighOffset) << 16 | U16(packet + kTotalLowOffset);
    // A frame that cannot be delivered whole is not delivered at all.
    if (fragment > uint32_t(kPayloadSize)) {
      if (assembled > 0) {
        DropFrame(skips, at_frame_begin, frame_begin, position);
      } else {
        AddDamage(skips, packet_begin, position);
      }
      assembled = 0;
      continue;
    }
    if (total > kMaxFrameSize) {
      if (assembled > 0) DropFrame(skips, at_frame_begin, frame_begin, packet_begin);
      assembled = 0;
      if (!oversized.open || total != oversized.total) {
        oversized.Close(skips);
        oversized = {true, total, 0, {packet_begin, position}};
      }
      oversized.bytes += fragment;
      oversized.range.end = position;
      if (oversized.bytes >= oversized.total) oversized.Close(skips);
      continue;
    }
    oversized.Close(skips);  // another frame's packet
    if (fragment > kMaxFrameSize - assembled) {
      AddOversized(skips, {assembled > 0 ? frame_begin : packet_begin, position},
                   uint64_t(assembled) + fragment);
      assembled = 0;
      continue;
    }
    if (assembled == 0) {
      frame_begin = packet_begin;
      at_frame_begin = MarkDamage(*skips);
    }
    if (size_t(assembled) + fragment > src->assembly.size()) {
      src->assembly.resize(std::min(
          std::max(size_t(assembled) + fragment, 2 * src->assembly.size()), size_t(kMaxFrameSize)));
      assembly = src->assembly.data();
    }
    std::memcpy(assembly + assembled, packet + kPayloadOffset, fragment);
    assembled += fragment;
    if (assembled < total) continue;

    // Complete. The buffer grows when the frame needs it; bytes beyond the new length must read
    // as zero, and only the part that an earlier frame may have dirtied needs clearing.
    if (frame->data.size() < size_t(assembled) + kFramePadding) {
      const size_t room =
          frame->data.size() > kFramePadding ? frame->data.size() - kFramePadding : 0;
      frame->data.resize(std::min(std::max(size_t(assembled), 2 * room), size_t(kMaxFrameSize)) +
                         kFramePadding);
    }
    uint8_t* out = frame->data.data();
    std::memcpy(out, assembly, assembled);
    // The padding right after the frame is cleared in any case: it is what a bitstream reader
    // looks at past the end.
    const size_t clear_end = std::min(
        std::max(size_t(frame->dirty), size_t(assembled) + kFramePadding), frame->data.size());
    std::memset(out + assembled, 0, clear_end - assembled);
    frame->dirty = assembled;
    frame->length = assembled;
    frame->channel = out[kStreamIdOffset] & 0x0F;
    frame->passthrough = packet[kTypeCodeOffset] >= kPassthroughTypeCode ? 1 : 0;
    frame->frame_ticks = U32(out + kFrameTicksOffset);
    frame->frame_seconds = U32(out + kFrameSecondsOffset);
    frame->start_offset = start;
    if (position > skips->recorded_to && frame->passthrough == 0 &&
        KindOfFrame(out, assembled) == FrameKind::kVideo && assembled >= kFrameHeaderSize + 3 &&
        out[kFrameHeaderSize] == 0 && out[kFrameHeaderSize + 1] == 0 &&
        out[kFrameHeaderSize + 2] == 1) {
      ++skips->three_byte_start_code[frame->channel];
    }
    skips->recorded_to = std::max(skips->recorded_to, position);
    return 1;
  }
}

}  // namespace vexlor::container
