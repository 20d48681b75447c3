// HTTP through the real binary: the exact bytes of every reply kind, static
// files from "www" (index, redirects, encoded names, kinds by name, every
// traversal attempt refused), the flag routes, "&kill", POST routed like GET,
// and a real HTTP client.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "../common/http_replies.h"
#include "harness.h"

using namespace e2e;

namespace {

std::string binary(size_t n) {  // every byte value, NULs included
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = (char)((i * 7 + 3) & 0xff);
  return s;
}

Options site() {
  Options o;
  o.files = {{"www/index.html", "<html>home</html>"}, {"www/app/index.html", "<html>app</html>"},
             {"www/my dir/index.html", "in my dir"},  {"www/data.json", "{\"a\":1}"},
             {"www/style.css", "body{}"},             {"www/x.css.html", "both"},
             {"www/empty.txt", ""},                   {"www/big.bin", binary(5000)},
             {"www/" + std::string(127, 'a'), "long"}, {"www/.hidden", "hidden"},
             {"secret.txt", "SECRET"}};
  return o;
}

}  // namespace

TEST(HttpStatic, FileKindsNamesAndEveryTraversalAttempt) {
  Gateway g(site());
  std::filesystem::create_directories(g.dir + "/www/odd/index.html");
  const struct { std::string target, reply; } rows[] = {
      {"/", H205 + "<html>home</html>"},
      {"/app", "HTTP/1.1 301 Moved Permanently\r\nLocation:/app/\r\n\r\n"},
      {"/my%20dir", "HTTP/1.1 301 Moved Permanently\r\nLocation:/my dir/\r\n\r\n"},  // the decoded path
      {"/my+dir/", H205 + "in my dir"},
      {"/data.json", H204 + "{\"a\":1}"},  // ".js" anywhere in the name
      {"/style.css", H203 + "body{}"},
      {"/x.css.html", H205 + "both"},      // ".html" is tested first
      {"/empty.txt", H201},
      {"/big.bin", H201 + binary(5000)},
      {"/" + std::string(127, 'a') + "XYZ", H201 + "long"},  // the target is cut after 128 characters
      {"//etc/passwd", H404 + "this will proxy"},
  };
  for (const auto &row : rows) EXPECT_EQ(g.get(row.target), row.reply) << row.target;
  for (const char *t : {"/nope.html", "/odd/", "/index.html?x=1", "/../secret.txt", "/%2e%2e/secret.txt",
                        "/..%2fsecret.txt", "/app/%2e%2e/%2e%2e/secret.txt", "/..\\secret.txt", "/%5c..%5csecret.txt",
                        "/..", "/.hidden", "/%2ehidden", "/%252e%252e/secret.txt"})
    EXPECT_EQ(g.get(t), H404) << t;
}

TEST(HttpRoutes, FlagRoutesPostAndKill) {
  Options o = site();
  o.product = "Modem Seven";
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  const struct { const char *target; std::string reply; } rows[] = {
      {"/&usb?", H200 + "USB:OK\n"},          {"/&ip?", H200 + "USB:OK\n"},
      {"/&version?", H200 + "ORVEL V1.90Modem Seven"},
      {"/&root1", H200 + "Root Mode\n"},      {"/&root0", H200 + "Root Mode Off\n"},
      {"/&debug1", H200 + "Debug ON\n"},      {"/&httpdebug", H200 + "HTTP DEBUG ON\n"},
      {"/&httpdebug0", H200 + "HTTP DEBUG OFF\n"}, {"/&debug0", H200 + "Debug OFF\n"},
      {"/&led=0F", H200 + "LED:OK\n"},        {"/&led=0G", H200 + "LED:ER\n"},
      {"/&usb?x", H404},                      {"/&killme", H404},  // not the word: a static file
  };
  for (const auto &row : rows) EXPECT_EQ(g.get(row.target), row.reply) << row.target;
  std::optional<Bytes> led = g.modem().next_write(2000);  // 02 0f, and nothing for the bad one
  ASSERT_TRUE(led.has_value());
  EXPECT_EQ(hex(*led), "020f");
  EXPECT_FALSE(g.modem().next_write(200).has_value());
  // The console saw the request itself while both debug switches were on.
  EXPECT_NE(g.output().find("GET /&httpdebug0 HTTP/1.1"), std::string::npos) << g.output();
  EXPECT_EQ(g.output().find("GET /&led=0F HTTP/1.1"), std::string::npos) << "debug was off by then";
  // POST is routed like GET.
  for (const char *t : {"/&usb?", "/", "/app", "/nope"})
    EXPECT_EQ(g.request(std::string("POST ") + t + " HTTP/1.1\r\nContent-Length: 9\r\n\r\n&filter0 "), g.get(t)) << t;
  EXPECT_EQ(g.get("/&usb0"), H200 + "USB NULL\n");  // forgets the modem: found again, not removed
  EXPECT_TRUE(g.wait_output("USB Found\n", 5000, 2)) << g.output();
  EXPECT_EQ(g.count_output("USB Removed"), 0u);
  g.modem().unplug();
  ASSERT_TRUE(g.wait_output("USB Removed\n")) << g.output();
  EXPECT_EQ(g.get("/&usb?"), H200 + "USB:NONE\n");
  EXPECT_EQ(g.get("/&led=0F"), H200 + "LED:ER\n");
  EXPECT_EQ(g.get("/&version?"), H200 + "ORVEL V1.90Modem Seven");  // kept while away
  EXPECT_EQ(g.get("/&kill"), H200 + "Stopping Server...bye!\n");
  EXPECT_EQ(g.wait_exit(5000), 0);
}

TEST(HttpCurl, FetchesAPageAndFollowsARedirect) {
  if (system("curl --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl not installed";
  Gateway g(site());
  std::string cmd = "curl -s -L --max-time 5 -w '\\n%{http_code} %{content_type}' 'http://127.0.0.1:" +
                    std::to_string(g.port) + "/app'", out;
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[1024];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  EXPECT_EQ(out, "<html>app</html>\n200 text/html");
}
