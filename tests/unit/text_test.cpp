// Text, hex and URL helpers: the edge rules that every parser builds on.
#include <gtest/gtest.h>

#include <string>

#include "core/text.h"

namespace {

struct EqRow {
  const char *text, *word;
  bool want;
};

TEST(Text, StrEqComparesFirstWords) {
  const EqRow rows[] = {
      {"&usb? HTTP/1.1", "&usb?", true}, {"debug1\r\n", "debug1", true}, {"", "", true},
      {"&usb?x", "&usb?", false},        {"ab", "abc", false},           {"abc", "ab", false},
      {"ver\n", "ver", true},            {"VER", "ver", false},          {"ver x", "ver y", true},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.text) + " / " + r.word);
    EXPECT_EQ(str_eq(r.text, r.word), r.want);
  }
}

TEST(Text, StrBeginIsAPlainPrefixTest) {
  const EqRow rows[] = {{"&cron?", "&cron", true}, {"&cro", "&cron", false}, {"anything", "", true}, {"", "", true}};
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.text) + " / " + r.word);
    EXPECT_EQ(str_begin(r.text, r.word), r.want);
  }
}

TEST(Text, StrCopyTillStopsAt128) {
  char dst[129];
  std::string src(200, 'a');
  EXPECT_EQ(str_copy_till(dst, src.c_str(), '/'), 128);
  EXPECT_EQ(std::string(dst), std::string(128, 'a'));
  EXPECT_EQ(str_copy_till(dst, "/abc", '/'), 0);
  EXPECT_STREQ(dst, "");
  EXPECT_EQ(str_copy_till(dst, "ab cd", ' '), 2);
  EXPECT_STREQ(dst, "ab");
}

TEST(Text, HexdecHasAStickyErrorFlag) {
  struct Row {
    const char *two;
    uint8_t want;
    bool err;
  } rows[] = {{"1F", 0x1F, false}, {"1f", 0x1F, false}, {"g0", 0, true}, {"0g", 0, true},
              {"ff", 0xFF, false}, {"", 0, true},       {"a", 0, true}};
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
}

TEST(Text, HexWriters) {
  char two[3] = {0, 0, 'z'};
  dechex(two, 0xAB);
  EXPECT_EQ(std::string(two, 3), "abz");  // no terminator written
  char out[8];
  const uint8_t bytes[] = {0x01, 0xFF};
  sprint_hex(out, bytes, 2);
  EXPECT_STREQ(out, "01ff");
  sprint_hex(out, bytes, 0);
  EXPECT_STREQ(out, "");
}

TEST(Text, UrlDecoding) {
  EXPECT_EQ(x2c('4', '1'), 0x41);
  EXPECT_EQ(x2c('f', 'F'), 0xFF);
  struct Row {
    const char *in, *out;
    int len;
  } rows[] = {
      {"a%20b+c d", "a b c", 5}, {"%41%42", "AB", 2},   {"", "", 0},
      {"abc%4", "abc", 3},       {"abc%", "abc", 3},     {"x HTTP/1.1", "x", 1},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.in);
    char buf[64];
    strcpy(buf, r.in);
    EXPECT_EQ(url_decode(buf), r.len);
    EXPECT_STREQ(buf, r.out);
  }
  EXPECT_EQ(url_decode(nullptr), 0);
}

TEST(Text, CharacterClassesAndIds) {
  EXPECT_TRUE(valid_char('.'));
  for (char c : std::string("/_ -\\\x7f")) EXPECT_FALSE(valid_char(c)) << (int)c;
  EXPECT_FALSE(valid_char((char)0xE9));
  EXPECT_TRUE(isnumch('0'));
  EXPECT_FALSE(isnumch('a'));
  const EqRow ids[] = {{"@0a1b2c", "", true}, {"0a1b2c", "", true},  {"@0A1B2C", "", false},
                       {"@0a1b2", "", false}, {"@0a1g2c", "", false}, {"@0a1b2c=50", "", true}};
  for (const auto &r : ids) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(isID(r.text), r.want);
  }
}

TEST(Text, JsonEscapeKeepsTextValidAndBounded) {
  struct Row {
    const char *in, *out;
  } rows[] = {
      {"plain", "plain"},
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
