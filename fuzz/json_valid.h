// Strict JSON validation for the fuzz targets, in process and fast enough for
// every input (RFC 8259 grammar; valid, shortest-form UTF-8; no surrogate
// escapes, which the gateway never writes). Header-only.
#pragma once
#include <cctype>
#include <cstring>
#include <string>

namespace fuzz {

class JsonValidator {
 public:
  explicit JsonValidator(const std::string &text) : s(text) {}
  // True when the text is exactly one valid JSON value.
  bool whole() { return value() && (ws(), p == s.size()); }

 private:
  const std::string &s;
  size_t p = 0;
  bool at(char c) const { return p < s.size() && s[p] == c; }
  void ws() {
    while (p < s.size() && s[p] && strchr(" \t\r\n", s[p])) p++;
  }
  bool eat(char c) { return ws(), at(c) ? (++p, true) : false; }
  bool utf8() {  // the rest of one sequence whose lead byte was just read
    unsigned char c = (unsigned char)s[p - 1];
    int n = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
    if (n < 0 || p + (size_t)n > s.size()) return false;
    unsigned char c1 = (unsigned char)s[p];
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F))
      return false;
    for (int i = 0; i < n; i++, p++)
      if (((unsigned char)s[p] & 0xC0) != 0x80) return false;
    return true;
  }
  bool string() {
    if (!eat('"')) return false;
    while (p < s.size() && s[p] != '"') {
      unsigned char c = (unsigned char)s[p++];
      if (c < 0x20 || (c >= 0x80 && !utf8())) return false;
      if (c != '\\') continue;
      if (p < s.size() && s[p] && strchr("\"\\/bfnrt", s[p])) {
        p++;
        continue;
      }
      if (!at('u') || p + 5 > s.size()) return false;
      for (size_t i = p + 1; i < p + 5; i++)
        if (!isxdigit((unsigned char)s[i])) return false;
      unsigned long cp = std::stoul(s.substr(p + 1, 4), nullptr, 16);
      if (cp >= 0xD800 && cp <= 0xDFFF) return false;
      p += 5;
    }
    return eat('"');
  }
  bool digits() {
    size_t d = p;
    while (p < s.size() && isdigit((unsigned char)s[p])) p++;
    return p > d;
  }
  bool number() {
    if (at('-')) p++;
    if (at('0')) p++;
    else if (!digits()) return false;
    if (at('.') && (++p, !digits())) return false;
    if (at('e') || at('E')) {
      p++;
      if (at('+') || at('-')) p++;
      if (!digits()) return false;
    }
    return true;
  }
  bool value() {
    if (eat('"')) return --p, string();
    for (char open : {'[', '{'}) {
      if (!eat(open)) continue;
      char close = open == '[' ? ']' : '}';
      if (eat(close)) return true;
      do
        if (open == '[' ? !value() : !(string() && eat(':') && value())) return false;
      while (eat(','));
      return eat(close);
    }
    for (const char *w : {"true", "false", "null"})
      if (s.compare(p, strlen(w), w) == 0) return p += strlen(w), true;
    return number();
  }
};

}  // namespace fuzz
