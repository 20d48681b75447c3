// The value store, the log viewer and the upload through the real binary:
// exact reply bytes, the files left behind, and the upload's idle time-out.
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "../common/http_replies.h"
#include "harness.h"

using namespace e2e;

namespace {

Options no_modem(const std::string &settings = "") {
  Options o;
  o.settings = settings;
  o.modem = false;
  return o;
}

std::string upload_head(const std::string &name, size_t len) {
  return "POST /&save/" + name + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + std::to_string(len) + "\r\n\r\n";
}

}  // namespace

// Rows run in order: later gets read what earlier sets stored. The log is off.
TEST(StoreE2E, SetGetAndRefusedForms) {
  Gateway g(no_modem());
  static const std::string LONG(5003, 'v'), LONG_SET = "/&set/long/" + LONG;  // past one receive: stored whole
  const struct { const char *target; std::string reply; const char *file, *content; } rows[] = {  // nullptr: no file
      {"/&set/color/blue%20sky", H200 + "OK", "mem/color", "blue sky"},
      {"/&get/color/", HVAL + "blue sky", "mem/color", "blue sky"},
      {"/_set/path/a/b/c", H200 + "OK", "mem/path", "a/b/c"},
      {"/_get/path", HVAL + "a/b/c", "mem/path", "a/b/c"},
      {"/&get/color/red", H200 + "OK", "mem/color", "red"},  // a get that carries a value sets it
      {"/&set/ABCdef123456789/v", H200 + "OK", "mem/ABCdef123456789", "v"},
      {"/&set/color/", H404, "mem/color", "red"},
      {"/&set/ABCdef1234567890/v", H404, "mem/ABCdef1234567890", nullptr},
      {"/&set/my-key/v", H404, "mem/my-key", nullptr},
      {"/&get/nothere", H404, "mem/nothere", nullptr},
      {"/&get/..", H404, "mem/color", "red"},  // a directory: must not hang the gateway
      {"/&log/x", H200 + "OK", "mem/color", "red"},
      {LONG_SET.c_str(), H200 + "OK", "mem/long", LONG.c_str()},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.target);
    EXPECT_EQ(g.get(r.target, 3000), r.reply);
    EXPECT_EQ(g.read_file(r.file), r.content ? r.content : "");
    EXPECT_EQ(g.file_exists(r.file), r.content != nullptr);
  }
  EXPECT_FALSE(g.file_exists(log_today())) << "the log is off: nothing written";
}

TEST(LogE2E, LinesDayFileAndRefusedForms) {
  Gateway g(no_modem("DEBUG=1\n"));
  ASSERT_TRUE(g.wait_output("Crons loaded: 0\n"));
  std::string before = g.read_file(log_today());  // the start-up lines
  for (const char *w : {"/&log/door+opened%21", "/&log/100%25s", "/&log/a%0D%0A12:00:00+forged"})
    EXPECT_EQ(g.get(w), H200 + "OK") << w;
  std::string added = g.read_file(log_today()).substr(before.size());
  ASSERT_EQ(added.size(), 3 * 9 + 13 + 6 + 19) << added;  // exactly one line per request
  EXPECT_EQ(added.substr(2, 1) + added.substr(8, 14), ": door opened!\n");
  EXPECT_NE(added.find(" 100%s\n"), std::string::npos) << added;
  EXPECT_NE(added.find(" a  12:00:00 forged\n"), std::string::npos) << added;
  std::string day = g.read_file(log_today());
  EXPECT_EQ(g.get("/&log=" + log_today().substr(5, 6) + "xyz"), H201 + day);
  for (const char *raw : {"GET /&log=2612a5 HTTP/1.1\r\n\r\n", "GET /&log=999999 HTTP/1.1\r\n\r\n",
                          "GET /&logs HTTP/1.1\r\n\r\n", "GET /&log/no-protocol-version\r\n\r\n"})
    EXPECT_EQ(g.request(raw, 3000), H404) << raw;
  EXPECT_EQ(g.read_file(log_today()), day);  // the refused forms wrote nothing
}

