// Recording builder: frame headers and packets.
#include "container/recording_writer.h"

#include <cstring>

namespace vexlor::container {
namespace {

void PutU16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) {
  PutU16(p, v & 0xFFFF);
  PutU16(p + 2, v >> 16);
}

}  // namespace

void PutFrameHeader(uint8_t* header, uint8_t kind, int channel, uint32_t ticks, uint32_t seconds) {
  std::memset(header, 0, kFrameHeaderSize);
  header[2] = 1;
  header[kStreamIdOffset] = uint8_t((kind & 0x0F) << 4 | (channel & 0x0F));
  PutU32(header + kFrameTicksOffset, ticks);
  PutU32(header + kFrameSecondsOffset, seconds);
}

void PutPacket(uint8_t* packet, uint32_t total_length, const uint8_t* fragment,
               uint32_t fragment_length, uint16_t packet_kind, uint8_t type_code) {
  if (fragment_length > uint32_t(kPayloadSize)) fragment_length = kPayloadSize;
  std::memset(packet, 0, kPacketSize);
  std::memcpy(packet + kSyncOffset, kSyncMark, 3);
  PutU16(packet + kTotalHighOffset, total_length >> 16);
  PutU16(packet + kTotalLowOffset, total_length & 0xFFFF);
  PutU16(packet + kFragmentLengthOffset, fragment_length);
  PutU16(packet + kPacketKindOffset, packet_kind);
  packet[kTypeCodeOffset] = type_code;
  if (fragment_length > 0) std::memcpy(packet + kPayloadOffset, fragment, fragment_length);
  std::memcpy(packet + kEndMarkOffset, kEndMark, 3);
}

uint32_t AppendFramePackets(const uint8_t* frame, uint32_t length, uint8_t type_code,
                            std::vector<uint8_t>* out) {
  uint32_t count = 0;
  uint32_t done = 0;
  do {
    const uint32_t fragment =
        length - done < uint32_t(kPayloadSize) ? length - done : uint32_t(kPayloadSize);
    const size_t at = out->size();
    out->resize(at + kPacketSize);
    PutPacket(out->data() + at, length, frame + done, fragment, 0, type_code);
    done += fragment;
    ++count;
  } while (done < length);
  return count;
}

}  // namespace vexlor::container
