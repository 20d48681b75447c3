// The HTTP router's route order and the static file name rules. Requests go
// through HTTP_req (and soc_got_msg for the method dispatch) in a scratch
// directory with no modem; the bytes each would send are captured through
// the soc_send seam. The www directory holds a file named after most route
// texts, so a route that wrongly fell through to the static files would
// serve that file instead of its own answer.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/flags.h"
#include "devices/device_list.h"
#include "net/dispatch.h"
#include "net/listeners.h"
#include "net/router.h"
#include "net/socket.h"
#include "net/static_files.h"
#include "net/waits.h"
#include "radio/transmit.h"
#include "sched/cron.h"

namespace fs = std::filesystem;

namespace {

const std::string TAIL = "Server: ORVEL\r\nConnection: close\r\n\r\n";
const std::string H200 = "HTTP/1.1 200 OK\r\nCache-Control: no-cache no-store\r\nAccess-Control-Allow-Origin: *\r\n"
                         "Expires: -1\r\n" + TAIL;
const std::string H201 = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: max-age=3600\r\n" + TAIL;
const std::string H202 = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-type: application/json\r\n"
                         "Cache-Control: no-cache no-store\r\nExpires: -1\r\n" + TAIL;
const std::string H205 = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-type: text/html\r\n" + TAIL;
const std::string H404 = "HTTP/1.1 404 Not Found\r\n" + TAIL;

std::map<uint32_t, std::string> g_sent;

bool capture(uint32_t sock, const void *data, size_t len) {
  g_sent[sock].append(static_cast<const char *>(data), len);
  return true;
}

std::string error_object(const std::string &data) {
  return "{\"id\":\"\",\"cmd\":\"ERROR\",\"data\":\"" + data + "\",\"rssi\":\"\"}";
}

// Each test runs in its own directory holding "mem", "logs" and "www".
class Router : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/orvel-router-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    old_cwd_ = fs::current_path();
    fs::current_path(dir_);
    fs::create_directories("mem");
    fs::create_directories("logs");
    fs::create_directories("www/app");
    write("www/index.html", "<h1>home</h1>");
    write("www/page.html", "page");
    // Files named like route texts: served only if a route falls through.
    for (const char *name : {"&listenABC", "&logout", "&cronzz", "&devices", "&usb?", "&root1", "&kill",
                             "_set", "&page.txt", "&usb?x", "&root1x", "&killx"})
      write(std::string("www/") + name, std::string("file ") + name);
    flags_reset();
    http_con_reset();
    listen_reset();
    device_list_reset();
    cron_reset();
    transmit_reset();
    g_sent.clear();
    soc_send_hook = capture;
  }
  void TearDown() override {
    soc_send_hook = nullptr;
    http_con_reset();
    fs::current_path(old_cwd_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static void write(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary) << data;
  }
  // Routes one request on connection `sock`; returns the verdict.
  static bool route(const std::string &request, uint32_t sock = 7) {
    std::vector<char> buf(request.begin(), request.end());
    buf.push_back(0);
    return HTTP_req(sock, buf.data());
  }
  std::string dir_;
  fs::path old_cwd_;
};

struct RouteRow {
  const char *target;   // the request is "GET <target> HTTP/1.1\r\nHost: x\r\n\r\n"
  std::string reply;    // every byte written, in order
  bool verdict;
};

