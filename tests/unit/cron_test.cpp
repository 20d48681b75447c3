// The scheduler: entry parser, file round trip, JSON listing and HTTP route,
// and the runner's state machine driven by a test clock and a fake transmitter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/settings.h"
#include "net/socket.h"
#include "radio/transmit.h"
#include "sched/cron.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

std::map<uint32_t, std::string> g_sent;  // bytes sent per socket
bool capture(uint32_t sock, const void *data, size_t len) {
  g_sent[sock].append((const char *)data, len);
  return true;
}

// Fake transmitter: records every text, answers from `g_tx_result` (default 1)
// and writes last_tx as the real one does for a set-level command.
Strings g_tx;
std::map<std::string, uint8_t> g_tx_result;
constexpr uint8_t LEVEL_ACK = 0x87;
uint8_t fake_tx(const char *text) {
  g_tx.push_back(text);
  auto r = g_tx_result.find(text);
  uint8_t result = r == g_tx_result.end() ? 1 : r->second;
  if (result) {
    unsigned id = std::stoul(std::string(text + 1, 6), nullptr, 16);
    last_tx = con_rec{};
    last_tx.id1 = (uint8_t)(id >> 16), last_tx.id2 = (uint8_t)(id >> 8), last_tx.id3 = (uint8_t)id;
    last_tx.cmd = LEVEL_ACK;
  }
  return result;
}

// A reply packet from device `id` (6 hex digits) with command `cmd`.
void reply(const char *id, uint8_t cmd = LEVEL_ACK) {
  unsigned v = std::stoul(id, nullptr, 16);
  uint8_t p[65] = {1, 11, (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v, 0, 3, cmd, 0x81, 0x0c, 0x3e, 0xc4};
  cron_watch(p);
}

// An exact-size heap copy, so reading past the NUL trips AddressSanitizer.
std::unique_ptr<char[]> exact(const std::string &s) {
  auto p = std::make_unique<char[]>(s.size() + 1);
  memcpy(p.get(), s.c_str(), s.size() + 1);
  return p;
}

std::string file_read(const char *path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Minimal strict JSON validator (RFC 8259 grammar, no depth limit needed here).
struct Json {
  const char *p;
  void ws() { while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++; }
  bool lit(const char *w) { size_t n = strlen(w); return strncmp(p, w, n) == 0 ? (p += n, true) : false; }
  bool str() {
    if (*p++ != '"') return false;
    for (; *p != '"'; p++) {
      if ((unsigned char)*p < 0x20) return false;
      if (*p == '\\') {
        p++;
        if (*p == 'u') { for (int i = 0; i < 4; i++) if (!isxdigit((unsigned char)*++p)) return false; }
        else if (!strchr("\"\\/bfnrt", *p) || !*p) return false;
      }
    }
    p++;
    return true;
  }
  bool num() {
    const char *s = p;
    if (*p == '-') p++;
    if (!isdigit((unsigned char)*p)) return false;
    if (*p == '0') p++; else while (isdigit((unsigned char)*p)) p++;
    if (*p == '.') { p++; if (!isdigit((unsigned char)*p)) return false; while (isdigit((unsigned char)*p)) p++; }
    return p > s;
  }
  bool list(char close, bool members) {
    p++, ws();
    if (*p == close) return p++, true;
    for (;;) {
      if (members) { if (!str()) return false; ws(); if (*p++ != ':') return false; }
      if (!value()) return false;
      ws();
      if (*p == close) return p++, true;
      if (*p++ != ',') return false;
      ws();
    }
  }
  bool value() {
    ws();
    if (*p == '{') return list('}', true);
    if (*p == '[') return list(']', false);
    if (*p == '"') return str();
    if (lit("true") || lit("false") || lit("null")) return true;
    return num();
  }
  static bool valid(const std::string &s) { Json j{s.c_str()}; if (!j.value()) return false; j.ws(); return !*j.p; }
};

class CronTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = fs::current_path();
    char tmpl[] = "/tmp/cron_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::current_path(dir_);
    fs::create_directory("logs");
    cron_reset();
    settings_reset();
    transmit_reset();
    syslogs = 1;
    soc_send_hook = capture;
    g_sent.clear(), g_tx.clear(), g_tx_result.clear();
  }
  void TearDown() override {
    soc_send_hook = nullptr;
    cron_reset();
    settings_reset();
    fs::current_path(old_cwd_);
    fs::remove_all(dir_);
  }
  // Scheduler lines of the daily log, time stamps removed.
  static Strings log_lines() {
    Strings out;
    for (auto &f : fs::directory_iterator("logs")) {
      std::ifstream in(f.path());
      for (std::string l; std::getline(in, l);)
        if (l.size() > 9 && (l.compare(9, 4, "Cron") == 0 || l.compare(9, 7, "Running") == 0)) out.push_back(l.substr(9));
    }
    return out;
  }
  static std::string body(uint32_t sock) {
    const std::string &s = g_sent[sock];
    size_t at = s.find("\r\n\r\n");
    return at == std::string::npos ? "" : s.substr(at + 4);
  }
  fs::path old_cwd_, dir_;
};

