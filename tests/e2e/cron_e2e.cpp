// The scheduler through the real binary: entries fire at their minute on a
// faked clock, unanswered commands are sent CRONRETRY times one second apart
// and given up, a device reply completes a command, paused and off-day entries
// stay silent, and entries edited over HTTP survive a restart.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace e2e;

namespace {

using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

constexpr const char *LOG_FILE = "logs/260107.log";  // Wednesday 7 January 2026, TZ=UTC
constexpr uint8_t SET_LEVEL = 0x07;                  // code of a set-level command

Options cron_options(const std::string &start, const std::string &cron, int retry) {
  Options o;
  o.settings = "DEBUG=1\nCRONRETRY=" + std::to_string(retry) + "\n";
  o.faketime = "@2026-01-07 " + start;
  o.files.push_back({"cron", cron});
  return o;
}

// Scheduler lines of the day's log, with their time stamps.
Strings cron_log(Gateway &g) {
  Strings out;
  if (!g.file_exists(LOG_FILE)) return out;
  std::istringstream in(g.read_file(LOG_FILE));
  for (std::string l; std::getline(in, l);)
    if (l.size() > 9 && (l.compare(9, 5, "Cron ") == 0 || l.compare(9, 7, "Running") == 0)) out.push_back(l);
  return out;
}

bool log_wait(Gateway &g, const std::string &needle, int ms) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (g.file_exists(LOG_FILE) && g.read_file(LOG_FILE).find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// One set-level report written to the modem: its device, level and arrival.
struct Sent {
  uint32_t id;
  int level;
  double at;  // seconds since the gateway was ready
};

Sent sent_of(const Bytes &r, Clock::time_point t0) {
  uint32_t id = (uint32_t)r[3] << 16 | (uint32_t)r[4] << 8 | r[5];
  int level = r[8] == SET_LEVEL ? r[9] : -1;
  return {id, level, std::chrono::duration<double>(Clock::now() - t0).count()};
}

// Every report written until `ms` pass without one.
std::vector<Sent> writes_until_quiet(Gateway &g, Clock::time_point t0, int ms) {
  std::vector<Sent> out;
  while (auto w = g.modem().next_write(ms)) out.push_back(sent_of(*w, t0));
  return out;
}

std::string ids(const std::vector<Sent> &s) {
  std::string out;
  for (auto &x : s) {
    char b[16];
    snprintf(b, sizeof b, "%06x=%d ", x.id, x.level);
    out += b;
  }
  return out;
}

void expect_one_second_apart(const std::vector<Sent> &s, size_t from, size_t to) {
  for (size_t i = from + 1; i < to; i++) {
    double gap = s[i].at - s[i - 1].at;
    EXPECT_GT(gap, 0.6) << "write " << i;
    EXPECT_LT(gap, 1.5) << "write " << i;
  }
}

// The gateway's own output shows no sanitizer report.
void expect_clean(Gateway &g) {
  std::string out = g.output();
  EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
  EXPECT_EQ(out.find("runtime error"), std::string::npos) << out;
}

const std::string TWO = "001/SMTWTFS/07:30/@0a1b2c=50@0d0e0f=20\n";

TEST(CronE2E, UnansweredCommandsAreSentCronRetryTimesThenGivenUp) {
  Gateway g(cron_options("07:29:58", TWO, 3));
  auto t0 = Clock::now();
  ASSERT_TRUE(g.wait_output("Crons loaded: 1\n")) << g.output();
  std::vector<Sent> s = writes_until_quiet(g, t0, 4000);
  ASSERT_EQ(ids(s), "0a1b2c=50 0a1b2c=50 0a1b2c=50 0d0e0f=20 0d0e0f=20 0d0e0f=20 ");
  EXPECT_GT(s[0].at, 1.0) << "sent before its minute";
  expect_one_second_apart(s, 0, s.size());
  ASSERT_TRUE(log_wait(g, "Cron NOREPLY: @0d0e0f=20", 3000));
  EXPECT_EQ(cron_log(g), (Strings{
                             "07:30:00 Running Cron: 001",
                             "07:30:00 Cron TX: @0a1b2c=50",
                             "07:30:01 Cron TX: @0a1b2c=50",
                             "07:30:02 Cron TX: @0a1b2c=50",
                             "07:30:03 Cron NOREPLY: @0a1b2c=50",
                             "07:30:03 Cron TX: @0d0e0f=20",
                             "07:30:04 Cron TX: @0d0e0f=20",
                             "07:30:05 Cron TX: @0d0e0f=20",
                             "07:30:06 Cron NOREPLY: @0d0e0f=20",
                         }));
  expect_clean(g);
}

TEST(CronE2E, DeviceReplyCompletesACommandAndTheNextFollowsTwoSecondsLater) {
  Gateway g(cron_options("07:29:58", TWO, 3));
  auto t0 = Clock::now();
  auto first = g.modem().next_write(6000);
  ASSERT_TRUE(first) << g.output();
  std::vector<Sent> s = {sent_of(*first, t0)};
  // The device answers at once; a weak signal from an unlisted device still
  // counts, since the reply is watched before the device filter.
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a1b2c, SET_LEVEL | 0x80, {50}, 0xC4)));
  for (auto &w : writes_until_quiet(g, t0, 4000)) s.push_back(w);
  ASSERT_EQ(ids(s), "0a1b2c=50 0d0e0f=20 0d0e0f=20 0d0e0f=20 ");
  EXPECT_GT(s[1].at - s[0].at, 1.5);
  EXPECT_LT(s[1].at - s[0].at, 2.6);
  expect_one_second_apart(s, 1, s.size());
  ASSERT_TRUE(log_wait(g, "Cron NOREPLY: @0d0e0f=20", 3000));
  EXPECT_EQ(cron_log(g), (Strings{
                             "07:30:00 Running Cron: 001",
                             "07:30:00 Cron TX: @0a1b2c=50",
                             "07:30:02 Cron TX: @0d0e0f=20",
                             "07:30:03 Cron TX: @0d0e0f=20",
                             "07:30:04 Cron TX: @0d0e0f=20",
                             "07:30:05 Cron NOREPLY: @0d0e0f=20",
                         }));
  expect_clean(g);
}

