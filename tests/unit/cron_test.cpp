// The scheduler: entry parser, file round trip, JSON listing, and the
// runner's state machine driven by a test clock and a fake transmitter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../common/json_check.h"
#include "core/settings.h"
#include "net/socket.h"
#include "radio/transmit.h"
#include "sched/cron.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

std::string g_sent;  // bytes sent
bool capture(uint32_t, const void *data, size_t len) {
  g_sent.append((const char *)data, len);
  return true;
}

// Fake transmitter: records every text, rejects `g_tx_rejected`, and writes
// last_tx as the real one does for a set-level command.
Strings g_tx;
std::string g_tx_rejected;
constexpr uint8_t LEVEL_ACK = 0x87;
uint8_t fake_tx(const char *text) {
  g_tx.push_back(text);
  if (g_tx_rejected == text) return 0;
  unsigned id = std::stoul(std::string(text + 1, 6), nullptr, 16);
  last_tx = con_rec{};
  last_tx.id1 = (uint8_t)(id >> 16), last_tx.id2 = (uint8_t)(id >> 8), last_tx.id3 = (uint8_t)id, last_tx.cmd = LEVEL_ACK;
  return 1;
}

// A reply packet from device `id` (6 hex digits) with command `cmd`.
void reply(const char *id, uint8_t cmd = LEVEL_ACK) {
  unsigned v = std::stoul(id, nullptr, 16);
  uint8_t p[65] = {1, 11, (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v, 0, 3, cmd, 0x81, 0x0c, 0x3e, 0xc4};
  cron_watch(p);
}

std::string file_read(const char *path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

std::string cmds_many(int n) {
  std::string s;
  for (int i = 0; i < n; i++) s += "@0a1b" + std::string(1, "0123456789abcdef"[i % 16]) + "c=" + std::to_string(i);
  return s;
}

// Each test runs in its own directory; the fake transmitter is in place.
class Cron : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = fs::current_path();
    char tmpl[] = "/tmp/cron_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::current_path(dir_);
    fs::create_directory("logs");
    cron_reset(), settings_reset(), transmit_reset();
    syslogs = 1;
    soc_send_hook = capture;
    cron_tx = fake_tx;
    g_sent.clear(), g_tx.clear(), g_tx_rejected.clear();
  }
  void TearDown() override {
    soc_send_hook = nullptr;
    cron_reset(), settings_reset();
    fs::current_path(old_cwd_);
    fs::remove_all(dir_);
  }
  // Scheduler lines of the daily log, time stamps removed; the log is emptied.
  static Strings log_lines() {
    Strings out;
    for (auto &f : fs::directory_iterator("logs")) {
      std::ifstream in(f.path());
      for (std::string l; std::getline(in, l);)
        if (l.size() > 9 && (l.compare(9, 4, "Cron") == 0 || l.compare(9, 7, "Running") == 0)) out.push_back(l.substr(9));
    }
    fs::remove_all("logs"), fs::create_directory("logs");
    return out;
  }
  // A fresh table holding `entries`, CRONRETRY `retry`.
  static void table(const Strings &entries, int8_t retry = 3) {
    cron_reset();
    cron_tx = fake_tx;
    CronRetry = retry;
    for (const auto &e : entries) ASSERT_TRUE(cron_load_str(e.c_str())) << e;
  }
  fs::path old_cwd_, dir_;
};

