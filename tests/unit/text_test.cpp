// Text, hex and URL helpers: the edge rules that every parser builds on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/text.h"

namespace {

TEST(Text, WordAndPrefixTests) {
  struct Row { const char *text, *word; bool eq, begin; } rows[] = {
      {"&usb? HTTP/1.1", "&usb?", true, true}, {"debug1\r\n", "debug1", true, true},  // first word only
      {"&usb?x", "&usb?", false, true},        {"ab", "abc", false, false},
      {"VER", "ver", false, false},            {"", "", true, true},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.text) + " / " + r.word);
    EXPECT_EQ(str_eq(r.text, r.word), r.eq);
    EXPECT_EQ(str_begin(r.text, r.word), r.begin);
  }
  char dst[129];
  EXPECT_EQ(str_copy_till(dst, std::string(200, 'a').c_str(), '/'), 128);  // never more than 128
  EXPECT_EQ(str_copy_till(dst, "ab cd", ' '), 2);
  EXPECT_STREQ(dst, "ab");
}

TEST(Text, HexdecHasAStickyErrorFlag) {
  struct Row { const char *two; uint8_t want; bool err; } rows[] = {
      {"1F", 0x1F, false}, {"ff", 0xFF, false}, {"g0", 0, true}, {"0g", 0, true}, {"a", 0, true}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.two);
    uint8_t err = 0;
    EXPECT_EQ(hexdec(r.two, &err), r.want);
    EXPECT_EQ(err != 0, r.err);
  }
  uint8_t err = 0;
  hexdec("g0", &err);
  EXPECT_EQ(hexdec("20", &err), 0x20);
  EXPECT_EQ(err, 1);  // never cleared by a later good pair
  char two[3] = {0, 0, 'z'};
  dechex(two, 0xAB);
  EXPECT_EQ(std::string(two, 3), "abz");  // no terminator written
}

TEST(Text, UrlDecoding) {
  struct Row { const char *in, *out; int len; } rows[] = {
      {"a%20b+c d", "a b c", 5}, {"%41%4a", "AJ", 2}, {"abc%4", "abc", 3}, {"abc%", "abc", 3}, {"", "", 0}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.in);
    char buf[64];
    strcpy(buf, r.in);
    EXPECT_EQ(url_decode(buf), r.len);
    EXPECT_STREQ(buf, r.out);
  }
}

TEST(Text, IdsAndKeyCharacters) {
  struct Row { const char *text; bool want; } ids[] = {
      {"@0a1b2c", true}, {"0a1b2c=50", true}, {"@0A1B2C", false}, {"@0a1b2", false}, {"@0a1g2c", false}};
  for (const auto &r : ids) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(isID(r.text), r.want);
  }
  EXPECT_TRUE(valid_char('.'));
  for (char c : std::string("/_ -\\\x7f\xe9")) EXPECT_FALSE(valid_char(c)) << (int)c;
}

TEST(Text, JsonEscapeKeepsTextValidAndBounded) {
  struct Row { const char *in, *out; } rows[] = {
      {"a\"b\\c", "a\\\"b\\\\c"},
      {"ERROR: Sockets Full\n", "ERROR: Sockets Full\\n"},
      {"\x01", "\\u0001"},
      {"K\xc3\xbc" "che", "K\xc3\xbc" "che"},  // whole UTF-8 passes
      {"bad\xff", "bad\\u00ff"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.in);
    char buf[64] = "";
    json_escape_append(buf, sizeof buf, r.in);
    EXPECT_STREQ(buf, r.out);
  }
  char small[6] = "ab";
  json_escape_append(small, sizeof small, "\"\"\"");
  EXPECT_STREQ(small, "ab\\\"");  // an escape that does not fit whole is left out
}

}  // namespace
