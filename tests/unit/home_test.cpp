// The household subsystem: temperature history (one sample a minute, saved at
// most once a minute, read back after a restart), button presses, rooms and
// reachability, and the /&home listing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "devices/device_list.h"
#include "home/home.h"

namespace fs = std::filesystem;

class Home : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    char tmpl[] = "/tmp/orvel-home-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::current_path(dir_);
    history_reset();
    state_reset();
    device_list_reset();
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(dir_);
    history_reset();
    state_reset();
    device_list_reset();
  }
  static std::string json(const char *id) {
    static char buf[HOME_SLOTS * 24 + 4];
    history_json(id, buf, sizeof buf);
    return buf;
  }
  static std::string home() {
    std::string out;
    state_json([](void *ctx, const char *t) { *(std::string *)ctx += t; }, &out);
    return out;
  }
  static std::string file(const char *name) {
    std::ifstream f(name);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  fs::path old_, dir_;
};

constexpr time_t T0 = 1699999980;  // a minute's start

TEST_F(Home, HistoryKeepsOneSampleAMinute) {
  const struct { time_t t; double v; const char *after; } rows[] = {
      {T0 + 5, 21.5, "[[1699999985,21.5]]"},
      {T0 + 50, 21.0, "[[1700000030,21.0]]"},                             // same minute: the latest wins
      {T0 + 65, -3.0, "[[1700000030,21.0],[1700000045,-3.0]]"},         // next minute appends
      {T0 + 10, 0.5, "[[1699999990,0.5]]"},                              // clock back: the future goes
      {T0 + 130, -0.5, "[[1699999990,0.5],[1700000110,-0.5]]"},
  };
  for (const auto &r : rows) {
    ASSERT_TRUE(history_add("8c9da0", r.t, r.v));
    EXPECT_EQ(json("8c9da0"), r.after) << r.t;
  }
  EXPECT_EQ(json("000000"), "[]");
}

TEST_F(Home, HistoryRingHoldsTwentyFiveHoursAndSurvivesARestart) {
  for (int m = 0; m < HOME_SLOTS + 10; m++) ASSERT_TRUE(history_add("8c9da0", T0 + m * 60, (m % 40) / 2.0));
  ASSERT_TRUE(history_add("8c9db0", T0 + 20 * 60, -3.5));
  std::string a = json("8c9da0"), b = json("8c9db0");
  EXPECT_EQ(a.find("[" + std::to_string(T0 + 9 * 60) + ","), std::string::npos);
  EXPECT_NE(a.find("[" + std::to_string(T0 + 10 * 60) + ","), std::string::npos);  // the oldest ten minutes fell out
  EXPECT_EQ(std::count(a.begin(), a.end(), '['), HOME_SLOTS + 1);

  time_t now = T0 + (HOME_SLOTS + 9) * 60;  // the latest sample
  EXPECT_EQ(history_save(now), 2);
  EXPECT_EQ(history_save(now + 30), 0);             // at most once a minute
  ASSERT_TRUE(history_add("8c9db0", now + 1, 4.0));
  EXPECT_EQ(history_save(now + 59), 0);             // still the same minute
  EXPECT_EQ(history_save(now + 60), 1);             // only the changed sensor
  b = json("8c9db0");

  history_reset();                                  // a restart
  history_load(now);
  EXPECT_TRUE(json("8c9da0") == a);  // (not EXPECT_EQ: 30 KB texts)
  EXPECT_EQ(json("8c9db0"), b);
}


TEST_F(Home, PressesRoomsAndReachability) {
  ASSERT_EQ(system("printf '@7a8b90/btn/Door\\n@5c6d71/dim/Hall 1\\n@5c6d72/dim/Hall 2\\n@9dae10/rel/Sock\\n' > devices"), 0);
  ASSERT_EQ(device_list_load(), 4);
  press_add("7a8b90", 2, T0);
  press_add("7a8b90", 1, T0 + 9);
  state_save();
  EXPECT_EQ(file("home/presses"), "@7a8b90 1 " + std::to_string(T0 + 9) + "\n");

  const struct { const char *id, *room; bool ok; } rooms[] = {
      {"9dae10", "Kitchen", true}, {"5c6d71", "Hall \"upstairs\"", true}, {"7a8b90", "Hall", true},
      {"7a8b90", "", true},                       // removes it
      {"9dae10", "bad\nname", false},             // refused: the old room stays
      {"9dae10", "0123456789012345678901234567890x", false},
  };
  for (const auto &r : rooms) EXPECT_EQ(room_set(r.id, r.room), r.ok) << r.room;

  reach_lost("5c6d70");  // a channel device's NO REPLY names channel 0
  reach_lost("9dae10");
  reach_heard("9dae10");
  const std::string want =
      "{\"rooms\":{\"@9dae10\":\"Kitchen\",\"@5c6d71\":\"Hall \\\"upstairs\\\"\"},"
      "\"presses\":{\"@7a8b90\":{\"button\":1,\"time\":" + std::to_string(T0 + 9) + "}},"
      "\"unreachable\":[\"@5c6d71\",\"@5c6d72\"],\"sensors\":[]}";
  EXPECT_EQ(home(), want);

  state_reset();  // a restart: rooms and presses come back, reachability starts fresh
  state_load();
  EXPECT_EQ(home(), "{\"rooms\":{\"@9dae10\":\"Kitchen\",\"@5c6d71\":\"Hall \\\"upstairs\\\"\"},"
                    "\"presses\":{\"@7a8b90\":{\"button\":1,\"time\":" + std::to_string(T0 + 9) + "}},"
                    "\"unreachable\":[],\"sensors\":[]}");
}