// ---- parser -----------------------------------------------------------------

std::string cmds_many(int n) {
  std::string s;
  for (int i = 0; i < n; i++) s += "@0a1b" + std::string(1, "0123456789abcdef"[i % 16]) + "c=" + std::to_string(i);
  return s;
}

struct ParseRow {
  std::string text;
  bool ok;
  int key = 0;       // accepted rows: the slot to inspect
  uint8_t days = 0;  // 0: the slot must be free
  int hour = 0, minute = 0;
  Strings cmds = {};
};

TEST_F(CronTest, ParserTable) {
  const std::string T = "005/SMTWTFS/07:30/";
  Strings twenty;
  for (int i = 0; i < 20; i++) twenty.push_back("@0a1b" + std::string(1, "0123456789abcdef"[i % 16]) + "c=" + std::to_string(i));
  const ParseRow rows[] = {
      {"005/sMTWTFs/07:30/@0a1b2c=100@0a1b2d=0", true, 5, 0x7C, 7, 30, {"@0a1b2c=100", "@0a1b2d=0"}},
      {"000/SMTWTFS/07:30/", false},
      {"100/SMTWTFS/07:30/", false},
      {"099/SMTWTFS/07:30/", true, 99, 0xFE, 7, 30, {}},
      {"5/SMTWTFS/07:30/", false},
      {"005/", false},
      {"005/SMTWTFS/07:30", false},  // one short of column 17
      {"005/SMTWTFS/24:00/", false},
      {"005/SMTWTFS/23:60/", false},
      {"005/SMTWTFS/00:00/", true, 5, 0xFE, 0, 0, {}},
      {"005-", true, 5, 0},
      {"005-anything at all", true, 5, 0},
      {"5", false},
      {"005", false},
      {"005!smtwtfs/22:15/", true, 5, 0x01, 22, 15, {}},
      {"005!SMTWTFS/07:30/@0a1b2c=1", true, 5, 0xFF, 7, 30, {"@0a1b2c=1"}},
      {"005/smtwtfs/22:15/@0a1b2c=1", true, 5, 0},
      {"005/SxTxTxS/07:30/", true, 5, 0xAA, 7, 30, {}},
      {"005/MSTWTFS/07:30/", true, 5, 0x3E, 7, 30, {}},  // letters out of place set nothing
      {" 05/SMTWTFS/07:30/", true, 5, 0xFE, 7, 30, {}},
      {"-05/SMTWTFS/07:30/", false},
      {"99999999999999999999/", false},
      {"005XSMTWTFS/07:30/", false},
      {"005/SMTWTFS/07-30/", false},
      {"005/SMTWTFS/07:30X", false},
      {"005/SMTWTFSX07:30/", false},
      {"005/SMTWTFS/ 7:30/", true, 5, 0xFE, 7, 30, {}},
      {"005/SMTWTFS/-1:30/", false},
      {T + "@0A1B2C=1", false},
      {T + "@0a1b2c=x", false},
      {T + "@0a1b2c:1", false},
      {T + "@0a1b2c=", false},
      {T + "@0a1b", false},
      {T + "@0a1b2c=1234", true, 5, 0xFE, 7, 30, {"@0a1b2c=123"}},
      {T + "@0a1b2c=12a", true, 5, 0xFE, 7, 30, {"@0a1b2c=12"}},
      {T + "@0a1b2c=5,@0a1b2d=7", true, 5, 0xFE, 7, 30, {"@0a1b2c=5", "@0a1b2d=7"}},
      {T + "@0a1b2c=5 @0a1b2d=7", true, 5, 0xFE, 7, 30, {"@0a1b2c=5"}},
      {T + "@0a1b2c=5 @0A1B2D=7", true, 5, 0xFE, 7, 30, {"@0a1b2c=5"}},  // nothing after the blank is read
      {T + "@0a1b2c=7\r\n", true, 5, 0xFE, 7, 30, {"@0a1b2c=7"}},
      {T + cmds_many(20), true, 5, 0xFE, 7, 30, twenty},
      {T + cmds_many(21), false},
  };
  for (const ParseRow &r : rows) {
    SCOPED_TRACE(r.text);
    cron_reset();
    for (int k = 1; k < CRON_MAX; k++) {  // every slot holds a sentinel to be kept or replaced
      char s[40];
      snprintf(s, sizeof s, "%03d/SMTWTFS/01:02/@ffffff=9", k);
      ASSERT_TRUE(cron_load_str(s));
    }
    cron_entry before[CRON_MAX];
    memcpy(before, crons, sizeof crons);
    auto text = exact(r.text);
    ASSERT_EQ(cron_load_str(text.get()), r.ok);
    if (!r.ok) {
      EXPECT_EQ(memcmp(before, crons, sizeof crons), 0) << "a rejected text changed the table";
      continue;
    }
    const cron_entry &e = crons[r.key];
    EXPECT_EQ(e.days, r.days);
    for (int k = 1; k < CRON_MAX; k++)
      if (k != r.key) {
        EXPECT_EQ(memcmp(&before[k], &crons[k], sizeof(cron_entry)), 0) << "slot " << k;
      }
    if (!r.days) continue;
    EXPECT_EQ(e.hour, r.hour);
    EXPECT_EQ(e.minute, r.minute);
    Strings got;
    for (int c = 0; c < CRON_CMDS_MAX && e.cmds[c][0]; c++) got.push_back(e.cmds[c]);
    EXPECT_EQ(got, r.cmds);
  }
}

