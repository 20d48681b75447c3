// The HTTP router's route order and the static file name rules. Requests go
// through HTTP_req in a scratch directory with no modem; the bytes each would
// send are captured through the soc_send seam. The www directory holds a file
// named after most route texts, so a route that wrongly fell through to the
// static files would serve that file instead of its own answer.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../common/http_replies.h"
#include "core/flags.h"
#include "devices/device_list.h"
#include "net/listeners.h"
#include "net/router.h"
#include "net/socket.h"
#include "net/static_files.h"
#include "net/waits.h"
#include "radio/transmit.h"
#include "sched/cron.h"

namespace fs = std::filesystem;

namespace {

std::map<uint32_t, std::string> g_sent;

bool capture(uint32_t sock, const void *data, size_t len) {
  g_sent[sock].append(static_cast<const char *>(data), len);
  return true;
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
    fs::create_directories("www");
    for (const char *name : {"&listenABC", "&logout", "&cronzz", "&devices", "&usb?", "&root1", "&kill", "_set",
                             "&page.txt", "&usb?x", "&root1x", "&killx"})
      std::ofstream(std::string("www/") + name) << "file " << name;
    flags_reset(), http_con_reset(), listen_reset(), device_list_reset(), cron_reset(), transmit_reset();
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
  // Routes one request on connection `sock`; returns the verdict.
  static bool route(const std::string &request, uint32_t sock) {
    std::vector<char> buf(request.begin(), request.end());
    buf.push_back(0);
    return HTTP_req(sock, buf.data());
  }
  std::string dir_;
  fs::path old_cwd_;
};

TEST_F(Router, EachTargetTakesItsRouteInOrder) {
  const struct { std::string request; std::string reply; bool verdict; } rows[] = {
      // radio first: without a modem the text is not even read
      {"/@zz", H202 + error_object("USB MODEM NOT CONNECTED"), false},
      {"//@123456?", H404 + "this will proxy", false}, {"/_set/k1/v1", H200 + "OK", false},
      {"/_get/none", H404, false},                         // the store declines: 404, not a file
      {"/_set", H201 + "file _set", false},                // not "_set/": a static file
      {"/&listenABC", H202, true},                         // a prefix: parked
      {"/&get/k1", H200 + "v1", false},                    {"/&devices", H202 + "[]", false},
      {"/&device/x", H200 + "ERROR", false},               {"/&log/hello", H200 + "OK", false},
      {"/&logout", H404, false},                           // the log route declines: not a file
      {"/&cron", H202 + "[]", false},                      {"/&cronzz", H200 + "ERROR", false},
      {"/&version?", H200 + "ORVEL V1.90", false},         {"/&usb?", H200 + "USB:NONE\n", false},
      {"/&usb?x", H201 + "file &usb?x", false},            // words must match whole
      {"/&usb0", H200 + "USB NULL\n", false},              {"/&ip?", H200 + "USB:NONE\n", false},
      {"/&led=0F", H200 + "LED:ER\n", false},              {"/&root1", H200 + "Root Mode\n", false},
      {"/&root1x", H201 + "file &root1x", false},          {"/&killx", H201 + "file &killx", false},
      {"/&httpdebugX", H200 + "HTTP DEBUG ON\n", false},   // a prefix, unlike the others
      {"/&page.txt", H201 + "file &page.txt", false},      {"/&nothing", H404, false},
      // malformed request lines close without an answer
      {"GETX/ HTTP/1.1\r\n", "", false}, {"GET x HTTP/1.1\r\n", "", false}, {"GET", "", false}, {"GET  /", "", false},
  };
  uint32_t sock = 100;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.request);
    sock++;
    std::string req = row.request[0] == '/' ? "GET " + row.request + " HTTP/1.1\r\nHost: x\r\n\r\n" : row.request;
    EXPECT_EQ(route(req, sock), row.verdict);
    EXPECT_EQ(g_sent[sock], row.reply);
  }
}

// One rule for a second wait: a connection is never parked twice.
TEST_F(Router, ConnectionIsParkedOnce) {
  for (uint32_t s = 1; s <= HTTP_CON_MAX; s++) ASSERT_TRUE(comet_add(s));
  http_con_close(3);
  EXPECT_FALSE(comet_add(4));
  EXPECT_TRUE(comet_add(60));
  int held = 0;
  for (const con_rec &e : http_con) held += (e.sock == 60) + (e.sock == 3);
  EXPECT_EQ(held, 1);
}

TEST(StaticFileName, BuildsDecodedNamesAndRefusesDotSegments) {
  const struct { std::string target, name; } rows[] = {  // empty name: refused
      {"/", "www/"}, {"/index.html HTTP/1.1\r\n", "www/index.html"}, {"/app/ HTTP/1.1", "www/app/"},
      {"/my%20page+x.html HTTP/1.1", "www/my page x.html"}, {"/page.html?x=1 HTTP/1.1", "www/page.html?x=1"},
      {"/a..b/c.", "www/a..b/c."}, {"/%252e%252e/x", "www/%2e%2e/x"},  // decoded once only
      {"/" + std::string(130, 'a'), "www/" + std::string(127, 'a')},    // cut after 128 characters
      // dot segments are refused after decoding (every traversal attempt is tried end to end)
      {"/app/..%2f..%2fsetup.ini", ""}, {"/a/.", ""}, {"/app/%2ehidden", ""}, {"x/index.html", ""},
      {"", ""},
  };
  for (const auto &row : rows) {
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
