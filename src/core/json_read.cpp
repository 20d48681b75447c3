// The strict JSON reader (see json_read.h): recursive descent bounded by
// JSON_DEPTH_MAX, one node per value, strings decoded in place.
#include "core/json_read.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/utf8.h"

namespace {

struct reader {
  char *s;
  size_t n;
  size_t p = 0;
  size_t line = 1, line_start = 0;  // for the error's line and column
  json_node *nodes;
  uint32_t cap;
  uint32_t count = 0;
  const char *error = nullptr;
  size_t error_pos = 0;
};

bool fail(reader &r, size_t at, const char *why) {
  if (!r.error) {
    r.error = why;
    r.error_pos = at;
  }
  return false;
}

void skip_ws(reader &r) {
  while (r.p < r.n) {
    char c = r.s[r.p];
    if (c == '\n') {
      r.line++;
      r.line_start = r.p + 1;
    } else if (c != ' ' && c != '\t' && c != '\r') {
      return;
    }
    r.p++;
  }
}

int hex4(const char *s) {
  int v = 0;
  for (int i = 0; i < 4; i++) {
    char c = s[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

// Length of the valid, shortest-form UTF-8 sequence at s[0..avail), or 0.
size_t utf8_len(const unsigned char *s, size_t avail) {
  unsigned char c = s[0];
  size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n == 0 || n > avail) return 0;
  unsigned char c1 = s[1];
  if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F))
    return 0;
  for (size_t i = 1; i < n; i++)
    if ((s[i] & 0xC0) != 0x80) return 0;
  return n;
}

// Reads the string at r.p (a '"'), decoding it over its own bytes: the
// decoded form is never longer than the escaped one. Sets *out and *len.
bool read_string(reader &r, const char **out, uint32_t *len) {
  size_t w = ++r.p;  // write position, behind the read position
  const char *start = r.s + w;
  for (;;) {
    if (r.p >= r.n) return fail(r, r.p, "unterminated string");
    unsigned char c = (unsigned char)r.s[r.p];
    if (c == '"') break;
    if (c < 0x20) return fail(r, r.p, "control character in a string");
    if (c >= 0x80) {
      size_t k = utf8_len((const unsigned char *)r.s + r.p, r.n - r.p);
      if (!k) return fail(r, r.p, "invalid UTF-8");
      memmove(r.s + w, r.s + r.p, k);
      w += k, r.p += k;
      continue;
    }
    if (c != '\\') {
      r.s[w++] = (char)c, r.p++;
      continue;
    }
    if (r.p + 1 >= r.n) return fail(r, r.p, "unterminated string");
    char e = r.s[r.p + 1];
    static const char plain_in[] = "\"\\/bfnrt", plain_out[] = "\"\\/\b\f\n\r\t";
    const char *hit = e ? strchr(plain_in, e) : nullptr;
    if (hit) {
      r.s[w++] = plain_out[hit - plain_in];
      r.p += 2;
      continue;
    }
    if (e != 'u') return fail(r, r.p, "invalid escape");
    int cp = r.p + 6 <= r.n ? hex4(r.s + r.p + 2) : -1;
    if (cp < 0) return fail(r, r.p, "\\u needs four hex digits");
    size_t esc_at = r.p;
    r.p += 6;
    unsigned code = (unsigned)cp;
    if (code >= 0xDC00 && code <= 0xDFFF) return fail(r, esc_at, "lone low surrogate");
    if (code >= 0xD800 && code <= 0xDBFF) {
      int lo = r.p + 6 <= r.n && r.s[r.p] == '\\' && r.s[r.p + 1] == 'u' ? hex4(r.s + r.p + 2) : -1;
      if (lo < 0xDC00 || lo > 0xDFFF) return fail(r, esc_at, "high surrogate without its low half");
      code = 0x10000 + ((code - 0xD800) << 10) + ((unsigned)lo - 0xDC00);
      r.p += 6;
    }
    w += utf8_encode(code, (unsigned char *)r.s + w);
  }
  *len = (uint32_t)(w - (size_t)(start - r.s));
  r.s[w] = 0;  // at most at the closing quote, which has been read
  r.p++;
  *out = start;
  return true;
}

bool read_number(reader &r, double *out) {
  size_t a = r.p;
  auto digits = [&]() {
    size_t d = r.p;
    while (r.p < r.n && r.s[r.p] >= '0' && r.s[r.p] <= '9') r.p++;
    return r.p > d;
  };
  if (r.p < r.n && r.s[r.p] == '-') r.p++;
  if (r.p < r.n && r.s[r.p] == '0') {
    r.p++;
  } else if (!digits()) {
    return fail(r, r.p, "unexpected character");
  }
  if (r.p < r.n && r.s[r.p] == '.') {
    r.p++;
    if (!digits()) return fail(r, r.p, "digits expected after '.'");
  }
  if (r.p < r.n && (r.s[r.p] == 'e' || r.s[r.p] == 'E')) {
    r.p++;
    if (r.p < r.n && (r.s[r.p] == '+' || r.s[r.p] == '-')) r.p++;
    if (!digits()) return fail(r, r.p, "digits expected in the exponent");
  }
  if (r.p - a > (size_t)JSON_NUMBER_MAX) return fail(r, a, "number too long");
  char buf[JSON_NUMBER_MAX + 1];
  memcpy(buf, r.s + a, r.p - a);
  buf[r.p - a] = 0;
  *out = strtod(buf, nullptr);
  if (!std::isfinite(*out)) return fail(r, a, "number out of range");
  return true;
}

bool read_value(reader &r, int depth);

// Members or elements up to the closing bracket; `obj` tells which.
bool read_container(reader &r, uint32_t self, int depth, bool obj) {
  char close = obj ? '}' : ']';
  r.p++;
  skip_ws(r);
  if (r.p < r.n && r.s[r.p] == close) {
    r.p++;
    return true;
  }
  for (;;) {
    const char *key = nullptr;
    if (obj) {
      if (r.p >= r.n || r.s[r.p] != '"') return fail(r, r.p, "member name expected");
      size_t key_at = r.p;
      uint32_t klen;
      if (!read_string(r, &key, &klen)) return false;
      if (strlen(key) != klen) return fail(r, key_at, "\\u0000 in a member name");
      for (const json_node *m = r.nodes + self + 1; m < r.nodes + r.count; m = json_next(m))
        if (strcmp(m->key, key) == 0) return fail(r, key_at, "duplicate member name");
      skip_ws(r);
      if (r.p >= r.n || r.s[r.p] != ':') return fail(r, r.p, "':' expected");
      r.p++;
      skip_ws(r);
    }
    uint32_t child = r.count;
    if (!read_value(r, depth + 1)) return false;
    r.nodes[child].key = key;
    r.nodes[self].len++;
    skip_ws(r);
    if (r.p < r.n && r.s[r.p] == ',') {
      r.p++;
      skip_ws(r);
      continue;
    }
    if (r.p < r.n && r.s[r.p] == close) {
      r.p++;
      return true;
    }
    return fail(r, r.p, obj ? "',' or '}' expected" : "',' or ']' expected");
  }
}

bool read_value(reader &r, int depth) {
  if (r.p >= r.n) return fail(r, r.p, "value expected");
  if (r.count >= r.cap) return fail(r, r.p, "too many values");
  uint32_t self = r.count++;
  json_node &n = r.nodes[self];
  n = json_node{};
  n.pos = (uint32_t)r.p;
  char c = r.s[r.p];
  bool ok = true;
  if (c == '{' || c == '[') {
    if (depth >= JSON_DEPTH_MAX) return fail(r, r.p, "nested too deep");
    n.type = c == '{' ? JSON_OBJECT : JSON_ARRAY;
    ok = read_container(r, self, depth, c == '{');
  } else if (c == '"') {
    n.type = JSON_STRING;
    ok = read_string(r, &n.str, &n.len);
  } else if (c == '-' || (c >= '0' && c <= '9')) {
    n.type = JSON_NUMBER;
    ok = read_number(r, &n.num);
  } else {
    static const struct { const char *word; json_type type; } words[] = {
        {"true", JSON_TRUE}, {"false", JSON_FALSE}, {"null", JSON_NULL}};
    ok = false;
    for (const auto &w : words) {
      size_t k = strlen(w.word);
      if (r.n - r.p >= k && memcmp(r.s + r.p, w.word, k) == 0) {
        n.type = w.type;
        r.p += k;
        ok = true;
        break;
      }
    }
    if (!ok) return fail(r, r.p, "unexpected character");
  }
  n.size = r.count - self;
  return ok;
}

}  // namespace