TEST(CronE2E, StartInsideTheDueMinuteFiresAtOnce) {
  Gateway g(cron_options("07:30:40", "001/SMTWTFS/07:30/@0a1b2c=50\n", 1));
  auto t0 = Clock::now();
  std::vector<Sent> s = writes_until_quiet(g, t0, 3000);
  ASSERT_EQ(ids(s), "0a1b2c=50 ");
  EXPECT_LT(s[0].at, 2.0);
  ASSERT_TRUE(log_wait(g, "Cron NOREPLY: @0a1b2c=50", 3000));
  Strings log = cron_log(g);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].substr(0, 6) + log[0].substr(8), "07:30: Running Cron: 001");
  EXPECT_EQ(log[1].substr(8), " Cron TX: @0a1b2c=50");
  EXPECT_EQ(log[2].substr(8), " Cron NOREPLY: @0a1b2c=50");
  expect_clean(g);
}

TEST(CronE2E, PausedAndOffDayEntriesDoNotFire) {
  const std::string file =
      "002!SMTWTFS/07:30/@0b0b0b=1\n"  // paused
      "003/SmtwtfS/07:30/@0c0c0c=1\n"  // weekends only; the clock says Wednesday
      "004/smtWtfs/07:30/@0d0d0d=1\n"; // Wednesday: shows the minute was examined
  Gateway g(cron_options("07:30:40", file, 1));
  ASSERT_TRUE(g.wait_output("Crons loaded: 3\n")) << g.output();
  std::vector<Sent> s = writes_until_quiet(g, Clock::now(), 3000);
  EXPECT_EQ(ids(s), "0d0d0d=1 ");
  ASSERT_TRUE(log_wait(g, "Cron NOREPLY: @0d0d0d=1", 3000));
  Strings log = cron_log(g);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].substr(8), " Running Cron: 004");
  expect_clean(g);
}

TEST(CronE2E, EntriesEditedOverHttpSurviveARestart) {
  const std::string listing =
      R"([{"key":"005","run":1,"days":"sMTWTFs","time":"07:30","cmd":["@0a1b2c=100","@0a1b2d=0"]},)"
      R"({"key":"007","run":0,"days":"SMTWTFS","time":"22:15","cmd":[]}])";
  const std::string file = "005/sMTWTFs/07:30/@0a1b2c=100@0a1b2d=0\n007!SMTWTFS/22:15/\n";
  {
    Gateway g;
    ASSERT_TRUE(g.wait_output("Crons loaded: 0\n")) << g.output();
    EXPECT_EQ(http_body(g.get("/&cron")), "[]");
    EXPECT_EQ(http_body(g.get("/&cron/005/sMTWTFs/07:30/@0a1b2c=100@0a1b2d=0")), "CRON SAVED");
    EXPECT_EQ(http_body(g.get("/&cron/007!SMTWTFS/22:15/")), "CRON SAVED");
    EXPECT_EQ(http_body(g.get("/&cron/009/SMTWTFS/07:30/@0a1b2c=1")), "CRON SAVED");
    EXPECT_EQ(http_body(g.get("/&cronX009-")), "CRON SAVED");
    EXPECT_EQ(http_body(g.get("/&cron/5/SMTWTFS/07:30/")), "ERROR");
    std::string reply = g.get("/&cron?");
    EXPECT_NE(http_head(reply).find("application/json"), std::string::npos) << reply;
    EXPECT_EQ(http_body(reply), listing);
    EXPECT_EQ(g.read_file("cron"), file);
    expect_clean(g);
  }
  Options o;
  o.files.push_back({"cron", file});
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("Crons loaded: 2\n")) << g.output();
  EXPECT_EQ(http_body(g.get("/&cron?")), listing);
  expect_clean(g);
}

}  // namespace
