// Fuzz target: the network modem link's frame parser and the product
// string's UTF-8 form, over any bytes a peer may send.
//
// Input: byte 0 seeds the chunk sizes; the rest is the stream as received.
//
// Properties:
//   - the stream parsed in one piece and in chunks of 1..16 bytes gives the
//     same frames and fails (MODEMLINK_BAD) at the same byte, or not at all;
//   - the parser never takes more bytes than it is given, and after a bad
//     frame it takes none;
//   - every frame has a body within its type's bounds and encodes back to
//     exactly the bytes it was parsed from;
//   - a product body decodes to wide text that encodes to at most
//     MODEMLINK_INNER_MAX bytes, and that encoding decodes and encodes to itself;
//   - a sealed frame that no peer sealed never opens.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "modemlink/modemlink.h"
#include "modemlink/modemlink_auth.h"

namespace {

struct outcome {
  std::vector<std::string> frames;  // each frame's bytes, re-encoded
  size_t bad_at = SIZE_MAX;         // offset after the byte that made the stream bad
};

std::string encode(const modemlink_frame &f) {
  if (!modemlink_size_ok(f.type, f.len)) fuzz::fail("a frame out of its type's bounds", std::string(1, (char)f.type));
  uint8_t out[MODEMLINK_FRAME_MAX];
  int n = modemlink_put(out, f.type, f.body, f.len);
  if (n != 2 + f.len) fuzz::fail("a parsed frame does not encode");
  return std::string((const char *)out, (size_t)n);
}

outcome parse(const uint8_t *data, size_t size, uint8_t seed) {
  outcome o;
  modemlink_parser p;
  modemlink_parser_reset(&p);
  size_t off = 0, frame_start = 0;
  while (off < size) {
    size_t chunk = seed ? 1 + (size_t)((seed * (off + 7)) % 16) : size - off;
    chunk = std::min(chunk, size - off);
    size_t taken = 0;
    while (taken < chunk) {
      modemlink_frame f;
      size_t used = 0;
      modemlink_result r = modemlink_parse(&p, data + off + taken, chunk - taken, &used, &f);
      if (used > chunk - taken) fuzz::fail("the parser took more than it was given");
      taken += used;
      if (r == MODEMLINK_BAD) {
        o.bad_at = off + taken;
        size_t again = 0;
        if (modemlink_parse(&p, data, size, &again, &f) != MODEMLINK_BAD || again != 0)
          fuzz::fail("a bad stream parsed on");
        return o;
      }
      if (r == MODEMLINK_FRAME) {
        std::string bytes = encode(f);
        if (bytes != std::string((const char *)data + frame_start, off + taken - frame_start))
          fuzz::fail("a frame does not encode to its own bytes");
        o.frames.push_back(bytes);
        frame_start = off + taken;
        if (f.type == MODEMLINK_OPENED) {
          wchar_t wide[MODEMLINK_BODY_MAX + 1], again[MODEMLINK_BODY_MAX + 1];
          uint8_t text[MODEMLINK_BODY_MAX], text2[MODEMLINK_BODY_MAX];
          modemlink_product_get(f.body, f.len, wide, MODEMLINK_BODY_MAX + 1);
          int n = modemlink_product_put(wide, text);
          modemlink_product_get(text, n, again, MODEMLINK_BODY_MAX + 1);
          int n2 = modemlink_product_put(again, text2);
          if (n < 0 || n > MODEMLINK_INNER_MAX || n != n2 || memcmp(text, text2, (size_t)n) != 0)
            fuzz::fail("the product string does not settle after one round");
        }
        if (f.type == MODEMLINK_SEALED) {
          static const uint8_t challenge[MODEMLINK_CHALLENGE_LEN] = {};
          modemlink_seal s{};
          modemlink_seal_start(&s, MODEMLINK_CLIENT, (const uint8_t *)"k", 1, challenge, challenge);
          if (modemlink_seal_open(&s, &f)) fuzz::fail("a forged sealed frame opened");
        }
      } else if (used == 0) {
        fuzz::fail("the parser took nothing and asked for more");
      }
    }
    off += chunk;
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  outcome whole = parse(data + 1, size - 1, 0), pieces = parse(data + 1, size - 1, (uint8_t)(data[0] | 1));
  if (whole.frames != pieces.frames || whole.bad_at != pieces.bad_at)
    fuzz::fail("chunking changes what is parsed");
  return 0;
}