bool json_read(char *text, size_t len, json_node *nodes, uint32_t cap, json_result *res) {
  reader r;
  r.s = text;
  r.n = len;
  r.nodes = nodes;
  r.cap = cap;
  bool ok = len <= UINT32_MAX;
  if (!ok) fail(r, 0, "text too long");
  if (ok) {
    skip_ws(r);
    ok = read_value(r, 0);
  }
  if (ok) {
    skip_ws(r);
    if (r.p != r.n) ok = fail(r, r.p, "text after the value");
  }
  res->count = r.count;
  res->error = ok ? nullptr : r.error;
  res->pos = ok ? 0 : (uint32_t)r.error_pos;
  res->line = res->col = 0;
  if (!ok) {
    // Lines were counted while the white space was read; the error lies on
    // the current line or, for a string, on the line it started on (strings
    // hold no raw line ends), so the count is exact.
    res->line = (uint32_t)r.line;
    size_t start = r.error_pos >= r.line_start ? r.line_start : 0;
    res->col = (uint32_t)(r.error_pos - start + 1);
  }
  return ok;
}

const json_node *json_member(const json_node *obj, const char *key) {
  if (!obj || obj->type != JSON_OBJECT) return nullptr;
  const json_node *m = obj + 1;
  for (uint32_t i = 0; i < obj->len; i++, m = json_next(m))
    if (strcmp(m->key, key) == 0) return m;
  return nullptr;
}

const json_node *json_item(const json_node *container, uint32_t i) {
  if (!container || (container->type != JSON_ARRAY && container->type != JSON_OBJECT) || i >= container->len)
    return nullptr;
  const json_node *m = container + 1;
  while (i--) m = json_next(m);
  return m;
}