TEST_F(CronTest, DayLetters) {
  const struct { uint8_t days; const char *letters; } rows[] = {
      {0x00, "smtwtfs"}, {0xFE, "SMTWTFS"}, {0x7C, "sMTWTFs"}, {0x7D, "sMTWTFs"},
      {0x80, "Smtwtfs"}, {0x02, "smtwtfS"}, {0x28, "smTwTfs"}, {0x01, "smtwtfs"},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(r.letters);
    char buf[8];
    memset(buf, '#', sizeof buf);
    cron_to_days(buf, r.days);
    EXPECT_STREQ(buf, r.letters);
  }
}

// ---- file -------------------------------------------------------------------

TEST_F(CronTest, SaveThenLoadGivesTheSameTable) {
  const Strings lines = {
      "001/SMTWTFS/00:00/",
      "005/sMTWTFs/07:30/@0a1b2c=100@0a1b2d=0",
      "017!smtwtfs/22:15/",
      "042!sMtWtFs/23:59/@ffffff=7",
      "099/SmtwtfS/12:05/" + cmds_many(20),
  };
  std::string expect;
  for (auto &l : lines) {
    ASSERT_TRUE(cron_load_str(l.c_str())) << l;
    expect += l + "\n";
  }
  ASSERT_TRUE(cron_load_str("050/smtwtfs/10:00/@0a1b2c=1"));  // no day: stays free, not saved
  ASSERT_TRUE(cron_file_save());
  EXPECT_EQ(file_read("cron"), expect);

  cron_entry saved[CRON_MAX];
  memcpy(saved, crons, sizeof crons);
  saved[50] = cron_entry{};
  cron_reset();
  EXPECT_EQ(cron_file_load(), (int)lines.size());
  EXPECT_EQ(memcmp(saved, crons, sizeof crons), 0);
}

