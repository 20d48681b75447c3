// Value store, log viewer and upload: the route parsers by table. The
// handlers' replies and files are checked end to end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/logview.h"
#include "net/memstore.h"
#include "net/upload.h"

namespace {

TEST(MemRoute, VerbsKeysAndValues) {
  struct Row { const char *route; bool ok; char verb = 0; const char *key = "", *value = nullptr; } rows[] = {
      {"&set/color/blue%20sky HTTP/1.1", true, 's', "color", "blue%20sky HTTP/1.1"},
      {"_get/color/ HTTP/1.1", true, 'g', "color", nullptr},
      {"&gEt/color/red HTTP/1.1", true, 'g', "color", "red HTTP/1.1"},
      {"_SET/path/a/b/c HTTP/1.1", true, 's', "path", "a/b/c HTTP/1.1"},
      {"&set/k/", true, 's', "k", ""},  // a value cut off by the end of the text
      {"&set/ABCdef123456789 HTTP/1.1", true, 's', "ABCdef123456789", nullptr},  // 15: the longest key
      {"&set/.../v", true, 's', "...", "v"},
      {"&set/ABCdef1234567890/v HTTP/1.1", false},
      {"&put/k/v HTTP/1.1", false}, {"&setk/v HTTP/1.1", false}, {"&se", false},
      {"&set/color", false},  // the text ends inside the key
      {"&set//v HTTP/1.1", false}, {"&set/a-b/v HTTP/1.1", false}, {"&set/a_b/v HTTP/1.1", false},
      {"&set/\xc3\xa9/v HTTP/1.1", false}, {"&set/./v HTTP/1.1", false}, {"&get/.. HTTP/1.1", false},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.route);
    mem_route m{};
    ASSERT_EQ(mem_route_parse(r.route, &m), r.ok);
    if (!r.ok) continue;
    EXPECT_EQ(m.verb, r.verb);
    EXPECT_STREQ(m.key, r.key);
    EXPECT_STREQ(m.value_off ? r.route + m.value_off : "<none>", r.value ? r.value : "<none>");
  }
}

TEST(LogRoute, DayAndLineForms) {
  std::string t255(255, 'x'), long_ok = "&log/" + t255 + " HTTP/1.1", long_bad = "&log/x" + t255 + " HTTP/1.1";
  struct Row { const char *route; log_req_kind kind; std::string out; } rows[] = {
      {"&log=261205x HTTP/1.1", LOG_REQ_DAY, "logs/261205.log"},
      {"&log=26120 HTTP/1.1", LOG_REQ_BAD, ""}, {"&log=2612a5 HTTP/1.1", LOG_REQ_BAD, ""},
      {"&log=26", LOG_REQ_BAD, ""},             {"&logs HTTP/1.1", LOG_REQ_BAD, ""},
      {"&log", LOG_REQ_BAD, ""},
      {"&log/door+opened%21 HTTP/1.1", LOG_REQ_LINE, "door opened!"},
      {"&log/ HTTP/1.1", LOG_REQ_LINE, ""},
      {"&log/%25s%25n HTTP/1.1", LOG_REQ_LINE, "%s%n"},
      {"&log/a%0D%0A12:00:00+forged%00%09%7F HTTP/1.1", LOG_REQ_LINE, "a  12:00:00 forged   "},
      {"&log/a\tb HTTP/1.1", LOG_REQ_LINE, "a b"},
      {"&log/%C3%A9 HTTP/1.1", LOG_REQ_LINE, "\xc3\xa9"},
      {"&log/abc", LOG_REQ_BAD, ""},  // the text ends before a blank
      {"&log/abc\r\nHost: x\r\n\r\n", LOG_REQ_BAD, ""},
      {long_ok.c_str(), LOG_REQ_LINE, t255},
      {long_bad.c_str(), LOG_REQ_BAD, ""},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.route);
    char out[LOG_TEXT_SIZE];
    memset(out, '#', sizeof out);
    ASSERT_EQ(log_req_parse(r.route, out), r.kind);
    if (r.kind != LOG_REQ_BAD) {
      EXPECT_EQ(std::string(out), r.out);
    }
  }
}

TEST(UploadRoute, HeaderRules) {
  const std::string head = "POST /&save/a HTTP/1.1\r\n";
  struct Row { std::string msg; bool ok; const char *target = ""; long expected = 0; std::string body = ""; } rows[] = {
      {"POST /&save/notes.txt HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789", true, "mem/notes.txt", 10, "0123456789"},
      {"POST /&save/a/ HTTP/1.1\r\nHost: x\r\nContent-Length:7\r\n\r\n", true, "mem/a", 7, ""},
      {head + std::string("Content-Length: 3\r\n\r\nab\0c", 25), true, "mem/a", 3, std::string("ab\0c", 4)},
      {head + "content-length: 3\r\n\r\nabc", false},
      {head + "Content-Length: 0\r\n\r\n", false},
      {head + "Content-Length: -5\r\n\r\n", false},
      {head + "Content-Length: 99999999999999999999\r\n\r\n", false},
      {head + "Content-Length:\r\n\r\n12", false},  // not read from the body
      {head + "Host: x\r\n\r\nContent-Length: 5", false},
      {head + "Content-Length: 5\r\n", false},  // header not ended
      {"POST /&save/my-file HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", false},
      {"POST /&save/.. HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", false},
      {"GET /&save/a HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", false},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.msg.substr(0, r.msg.find('\r')));
    upload_req req{};
    ASSERT_EQ(upload_req_parse(r.msg.c_str(), r.msg.size(), &req), r.ok);
    if (!r.ok) continue;
    EXPECT_STREQ(req.target, r.target);
    EXPECT_EQ(req.expected, r.expected);
    EXPECT_EQ(r.msg.substr(req.body_off, req.body_len), r.body);
  }
}

}  // namespace
