// The scheduler through the real binary on a faked clock (Wednesday 7 January
// 2026, TZ=UTC): entries fire at their minute, unanswered commands are sent
// CRONRETRY times one second apart and given up, a device reply completes a
// command, paused and off-day entries stay silent, and entries edited over
// HTTP survive a restart.
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

constexpr const char *LOG_FILE = "logs/260107.log";
constexpr uint8_t SET_LEVEL = 0x07;

Options cron_options(const std::string &start, const std::string &cron, const std::string &retry) {
  Options o;
  o.settings = "DEBUG=1\nCRONRETRY=" + retry + "\n";
  o.faketime = "@2026-01-07 " + start;
  o.files.push_back({"cron", cron});
  return o;
}

// Scheduler lines of the day's log, with their time stamps, once `last` is logged.
Strings cron_log(Gateway &g, const std::string &last) {
  for (auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end;) {
    if (g.read_file(LOG_FILE).find(last) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Strings out;
  std::istringstream in(g.read_file(LOG_FILE));
  for (std::string l; std::getline(in, l);)
    if (l.size() > 9 && (l.compare(9, 5, "Cron ") == 0 || l.compare(9, 7, "Running") == 0)) out.push_back(l);
  return out;
}

// Every set-level report written until `ms` pass without one: "id=level" and
// its arrival in seconds since t0.
struct Sent {
  std::string what;
  double at;
};
std::vector<Sent> writes_until_quiet(Gateway &g, Clock::time_point t0, int ms) {
  std::vector<Sent> out;
  while (auto w = g.modem().next_write(ms)) {
    char b[16];
    snprintf(b, sizeof b, "%02x%02x%02x=%d", (*w)[3], (*w)[4], (*w)[5], (*w)[8] == SET_LEVEL ? (*w)[9] : -1);
    out.push_back({b, std::chrono::duration<double>(Clock::now() - t0).count()});
  }
  return out;
}

std::string whats(const std::vector<Sent> &s) {
  std::string out;
  for (auto &x : s) out += x.what + " ";
  return out;
}

void expect_one_second_apart(const std::vector<Sent> &s, size_t from) {
  for (size_t i = from + 1; i < s.size(); i++) {
    EXPECT_GT(s[i].at - s[i - 1].at, 0.6) << "write " << i;
    EXPECT_LT(s[i].at - s[i - 1].at, 1.5) << "write " << i;
  }
}

const std::string TWO = "001/SMTWTFS/07:30/@0a1b2c=50@0d0e0f=20\n";

}  // namespace

// CRONRETRY above 10 is read as the default 3.
TEST(CronE2E, UnansweredCommandsAreSentCronRetryTimesThenGivenUp) {
  Gateway g(cron_options("07:29:58", TWO, "11"));
  auto t0 = Clock::now();
  ASSERT_TRUE(g.wait_output("Crons loaded: 1\n")) << g.output();
  std::vector<Sent> s = writes_until_quiet(g, t0, 4000);
  ASSERT_EQ(whats(s), "0a1b2c=50 0a1b2c=50 0a1b2c=50 0d0e0f=20 0d0e0f=20 0d0e0f=20 ");
  EXPECT_GT(s[0].at, 1.0) << "sent before its minute";
  expect_one_second_apart(s, 0);
  EXPECT_EQ(cron_log(g, "Cron NOREPLY: @0d0e0f=20"),
            (Strings{"07:30:00 Running Cron: 001", "07:30:00 Cron TX: @0a1b2c=50", "07:30:01 Cron TX: @0a1b2c=50",
                     "07:30:02 Cron TX: @0a1b2c=50", "07:30:03 Cron NOREPLY: @0a1b2c=50", "07:30:03 Cron TX: @0d0e0f=20",
                     "07:30:04 Cron TX: @0d0e0f=20", "07:30:05 Cron TX: @0d0e0f=20",
                     "07:30:06 Cron NOREPLY: @0d0e0f=20"}));
}

TEST(CronE2E, DeviceReplyCompletesACommandAndTheNextFollowsTwoSecondsLater) {
  Gateway g(cron_options("07:29:58", TWO, "3"));
  auto t0 = Clock::now();
  auto w = g.modem().next_write(6000);
  ASSERT_TRUE(w) << g.output();
  double at = std::chrono::duration<double>(Clock::now() - t0).count();
  // The device answers at once; a weak signal from an unlisted device still
  // counts, since the reply is watched before the device filter.
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a1b2c, SET_LEVEL | 0x80, {50}, 0xC4)));
  std::vector<Sent> s = writes_until_quiet(g, t0, 4000);
  ASSERT_EQ(whats(s), "0d0e0f=20 0d0e0f=20 0d0e0f=20 ");
  EXPECT_TRUE(s[0].at - at > 1.5 && s[0].at - at < 2.6) << s[0].at - at;
  expect_one_second_apart(s, 0);
  EXPECT_EQ(cron_log(g, "Cron NOREPLY: @0d0e0f=20"),
            (Strings{"07:30:00 Running Cron: 001", "07:30:00 Cron TX: @0a1b2c=50", "07:30:02 Cron TX: @0d0e0f=20",
                     "07:30:03 Cron TX: @0d0e0f=20", "07:30:04 Cron TX: @0d0e0f=20", "07:30:05 Cron NOREPLY: @0d0e0f=20"}));
}