TEST(UploadE2E, WholeOrInPartsAndRefusedFormsAnswerNothing) {
  Gateway g(no_modem("MAXUPLOAD=400000\n"));
  g.write_file("mem/notes.txt", "old");
  EXPECT_EQ(g.request(upload_head("notes.txt", 10) + "0123456789", 3000), H200);
  EXPECT_EQ(g.read_file("mem/notes.txt"), "0123456789");
  std::string body;
  for (int i = 0; i < 300000; i++) body += char((i * 131) ^ (i >> 9));  // NULs included
  int s = g.connect();
  ASSERT_TRUE(send_all(s, upload_head("blob.bin", body.size()) + body.substr(0, 1000)));
  // A second upload runs and completes meanwhile, each in its own file.
  EXPECT_EQ(g.request(upload_head("b.txt", 3) + "abc", 3000), H200);
  EXPECT_EQ(g.read_file("mem/b.txt"), "abc");
  ASSERT_TRUE(send_all(s, body.substr(1000)));
  EXPECT_EQ(recv_until_close(s, 5000), H200);
  close(s);
  EXPECT_TRUE(g.get("/&get/blob.bin") == HVAL + body) << "read back differs";
  const struct { const char *name; std::string raw; } refused[] = {
      {"lower-case length", "POST /&save/notes.txt HTTP/1.1\r\ncontent-length: 3\r\n\r\nabc"},
      {"bad character", upload_head("my-file", 3) + "abc"},
      {"client closes early", upload_head("notes.txt", 10) + "01234"},
  };
  for (const auto &r : refused) {
    int c = g.connect();
    send_all(c, r.raw);
    shutdown(c, SHUT_WR);
    EXPECT_EQ(recv_until_close(c, 3000), "") << r.name;
    close(c);
  }
  // A size that cannot be taken is said before the close.
  EXPECT_EQ(g.request(upload_head("notes.txt", 400001) + "x", 3000), "HTTP/1.1 413 Content Too Large\r\n" + REPLY_TAIL);
  EXPECT_EQ(g.read_file("mem/notes.txt"), "0123456789");
  EXPECT_FALSE(g.file_exists("mem/my-file"));
  for (const auto &e : std::filesystem::directory_iterator(g.dir + "/mem"))
    EXPECT_NE(e.path().filename().string()[0], '~') << "temporary upload file left";
}

// Values and uploads share MEMQUOTA; what a killed gateway left half written
// is removed at the start.
TEST(StoreE2E, QuotaSharedByValuesAndUploadsAndLeftoversRemoved) {
  Options o = no_modem("MEMQUOTA=1000\n");
  o.files = {{"mem/~up7", std::string(5000, 'x')}, {"mem/v~", "half"}, {"mem/keep", std::string(600, 'k')}};
  Gateway g(o);
  EXPECT_TRUE(g.wait_output("mem: 2 unfinished temporary file(s) removed"));
  EXPECT_FALSE(g.file_exists("mem/~up7") || g.file_exists("mem/v~"));
  const std::string H507 = "HTTP/1.1 507 Insufficient Storage\r\n" + REPLY_TAIL;
  EXPECT_EQ(g.get("/&set/a/" + std::string(300, 'a')), H200 + "OK");  // 900 of 1000
  EXPECT_EQ(g.get("/&set/b/" + std::string(150, 'b')), H507);
  EXPECT_EQ(g.request(upload_head("c", 200) + std::string(200, 'c'), 3000), H507);
  EXPECT_EQ(g.get("/&set/keep/k"), H200 + "OK");  // a shorter value always fits: 301 now
  EXPECT_EQ(g.request(upload_head("c", 600) + std::string(600, 'c'), 3000), H200);
  EXPECT_EQ(g.get("/&set/a/" + std::string(400, 'a')), H507);  // 300 to 400 passes 1000
  EXPECT_FALSE(g.file_exists("mem/b"));
}

TEST(UploadE2E, StalledUploadTimesOutAndKeepsTheOldFile) {
  Gateway g(no_modem());
  g.write_file("mem/notes.txt", "old");
  int s = g.connect();
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(send_all(s, upload_head("notes.txt", 100) + "partial"));
  EXPECT_EQ(recv_until_close(s, 10000), "");
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(s);
  EXPECT_TRUE(waited >= 5.5 && waited <= 8.5) << waited;
  EXPECT_TRUE(g.wait_output("\nPOST TIMEOUT!", 1000));
  EXPECT_EQ(g.get("/&get/notes.txt"), HVAL + "old");
}
