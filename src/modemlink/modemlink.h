// The network modem link: the frames that orvel-modemd and the gateway
// exchange over TCP, as a streaming parser over bytes and an encoder. Pure:
// no descriptors, no clock.
//
// Frame (each way):
//   offset  bytes   content
//   0       1       n: the bytes that follow (type and body), 1..255
//   1       1       type (MODEMLINK_... below)
//   2       n - 1   body, 0..254 bytes, its size bounded per type:
//
//   type              from    body                                    bytes
//   'H' hello         daemon  version (MODEMLINK_VERSION), challenge  1 + 32
//   'A' auth          client  client challenge, client proof          32 + 32
//   'P' proof         daemon  daemon proof                            32
//   'R' report        both    one modem report as hidapi reads or     1..65
//                             writes it
//   'K' keepalive     both    empty                                   0
//   'O' modem opened  daemon  the modem's product string, UTF-8       0..237
//   'L' modem lost    daemon  empty                                   0
//   'X' refused       daemon  the reason, ASCII text                  1..237
//   'S' sealed        both    one frame above, sealed (below)         17..254
//
// A session: the daemon sends a hello at once; the client answers with auth;
// the daemon checks the proof and answers with its own proof (or refused and
// closes), then tells the modem's state ('O' or 'L') and from then on every
// change of it. Reports flow both ways while the modem is open. Either side
// sends a keepalive after 5 s without sending anything, and takes a peer
// silent for 15 s as dead. Proofs: modemlink_auth.h.
//
// Sealing: every frame after the daemon's proof, both ways, travels inside
// an 'S' frame whose body is
//   offset  bytes   content
//   0       1 + m   the inner frame's type and body (m bytes), AES-256-GCM
//                   encrypted
//   1 + m   16      the GCM tag, over the ciphertext and the outer two
//                   header bytes
// under the key of its direction (modemlink_auth.h). The nonce is not sent:
// it is the frame's number in its direction, 0, 1, 2, ..., as 8 bytes big
// endian after 4 zero bytes. A forged, replayed, dropped or reordered frame
// fails its tag, and the connection is dropped.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint8_t MODEMLINK_HELLO = 'H';
constexpr uint8_t MODEMLINK_AUTH = 'A';
constexpr uint8_t MODEMLINK_PROOF = 'P';
constexpr uint8_t MODEMLINK_REPORT = 'R';
constexpr uint8_t MODEMLINK_KEEPALIVE = 'K';
constexpr uint8_t MODEMLINK_OPENED = 'O';
constexpr uint8_t MODEMLINK_LOST = 'L';
constexpr uint8_t MODEMLINK_REFUSED = 'X';
constexpr uint8_t MODEMLINK_SEALED = 'S';

constexpr uint8_t MODEMLINK_VERSION = 2;  // 2: frames after the proof are sealed
constexpr int MODEMLINK_BODY_MAX = 254;
constexpr int MODEMLINK_TAG_LEN = 16;
// The longest body of a frame that can be sealed.
constexpr int MODEMLINK_INNER_MAX = MODEMLINK_BODY_MAX - 1 - MODEMLINK_TAG_LEN;
constexpr int MODEMLINK_FRAME_MAX = 2 + MODEMLINK_BODY_MAX;
constexpr int MODEMLINK_REPORT_MAX = 65;
constexpr int MODEMLINK_KEEPALIVE_MS = 5000;  // send something at least this often
constexpr int MODEMLINK_SILENT_MS = 15000;    // a peer silent this long is dead

struct modemlink_frame {
  uint8_t type;
  int len;  // body bytes
  uint8_t body[MODEMLINK_BODY_MAX];
};

// Streaming parser state: zero it (or modemlink_parser_reset) per connection.
struct modemlink_parser {
  uint8_t buf[MODEMLINK_FRAME_MAX];
  int have;   // bytes of the current frame held
  bool bad;   // a bad frame was seen: the stream is unusable from here on
};

enum modemlink_result : uint8_t {
  MODEMLINK_MORE,   // every byte taken, no frame complete yet
  MODEMLINK_FRAME,  // one frame complete in `out`; bytes after it not taken
  MODEMLINK_BAD,    // unknown type or a body size out of its bounds
};

void modemlink_parser_reset(modemlink_parser *p);
// Takes bytes from `data` up to the end of one frame; `*used` says how many
// (never more than `len`). Call again with the rest while it returns
// MODEMLINK_FRAME. After MODEMLINK_BAD every call returns MODEMLINK_BAD.
modemlink_result modemlink_parse(modemlink_parser *p, const uint8_t *data, size_t len, size_t *used,
                                 modemlink_frame *out);
// Writes the frame of `type` and `body` into `dst` (MODEMLINK_FRAME_MAX bytes);
// its length, or 0 when the body size is out of the type's bounds.
int modemlink_put(uint8_t *dst, uint8_t type, const uint8_t *body, int len);
// True when `len` body bytes are within the bounds of `type` (false for an unknown type).
bool modemlink_size_ok(uint8_t type, int len);

// The product string between the wide characters hidapi gives and the UTF-8
// body of 'O': at most MODEMLINK_INNER_MAX bytes, never a cut character.
int modemlink_product_put(const wchar_t *product, uint8_t *body);
// Decodes a body into `out` (cap wide characters, always terminated);
// malformed sequences become U+FFFD.
void modemlink_product_get(const uint8_t *body, int len, wchar_t *out, size_t cap);