TEST_F(CronTest, LoadCountsAcceptedLinesAndLaterLinesWin) {
  EXPECT_EQ(cron_file_load(), 0) << "no file";
  std::ofstream("cron") << "005/SMTWTFS/07:30/@0a1b2c=1\n"
                        << "garbage\n"
                        << "005/SMTWTFS/08:45/@0a1b2c=2\n"
                        << "006/SMTWTFS/09:00/" << cmds_many(20) << std::string(1100, '.') << "\n"
                        << "007!SMTWTFS/10:00/";  // no final line end
  EXPECT_EQ(cron_file_load(), 4);  // the long line's tail pieces are rejected
  EXPECT_EQ(crons[5].hour, 8);
  EXPECT_STREQ(crons[5].cmds[0], "@0a1b2c=2");
  EXPECT_STREQ(crons[6].cmds[19], "@0a1b3c=19");
  EXPECT_EQ(crons[7].days, 0xFF);
}

TEST_F(CronTest, FailedSaveLeavesThePreviousFileWhole) {
  ASSERT_TRUE(cron_load_str("005/SMTWTFS/07:30/@0a1b2c=1"));
  ASSERT_TRUE(cron_file_save());
  const std::string old = file_read("cron");
  fs::create_directory("cron.tmp");  // the temporary file cannot be created
  ASSERT_TRUE(cron_load_str("006/SMTWTFS/07:30/@0a1b2c=1"));
  EXPECT_FALSE(cron_file_save());
  EXPECT_EQ(file_read("cron"), old);
}

// ---- HTTP route and listing ---------------------------------------------------

TEST_F(CronTest, ListingBodies) {
  const struct { Strings entries; const char *body; } rows[] = {
      {{}, "[]"},
      {{"005/sMTWTFs/07:30/@0a1b2c=100@0a1b2d=0"},
       R"([{"key":"005","run":1,"days":"sMTWTFs","time":"07:30","cmd":["@0a1b2c=100","@0a1b2d=0"]}])"},
      {{"005!sMTWTFs/07:30/"}, R"([{"key":"005","run":0,"days":"sMTWTFs","time":"07:30","cmd":[]}])"},
      {{"099/SMTWTFS/23:59/@ffffff=1", "001!smtwtfs/00:05/"},
       R"([{"key":"001","run":0,"days":"smtwtfs","time":"00:05","cmd":[]},)"
       R"({"key":"099","run":1,"days":"SMTWTFS","time":"23:59","cmd":["@ffffff=1"]}])"},
  };
  uint32_t sock = 10;
  for (auto &r : rows) {
    SCOPED_TRACE(r.body);
    cron_reset();
    for (auto &e : r.entries) ASSERT_TRUE(cron_load_str(e.c_str()));
    cron_json(++sock);
    EXPECT_NE(g_sent[sock].find("application/json"), std::string::npos);
    EXPECT_EQ(body(sock), r.body);
    EXPECT_TRUE(Json::valid(body(sock)));
  }
}

TEST_F(CronTest, ListingStaysValidJsonWhateverTheTableHolds) {
  ASSERT_TRUE(cron_load_str(("001/SMTWTFS/07:30/" + cmds_many(20)).c_str()));
  cron_entry &e = crons[99];  // last slot: a read past its commands leaves the table
  e.days = 0xFE, e.hour = 255, e.minute = 255;
  for (auto &c : e.cmds) memset(c, '"', sizeof c), c[0] = '@';  // no NUL, quotes everywhere
  strcpy(crons[3].cmds[0], "@a\\b\x01");
  crons[3].days = 0x80;
  cron_json(7);
  SCOPED_TRACE(body(7));
  EXPECT_TRUE(Json::valid(body(7)));
  EXPECT_NE(body(7).find(R"("cmd":["@0a1b0c=0","@0a1b1c=1",)"), std::string::npos);
}