TEST_F(Router, EachTargetTakesItsRouteInOrder) {
  const RouteRow rows[] = {
      {"/@123456?", H202 + error_object("USB MODEM NOT CONNECTED"), false},  // 1: radio, no modem
      {"/@zz", H202 + error_object("USB MODEM NOT CONNECTED"), false},       // no modem: text not read
      {"//@123456?", H404 + "this will proxy", false},                        // 2 before the rest
      {"//x", H404 + "this will proxy", false},
      {"/_set/k1/v1", H200 + "OK", false},                                    // 3: store
      {"/_get/k1", H200 + "v1", false},
      {"/_get/none", H404, false},                                            // store declines: 404
      {"/_set", H201 + "file _set", false},                                   // 4: not "_set/": static
      {"/page.html", H205 + "page", false},
      {"/", H205 + "<h1>home</h1>", false},
      {"/&listenABC", H202, true},                                            // 5: comet, prefix
      {"/&set/k2/v2", H200 + "OK", false},                                    // 6
      {"/&get/k2", H200 + "v2", false},
      {"/&devices", H202 + "[]", false},                                      // 7: list
      {"/&device/x", H200 + "ERROR", false},                                  // 7: edit, refused
      {"/&log/hello", H200 + "OK", false},                                    // 8
      {"/&logout", H404, false},                                              // 8: declined, not static
      {"/&cron", H202 + "[]", false},                                         // 9
      {"/&cronzz", H200 + "ERROR", false},                                    // 9: declined
      {"/&version?", H200 + "ORVEL V1.90", false},                            // 11: no modem string
      {"/&usb?", H200 + "USB:NONE\n", false},                                 // 12
      {"/&usb?x", H201 + "file &usb?x", false},                               // not the word: static
      {"/&usb0", H200 + "USB NULL\n", false},                                 // 13
      {"/&ip?", H200 + "USB:NONE\n", false},                                  // 14
      {"/&led=0F", H200 + "LED:ER\n", false},                                 // 15: no modem
      {"/&root1", H200 + "Root Mode\n", false},                               // 16
      {"/&root1x", H201 + "file &root1x", false},
      {"/&root0", H200 + "Root Mode Off\n", false},                           // 17
      {"/&debug1", H200 + "Debug ON\n", false},                               // 18
      {"/&debug0", H200 + "Debug OFF\n", false},                              // 19
      {"/&filter0", H200 + "Filter OFF\n", false},                            // 20
      {"/&filter1", H200 + "Filter ON\n", false},                             // 21
      {"/&httpdebug", H200 + "HTTP DEBUG ON\n", false},                       // 22
      {"/&httpdebug0", H200 + "HTTP DEBUG OFF\n", false},
      {"/&httpdebugX", H200 + "HTTP DEBUG ON\n", false},
      {"/&killx", H201 + "file &killx", false},                               // 10 is a word
      {"/&page.txt", H201 + "file &page.txt", false},                         // 23: static
      {"/&nothing", H404, false},
  };
  uint32_t sock = 100;
  for (const RouteRow &row : rows) {
    SCOPED_TRACE(row.target);
    sock++;
    bool verdict = route(std::string("GET ") + row.target + " HTTP/1.1\r\nHost: x\r\n\r\n", sock);
    EXPECT_EQ(g_sent[sock], row.reply);
    EXPECT_EQ(verdict, row.verdict);
  }
}

TEST_F(Router, MalformedRequestLinesCloseWithoutAnswer) {
  const char *rows[] = {"GETX/ HTTP/1.1\r\n", "GET x HTTP/1.1\r\n", "GET", "GET ", "GET  /"};
  uint32_t sock = 10;
  for (const char *req : rows) {
    SCOPED_TRACE(req);
    sock++;
    EXPECT_FALSE(route(req, sock));
    EXPECT_EQ(g_sent.count(sock), 0u);
  }
}

