// The network modem link's frames (layout in modemlink.h): a parser that
// takes bytes as they come off a socket, an encoder, and the product string's
// UTF-8 form.
#include "modemlink/modemlink.h"

#include <cstring>

#include "core/utf8.h"

namespace {

constexpr int POS_LEN = 0;
constexpr int POS_TYPE = 1;
constexpr int POS_BODY = 2;

struct size_rule {
  uint8_t type;
  int min, max;
};

// Body bounds per type; a type not listed is unknown.
constexpr size_rule SIZE_RULES[] = {
    {MODEMLINK_HELLO, 33, 33},     {MODEMLINK_AUTH, 64, 64},
    {MODEMLINK_PROOF, 32, 32},     {MODEMLINK_REPORT, 1, MODEMLINK_REPORT_MAX},
    {MODEMLINK_KEEPALIVE, 0, 0},   {MODEMLINK_OPENED, 0, MODEMLINK_INNER_MAX},
    {MODEMLINK_LOST, 0, 0},        {MODEMLINK_REFUSED, 1, MODEMLINK_INNER_MAX},
    {MODEMLINK_SEALED, 1 + MODEMLINK_TAG_LEN, MODEMLINK_BODY_MAX},
};

constexpr wchar_t REPLACEMENT = 0xFFFD;

// One code point from s[*i] (n bytes); a malformed sequence gives U+FFFD.
wchar_t utf8_take(const uint8_t *s, int n, int *i) {
  unsigned c = s[(*i)++];
  if (c < 0x80) return (wchar_t)c;
  int more;
  unsigned cp, min;
  if ((c & 0xE0) == 0xC0) {
    more = 1, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    more = 2, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    more = 3, cp = c & 0x07, min = 0x10000;
  } else {
    return REPLACEMENT;
  }
  for (int k = 0; k < more; k++) {
    if (*i >= n || (s[*i] & 0xC0) != 0x80) return REPLACEMENT;
    cp = (cp << 6) | (s[(*i)++] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return REPLACEMENT;
  return (wchar_t)cp;
}

}  // namespace

bool modemlink_size_ok(uint8_t type, int len) {
  for (const size_rule &r : SIZE_RULES)
    if (r.type == type) return len >= r.min && len <= r.max;
  return false;
}

void modemlink_parser_reset(modemlink_parser *p) {
  p->have = 0;
  p->bad = false;
}

modemlink_result modemlink_parse(modemlink_parser *p, const uint8_t *data, size_t len, size_t *used,
                                 modemlink_frame *out) {
  *used = 0;
  if (p->bad) return MODEMLINK_BAD;
  while (*used < len) {
    p->buf[p->have++] = data[(*used)++];
    // The type is checked as soon as it arrives, so garbage is refused
    // without waiting for a length's worth of it.
    if (p->have == POS_TYPE + 1) {
      int body = (int)p->buf[POS_LEN] - 1;
      if (!modemlink_size_ok(p->buf[POS_TYPE], body)) {
        p->bad = true;
        return MODEMLINK_BAD;
      }
    }
    if (p->have > POS_TYPE && p->have == 1 + (int)p->buf[POS_LEN]) {
      out->type = p->buf[POS_TYPE];
      out->len = p->have - POS_BODY;
      memcpy(out->body, p->buf + POS_BODY, (size_t)out->len);
      p->have = 0;
      return MODEMLINK_FRAME;
    }
  }
  return MODEMLINK_MORE;
}

int modemlink_put(uint8_t *dst, uint8_t type, const uint8_t *body, int len) {
  if (!modemlink_size_ok(type, len)) return 0;
  dst[POS_LEN] = (uint8_t)(len + 1);
  dst[POS_TYPE] = type;
  if (len > 0) memcpy(dst + POS_BODY, body, (size_t)len);
  return POS_BODY + len;
}

int modemlink_product_put(const wchar_t *product, uint8_t *body) {
  int n = 0;
  for (; *product; product++) {
    uint8_t one[4];
    unsigned cp = (unsigned)*product;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = REPLACEMENT;
    int k = (int)utf8_encode(cp, one);
    if (n + k > MODEMLINK_INNER_MAX) break;
    memcpy(body + n, one, (size_t)k);
    n += k;
  }
  return n;
}

void modemlink_product_get(const uint8_t *body, int len, wchar_t *out, size_t cap) {
  if (cap == 0) return;
  size_t n = 0;
  for (int i = 0; i < len && n + 1 < cap;) out[n++] = utf8_take(body, len, &i);
  out[n] = L'\0';
}