TEST_F(CronTest, HttpRoute) {
  const struct {
    const char *route;
    bool ok;
    const char *body;  // reply body; empty: nothing may be sent
    bool saves;        // the file is rewritten
    uint8_t days5;     // slot 5 afterwards (it starts as 0x7C)
  } rows[] = {
      {"&cron? HTTP/1.1\r\n\r\n", true, "[{", false, 0x7C},
      {"&cron HTTP/1.1\r\n\r\n", true, "[{", false, 0x7C},
      {"&cron/005!SMTWTFS/07:30/@0a1b2c=100 HTTP/1.1\r\nHost: x\r\n\r\n", true, "CRON SAVED", true, 0xFF},
      {"&cronX005- HTTP/1.1\r\n\r\n", true, "CRON SAVED", true, 0},
      {"&cron/007- HTTP/1.1\r\n\r\n", true, "CRON SAVED", true, 0x7C},  // a free key: still saved
      {"&cron/5/SMTWTFS/07:30/ HTTP/1.1\r\n\r\n", false, "", false, 0x7C},
      {"&cron/005/SMTWTFS/07:30/@0A1B2C=1 HTTP/1.1\r\n\r\n", false, "", false, 0x7C},
      {"&cron", false, "", false, 0x7C},
      {"&cron/", false, "", false, 0x7C},
  };
  uint32_t sock = 20;
  for (auto &r : rows) {
    SCOPED_TRACE(r.route);
    cron_reset();
    fs::remove("cron");
    ASSERT_TRUE(cron_load_str("005/sMTWTFs/07:30/@0a1b2c=100"));
    auto route = exact(r.route);
    EXPECT_EQ(cron_http(++sock, route.get()), r.ok);
    if (*r.body) EXPECT_EQ(body(sock).substr(0, strlen(r.body)), r.body);
    else EXPECT_EQ(g_sent.count(sock), 0u);
    EXPECT_EQ(fs::exists("cron"), r.saves);
    EXPECT_EQ(crons[5].days, r.days5);
    if (r.saves) {
      cron_entry now[CRON_MAX];
      memcpy(now, crons, sizeof crons);
      cron_reset();
      cron_file_load();
      for (int k = 1; k < CRON_MAX; k++)
        if (now[k].days) {
          EXPECT_EQ(memcmp(&now[k], &crons[k], sizeof(cron_entry)), 0) << k;
        }
    }
  }
}

// ---- runner -------------------------------------------------------------------

// The main loop's tick: cron then cron_run, once per second of a test clock.
struct Clock {
  struct tm t{};
  Clock(int wday, int hour, int min, int sec) { t.tm_wday = wday, t.tm_hour = hour, t.tm_min = min, t.tm_sec = sec; }
  // Runs one tick and returns the texts handed to the transmitter in it.
  Strings tick() {
    g_tx.clear();
    cron_at(&t);
    cron_run();
    if (++t.tm_sec == 60) {
      t.tm_sec = 0;
      if (++t.tm_min == 60) {
        t.tm_min = 0;
        if (++t.tm_hour == 24) t.tm_hour = 0, t.tm_wday = (t.tm_wday + 1) % 7;
      }
    }
    return g_tx;
  }
};

const std::string A = "@0a1b2c=1", B = "@0d0e0f=2";

class CronRunTest : public CronTest {
 protected:
  void SetUp() override {
    CronTest::SetUp();
    cron_tx = fake_tx;
  }
};

