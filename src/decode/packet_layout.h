// The layout of a received radio packet, shared by the decoders and the
// radio link.
#pragma once

// Radio packet: an input report of kind 1, 65 bytes; L = byte 1.
//   offset  content
//   0       1: radio packet
//   1       L: offset of the signal byte = 8 + number of data bytes (8..63)
//   2..4    device id bytes 1..3 (low 4 bits of byte 4: channel)
//   5       carried into the text form only
//   6       bits 0-2: packet counter; bits 3-7 carried into the text form
//   7       command code (a reply carries the sent code | 0x80)
//   8..L-1  data d0, d1, ...
//   L       received signal strength, signed raw value
constexpr int PACKET_SIZE = 65;
constexpr int PK_KIND = 0, PK_LEN = 1, PK_ID1 = 2, PK_ID2 = 3, PK_ID3 = 4, PK_B5 = 5, PK_CNT = 6, PK_CMD = 7,
              PK_DATA = 8;
constexpr int PK_LEN_MIN = 8, PK_LEN_MAX = 63;  // other length bytes are ignored
