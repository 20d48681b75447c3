// The strict JSON reader: a table of texts read or refused at the exact
// place, strings decoded in place, and the nesting and node bounds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json_read.h"

namespace {

struct Read {
  bool ok;
  json_result res;
  std::vector<json_node> nodes;
  std::string text;  // owns the decoded strings
};

Read read(const std::string &text, uint32_t cap = 64) {
  Read r{false, {}, std::vector<json_node>(cap), text};
  r.ok = json_read(r.text.data(), r.text.size(), r.nodes.data(), cap, &r.res);
  return r;
}

TEST(JsonRead, AcceptsOrRefusesAtTheExactPlace) {
  struct Row { std::string text; const char *error; uint32_t line = 0, col = 0; } rows[] = {
      {R"( {"a":[1,-2.5e+3,true,false,null,{}],"b":"x"} )", nullptr},
      {"0", nullptr}, {"-0.0e0", nullptr}, {"\"\"", nullptr}, {"[]", nullptr},
      {"", "value expected", 1, 1},
      {"[1,]", "unexpected character", 1, 4},
      {"{\"a\":1,}", "member name expected", 1, 8},
      {"{\"a\" 1}", "':' expected", 1, 6},
      {"[1 2]", "',' or ']' expected", 1, 4},
      {"{\"a\":1 \"b\":2}", "',' or '}' expected", 1, 8},
      {"[\n  01]", "',' or ']' expected", 2, 4},   // no leading zeros
      {"[1.]", "digits expected after '.'", 1, 4},
      {"1e+", "digits expected in the exponent", 1, 4},
      {"1e999", "number out of range", 1, 1},
      {"[tru]", "unexpected character", 1, 2},
      {"{\"a\":1,\"a\":2}", "duplicate member name", 1, 8},
      {"{\"a\\u0000\":1}", "\\u0000 in a member name", 1, 2},
      {"\"a\tb\"", "control character in a string", 1, 3},
      {"\"\\x\"", "invalid escape", 1, 2},
      {"\"\\u12g4\"", "\\u needs four hex digits", 1, 2},
      {"\"\\udc00\"", "lone low surrogate", 1, 2},
      {"\"\\ud83d\\u0041\"", "high surrogate without its low half", 1, 2},
      {"\"\xc0\xaf\"", "invalid UTF-8", 1, 2},        // overlong
      {"\"\xed\xa0\x80\"", "invalid UTF-8", 1, 2},    // an encoded surrogate
      {"\"abc", "unterminated string", 1, 5},
      {"[1] x", "text after the value", 1, 5},
      {"// c\n1", "unexpected character", 1, 1},
      {std::string(1000, '9'), "number too long", 1, 1},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text.substr(0, 40));
    Read got = read(r.text);
    EXPECT_EQ(got.ok, r.error == nullptr);
    if (!r.error) continue;
    EXPECT_STREQ(got.res.error, r.error);
    EXPECT_EQ(got.res.line, r.line);
    EXPECT_EQ(got.res.col, r.col);
  }
}

TEST(JsonRead, DecodesStringsAndWalksTheTree) {
  Read r = read(R"({"s":"q\"\\\/\b\f\n\r\t \u00e9\u20ac\ud83d\ude00 é","n":[10,{"x":-1.5}],"e":""})");
  ASSERT_TRUE(r.ok) << r.res.error;
  const json_node *s = json_member(&r.nodes[0], "s");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::string(s->str, s->len), "q\"\\/\b\f\n\r\t \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \xc3\xa9");
  const json_node *n = json_member(&r.nodes[0], "n");
  ASSERT_EQ(n->type, JSON_ARRAY);
  EXPECT_EQ(n->len, 2u);
  EXPECT_EQ(json_item(n, 0)->num, 10);
  EXPECT_EQ(json_member(json_item(n, 1), "x")->num, -1.5);
  EXPECT_EQ(json_item(n, 2), nullptr);
  EXPECT_EQ(json_next(n), json_member(&r.nodes[0], "e"));
  EXPECT_STREQ(json_member(&r.nodes[0], "e")->str, "");
  EXPECT_EQ(json_member(&r.nodes[0], "zz"), nullptr);
  EXPECT_EQ(r.res.count, 7u);  // root, s, n, 10, {x}, x, e

  Read z = read(R"(["a\u0000b"])");  // a NUL inside a value keeps its length
  ASSERT_TRUE(z.ok);
  EXPECT_EQ(z.nodes[1].len, 3u);
}

TEST(JsonRead, NestingAndNodeCountAreBounded) {
  std::string deep(JSON_DEPTH_MAX, '['), ok = deep + std::string(JSON_DEPTH_MAX, ']');
  EXPECT_TRUE(read(ok).ok);
  Read over = read("[" + ok + "]");
  EXPECT_STREQ(over.res.error, "nested too deep");
  EXPECT_EQ(over.res.pos, (uint32_t)JSON_DEPTH_MAX);

  EXPECT_TRUE(read("[1,2,3]", 4).ok);
  Read full = read("[1,2,3,4]", 4);
  EXPECT_STREQ(full.res.error, "too many values");
  EXPECT_EQ(full.res.pos, 7u);
}

}  // namespace