TEST_F(CronRunTest, UnansweredCommandIsSentCronRetryTimesThenGivenUp) {
  const struct { int8_t setting; int tries; } rows[] = {{1, 1}, {2, 2}, {3, 3}, {10, 10}, {-1, 255}, {-56, 200}};
  for (auto &r : rows) {
    SCOPED_TRACE("CRONRETRY " + std::to_string(r.setting));
    cron_reset(), cron_tx = fake_tx;
    fs::remove_all("logs"), fs::create_directory("logs");
    CronRetry = r.setting;
    ASSERT_TRUE(cron_load_str(("005/SMTWTFS/07:30/" + A + B).c_str()));
    Clock c(3, 7, 29, 59);
    EXPECT_EQ(c.tick(), Strings{});
    for (int k = 0; k < r.tries; k++) ASSERT_EQ(c.tick(), Strings{A}) << "try " << k;
    EXPECT_EQ(c.tick(), Strings{B}) << "given up, and the next one sent in the same call";
    Strings expect = {"Running Cron: 005"};
    expect.insert(expect.end(), r.tries, "Cron TX: " + A);
    expect.insert(expect.end(), {"Cron NOREPLY: " + A, "Cron TX: " + B});
    EXPECT_EQ(log_lines(), expect);
  }
}

TEST_F(CronRunTest, ReplyTiming) {
  const struct {
    const char *name, *id;
    uint8_t cmd;
    int before_tick;
    std::vector<Strings> sends;  // per tick from the first send
  } rows[] = {
      {"reply after the first send", "0a1b2c", LEVEL_ACK, 1, {{A}, {}, {B}, {B}, {B}}},
      {"reply after the second send", "0a1b2c", LEVEL_ACK, 2, {{A}, {A}, {}, {B}, {B}}},
      {"reply when the countdown ends", "0a1b2c", LEVEL_ACK, 3, {{A}, {A}, {A}, {B}, {B}}},
      {"other channel of the device", "0a1b21", LEVEL_ACK, 1, {{A}, {A}, {A}, {B}, {B}}},
      {"other device", "1a1b2c", LEVEL_ACK, 1, {{A}, {A}, {A}, {B}, {B}}},
      {"other command", "0a1b2c", 0x82, 1, {{A}, {A}, {A}, {B}, {B}}},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(r.name);
    cron_reset(), cron_tx = fake_tx;
    CronRetry = 3;
    ASSERT_TRUE(cron_load_str(("005/SMTWTFS/07:30/" + A + B).c_str()));
    Clock c(3, 7, 30, 0);
    for (int k = 0; k < (int)r.sends.size(); k++) {
      if (k == r.before_tick) reply(r.id, r.cmd);
      EXPECT_EQ(c.tick(), r.sends[k]) << "tick " << k;
    }
  }
}

TEST_F(CronRunTest, ReplyAfterGivingUpCompletesNothing) {
  CronRetry = 2;
  ASSERT_TRUE(cron_load_str(("005/SMTWTFS/07:30/" + A + B).c_str()));
  Clock c(3, 7, 30, 0);
  EXPECT_EQ(c.tick(), Strings{A});
  EXPECT_EQ(c.tick(), Strings{A});
  EXPECT_EQ(c.tick(), Strings{B});
  reply("0a1b2c");
  EXPECT_EQ(cron_got_reply, 0);
  EXPECT_EQ(c.tick(), Strings{B}) << "B is retried, not completed";
  EXPECT_EQ(c.tick(), Strings{});  // B given up, queue drained
  reply("0d0e0f");
  EXPECT_EQ(cron_got_reply, 0) << "nothing is awaited any more";
}

TEST_F(CronRunTest, RejectedCommandIsSkippedInTheSameCall) {
  g_tx_result[A] = 0;
  CronRetry = 2;
  ASSERT_TRUE(cron_load_str(("005/SMTWTFS/07:30/" + A + B).c_str()));
  Clock c(3, 7, 30, 0);
  EXPECT_EQ(c.tick(), (Strings{A, B}));
  EXPECT_EQ(c.tick(), Strings{B}) << "the rejected one is not retried";
  EXPECT_EQ(c.tick(), Strings{});
  EXPECT_EQ(log_lines(), (Strings{"Running Cron: 005", "Cron CMD ER: " + A, "Cron TX: " + B, "Cron TX: " + B,
                                  "Cron NOREPLY: " + B}));
}

