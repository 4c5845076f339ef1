// Building recordings: media frame headers and their packetisation. Used by the `mkrec` tool and
// by tests; the conversion itself only reads recordings.
#pragma once

#include <cstdint>
#include <vector>

#include "container/recording.h"

namespace vexlor::container {

// Writes the 32-byte media frame header: 00 00 01, stream id (kind << 4 | channel), the time
// fields; the other bytes are zero.
void PutFrameHeader(uint8_t* header, uint8_t kind, int channel, uint32_t ticks, uint32_t seconds);

// Fills one 1418-byte packet: marks, total length split into its two 16-bit fields, fragment
// length, packet kind, type code and up to kPayloadSize fragment bytes (the rest of the payload
// area is zero).
void PutPacket(uint8_t* packet, uint32_t total_length, const uint8_t* fragment,
               uint32_t fragment_length, uint16_t packet_kind, uint8_t type_code);

// Appends the packets of one frame to *out: consecutive fragments of kPayloadSize bytes (the
// last one shorter), each packet announcing the frame's total length. A frame of length 0 still
// takes one packet. Returns the number of packets appended.
uint32_t AppendFramePackets(const uint8_t* frame, uint32_t length, uint8_t type_code,
                            std::vector<uint8_t>* out);

}  // namespace vexlor::container
