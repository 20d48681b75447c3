// Text and hex helpers. Characters are compared as signed bytes; bytes 0x80
// to 0xFF belong to none of the character classes.
#include "core/text.h"

#include <cstdio>

#include "core/flags.h"

static bool word_end(char c) { return c == ' ' || c == '\r' || c == '\n' || c == 0; }

bool str_eq(const char *text, const char *word) {
  int i = 0;
  while (!word_end(text[i]) && !word_end(word[i])) {
    if (text[i] != word[i]) return false;
    i++;
  }
  return word_end(text[i]) && word_end(word[i]);
}

bool str_begin(const char *text, const char *prefix) {
  for (int i = 0; prefix[i]; i++)
    if (text[i] != prefix[i]) return false;
  return true;
}

int str_copy_till(char *dst, const char *src, char stop) {
  int n = 0;
  while (n < 128 && src[n] && src[n] != stop) {
    dst[n] = src[n];
    n++;
  }
  dst[n] = 0;
  return n;
}

static int hex_nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

uint8_t hexdec(const char *two, uint8_t *err) {
  // The second character is read only when the first is a digit, so a text
  // that ends after one character is never read past its NUL.
  int hi = hex_nibble(two[0]);
  if (hi < 0) {
    *err = 1;
    return 0;
  }
  int lo = hex_nibble(two[1]);
  if (lo < 0) {
    *err = 1;
    return 0;
  }
  return (uint8_t)(hi * 16 + lo);
}

void dechex(char *dst, uint8_t value) {
  static const char digits[] = "0123456789abcdef";
  dst[0] = digits[value >> 4];
  dst[1] = digits[value & 15];
}

void sprint_hex(char *dst, const uint8_t *bytes, int count) {
  for (int i = 0; i < count; i++) dechex(dst + 2 * i, bytes[i]);
  dst[count > 0 ? 2 * count : 0] = 0;
}

static int x2c_value(char c) {
  if (c > '@') return (c & ~0x20) - 55;
  return c - 48;
}

uint8_t x2c(char first, char second) {
  return (uint8_t)(16 * x2c_value(first) + x2c_value(second));
}

int url_decode(char *text) {
  if (!text) return 0;
  int r = 0, w = 0;
  for (;;) {
    char c = text[r];
    if (c == 0 || c == ' ') break;
    if (c == '%') {
      // An escape cut short by the end of the text, or by the blank that
      // ends it, is dropped: decoding never runs on into " HTTP/1.1".
      if (!text[r + 1] || text[r + 1] == ' ' || !text[r + 2] || text[r + 2] == ' ') break;
      text[w++] = (char)x2c(text[r + 1], text[r + 2]);
      r += 3;
      continue;
    }
    text[w++] = (c == '+') ? ' ' : c;
    r++;
  }
  text[w] = 0;
  return w;
}

bool valid_char(char c) {
  return c == '.' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isnumch(char c) { return c >= '0' && c <= '9'; }

bool isID(const char *text) {
  if (text[0] == '@') text++;
  for (int i = 0; i < 6; i++) {
    char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void dbug(const char *msg) {
  if (debug_mode) printf("%s\n", msg);
}

// Length of the valid UTF-8 sequence starting at s (lead byte >= 0x80), or 0.
static size_t utf8_sequence(const char *s) {
  unsigned char c = (unsigned char)s[0];
  size_t len = (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
  for (size_t i = 1; i < len; i++)
    if (((unsigned char)s[i] & 0xC0) != 0x80) return 0;
  return len;
}

void json_escape_append(char *dst, size_t cap, const char *src) {
  if (cap == 0) return;
  size_t n = 0;
  while (n < cap && dst[n]) n++;
  if (n >= cap) return;
  for (; *src; src++) {
    unsigned char c = (unsigned char)*src;
    char esc[8];
    size_t len;
    if (c == '"' || c == '\\') {
      esc[0] = '\\';
      esc[1] = (char)c;
      len = 2;
    } else if (c == '\n') {
      esc[0] = '\\'; esc[1] = 'n'; len = 2;
    } else if (c == '\r') {
      esc[0] = '\\'; esc[1] = 'r'; len = 2;
    } else if (c == '\t') {
      esc[0] = '\\'; esc[1] = 't'; len = 2;
    } else if (c < 0x20 || c == 0x7f) {
      snprintf(esc, sizeof esc, "\\u%04x", c);
      len = 6;
    } else if (c >= 0x80) {
      // A whole UTF-8 sequence passes unchanged; a stray byte is written as
      // its Latin-1 code point so the text stays valid JSON.
      size_t seq = utf8_sequence(src);
      if (seq > 0) {
        for (size_t i = 0; i < seq; i++) esc[i] = src[i];
        len = seq;
        src += seq - 1;
      } else {
        snprintf(esc, sizeof esc, "\\u%04x", c);
        len = 6;
      }
    } else {
      esc[0] = (char)c;
      len = 1;
    }
    if (n + len >= cap) break;
    for (size_t i = 0; i < len; i++) dst[n++] = esc[i];
  }
  dst[n] = 0;
}
