// HTTP through the real binary: the exact bytes of every reply kind, static
// files from "www" (index, redirects, encoded names, kinds by name, every
// traversal attempt refused), every flag route, "&kill", POST routed like
// GET, and a real HTTP client (curl) for a page and a radio command.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "../common/http_replies.h"
#include "harness.h"

using namespace e2e;

namespace {

// Bytes 0..n-1 cycling through every value, zero bytes included.
std::string binary(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = (char)((i * 7 + 3) & 0xff);
  return s;
}

Options site() {
  Options o;
  o.files = {{"www/index.html", "<html>home</html>"}, {"www/app/index.html", "<html>app</html>"},
             {"www/my page.html", "spaced"},          {"www/my dir/index.html", "in my dir"},
             {"www/data.json", "{\"a\":1}"},          {"www/style.css", "body{}"},
             {"www/x.css.html", "both"},              {"www/a.js.css", "js first"},
             {"www/empty.txt", ""},                   {"www/block.bin", binary(1024)},
             {"www/big.bin", binary(5000)},           {"www/" + std::string(127, 'a'), "long"},
             {"www/.hidden", "hidden"},               {"www/app/.secret", "secret"},
             {"secret.txt", "SECRET"}};
  return o;
}

// Runs a command line and returns its standard output.
std::string run(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return "<popen failed>";
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

}  // namespace

TEST(HttpStatic, FileKindsNamesAndEveryTraversalAttempt) {
  Gateway g(site());
  std::filesystem::create_directories(g.dir + "/www/empty");
  std::filesystem::create_directories(g.dir + "/www/odd/index.html");
  const struct { std::string target, reply; } rows[] = {
      {"/", H205 + "<html>home</html>"},
      {"/app/", H205 + "<html>app</html>"},
      {"/app", "HTTP/1.1 301 Moved Permanently\r\nLocation:/app/\r\n\r\n"},
      {"/my%20dir", "HTTP/1.1 301 Moved Permanently\r\nLocation:/my dir/\r\n\r\n"},  // the decoded path
      {"/my%20dir/", H205 + "in my dir"},
      {"/my+page.html", H205 + "spaced"},
      {"/data.json", H204 + "{\"a\":1}"},  // ".js" anywhere in the name
      {"/style.css", H203 + "body{}"},
      {"/x.css.html", H205 + "both"},     // ".html" is tested first
      {"/a.js.css", H204 + "js first"},   // then ".js", then ".css"
      {"/empty.txt", H201},
      {"/block.bin", H201 + binary(1024)},
      {"/big.bin", H201 + binary(5000)},
      {"/" + std::string(127, 'a') + "XYZ", H201 + "long"},  // the target is cut after 128 characters
      {"//etc/passwd", H404 + "this will proxy"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.target);
    EXPECT_EQ(g.get(row.target), row.reply);
  }
  for (const char *t : {"/nope.html", "/empty/", "/odd/", "/index.html?x=1", "/app?x", "/../setup.ini",
                        "/../secret.txt", "/%2e%2e/setup.ini", "/%2E%2E/secret.txt", "/%2e%2e%2fsecret.txt",
                        "/..%2fsecret.txt", "/a/../../setup.ini", "/app/../index.html", "/app/%2e%2e/%2e%2e/secret.txt",
                        "/app%2f..%2f..%2fsecret.txt", "/+/../secret.txt", "/..\\secret.txt", "/%5c..%5csecret.txt",
                        "/.", "/..", "/%2e", "/.hidden", "/%2ehidden", "/app/.secret", "/%252e%252e/secret.txt"}) {
    SCOPED_TRACE(t);
    EXPECT_EQ(g.get(t), H404);
  }
}

TEST(HttpStatic, ReadOnlyFileServedAndAStalledClientFreezesNothing) {
  Options o = site();
  o.files.push_back({"www/huge.bin", std::string(16 << 20, 'x')});  // more than the socket buffers hold
  Gateway g(o);
  std::string path = g.dir + "/www/ro.html";
  g.write_file("www/ro.html", "read only");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  // As root the mode alone allows writing; an immutable file refuses every
  // open for writing, to root too, where the file system supports it.
  bool immutable = system(("chattr +i '" + path + "' 2>/dev/null").c_str()) == 0;
  EXPECT_EQ(g.get("/ro.html"), H205 + "read only");
  if (immutable && system(("chattr -i '" + path + "'").c_str()) != 0) ADD_FAILURE() << "chattr -i failed";

  int stalled = g.connect();
  int small = 4096;
  setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(send_all(stalled, "GET /huge.bin HTTP/1.1\r\n\r\n"));
  usleep(100000);  // the transfer has begun and stalls
  auto start = std::chrono::steady_clock::now();
  int c = g.connect();
  send_all(c, "ver");
  EXPECT_EQ(recv_until(c, "MODEM\n", 15000), "ORVEL V1.90\nORVEL RF MODEM\n");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LE(ms, 8000) << "the gateway waited too long on a client that does not read";
  close(c);
  close(stalled);
}

TEST(HttpRoutes, EveryFlagRouteThenKill) {
  Options o = site();
  o.product = "Modem Seven";
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  const struct { const char *target; std::string reply; } rows[] = {
      {"/&usb?", H200 + "USB:OK\n"},          {"/&ip?", H200 + "USB:OK\n"},
      {"/&version?", H200 + "ORVEL V1.90Modem Seven"},
      {"/&root1", H200 + "Root Mode\n"},      {"/&root0", H200 + "Root Mode Off\n"},
      {"/&filter0", H200 + "Filter OFF\n"},   {"/&filter1", H200 + "Filter ON\n"},
      {"/&debug1", H200 + "Debug ON\n"},      {"/&httpdebug", H200 + "HTTP DEBUG ON\n"},
      {"/&httpdebug0", H200 + "HTTP DEBUG OFF\n"}, {"/&debug0", H200 + "Debug OFF\n"},
      {"/&led=0F", H200 + "LED:OK\n"},        {"/&led=0G", H200 + "LED:ER\n"},
      {"/&usb?x", H404},                      {"/&killme", H404},  // not the word: a static file
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.target);
    EXPECT_EQ(g.get(row.target), row.reply);
  }
  std::optional<Bytes> led = g.modem().next_write(2000);  // 02 0f, and nothing for the bad one
  ASSERT_TRUE(led.has_value());
  EXPECT_EQ(hex(*led), "020f");
  EXPECT_FALSE(g.modem().next_write(200).has_value());
  // The console saw the switches and, while both were on, the request itself.
  std::string out = g.output();
  EXPECT_NE(out.find("GET /&httpdebug0 HTTP/1.1"), std::string::npos) << out;
  EXPECT_EQ(out.find("GET /&led=0F HTTP/1.1"), std::string::npos) << "debug was off by then";

