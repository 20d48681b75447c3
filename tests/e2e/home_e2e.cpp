// The household routes through the real binary: rooms set over HTTP and
// their refusals, the last button press, temperature readings as history,
// devices marked unreachable after "NO REPLY" until heard, and what survives
// a restart (rooms and presses; reachability starts fresh).
#include <gtest/gtest.h>

#include <ctime>

#include "../common/http_replies.h"
#include "harness.h"

using namespace e2e;

TEST(HomeE2E, RoomsPressesHistoryAndReachabilityOverARestart) {
  Options o;
  o.files = {{"devices", "@7a8b90/btn/Door\n@5c6d71/dim/Hall 1\n@5c6d72/dim/Hall 2\n@9dae10/rel/Sock\n@8c9da0/tmp/T\n"}};
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  const struct { std::string target, reply; } rooms[] = {
      {"/&room/@9dae10/Kitchen", "ROOM SAVED"},
      {"/&room/5c6d71/Hall%20%22up%22", "ROOM SAVED"},
      {"/&room/@7a8b90/Hall", "ROOM SAVED"},
      {"/&room/@7a8b90/", "ROOM SAVED"},  // no room any more
      {"/&room/@9dae10/bad%0Aname", "ERROR"},
      {"/&room/@9dae10/" + std::string(31, 'r'), "ROOM SAVED"},
      {"/&room/@9dae10/Kitchen" + std::string(25, 'x'), "ERROR"},  // 32 characters: one too many
      {"/&room/@9dae10/Kitchen", "ROOM SAVED"},
      {"/&room/@9dae1/Kitchen", "ERROR"},
  };
  for (const auto &r : rooms) EXPECT_EQ(g.get(r.target), H200 + r.reply) << r.target;
  Listener l(g);
  const Bytes packets[] = {radio_packet(0x7a8b90, 0x0f, {2}, 0x50, 1), radio_packet(0x7a8b90, 0x0f, {1}, 0x50, 2),
                           radio_packet(0x8c9da0, 0x10, {0x15, 0x80}, 0x50, 3)};
  time_t t0 = time(nullptr);
  for (const Bytes &p : packets) {
    ASSERT_TRUE(g.modem().send_report(p));
    ASSERT_NE(l.line(), "");
  }
  std::string history = http_body(g.get("/&history/@8c9da0"));
  EXPECT_TRUE(history == "[[" + std::to_string(t0) + ",21.5]]" || history == "[[" + std::to_string(t0 + 1) + ",21.5]]")
      << history;
  EXPECT_EQ(http_body(g.get("/&history/123456")), "[]");
  // A channel device's NO REPLY marks every channel; a status heard clears its own.
  EXPECT_EQ(http_body(g.get("/@5c6d70?", 4000)), error_object("NO REPLY", "@5c6d70"));
  EXPECT_EQ(http_body(g.get("/@9dae10?", 4000)), error_object("NO REPLY", "@9dae10"));
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x9dae10, 0x82, {0x91, 1, 0x80}, 0x50, 4)));
  ASSERT_NE(l.line(), "");
  std::string home = http_body(g.get("/&home"));
  const std::string rooms_json = R"({"rooms":{"@9dae10":"Kitchen","@5c6d71":"Hall \"up\""},)";
  EXPECT_EQ(home.rfind(rooms_json + R"("presses":{"@7a8b90":{"button":1,"time":)", 0), 0u) << home;
  EXPECT_NE(home.find(R"(},"unreachable":["@5c6d71","@5c6d72"],"sensors":["@8c9da0"]})"), std::string::npos) << home;
  // The files are written by the next tick.
  for (int i = 0; i < 30 && !g.file_exists("home/presses"); i++) usleep(100000);
  Options again;
  again.files = {{"devices", o.files[0].second}, {"home/rooms", g.read_file("home/rooms")},
                 {"home/presses", g.read_file("home/presses")}};
  Gateway restarted(again);
  home = http_body(restarted.get("/&home"));
  EXPECT_EQ(home.rfind(rooms_json + R"("presses":{"@7a8b90":{"button":1,"time":)", 0), 0u) << home;
  EXPECT_NE(home.find(R"(},"unreachable":[],"sensors":[]})"), std::string::npos) << home;
}
