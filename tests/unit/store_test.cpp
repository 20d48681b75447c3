// Value store, log viewer and upload: the route parsers by table, and the
// store and upload handlers against real files in a scratch directory, replies
// captured through the soc_send seam (uploads read from a real socket pair).
// The exact reply bytes and the log files are checked end to end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/flags.h"
#include "net/logview.h"
#include "net/memstore.h"
#include "net/socket.h"
#include "net/upload.h"

namespace {

std::string g_sent;   // every byte handed to soc_send
bool g_send_ok = true;

bool capture(uint32_t, const void *data, size_t len) {
  g_sent.append(static_cast<const char *>(data), len);
  return g_send_ok;
}

std::string file_read(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void file_write(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string reply_body(const std::string &reply) {
  size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "<no header>" : reply.substr(end + 4);
}

// Each test runs in its own empty directory holding "mem".
class Store : public ::testing::Test {
 protected:
  std::string old_cwd, dir;
  void SetUp() override {
    old_cwd = std::filesystem::current_path();
    char tmpl[] = "/tmp/orvel-store-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    ASSERT_EQ(chdir(dir.c_str()), 0);
    mkdir("mem", 0755);
    g_sent.clear();
    g_send_ok = true;
    soc_send_hook = capture;
    flags_reset();
  }
  void TearDown() override {
    soc_send_hook = nullptr;
    ASSERT_EQ(chdir(old_cwd.c_str()), 0);
    std::filesystem::remove_all(dir);
  }
};

// ---------------------------------------------------------------- keys

TEST(MemKey, ParseTable) {
  struct Row { const char *text; int len; const char *key; } rows[] = {
      {"color/blue", 5, "color"},
      {"color HTTP/1.1", 5, "color"},
      {"notes.txt ", 9, "notes.txt"},
      {"ABCdef123456789/", 15, "ABCdef123456789"},  // 15: the longest key
      {"ABCdef1234567890/", -1, ""},               // 16
      {"/value", -1, ""},                          // empty
      {" HTTP/1.1", -1, ""},
      {"", -1, ""},
      {"color", -1, ""},  // the text ends inside the key
      {"my-key/", -1, ""},
      {"my_key/", -1, ""},
      {"a\\b/", -1, ""},
      {"ab\r\n", -1, ""},
      {"\xc3\xa9/", -1, ""},
      {"./", -1, ""},
      {"../", -1, ""},
      {". ", -1, ""},
      {"... ", 3, "..."},
      {".hidden/", 7, ".hidden"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.text);
    char key[MEM_KEY_MAX + 1] = "";
    int n = mem_key_parse(r.text, key);
    EXPECT_EQ(n, r.len);
    if (n > 0) {
      EXPECT_STREQ(key, r.key);
    }
  }
}

TEST(MemRoute, ParseTable) {
  struct Row { const char *route; bool ok; char verb; const char *key; const char *value; } rows[] = {
      {"&set/color/blue%20sky HTTP/1.1", true, 's', "color", "blue%20sky HTTP/1.1"},
      {"_set/color/blue HTTP/1.1", true, 's', "color", "blue HTTP/1.1"},
      {"&get/color HTTP/1.1", true, 'g', "color", nullptr},
      {"_get/color/ HTTP/1.1", true, 'g', "color", nullptr},
      {"&get/color/red HTTP/1.1", true, 'g', "color", "red HTTP/1.1"},
      {"&set/path/a/b/c HTTP/1.1", true, 's', "path", "a/b/c HTTP/1.1"},
      {"&SET/k/v HTTP/1.1", true, 's', "k", "v HTTP/1.1"},
      {"&gEt/k HTTP/1.1", true, 'g', "k", nullptr},
      {"&set/k/", true, 's', "k", ""},  // a value cut off by the end of the text
      {"&set/color HTTP/1.1", true, 's', "color", nullptr},
      {"&put/k/v HTTP/1.1", false, 0, "", nullptr},
      {"&sex/k/v HTTP/1.1", false, 0, "", nullptr},
      {"&setk/v HTTP/1.1", false, 0, "", nullptr},
      {"&set", false, 0, "", nullptr},
      {"&se", false, 0, "", nullptr},
      {"&set/./v HTTP/1.1", false, 0, "", nullptr},
      {"&get/.. HTTP/1.1", false, 0, "", nullptr},
      {"&set/a-b/v HTTP/1.1", false, 0, "", nullptr},
      {"&set/0123456789abcdef/v HTTP/1.1", false, 0, "", nullptr},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.route);
    mem_route m{};
    ASSERT_EQ(mem_route_parse(r.route, &m), r.ok);
    if (!r.ok) continue;
    EXPECT_EQ(m.verb, r.verb);
    EXPECT_STREQ(m.key, r.key);
    if (r.value) {
      ASSERT_NE(m.value_off, 0);
      EXPECT_STREQ(r.route + m.value_off, r.value);
    } else {
      EXPECT_EQ(m.value_off, 0);
    }
  }
}

// ---------------------------------------------------------------- memcache

// Each row runs against a store already holding mem/color = "old".
TEST_F(Store, MemcacheTable) {
  struct Row {
    const char *route;
    bool result;
    const char *body;   // reply body; nullptr = nothing sent at all
    const char *file;   // file touched by the row
    const char *content;  // its content afterwards; nullptr = must not exist
  } rows[] = {
      {"&set/color/blue%20sky HTTP/1.1", true, "OK", "mem/color", "blue sky"},
      {"_set/color/a+b HTTP/1.1", true, "OK", "mem/color", "a b"},
      {"&set/path/a/b/c HTTP/1.1", true, "OK", "mem/path", "a/b/c"},
      {"&get/color/red HTTP/1.1", true, "OK", "mem/color", "red"},
      {"_get/color/ HTTP/1.1", true, "old", "mem/color", "old"},
      {"&set/color HTTP/1.1", false, nullptr, "mem/color", "old"},
      {"&set/color/ HTTP/1.1", false, nullptr, "mem/color", "old"},
      {"&get/nothere HTTP/1.1", false, nullptr, "mem/nothere", nullptr},
      {"&set/k/%00 HTTP/1.1", false, nullptr, "mem/k", ""},
      {"&set/k/ab%00cd HTTP/1.1", true, "OK", "mem/k", "ab"},
      {"&set/k/v\r\nHost: x\r\n\r\n", true, "OK", "mem/k", "v"},  // no protocol version
      {"&set/../v HTTP/1.1", false, nullptr, "mem/..", nullptr},
      {"&get/.. HTTP/1.1", false, nullptr, "mem/..", nullptr},
      {"&get/../x HTTP/1.1", false, nullptr, "mem/..", nullptr},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.route);
    file_write("mem/color", "old");
    g_sent.clear();
    char buf[256];
    snprintf(buf, sizeof buf, "%s", r.route);
    EXPECT_EQ(memcache(9, buf), r.result);
    if (r.body) {
      EXPECT_EQ(g_sent.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << g_sent;
      EXPECT_EQ(reply_body(g_sent), r.body);
    } else {
      EXPECT_EQ(g_sent, "");
    }
    if (r.content) {
      EXPECT_EQ(file_read(r.file), r.content);
    } else if (strcmp(r.file, "mem/..") != 0) {
      EXPECT_FALSE(file_exists(r.file));
    }
    remove("mem/k");
  }
}

TEST_F(Store, GetStreamsBinaryFileWhole) {
  std::string data;
  for (int i = 0; i < 2500; i++) data += char(i * 7);  // NULs included, 3 blocks
  file_write("mem/blob", data);
  char route[] = "&get/blob HTTP/1.1";
  EXPECT_TRUE(memcache(3, route));
  EXPECT_EQ(reply_body(g_sent), data);
}

TEST_F(Store, GetRefusesDirectoryAndSendFailure) {
  mkdir("mem/sub", 0755);
  char dir_route[] = "&get/sub HTTP/1.1";
  EXPECT_FALSE(memcache(3, dir_route));  // must not hang or send a header
  EXPECT_EQ(g_sent, "");

  file_write("mem/v", "value");
  g_send_ok = false;
  EXPECT_FALSE(mem_file_get("mem/v", 3));
}

// ---------------------------------------------------------------- log viewer

TEST(LogRoute, ParseTable) {
  std::string t255(255, 'x'), t256(256, 'x');
  std::string long_ok = "&log/" + t255 + " HTTP/1.1";
  std::string long_bad = "&log/" + t256 + " HTTP/1.1";
  struct Row { const char *route; log_req_kind kind; std::string out; } rows[] = {
      {"&log=261205 HTTP/1.1", LOG_REQ_DAY, "logs/261205.log"},
      {"&log=261205x HTTP/1.1", LOG_REQ_DAY, "logs/261205.log"},
      {"&log=26120 HTTP/1.1", LOG_REQ_BAD, ""},
      {"&log=2612a5 HTTP/1.1", LOG_REQ_BAD, ""},
      {"&log=26", LOG_REQ_BAD, ""},
      {"&log= HTTP/1.1", LOG_REQ_BAD, ""},
      {"&logs HTTP/1.1", LOG_REQ_BAD, ""},
      {"&log HTTP/1.1", LOG_REQ_BAD, ""},
      {"&log", LOG_REQ_BAD, ""},
      {"&lo", LOG_REQ_BAD, ""},
      {"&log/door+opened%21 HTTP/1.1", LOG_REQ_LINE, "door opened!"},
      {"&log/ HTTP/1.1", LOG_REQ_LINE, ""},
      {"&log/100%25 HTTP/1.1", LOG_REQ_LINE, "100%"},
      {"&log/%25s%25n HTTP/1.1", LOG_REQ_LINE, "%s%n"},
      {"&log/a%0Ab%0Dc HTTP/1.1", LOG_REQ_LINE, "a b c"},
      {"&log/a%0D%0A12:00:00+forged HTTP/1.1", LOG_REQ_LINE, "a  12:00:00 forged"},
      {"&log/a%00b HTTP/1.1", LOG_REQ_LINE, "a b"},
      {"&log/%09t%7F%1B HTTP/1.1", LOG_REQ_LINE, " t  "},
      {"&log/a\tb HTTP/1.1", LOG_REQ_LINE, "a b"},
      {"&log/%C3%A9 HTTP/1.1", LOG_REQ_LINE, "\xc3\xa9"},
      {"&log/abc", LOG_REQ_BAD, ""},                 // the text ends before a blank
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

// ---------------------------------------------------------------- upload

TEST(UploadRoute, ParseTable) {
  struct Row { std::string msg; bool ok; const char *target; long expected; std::string body; } rows[] = {
      {"POST /&save/notes.txt HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789", true,
       "mem/notes.txt", 10, "0123456789"},
      {"POST /&save/a/ HTTP/1.1\r\nHost: x\r\nContent-Length:7\r\n\r\n", true, "mem/a", 7, ""},
      {std::string("POST /&save/a HTTP/1.1\r\nContent-Length: 3\r\n\r\nab\0c", 49), true, "mem/a",
       3, std::string("ab\0c", 4)},  // body bytes past a NUL still count
      {"POST /&save/a HTTP/1.1\r\ncontent-length: 3\r\n\r\nabc", false, "", 0, ""},
      {"POST /&save/a HTTP/1.1\r\nContent-Length: 0\r\n\r\n", false, "", 0, ""},
      {"POST /&save/a HTTP/1.1\r\nContent-Length: -5\r\n\r\n", false, "", 0, ""},
      {"POST /&save/a HTTP/1.1\r\nContent-Length: x\r\n\r\n", false, "", 0, ""},
      {"POST /&save/a HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", false, "", 0, ""},
      {"POST /&save/a HTTP/1.1\r\nContent-Length:\r\n\r\n12", false, "", 0, ""},  // not from the body
      {"POST /&save/a HTTP/1.1\r\nHost: x\r\n\r\nContent-Length: 5", false, "", 0, ""},
      {"POST /&save/a HTTP/1.1\r\nContent-Length: 5\r\n", false, "", 0, ""},  // header not ended
      {"POST /&save/my-file HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", false, "", 0, ""},
      {"POST /&save/ABCdef1234567890 HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", false, "", 0, ""},
      {"POST /&save/ABCdef123456789 HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", true,
       "mem/ABCdef123456789", 1, "x"},
      {"POST /&save/ HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", false, "", 0, ""},
      {"POST /&save/.. HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", false, "", 0, ""},
      {"POST /&save/a", false, "", 0, ""},
      {"GET /&save/a HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", false, "", 0, ""},
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

// Runs POST_save on one end of a socket pair; `more` is written to the other
// end in the given parts (a pause before each) and the writer then closes or
// keeps its end open.
struct UploadRun { int result; std::string reply; };

UploadRun upload_run(const std::string &first, std::vector<std::string> more, bool close_after,
                     int pause_ms = 0) {
  int sv[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::thread writer([&] {
    for (const std::string &part : more) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
      EXPECT_EQ(write(sv[1], part.data(), part.size()), ssize_t(part.size()));
    }
    if (close_after) shutdown(sv[1], SHUT_WR);
  });
  static char buf[RX_BUF];
  memset(buf, 0, sizeof buf);
  memcpy(buf, first.data(), first.size());
  g_nbytes = ssize_t(first.size());
  g_sent.clear();
  int result = POST_save(uint32_t(sv[0]), buf);
  writer.join();
  close(sv[0]);
  close(sv[1]);
  return {result, g_sent};
}

TEST_F(Store, UploadTable) {
  std::string big;
  for (int i = 0; i < 10000; i++) big += char(i * 31 + 7);
  std::string head = "POST /&save/notes.txt HTTP/1.1\r\nContent-Length: ";
  struct Row {
    const char *name;
    std::string first;
    std::vector<std::string> more;
    bool close_after;
    int result;
    std::string stored;  // content of mem/notes.txt afterwards
  } rows[] = {
      {"body with header", head + "10\r\n\r\n0123456789", {}, false, 1, "0123456789"},
      {"body in parts", head + "10000\r\n\r\n" + big.substr(0, 1000),
       {big.substr(1000, 5000), big.substr(6000)}, false, 1, big},
      {"body after header", head + "4\r\n\r\n", {"ab", "cd"}, false, 1, "abcd"},
      {"longer read kept whole", head + "2\r\n\r\n", {"abcdef"}, false, 1, "abcdef"},
      {"client closes early", head + "10\r\n\r\n01234", {"567"}, true, 0, "old"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    file_write("mem/notes.txt", "old");
    UploadRun run = upload_run(r.first, r.more, r.close_after, 50);
    EXPECT_EQ(run.result, r.result);
    if (r.result) {
      EXPECT_EQ(run.reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << run.reply;
      EXPECT_EQ(reply_body(run.reply), "");
    } else {
      EXPECT_EQ(run.reply, "");
    }
    EXPECT_EQ(file_read("mem/notes.txt"), r.stored);
    EXPECT_FALSE(file_exists(UPLOAD_TMP));
  }
}

TEST_F(Store, UploadToMissingDirectoryKeepsNothing) {
  std::filesystem::remove_all("mem");
  UploadRun run = upload_run("POST /&save/x HTTP/1.1\r\nContent-Length: 1\r\n\r\nz", {}, false);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.reply, "");
  EXPECT_FALSE(file_exists(UPLOAD_TMP));
}

}  // namespace
