// A strict JSON validator (RFC 8259, valid UTF-8 required), header-only so
// that the fuzz targets and the end-to-end load test share it.
#pragma once
#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>

namespace fuzz {

namespace json_detail {

struct Json {
  const unsigned char *p;
  const unsigned char *end;
  const unsigned char *start;
  std::string why;
  int depth = 0;

  bool bad(const char *msg) {
    if (why.empty()) why = std::string(msg) + " at offset " + std::to_string(p - start);
    return false;
  }
  void blanks() {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) p++;
  }
  bool lit(const char *word) {
    size_t n = strlen(word);
    if ((size_t)(end - p) < n || memcmp(p, word, n) != 0) return bad("bad literal");
    p += n;
    return true;
  }
  // One UTF-8 sequence of 2..4 bytes at p (lead byte >= 0x80), strict: no
  // overlong forms, no surrogates, nothing above U+10FFFF.
  bool utf8() {
    unsigned c = *p;
    int n;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) n = 1;
    else if (c == 0xE0) { n = 2; lo = 0xA0; }
    else if (c == 0xED) { n = 2; hi = 0x9F; }
    else if (c >= 0xE1 && c <= 0xEF) n = 2;
    else if (c == 0xF0) { n = 3; lo = 0x90; }
    else if (c == 0xF4) { n = 3; hi = 0x8F; }
    else if (c >= 0xF1 && c <= 0xF3) n = 3;
    else return bad("invalid UTF-8 lead byte");
    if (end - p <= n) return bad("cut UTF-8 sequence");
    for (int i = 1; i <= n; i++) {
      unsigned b = p[i];
      unsigned l = i == 1 ? lo : 0x80, h = i == 1 ? hi : 0xBF;
      if (b < l || b > h) return bad("invalid UTF-8 continuation");
    }
    p += n + 1;
    return true;
  }
  bool string() {
    p++;  // the opening quote
    while (p < end) {
      unsigned c = *p;
      if (c == '"') {
        p++;
        return true;
      }
      if (c < 0x20) return bad("control character in string");
      if (c == '\\') {
        if (++p >= end) return bad("cut escape");
        if (*p == 'u') {
          if (end - p < 5) return bad("cut \\u escape");
          for (int i = 1; i <= 4; i++)
            if (!isxdigit(p[i])) return bad("bad \\u escape");
          p += 5;
        } else if (strchr("\"\\/bfnrt", *p) && *p) {
          p++;
        } else {
          return bad("bad escape");
        }
      } else if (c >= 0x80) {
        if (!utf8()) return false;
      } else {
        p++;
      }
    }
    return bad("unterminated string");
  }
  bool digits() {
    if (p >= end || !isdigit(*p)) return bad("digit expected");
    while (p < end && isdigit(*p)) p++;
    return true;
  }
  bool number() {
    if (*p == '-') p++;
    if (p < end && *p == '0') p++;
    else if (!digits()) return false;
    if (p < end && *p == '.') {
      p++;
      if (!digits()) return false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
      p++;
      if (p < end && (*p == '+' || *p == '-')) p++;
      if (!digits()) return false;
    }
    return true;
  }
  bool value() {
    if (++depth > 64) return bad("nested too deep");
    blanks();
    if (p >= end) return bad("value expected");
    bool ok;
    switch (*p) {
      case '{': ok = object(); break;
      case '[': ok = array(); break;
      case '"': ok = string(); break;
      case 't': ok = lit("true"); break;
      case 'f': ok = lit("false"); break;
      case 'n': ok = lit("null"); break;
      default:
        ok = (*p == '-' || isdigit(*p)) ? number() : bad("unexpected character");
    }
    depth--;
    blanks();
    return ok;
  }
  bool object() {
    p++;
    blanks();
    if (p < end && *p == '}') {
      p++;
      return true;
    }
    for (;;) {
      blanks();
      if (p >= end || *p != '"') return bad("member name expected");
      if (!string()) return false;
      blanks();
      if (p >= end || *p != ':') return bad("':' expected");
      p++;
      if (!value()) return false;
      if (p < end && *p == ',') {
        p++;
        continue;
      }
      if (p < end && *p == '}') {
        p++;
        return true;
      }
      return bad("',' or '}' expected");
    }
  }
  bool array() {
    p++;
    blanks();
    if (p < end && *p == ']') {
      p++;
      return true;
    }
    for (;;) {
      if (!value()) return false;
      if (p < end && *p == ',') {
        p++;
        continue;
      }
      if (p < end && *p == ']') {
        p++;
        return true;
      }
      return bad("',' or ']' expected");
    }
  }
};

}  // namespace json_detail

// True when `text` (`len` bytes) is exactly one JSON value with optional
// surrounding blanks, in valid UTF-8. On false, `why` names the first fault
// and its offset.
inline bool json_valid(const char *text, size_t len, std::string *why = nullptr) {
  using json_detail::Json;
  Json j{(const unsigned char *)text, (const unsigned char *)text + len, (const unsigned char *)text, {}};
  bool ok = j.value() && (j.p == j.end || j.bad("text after the value"));
  if (!ok && why) *why = j.why;
  return ok;
}

inline bool json_valid(const std::string &s, std::string *why = nullptr) { return json_valid(s.data(), s.size(), why); }

}  // namespace fuzz