TEST_F(Cron, ParserTable) {
  const std::string T = "005/SMTWTFS/07:30/";
  Strings twenty;
  for (int i = 0; i < 20; i++) twenty.push_back("@0a1b" + std::string(1, "0123456789abcdef"[i % 16]) + "c=" + std::to_string(i));
  const struct { std::string text; bool ok; int key = 0; uint8_t days = 0; int hour = 0, minute = 0; Strings cmds = {}; } rows[] = {
      {"005/sMTWTFs/07:30/@0a1b2c=100@0a1b2d=0", true, 5, 0x7C, 7, 30, {"@0a1b2c=100", "@0a1b2d=0"}},
      {"099/SMTWTFS/00:00/", true, 99, 0xFE, 0, 0, {}},
      {"005!smtwtfs/22:15/", true, 5, 0x01, 22, 15, {}},           // paused, no day
      {"005/smtwtfs/22:15/@0a1b2c=1", true, 5, 0, 0, 0, {}},       // no day and not paused: slot freed
      {"005-anything at all", true, 5, 0, 0, 0, {}},               // delete
      {"005/MSTWTFS/07:30/", true, 5, 0x3E, 7, 30, {}},            // letters out of place set nothing
      {" 05/SMTWTFS/ 7:30/", true, 5, 0xFE, 7, 30, {}},            // atoi columns
      {T + "@0a1b2c=1234", true, 5, 0xFE, 7, 30, {"@0a1b2c=123"}},
      {T + "@0a1b2c=5,@0a1b2d=7", true, 5, 0xFE, 7, 30, {"@0a1b2c=5", "@0a1b2d=7"}},
      {T + "@0a1b2c=5 @0a1b2d=7", true, 5, 0xFE, 7, 30, {"@0a1b2c=5"}},  // nothing after a blank is read
      {T + "@0a1b2c=7\r\n", true, 5, 0xFE, 7, 30, {"@0a1b2c=7"}},
      {T + "@0a1b2c!@0a1b2d=0", true, 5, 0xFE, 7, 30, {"@0a1b2c!", "@0a1b2d=0"}},  // toggle
      {T + cmds_many(20), true, 5, 0xFE, 7, 30, twenty},
      {T + cmds_many(21), false},
      {"000/SMTWTFS/07:30/", false}, {"100/SMTWTFS/07:30/", false}, {"5/SMTWTFS/07:30/", false},
      {"005/SMTWTFS/07:30", false},  {"005/SMTWTFS/24:00/", false}, {"005/SMTWTFS/23:60/", false},
      {"005", false},                {"-05/SMTWTFS/07:30/", false}, {"99999999999999999999/", false},
      {"005XSMTWTFS/07:30/", false}, {"005/SMTWTFS/07-30/", false}, {T + "@0A1B2C=1", false},
      {T + "@0a1b2c=x", false},      {T + "@0a1b2c=", false},       {T + "@0a1b", false},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    cron_reset();
    for (int k = 1; k < CRON_MAX; k++) {  // every slot holds a sentinel to be kept or replaced
      char s[40];
      snprintf(s, sizeof s, "%03d/SMTWTFS/01:02/@ffffff=9", k);
      ASSERT_TRUE(cron_load_str(s));
    }
    cron_entry before[CRON_MAX];
    memcpy(before, crons, sizeof crons);
    std::vector<char> text(r.text.c_str(), r.text.c_str() + r.text.size() + 1);  // exact size for ASan
    ASSERT_EQ(cron_load_str(text.data()), r.ok);
    for (int k = 1; k < CRON_MAX; k++)
      if (!r.ok || k != r.key) {
        EXPECT_EQ(memcmp(&before[k], &crons[k], sizeof(cron_entry)), 0) << "slot " << k;
      }
    if (!r.ok) continue;
    const cron_entry &e = crons[r.key];
    EXPECT_EQ(e.days, r.days);
    if (!r.days) continue;
    EXPECT_EQ(e.hour, r.hour);
    EXPECT_EQ(e.minute, r.minute);
    Strings got;
    for (int c = 0; c < CRON_CMDS_MAX && e.cmds[c][0]; c++) got.push_back(e.cmds[c]);
    EXPECT_EQ(got, r.cmds);
  }
}

