// The scheduler: the entry parser and file round trip by table, and the
// runner's state machine on a test clock with a fake transmitter (the real
// timing is checked end to end).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/settings.h"
#include "radio/awaits.h"
#include "radio/transmit.h"
#include "sched/cron.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// Fake transmitter: records every text, rejects `g_rejected`, and sets
// last_tx as the real one does for a set-level command.
Strings g_tx;
std::string g_rejected;
int g_no_modem = 0;  // sends before the modem is there
int64_t g_now_ms = 0;
int64_t fake_clock() { return g_now_ms; }
uint8_t fake_tx(const char *text) {
  if (g_no_modem > 0) return g_no_modem--, RF_TX_NO_MODEM;
  g_tx.push_back(text);
  if (g_rejected == text) return 0;
  unsigned id = std::stoul(std::string(text + 1, 6), nullptr, 16);
  last_tx = {{(uint8_t)(id >> 16), (uint8_t)(id >> 8), (uint8_t)id}, 0x87};
  return 1;
}

class Cron : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    char tmpl[] = "/tmp/cron_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::current_path(dir_);
    cron_reset(), settings_reset(), transmit_reset();
  }
  void TearDown() override {
    cron_reset(), settings_reset();
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  fs::path old_, dir_;
};

std::string cmds_many(int n) {
  std::string s;
  for (int i = 0; i < n; i++) s += "@0a1b" + std::string(1, "0123456789abcdef"[i % 16]) + "c=" + std::to_string(i);
  return s;
}