  EXPECT_EQ(g.get("/&usb0"), H200 + "USB NULL\n");  // forgets the modem: found again, not removed
  EXPECT_TRUE(g.wait_output("USB Found\n", 5000, 2)) << g.output();
  EXPECT_EQ(g.count_output("USB Removed"), 0u);
  g.modem().unplug();
  ASSERT_TRUE(g.wait_output("USB Removed\n")) << g.output();
  for (const char *t : {"/&usb?", "/&ip?"}) EXPECT_EQ(g.get(t), H200 + "USB:NONE\n") << t;
  EXPECT_EQ(g.get("/&led=0F"), H200 + "LED:ER\n");
  EXPECT_EQ(g.get("/&version?"), H200 + "ORVEL V1.90Modem Seven");  // kept while away
  EXPECT_EQ(g.get("/&kill"), H200 + "Stopping Server...bye!\n");
  EXPECT_EQ(g.wait_exit(5000), 0);
}

TEST(HttpRoutes, PostIsRoutedLikeGet) {
  Gateway g(site());
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  for (const char *t : {"/&usb?", "/", "/app", "/nope", "//x"}) {
    SCOPED_TRACE(t);
    EXPECT_EQ(g.request(std::string("POST ") + t + " HTTP/1.1\r\nContent-Length: 9\r\n\r\n&filter0 "), g.get(t));
  }
  EXPECT_EQ(g.request("POST /@1a2b3000050712- HTTP/1.1\r\nContent-Length: 0\r\n\r\n"),
            H202 + "{\"id\":\"\",\"cmd\":\"OK\",\"data\":\"\",\"rssi\":\"\"}");
  std::optional<Bytes> sent = g.modem().next_write();
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(hex(Bytes(sent->begin(), sent->begin() + 10)), "0001081a2b3000050712");
}

TEST(HttpCurl, FetchesAPageAndARadioReply) {
  if (system("curl --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl not installed";
  Gateway g(site());
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  std::string curl = "curl -s --max-time 5 -w '\\n%{http_code} %{content_type}' 'http://127.0.0.1:" + std::to_string(g.port);
  EXPECT_EQ(run(curl + "/'"), "<html>home</html>\n200 text/html");
  EXPECT_EQ(run(curl + "/app' -L"), "<html>app</html>\n200 text/html");
  // A radio command: curl waits while the device answers through the modem.
  FILE *p = popen((curl + "/@1a2b30?'").c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::optional<Bytes> sent = g.modem().next_write(5000);
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(hex(Bytes(sent->begin(), sent->begin() + 9)), "0001061a2b30000002");
  g.modem().send_report(radio_packet(0x1a2b30, 0x82, {0x81, 0x0c, 0x3e}, 0x50, 1));
  std::string out;
  char buf[1024];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  EXPECT_EQ(out, "{\"id\":\"@1a2b30\",\"cmd\":\"STATUS.ACK\",\"data\":\"50%,RX1DIM,V12\",\"rssi\":\"86%\"}\n"
                 "200 application/json");
}