TEST_F(Cron, SaveThenLoadGivesTheSameTable) {
  const Strings lines = {"001/SMTWTFS/00:00/", "005/sMTWTFs/07:30/@0a1b2c=100@0a1b2d=0", "042!sMtWtFs/23:59/@ffffff=7",
                         "099/SmtwtfS/12:05/" + cmds_many(20)};
  std::string expect;
  for (auto &l : lines) expect += l + "\n";
  table(lines);
  ASSERT_TRUE(cron_load_str("050/smtwtfs/10:00/@0a1b2c=1"));  // no day: stays free, not saved
  ASSERT_TRUE(cron_file_save());
  EXPECT_EQ(file_read("cron"), expect);
  cron_entry saved[CRON_MAX];
  memcpy(saved, crons, sizeof crons);
  saved[50] = cron_entry{};
  cron_reset();
  EXPECT_EQ(cron_file_load(), (int)lines.size());
  EXPECT_EQ(memcmp(saved, crons, sizeof crons), 0);

  // Later lines win; a long line's tail pieces are rejected; no final line end needed.
  std::ofstream("cron") << "005/SMTWTFS/07:30/@0a1b2c=1\ngarbage\n005/SMTWTFS/08:45/@0a1b2c=2\n"
                        << "006/SMTWTFS/09:00/" << cmds_many(20) << std::string(1100, '.') << "\n007!SMTWTFS/10:00/";
  cron_reset();
  EXPECT_EQ(cron_file_load(), 4);
  EXPECT_STREQ(crons[5].cmds[0], "@0a1b2c=2");
  EXPECT_STREQ(crons[6].cmds[19], "@0a1b3c=19");
  EXPECT_EQ(crons[7].days, 0xFF);

  fs::create_directory("cron.tmp");  // the temporary file cannot be created
  EXPECT_FALSE(cron_file_save());
  EXPECT_EQ(cron_file_load(), 4) << "a failed save leaves the previous file whole";
}

// Whatever the table holds (here commands without a NUL, quotes, control
// bytes, an impossible time), the listing is valid JSON and stays inside it.
TEST_F(Cron, ListingStaysValidJsonWhateverTheTableHolds) {
  table({"001/SMTWTFS/07:30/" + cmds_many(20), "002!sMtWtFs/07:30/"});
  crons[99].days = 0xFE, crons[99].hour = 255;
  for (auto &c : crons[99].cmds) memset(c, '"', sizeof c), c[0] = '@';
  strcpy(crons[3].cmds[0], "@a\\b\x01");
  crons[3].days = 0x80;
  cron_json(7);
  std::string body = g_sent.substr(g_sent.find("\r\n\r\n") + 4);
  EXPECT_TRUE(json_check::valid(body)) << body;
  EXPECT_NE(body.find(R"({"key":"002","run":0,"days":"sMtWtFs","time":"07:30","cmd":[]})"), std::string::npos) << body;
}

// ---- runner: one tick is cron then cron_run, once per second of a test clock

struct Clock {
  struct tm t{};
  Clock(int wday, int hour, int min, int sec) { t.tm_wday = wday, t.tm_hour = hour, t.tm_min = min, t.tm_sec = sec; }
  // Runs one tick and returns the texts handed to the transmitter in it.
  Strings tick() {
    g_tx.clear();
    cron_at(&t);
    cron_run();
    if (++t.tm_sec < 60) return g_tx;
    t.tm_sec = 0;
    if (++t.tm_min < 60) return g_tx;
    t.tm_min = 0;
    if (++t.tm_hour == 24) t.tm_hour = 0, t.tm_wday = (t.tm_wday + 1) % 7;
    return g_tx;
  }
};

const std::string A = "@0a1b2c=1", B = "@0d0e0f=2", AB = "005/SMTWTFS/07:30/" + A + B;