TEST_F(Cron, ParserTable) {
  const std::string T = "005/SMTWTFS/07:30/";
  Strings twenty;
  for (int i = 0; i < 20; i++) twenty.push_back("@0a1b" + std::string(1, "0123456789abcdef"[i % 16]) + "c=" + std::to_string(i));
  const struct { std::string text; bool ok; int key = 0; uint8_t days = 0; int hour = 0, minute = 0; Strings cmds = {}; } rows[] = {
      {"005/sMTWTFs/07:30/@0a1b2c=100@0a1b2d=0", true, 5, 0x7C, 7, 30, {"@0a1b2c=100", "@0a1b2d=0"}},
      {"099/SMTWTFS/23:59/", true, 99, 0xFE, 23, 59, {}},
      {"005!smtwtfs/22:15/", true, 5, 0x01, 22, 15, {}},           // paused, no day
      {"005-anything at all", true, 5, 0, 0, 0, {}},               // delete
      {"005/MSTWTFS/07:30/", true, 5, 0x3E, 7, 30, {}},            // letters out of place set nothing
      {T + "@0a1b2c=1234", true, 5, 0xFE, 7, 30, {"@0a1b2c=123"}},
      {T + "@0a1b2c=5 @0a1b2d=7", true, 5, 0xFE, 7, 30, {"@0a1b2c=5"}},  // nothing after a blank is read
      {T + "@0a1b2c!@0a1b2d=0", true, 5, 0xFE, 7, 30, {"@0a1b2c!", "@0a1b2d=0"}},
      {T + cmds_many(20), true, 5, 0xFE, 7, 30, twenty},
      {T + cmds_many(21), false},
      {"000/SMTWTFS/07:30/", false}, {"100/SMTWTFS/07:30/", false}, {"005/SMTWTFS/07:30", false},
      {"005/SMTWTFS/24:00/", false}, {"005/SMTWTFS/23:60/", false}, {"005XSMTWTFS/07:30/", false},
      {"005/SMTWTFS/07-30/", false}, {T + "@0A1B2C=1", false},      {T + "@0a1b2c=x", false},
      {T + "@0a1b", false},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    cron_reset();
    ASSERT_TRUE(cron_load_str("005/SMTWTFS/01:02/@ffffff=9"));
    cron_entry before = crons[5];
    std::vector<char> text(r.text.c_str(), r.text.c_str() + r.text.size() + 1);  // exact size for ASan
    ASSERT_EQ(cron_load_str(text.data()), r.ok);
    if (!r.ok) {
      EXPECT_EQ(memcmp(&before, &crons[5], sizeof before), 0) << "a refused line changes nothing";
      continue;
    }
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


// One tick is cron_at then cron_run, once a second. A row: the CRONRETRY
// setting, when a reply comes (before tick `reply_at`, from `reply_id` with
// `reply_cmd`), and what each tick hands the transmitter.
TEST_F(Cron, RunnerTable) {
  const std::string A = "@0a1b2c=1", B = "@0d0e0f=2";
  const struct {
    const char *name;
    int8_t retry;
    int reply_at;
    const char *reply_id;
    uint8_t reply_cmd;
    std::string rejected;
    std::vector<Strings> ticks;
    int no_modem = 0;
  } rows[] = {
      {"unanswered, CRONRETRY 1", 1, -1, "", 0, "", {{A}, {B}, {}}},
      {"unanswered, CRONRETRY 3", 3, -1, "", 0, "", {{A}, {A}, {A}, {B}, {B}, {B}, {}}},
      {"reply after the first send", 3, 1, "0a1b2c", 0x87, "", {{A}, {}, {B}, {B}}},
      {"reply from the channel-0 id", 3, 1, "0a1b20", 0x87, "", {{A}, {}, {B}, {B}}},
      {"reply of another device", 3, 1, "8a1b2c", 0x87, "", {{A}, {A}, {A}, {B}}},
      {"another command", 3, 1, "0a1b2c", 0x82, "", {{A}, {A}, {A}, {B}}},
      {"rejected command skipped at once", 2, -1, "", 0, A, {{A, B}, {B}, {}}},
      {"a reply to the last try counts", 1, 1, "0a1b2c", 0x87, "", {{A}, {}, {B}, {}}},
      {"no modem yet: no try spent", 2, -1, "", 0, "", {{}, {}, {A}, {A}, {B}, {B}, {}}, 2},
      {"no modem for a minute: given up", 1, -1, "", 0, "", std::vector<Strings>(62), 200},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    cron_reset();
    cron_tx = fake_tx, g_rejected = r.rejected, CronRetry = r.retry, g_no_modem = r.no_modem;
    clock_ms_source = fake_clock;
    ASSERT_TRUE(cron_load_str(("005/SMTWTFS/07:30/" + A + B).c_str()));
    struct tm t{};
    t.tm_wday = 3, t.tm_hour = 7, t.tm_min = 30;
    for (int k = 0; k < (int)r.ticks.size(); k++, t.tm_sec++) {
      if (k == r.reply_at) {
        unsigned v = std::stoul(r.reply_id, nullptr, 16);
        uint8_t p[65] = {1, 9, (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v, 0, 3, r.reply_cmd, 1, 0x50};
        await_packet(p, "");
      }
      g_tx.clear();
      cron_at(&t);
      cron_run();
      g_now_ms += 1000;
      EXPECT_EQ(g_tx, r.ticks[k]) << "tick " << k;
    }
    if (r.no_modem > 100) {  // after a minute A is given up unwritten; B waits in its turn
      EXPECT_EQ(cron_run_list[0][0], CRON_RUN_DONE);
      EXPECT_EQ(cron_run_list[1][0], '@');
    }
  }
  clock_reset();
  // Each minute is examined once, by its date, hour and minute: a clock put
  // forward by exactly an hour is a new minute. Paused and off-day entries
  // are checked end to end.
  struct tm t{};
  t.tm_wday = 3, t.tm_hour = 7, t.tm_min = 30;
  EXPECT_FALSE(cron_at(&t));
  t.tm_hour = 8;
  EXPECT_TRUE(cron_at(&t));
  t.tm_yday = 1;
  EXPECT_TRUE(cron_at(&t));
}

}  // namespace