std::string cmd_of(int key, int i) {
  char s[16];
  snprintf(s, sizeof s, "@%02x%02x00=%d", key, i, i);
  return s;
}

TEST_F(CronRunTest, FullQueueDropsTheRest) {
  Strings expect;
  for (int k = 1; k <= 5; k++) {
    std::string text = "00" + std::to_string(k) + "/SMTWTFS/07:30/";
    for (int i = 0; i < 20; i++) text += cmd_of(k, i), expect.push_back(cmd_of(k, i));
    ASSERT_TRUE(cron_load_str(text.c_str()));
  }
  ASSERT_TRUE(cron_load_str("006/SMTWTFS/07:30/@0c0c0c=6"));
  Clock c(3, 7, 30, 0);
  ASSERT_TRUE(cron_at(&c.t));
  Strings queued;
  for (auto &q : cron_run_list) queued.push_back(q);
  EXPECT_EQ(queued, expect);
  EXPECT_EQ(log_lines().size(), 6u) << "key 6 still fires, its command finds no room";
}

TEST_F(CronRunTest, LaterEntriesQueueBehindAndAnEmptyQueueRestartsAtZero) {
  CronRetry = -1;  // 255 tries: B stays queued for the whole test
  ASSERT_TRUE(cron_load_str(("005/SMTWTFS/07:30/" + A + B).c_str()));
  ASSERT_TRUE(cron_load_str("006/SMTWTFS/07:31/@0c0c0c=6"));
  Clock c(3, 7, 29, 58);
  while (c.t.tm_min != 30 || c.t.tm_sec != 1) c.tick();
  reply("0a1b2c");  // A completes and stays in the queue as done
  while (c.t.tm_min != 31 || c.t.tm_sec != 1) c.tick();
  EXPECT_EQ(cron_run_list[0][0], CRON_RUN_DONE);
  EXPECT_STREQ(cron_run_list[1], B.c_str());
  EXPECT_STREQ(cron_run_list[2], "@0c0c0c=6") << "queued behind, a done entry is not free";

  cron_reset(), cron_tx = fake_tx;
  CronRetry = 3;
  ASSERT_TRUE(cron_load_str(("005/SMTWTFS/07:30/" + A).c_str()));
  ASSERT_TRUE(cron_load_str("006/SMTWTFS/07:31/@0c0c0c=6"));
  Clock d(3, 7, 30, 0);
  EXPECT_EQ(d.tick(), Strings{A});
  reply("0a1b2c");
  EXPECT_EQ(d.tick(), Strings{});  // completed
  EXPECT_EQ(cron_run_list[0][0], CRON_RUN_DONE);
  EXPECT_FALSE(cron_run());  // nothing pending: the queue is cleared
  for (auto &q : cron_run_list) EXPECT_EQ(q[0], 0);
  while (d.t.tm_min != 31) d.tick();
  EXPECT_EQ(d.tick(), Strings{"@0c0c0c=6"});
  EXPECT_STREQ(cron_run_list[0], "@0c0c0c=6");
}

TEST_F(CronRunTest, TwoEntriesRunInKeyOrderEveryTwoSecondsWhenAnswered) {
  const std::string X = "@070707=7", Y1 = "@030303=1", Y2 = "@030304=2";
  ASSERT_TRUE(cron_load_str(("007/SMTWTFS/07:30/" + X).c_str()));
  ASSERT_TRUE(cron_load_str(("003/SMTWTFS/07:30/" + Y1 + Y2).c_str()));
  Clock c(3, 7, 30, 0);
  std::vector<Strings> got;
  for (int k = 0; k < 7; k++) {
    got.push_back(c.tick());
    if (!got.back().empty()) reply(got.back()[0].substr(1, 6).c_str());
  }
  EXPECT_EQ(got, (std::vector<Strings>{{Y1}, {}, {Y2}, {}, {X}, {}, {}}));
  EXPECT_EQ(log_lines(), (Strings{"Running Cron: 003", "Running Cron: 007", "Cron TX: " + Y1, "Cron TX: " + Y2,
                                  "Cron TX: " + X}));
}

