// The value store, the log viewer and the upload, through the real binary:
// exact reply bytes, the files left behind, and the upload's idle time-out.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include "harness.h"

using namespace e2e;

namespace {

const std::string HEAD_200 =
    "HTTP/1.1 200 OK\r\nCache-Control: no-cache no-store\r\nAccess-Control-Allow-Origin: *\r\n"
    "Expires: -1\r\nServer: ORVEL\r\nConnection: close\r\n\r\n";
const std::string HEAD_201 =
    "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: max-age=3600\r\n"
    "Server: ORVEL\r\nConnection: close\r\n\r\n";
const std::string REPLY_404 = "HTTP/1.1 404 Not Found\r\nServer: ORVEL\r\nConnection: close\r\n\r\n";

// A gateway without a modem (none of these routes needs one).
Options no_modem(const std::string &settings = "") {
  Options o;
  o.settings = settings;
  o.modem = false;
  return o;
}

// Today's day file name as the gateway forms it (the harness runs it with TZ=UTC).
std::string today_log() {
  time_t now = time(nullptr);
  struct tm t;
  gmtime_r(&now, &t);
  char name[64];
  snprintf(name, sizeof name, "logs/%02d%02d%02d.log", t.tm_year - 100, t.tm_mon + 1, t.tm_mday);
  return name;
}

std::string upload_head(const std::string &name, size_t len) {
  return "POST /&save/" + name + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
         std::to_string(len) + "\r\n\r\n";
}

// Sends `raw` and expects the gateway to close the connection without a byte.
void expect_closed_silently(Gateway &g, const std::string &raw) {
  int s = g.connect();
  ASSERT_GE(s, 0);
  send_all(s, raw);
  EXPECT_EQ(recv_until_close(s, 3000), "");
  EXPECT_TRUE(wait_closed(s, 200));
  close(s);
}

}  // namespace

TEST(StoreE2E, SetGetAndRefusedForms) {
  Gateway g(no_modem());
  g.write_file("mem/color", "old");
  // Rows run in order: later gets read what earlier sets stored.
  struct Row { const char *target; std::string reply; const char *file; const char *content; } rows[] = {
      {"/&set/color/blue%20sky", HEAD_200 + "OK", "mem/color", "blue sky"},
      {"/&get/color", HEAD_200 + "blue sky", "mem/color", "blue sky"},
      {"/&get/color/", HEAD_200 + "blue sky", "mem/color", "blue sky"},
      {"/_set/path/a/b/c", HEAD_200 + "OK", "mem/path", "a/b/c"},
      {"/_get/path", HEAD_200 + "a/b/c", "mem/path", "a/b/c"},
      {"/&get/color/red", HEAD_200 + "OK", "mem/color", "red"},
      {"/&get/color", HEAD_200 + "red", "mem/color", "red"},
      {"/&set/ABCdef123456789/v", HEAD_200 + "OK", "mem/ABCdef123456789", "v"},
      {"/&set/color", REPLY_404, "mem/color", "red"},
      {"/&set/color/", REPLY_404, "mem/color", "red"},
      {"/&set/ABCdef1234567890/v", REPLY_404, "mem/ABCdef1234567890", nullptr},
      {"/&set/my-key/v", REPLY_404, "mem/my-key", nullptr},
      {"/&set/my_key/v", REPLY_404, "mem/my_key", nullptr},
      {"/&get/nothere", REPLY_404, "mem/nothere", nullptr},
      {"/&set/k/%00", REPLY_404, "mem/k", ""},
      {"/&get/..", REPLY_404, nullptr, nullptr},  // a directory: must not hang the gateway
      {"/&get/.", REPLY_404, nullptr, nullptr},
      {"/&set/../x", REPLY_404, nullptr, nullptr},
      {"/&set/./x", REPLY_404, nullptr, nullptr},
      {"/_get/../", REPLY_404, nullptr, nullptr},
      {"/&get/color", HEAD_200 + "red", "mem/color", "red"},  // still serving
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.target);
    EXPECT_EQ(g.get(r.target, 3000), r.reply);
    if (!r.file) continue;
    if (r.content) {
      EXPECT_EQ(g.read_file(r.file), r.content);
    } else {
      EXPECT_FALSE(g.file_exists(r.file));
    }
  }
}

