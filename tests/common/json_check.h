// Strict JSON reader for tests (RFC 8259 grammar, valid UTF-8 required):
// every JSON text the gateway sends must pass it. Header-only; unit and
// end-to-end tests include it by relative path.
#pragma once
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace json_check {

// A parsed value: strings hold their decoded text, numbers and literals their source text.
struct Value {
  char kind = 0;  // 's' string, 'n' number or literal, '[' array, '{' object
  std::string text;
  std::vector<Value> items;                            // array elements
  std::vector<std::pair<std::string, Value>> members;  // object members, in order
  std::string str(const std::string &key) const;
  // Declared here, defined below: the member types need Value complete.
  Value();
  Value(const Value &);
  Value(Value &&) noexcept;
  Value &operator=(const Value &);
  Value &operator=(Value &&) noexcept;
  ~Value();
};

inline Value::Value() = default;
inline Value::Value(const Value &) = default;
inline Value::Value(Value &&) noexcept = default;
inline Value &Value::operator=(const Value &) = default;
inline Value &Value::operator=(Value &&) noexcept = default;
inline Value::~Value() = default;

inline std::string Value::str(const std::string &key) const {
  for (const auto &m : members)
    if (m.first == key) return m.second.text;
  return "<missing " + key + ">";
}

struct Reader {
  const std::string &s;
  size_t p = 0;
  bool at(char c) { return p < s.size() && s[p] == c; }
  void ws() {
    while (p < s.size() && strchr(" \t\r\n", s[p])) p++;
  }
  bool eat(char c) { return ws(), at(c) ? (++p, true) : false; }
  static void utf8_put(std::string &o, uint32_t cp) {
    if (cp < 0x80) return void(o += (char)cp);
    if (cp < 0x800) return void(o += {(char)(0xC0 | cp >> 6), (char)(0x80 | (cp & 0x3F))});
    o += {(char)(0xE0 | cp >> 12), (char)(0x80 | (cp >> 6 & 0x3F)), (char)(0x80 | (cp & 0x3F))};
  }
  bool string(std::string &o) {
    if (!eat('"')) return false;
    while (p < s.size() && s[p] != '"') {
      unsigned char c = (unsigned char)s[p++];
      if (c < 0x20) return false;
      if (c >= 0x80) {  // one whole, shortest-form UTF-8 sequence, no surrogate
        int n = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
        if (n < 0 || p + (size_t)n > s.size()) return false;
        unsigned char c1 = (unsigned char)s[p];
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F))
          return false;
        o += (char)c;
        for (int i = 0; i < n; i++, p++) {
          if (((unsigned char)s[p] & 0xC0) != 0x80) return false;
          o += s[p];
        }
        continue;
      }
      if (c != '\\') {
        o += (char)c;
        continue;
      }
      static const char names[] = "\"\\/bfnrt", chars[] = "\"\\/\b\f\n\r\t";
      const char *simple = p < s.size() && s[p] ? strchr(names, s[p]) : nullptr;
      if (simple) {
        o += chars[simple - names], p++;
        continue;
      }
      if (!at('u') || p + 5 > s.size()) return false;
      for (size_t i = p + 1; i < p + 5; i++)
        if (!isxdigit((unsigned char)s[i])) return false;
      uint32_t cp = (uint32_t)std::stoul(s.substr(p + 1, 4), nullptr, 16);
      if (cp >= 0xD800 && cp <= 0xDFFF) return false;  // the gateway never writes surrogates
      utf8_put(o, cp), p += 5;
    }
    return eat('"');
  }
  bool digits() {
    size_t d = p;
    while (p < s.size() && isdigit((unsigned char)s[p])) p++;
    return p > d;
  }
  bool number(std::string &o) {
    size_t b = p;
    if (at('-')) p++;
    if (at('0')) p++;
    else if (!digits()) return false;
    if (at('.') && (++p, !digits())) return false;
    if (at('e') || at('E')) {
      p++;
      if (at('+') || at('-')) p++;
      if (!digits()) return false;
    }
    o = s.substr(b, p - b);
    return true;
  }
  bool value(Value &v) {
    if (eat('"')) return --p, v.kind = 's', string(v.text);
    for (char open : {'[', '{'}) {
      if (!eat(open)) continue;
      char close = open == '[' ? ']' : '}';
      v.kind = open;
      if (eat(close)) return true;
      do {
        if (open == '[') {
          v.items.emplace_back();
          if (!value(v.items.back())) return false;
        } else {
          v.members.emplace_back();
          if (!string(v.members.back().first) || !eat(':') || !value(v.members.back().second)) return false;
        }
      } while (eat(','));
      return eat(close);
    }
    v.kind = 'n';
    for (const char *w : {"true", "false", "null"})
      if (s.compare(p, strlen(w), w) == 0) return v.text = w, p += v.text.size(), true;
    return number(v.text);
  }
};

// Parses one whole JSON text; false when it is not exactly one valid value.
inline bool parse(const std::string &text, Value *out) {
  Reader r{text};
  Value v;
  bool ok = r.value(v) && (r.ws(), r.p == text.size());
  if (ok && out) *out = std::move(v);
  return ok;
}

inline bool valid(const std::string &text) { return parse(text, nullptr); }

}  // namespace json_check