TEST_F(CronRunTest, WhichEntriesFire) {
  const struct { const char *entry; int wday, hour, min; bool fires; int queued; } rows[] = {
      {"005/SMTWTFS/07:30/@0a1b2c=1", 3, 7, 30, true, 1},
      {"005!SMTWTFS/07:30/@0a1b2c=1", 3, 7, 30, false, 0},
      {"005/sMTWTFs/07:30/@0a1b2c=1", 0, 7, 30, false, 0},
      {"005/sMTWTFs/07:30/@0a1b2c=1", 6, 7, 30, false, 0},
      {"005/sMTWTFs/07:30/@0a1b2c=1", 1, 7, 30, true, 1},
      {"005/SmtwtfS/07:30/@0a1b2c=1@0a1b2d=2", 6, 7, 30, true, 2},
      {"005/SMTWTFS/07:31/@0a1b2c=1", 3, 7, 30, false, 0},
      {"005/SMTWTFS/08:30/@0a1b2c=1", 3, 7, 30, false, 0},
      {"005/SMTWTFS/07:30/", 3, 7, 30, true, 0},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(std::string(r.entry) + " weekday " + std::to_string(r.wday));
    cron_reset();
    fs::remove_all("logs"), fs::create_directory("logs");
    ASSERT_TRUE(cron_load_str(r.entry));
    Clock c(r.wday, r.hour, r.min, 45);
    EXPECT_TRUE(cron_at(&c.t));
    EXPECT_EQ(log_lines(), r.fires ? Strings{"Running Cron: 005"} : Strings{});
    int queued = 0;
    for (auto &q : cron_run_list) queued += q[0] == '@';
    EXPECT_EQ(queued, r.queued);
  }
}

TEST_F(CronRunTest, EachMinuteIsExaminedOnce) {
  ASSERT_TRUE(cron_load_str(("005/SMTWTFS/07:30/" + A).c_str()));
  auto at = [](int wday, int hour, int min) { Clock c(wday, hour, min, 0); return cron_at(&c.t); };
  EXPECT_TRUE(at(3, 7, 30));   // started in the middle of the due minute: fires at once
  EXPECT_FALSE(at(3, 7, 30));  // same minute again
  EXPECT_TRUE(at(3, 7, 31));
  EXPECT_TRUE(at(4, 7, 30));   // next day
  EXPECT_EQ(log_lines(), (Strings{"Running Cron: 005", "Running Cron: 005"}));

  cron_reset();
  ASSERT_TRUE(cron_load_str(("005/SMTWTFS/07:30/" + A).c_str()));
  EXPECT_TRUE(at(3, 7, 29));
  EXPECT_TRUE(at(3, 7, 31));  // 07:30 had no tick: never examined
  EXPECT_EQ(log_lines().size(), 2u);
  EXPECT_EQ(cron_run_list[1][0], 0);
}

TEST_F(CronRunTest, ReplyWatch) {
  const struct { const char *name; uint8_t listen_cmd; const char *id; uint8_t cmd; uint8_t got; } rows[] = {
      {"exact", LEVEL_ACK, "0a1b2c", LEVEL_ACK, 1},
      {"channel nibble differs", LEVEL_ACK, "0a1b22", LEVEL_ACK, 0},
      {"first id byte differs", LEVEL_ACK, "8a1b2c", LEVEL_ACK, 0},
      {"command differs", LEVEL_ACK, "0a1b2c", 0x07, 0},
      {"nothing awaited", 0, "0a1b2c", 0, 0},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(r.name);
    cron_reset();
    cron_listen.id1 = 0x0a, cron_listen.id2 = 0x1b, cron_listen.id3 = 0x2c, cron_listen.cmd = r.listen_cmd;
    reply(r.id, r.cmd);
    EXPECT_EQ(cron_got_reply, r.got);
  }
}

}  // namespace