TEST_F(Router, FlagRoutesSetTheirFlags) {
  struct Step {
    const char *target;
    uint8_t root, debug, filter, httpdebug;
  };
  const Step steps[] = {
      {"/&root1", 1, 0, 1, 0},     {"/&debug1", 1, 1, 1, 0},      {"/&filter0", 1, 1, 0, 0},
      {"/&httpdebug", 1, 1, 0, 1}, {"/&httpdebug0", 1, 1, 0, 0},  {"/&root0", 0, 1, 0, 0},
      {"/&debug0", 0, 0, 0, 0},    {"/&filter1", 0, 0, 1, 0},     {"/&root1x", 0, 0, 1, 0},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(s.target);
    route(std::string("GET ") + s.target + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(root, s.root);
    EXPECT_EQ(debug_mode, s.debug);
    EXPECT_EQ(gfilter, s.filter);
    EXPECT_EQ(http_debug, s.httpdebug);
  }
}

TEST_F(Router, LongPollTableFullAnswersAValidJsonError) {
  for (uint32_t s = 1; s <= HTTP_CON_MAX; s++) EXPECT_TRUE(route("GET /&listen HTTP/1.1\r\n\r\n", s));
  EXPECT_FALSE(route("GET /&listen HTTP/1.1\r\n\r\n", 50));
  // The newline of the message is escaped: the body is one valid JSON text.
  EXPECT_EQ(g_sent[50], H202 + error_object("ERROR: Sockets Full\\n"));
  // A connection that already waits is not parked twice.
  http_con_close(3);
  EXPECT_FALSE(comet_add(4));
  EXPECT_TRUE(comet_add(60));
  int held = 0;
  for (const con_rec &e : http_con) held += e.sock == 60;
  EXPECT_EQ(held, 1);
}

TEST_F(Router, MethodDispatchRoutesPostLikeGet) {
  struct Row {
    const char *msg;
    std::string reply;
    bool verdict;
  };
  const Row rows[] = {
      {"POST /&usb? HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", H200 + "USB:NONE\n", false},
      {"GET /&usb? HTTP/1.1\r\n\r\n", H200 + "USB:NONE\n", false},
      {"POST /page.html HTTP/1.1\r\n\r\n", H205 + "page", false},
      {"POST /&listen HTTP/1.1\r\n\r\n", H202, true},
      {"HEAD / HTTP/1.1\r\n\r\n", "ERR\n", true},
      {"PUT / HTTP/1.1\r\n\r\n", "ERR\n", true},
      {"POS /&usb? HTTP/1.1\r\n\r\n", "ERR\n", true},
  };
  uint32_t sock = 200;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.msg);
    sock++;
    std::string m = row.msg;
    EXPECT_EQ(soc_got_msg(sock, m.data()), row.verdict);
    EXPECT_EQ(g_sent[sock], row.reply);
  }
}

TEST_F(Router, ParkedConnectionIgnoresFurtherMessages) {
  std::string req = "GET /&listen HTTP/1.1\r\n";
  ASSERT_TRUE(soc_got_msg(9, req.data()));
  std::string rest = "Host: x\r\n\r\n";
  EXPECT_TRUE(soc_got_msg(9, rest.data()));
  std::string again = "GET /&usb? HTTP/1.1\r\n\r\n";
  EXPECT_TRUE(soc_got_msg(9, again.data()));
  EXPECT_EQ(g_sent[9], H202);  // the header alone: the body is still to come
}

struct NameRow {
  std::string target;
  std::string name;  // empty: refused
};

TEST(StaticFileName, BuildsDecodedNamesAndRefusesDotSegments) {
  const NameRow rows[] = {
      {"/", "www/"},
      {"/index.html HTTP/1.1\r\n", "www/index.html"},
      {"/app", "www/app"},
      {"/app/ HTTP/1.1", "www/app/"},
      {"/my%20page.html HTTP/1.1", "www/my page.html"},
      {"/my+page.html HTTP/1.1", "www/my page.html"},
      {"/page.html?x=1 HTTP/1.1", "www/page.html?x=1"},
      {"/a..b", "www/a..b"},
      {"/a/b./c", "www/a/b./c"},
      {"/%41%62", "www/Ab"},
      {"/%252e%252e/x", "www/%2e%2e/x"},  // decoded once only
      {"/" + std::string(130, 'a'), "www/" + std::string(127, 'a')},  // cut after 128 characters
      {"/../setup.ini", ""},
      {"/%2e%2e/setup.ini", ""},
      {"/%2E%2E/setup.ini", ""},
      {"/a/../../setup.ini", ""},
      {"/app/%2e%2e/%2e%2e/setup.ini", ""},
      {"/app/..%2f..%2fsetup.ini", ""},
      {"/%2e%2e%2fsetup.ini", ""},
      {"/..", ""},
      {"/.", ""},
      {"/.x", ""},
      {"/%2e", ""},
      {"/%2ex", ""},
      {"/app/.hidden", ""},
      {"/app/%2ehidden", ""},
      {"/+/../setup.ini", ""},
      {"/a\\..\\setup.ini", ""},
      {"/a%5c..%5csetup.ini", ""},
      {"x/index.html", ""},
      {"", ""},
  };
  for (const NameRow &row : rows) {
    SCOPED_TRACE(row.target);
    char name[142];
    memset(name, 0x55, sizeof name);
    bool ok = static_file_name(name, row.target.c_str());
    EXPECT_EQ(ok, !row.name.empty());
    if (ok) {
      EXPECT_EQ(std::string(name), row.name);
    }
  }
}

}  // namespace