TEST(LogE2E, LinesDayFileAndRefusedForms) {
  Gateway g(no_modem("DEBUG=1\n"));
  ASSERT_TRUE(g.wait_output("Crons loaded: 0\n"));
  std::string before = g.read_file(today_log());  // the start-up lines
  const char *writes[] = {"/&log/door+opened%21", "/&log/100%25s", "/&log/a%0D%0A12:00:00+forged",
                          "/&log/"};
  for (const char *w : writes) {
    SCOPED_TRACE(w);
    EXPECT_EQ(g.get(w), HEAD_200 + "OK");
  }
  std::string added = g.read_file(today_log()).substr(before.size());
  const char *lines[] = {"door opened!", "100%s", "a  12:00:00 forged", ""};
  size_t at = 0;
  for (const char *l : lines) {
    SCOPED_TRACE(l);
    size_t end = added.find('\n', at);
    ASSERT_NE(end, std::string::npos) << added;
    std::string line = added.substr(at, end - at);
    ASSERT_GE(line.size(), 9u) << line;
    EXPECT_EQ(line[2], ':');
    EXPECT_EQ(line.substr(8), std::string(" ") + l);
    at = end + 1;
  }
  EXPECT_EQ(at, added.size()) << added;  // exactly one line per request

  std::string date = today_log().substr(5, 6);
  std::string day = g.read_file(today_log());
  EXPECT_EQ(g.get("/&log=" + date), HEAD_201 + day);
  EXPECT_EQ(g.get("/&log=" + date + "xyz"), HEAD_201 + day);

  struct Row { const char *raw; } refused[] = {
      {"GET /&log=99999 HTTP/1.1\r\n\r\n"},   // five digits
      {"GET /&log=2612a5 HTTP/1.1\r\n\r\n"},
      {"GET /&log=999999 HTTP/1.1\r\n\r\n"},  // no such day file
      {"GET /&logs HTTP/1.1\r\n\r\n"},
      {"GET /&log HTTP/1.1\r\n\r\n"},
      {"GET /&log/no-protocol-version"},      // text without its ending blank
  };
  for (const Row &r : refused) {
    SCOPED_TRACE(r.raw);
    EXPECT_EQ(g.request(r.raw, 3000), REPLY_404);
  }
  EXPECT_EQ(g.read_file(today_log()), day);  // the refused forms wrote nothing
}

TEST(LogE2E, LogOffStillAnswersAndWritesNothing) {
  Gateway g(no_modem());
  EXPECT_EQ(g.get("/&log/x"), HEAD_200 + "OK");
  EXPECT_FALSE(g.file_exists(today_log()));
}

TEST(UploadE2E, WithHeaderAndRefusedForms) {
  Gateway g(no_modem());
  g.write_file("mem/notes.txt", "old");
  EXPECT_EQ(g.request(upload_head("notes.txt", 10) + "0123456789", 3000), HEAD_200);
  EXPECT_EQ(g.read_file("mem/notes.txt"), "0123456789");
  EXPECT_EQ(g.get("/&get/notes.txt"), HEAD_200 + "0123456789");

  struct Row { const char *name; std::string raw; } refused[] = {
      {"lower-case length", "POST /&save/notes.txt HTTP/1.1\r\ncontent-length: 3\r\n\r\nabc"},
      {"zero length", upload_head("notes.txt", 0)},
      {"no blank line", "POST /&save/notes.txt HTTP/1.1\r\nContent-Length: 3\r\nabc"},
      {"bad character", upload_head("my-file", 3) + "abc"},
      {"16 characters", upload_head("ABCdef1234567890", 3) + "abc"},
      {"dot dot", upload_head("..", 3) + "abc"},
  };
  for (const Row &r : refused) {
    SCOPED_TRACE(r.name);
    expect_closed_silently(g, r.raw);
  }
  EXPECT_EQ(g.read_file("mem/notes.txt"), "0123456789");
  EXPECT_FALSE(g.file_exists("mem/my-file"));
  EXPECT_FALSE(g.file_exists("tmp_file"));
}

TEST(UploadE2E, BinaryInPartsWithPausesUnderTheTimeOut) {
  Gateway g(no_modem());
  std::string body;
  for (int i = 0; i < 300000; i++) body += char((i * 131) ^ (i >> 9));  // NULs included
  int s = g.connect();
  ASSERT_GE(s, 0);
  ASSERT_TRUE(send_all(s, upload_head("blob.bin", body.size()) + body.substr(0, 1000)));
  // Two pauses of 3.5 s: each under the six idle seconds, together over them,
  // so the idle count must restart with each part.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  ASSERT_TRUE(send_all(s, body.substr(1000, 150000)));
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  ASSERT_TRUE(send_all(s, body.substr(151000)));
  EXPECT_EQ(recv_until_close(s, 5000), HEAD_200);
  close(s);
  EXPECT_TRUE(g.read_file("mem/blob.bin") == body) << "stored file differs";
  EXPECT_EQ(g.count_output("POST TIMEOUT!"), 0u);
}

TEST(UploadE2E, StalledUploadTimesOutAndKeepsTheOldFile) {
  Gateway g(no_modem());
  g.write_file("mem/notes.txt", "old");
  int s = g.connect();
  ASSERT_GE(s, 0);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(send_all(s, upload_head("notes.txt", 100) + "partial"));
  EXPECT_EQ(recv_until_close(s, 10000), "");
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(s);
  EXPECT_GE(waited, 5.5);
  EXPECT_LE(waited, 8.5);
  EXPECT_TRUE(g.wait_output("\nPOST TIMEOUT!", 1000));
  EXPECT_EQ(g.read_file("mem/notes.txt"), "old");
  EXPECT_FALSE(g.file_exists("tmp_file"));
  EXPECT_EQ(g.get("/&get/notes.txt"), HEAD_200 + "old");  // serving again
}