// Started 40 seconds into the due minute: the due entry fires at once; a
// paused entry and one whose weekday bit is clear do not.
TEST(CronE2E, StartInsideTheDueMinuteFiresOnlyActiveEntriesOfTheDay) {
  const std::string file = "002!SMTWTFS/07:30/@0b0b0b=1\n003/SmtwtfS/07:30/@0c0c0c=1\n004/smtWtfs/07:30/@0d0d0d=1\n";
  Gateway g(cron_options("07:30:40", file, "1"));
  auto t0 = Clock::now();
  ASSERT_TRUE(g.wait_output("Crons loaded: 3\n")) << g.output();
  std::vector<Sent> s = writes_until_quiet(g, t0, 3000);
  ASSERT_EQ(whats(s), "0d0d0d=1 ");
  EXPECT_LT(s[0].at, 2.0);
  Strings log = cron_log(g, "Cron NOREPLY: @0d0d0d=1");
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].substr(0, 6) + log[0].substr(8), "07:30: Running Cron: 004");
  EXPECT_EQ(log[1].substr(8), " Cron TX: @0d0d0d=1");
}

TEST(CronE2E, EntriesEditedOverHttpSurviveARestart) {
  const std::string listing =
      R"([{"key":"005","run":1,"days":"sMTWTFs","time":"07:30","cmd":["@0a1b2c=100","@0a1b2d=0"]},)"
      R"({"key":"007","run":0,"days":"SMTWTFS","time":"22:15","cmd":[]}])";
  const std::string file = "005/sMTWTFs/07:30/@0a1b2c=100@0a1b2d=0\n007!SMTWTFS/22:15/\n";
  {
    Gateway g;
    ASSERT_TRUE(g.wait_output("Crons loaded: 0\n")) << g.output();
    const struct { const char *target, *body; } rows[] = {
        {"/&cron", "[]"}, {"/&cron/005/sMTWTFs/07:30/@0a1b2c=100@0a1b2d=0", "CRON SAVED"},
        {"/&cron/007!SMTWTFS/22:15/", "CRON SAVED"}, {"/&cron/009/SMTWTFS/07:30/@0a1b2c=1", "CRON SAVED"},
        {"/&cronX009-", "CRON SAVED"}, {"/&cron/5/SMTWTFS/07:30/", "ERROR"},
    };
    for (const auto &r : rows) EXPECT_EQ(http_body(g.get(r.target)), r.body) << r.target;
    std::string reply = g.get("/&cron?");
    EXPECT_NE(http_head(reply).find("application/json"), std::string::npos) << reply;
    EXPECT_EQ(http_body(reply), listing);
    EXPECT_EQ(g.read_file("cron"), file);
  }
  Options o;
  o.files.push_back({"cron", file});
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("Crons loaded: 2\n")) << g.output();
  EXPECT_EQ(http_body(g.get("/&cron?")), listing);
}
