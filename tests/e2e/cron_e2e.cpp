// The scheduler through the real binary on a faked clock (Wednesday 7 January
// 2026, TZ=UTC): entries fire at their minute, a device reply completes a
// command, an unanswered one is sent CRONRETRY times one second apart and
// given up, paused and off-day entries stay silent, and entries edited over
// HTTP survive a restart.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "harness.h"

using namespace e2e;

namespace {

using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

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
    if (g.read_file("logs/260107.log").find(last) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Strings out;
  std::istringstream in(g.read_file("logs/260107.log"));
  for (std::string l; std::getline(in, l);)
    if (l.size() > 9 && (l.compare(9, 5, "Cron ") == 0 || l.compare(9, 7, "Running") == 0)) out.push_back(l);
  return out;
}

// Set-level reports written until `ms` pass without one, as "id=level"; their
// times in seconds since t0 go to `at`.
Strings writes_until_quiet(Gateway &g, Clock::time_point t0, int ms, std::vector<double> *at = nullptr) {
  Strings out;
  while (auto w = g.modem().next_write(ms)) {
    char b[16];
    snprintf(b, sizeof b, "%02x%02x%02x=%d", (*w)[3], (*w)[4], (*w)[5], (*w)[9]);
    out.push_back(b);
    if (at) at->push_back(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return out;
}

}  // namespace

// CRONRETRY above 10 is read as the default 3.
TEST(CronE2E, ReplyCompletesACommandAnUnansweredOneIsRetriedThenGivenUp) {
  Gateway g(cron_options("07:29:58", "001/SMTWTFS/07:30/@0a1b2c=50@0d0e0f=20\n", "11"));
  auto t0 = Clock::now();
  ASSERT_TRUE(g.modem().next_write(6000)) << g.output();
  EXPECT_GT(std::chrono::duration<double>(Clock::now() - t0).count(), 1.0) << "sent before its minute";
  // The device answers at once; a weak signal from an unlisted device still
  // counts, since the reply is watched before the device filter.
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a1b2c, 0x87, {50}, 0xC4)));
  std::vector<double> at;
  EXPECT_EQ(writes_until_quiet(g, Clock::now(), 4000, &at), (Strings{"0d0e0f=20", "0d0e0f=20", "0d0e0f=20"}));
  ASSERT_EQ(at.size(), 3u);
  EXPECT_TRUE(at[0] > 1.5 && at[0] < 2.6) << "the next command two seconds after the reply: " << at[0];
  for (int i = 1; i < 3; i++) EXPECT_TRUE(at[i] - at[i - 1] > 0.6 && at[i] - at[i - 1] < 1.5) << "one second apart";
  EXPECT_EQ(cron_log(g, "Cron NOREPLY: @0d0e0f=20"),
            (Strings{"07:30:00 Running Cron: 001", "07:30:00 Cron TX: @0a1b2c=50", "07:30:02 Cron TX: @0d0e0f=20",
                     "07:30:03 Cron TX: @0d0e0f=20", "07:30:04 Cron TX: @0d0e0f=20", "07:30:05 Cron NOREPLY: @0d0e0f=20"}));
}

// Started 40 seconds into the due minute: the due entry fires at once; a
// paused entry and one whose weekday bit is clear do not.
TEST(CronE2E, StartInsideTheDueMinuteFiresOnlyActiveEntriesOfTheDay) {
  const std::string file = "002!SMTWTFS/07:30/@0b0b0b=1\n003/SmtwtfS/07:30/@0c0c0c=1\n004/smtWtfs/07:30/@0d0d0d=1\n";
  Gateway g(cron_options("07:30:40", file, "1"));
  std::vector<double> at;
  EXPECT_EQ(writes_until_quiet(g, Clock::now(), 3000, &at), Strings{"0d0d0d=1"});
  EXPECT_TRUE(at.size() == 1 && at[0] < 2.0);
  Strings log = cron_log(g, "Cron NOREPLY: @0d0d0d=1");
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].substr(8), " Running Cron: 004");
}

// With one try a command found no modem: it waits for one instead of being
// spent, and is written when the modem comes; a reply to that last try counts.
TEST(CronE2E, NoModemSpendsNoTryAndAReplyToTheLastTryCounts) {
  Options o = cron_options("07:30:40", "004/smtWtfs/07:30/@0d0d0d=1\n", "1");
  o.modem = false;
  Gateway g(o);
  ASSERT_FALSE(cron_log(g, "Running Cron: 004").empty());
  EXPECT_FALSE(g.modem().next_write(1500)) << "written with no modem";
  g.modem().plug();
  ASSERT_TRUE(g.modem().next_write(5000)) << g.output();
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x0d0d0d, 0x87, {1})));
  EXPECT_FALSE(g.modem().next_write(2500)) << "a try after the reply";
  Strings log = cron_log(g, "Cron TX");
  ASSERT_EQ(log.size(), 2u) << g.read_file("logs/260107.log");  // "Running", one "Cron TX", no give-up
  EXPECT_EQ(log[1].substr(8), " Cron TX: @0d0d0d=1");
  EXPECT_NE(http_body(g.get("/&metrics")).find("orvel_scheduled_commands_given_up_total 0\n"), std::string::npos);
}

TEST(CronE2E, EntriesEditedOverHttpSurviveARestart) {
  const std::string listing =
      R"([{"key":"005","run":1,"days":"sMTWTFs","time":"07:30","cmd":["@0a1b2c=100","@0a1b2d=0"]},)"
      R"({"key":"007","run":0,"days":"SMTWTFS","time":"22:15","cmd":[]}])";
  const std::string file = "005/sMTWTFs/07:30/@0a1b2c=100@0a1b2d=0\n007!SMTWTFS/22:15/\n";
  {
    Gateway g({.modem = false});
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
  Options o{.modem = false};
  o.files.push_back({"cron", file});
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("Crons loaded: 2\n")) << g.output();
  EXPECT_EQ(http_body(g.get("/&cron?")), listing);
}