TEST_F(Cron, UnansweredCommandIsSentCronRetryTimesThenGivenUp) {
  const struct { int8_t setting; int tries; } rows[] = {{1, 1}, {3, 3}, {-56, 200}};  // read as unsigned
  for (auto &r : rows) {
    SCOPED_TRACE("CRONRETRY " + std::to_string(r.setting));
    table({AB}, r.setting);
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

TEST_F(Cron, ReplyTiming) {
  const struct { const char *name, *id; uint8_t cmd; int before_tick; std::vector<Strings> sends; } rows[] = {
      {"reply after the first send", "0a1b2c", LEVEL_ACK, 1, {{A}, {}, {B}, {B}}},
      {"reply when the countdown ends", "0a1b2c", LEVEL_ACK, 3, {{A}, {A}, {A}, {B}}},
      {"other channel of the device", "0a1b21", LEVEL_ACK, 1, {{A}, {A}, {A}, {B}}},
      {"other device", "8a1b2c", LEVEL_ACK, 1, {{A}, {A}, {A}, {B}}},
      {"other command", "0a1b2c", 0x82, 1, {{A}, {A}, {A}, {B}}},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(r.name);
    table({AB});
    Clock c(3, 7, 30, 0);
    for (int k = 0; k < (int)r.sends.size(); k++) {
      if (k == r.before_tick) reply(r.id, r.cmd);
      EXPECT_EQ(c.tick(), r.sends[k]) << "tick " << k;
    }
  }
}

TEST_F(Cron, ReplyAfterGivingUpCompletesNothing) {
  table({AB}, 2);
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

TEST_F(Cron, RejectedCommandIsSkippedInTheSameCall) {
  g_tx_rejected = A;
  table({AB}, 2);
  Clock c(3, 7, 30, 0);
  EXPECT_EQ(c.tick(), (Strings{A, B}));
  EXPECT_EQ(c.tick(), Strings{B}) << "the rejected one is not retried";
  EXPECT_EQ(c.tick(), Strings{});
  EXPECT_EQ(log_lines(), (Strings{"Running Cron: 005", "Cron CMD ER: " + A, "Cron TX: " + B, "Cron TX: " + B,
                                  "Cron NOREPLY: " + B}));
}

TEST_F(Cron, FullQueueDropsTheRest) {
  Strings expect, entries;
  for (int k = 1; k <= 5; k++) {
    std::string text = "00" + std::to_string(k) + "/SMTWTFS/07:30/";
    for (int i = 0; i < 20; i++) {
      char cmd[16];
      snprintf(cmd, sizeof cmd, "@%02x%02x00=%d", k, i, i);
      text += cmd, expect.push_back(cmd);
    }
    entries.push_back(text);
  }
  entries.push_back("006/SMTWTFS/07:30/@0c0c0c=6");
  table(entries);
  Clock c(3, 7, 30, 0);
  ASSERT_TRUE(cron_at(&c.t));
  Strings queued;
  for (auto &q : cron_run_list) queued.push_back(q);
  EXPECT_EQ(queued, expect);
  EXPECT_EQ(log_lines().size(), 6u) << "key 6 still fires, its command finds no room";
}

TEST_F(Cron, QueueEmptiesOnlyWhenNothingIsPending) {
  table({"005/SMTWTFS/07:30/" + A, "006/SMTWTFS/07:31/@0c0c0c=6"});
  Clock d(3, 7, 30, 0);
  EXPECT_EQ(d.tick(), Strings{A});
  reply("0a1b2c");
  EXPECT_EQ(d.tick(), Strings{});  // completed
  EXPECT_FALSE(cron_run());        // nothing pending: the queue is cleared
  for (auto &q : cron_run_list) EXPECT_EQ(q[0], 0);
  while (d.t.tm_min != 31) d.tick();
  EXPECT_EQ(d.tick(), Strings{"@0c0c0c=6"});
  EXPECT_STREQ(cron_run_list[0], "@0c0c0c=6");
}

// Paused and off-day entries, and a start inside the due minute, are covered end to end.
TEST_F(Cron, EachMinuteIsExaminedOnce) {
  table({"005/SMTWTFS/07:30/" + A});
  auto at = [](int wday, int hour, int min) { Clock c(wday, hour, min, 0); return cron_at(&c.t); };
  EXPECT_TRUE(at(3, 7, 29));
  EXPECT_FALSE(at(3, 7, 29));  // same minute again
  EXPECT_EQ(cron_run_list[0][0], 0);
  EXPECT_TRUE(at(3, 7, 31));   // 07:30 had no tick: never examined
  EXPECT_TRUE(at(4, 7, 30));   // next day
  EXPECT_EQ(log_lines(), Strings{"Running Cron: 005"});
}

}  // namespace
