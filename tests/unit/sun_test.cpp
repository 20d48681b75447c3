// Sun times against the almanac: the U.S. Naval Observatory's "Rise and Set
// for the Sun for 2019" tables in Universal Time (Astronomical Applications
// Dept., aa.usno.navy.mil/data/RS_OneYear), as kept in the public repository
// cosinekitty/astronomy, generate/riseset/sun_2019_E000_N60.html,
// sun_2019_W081_N29.html, sun_2019_W150_S60.html and sun_2019_E000_N80.html.
#include <gtest/gtest.h>

#include <cstdlib>

#include "rules/sun.h"

namespace {

time_t utc(int y, int m, int d, int hhmm) { return sun_days_from_civil(y, m, d) * 86400L + hhmm / 100 * 3600 + hhmm % 100 * 60; }

TEST(Sun, RiseAndSetWithinAMinuteOfTheAlmanac) {
  // The table lists each event under the UTC date it happens on; a sunset
  // west of Greenwich may fall on the UTC date after the local one.
  struct Row { double lat, lon; int m, d; int rise_d, rise, set_d, set; } rows[] = {
      {60, 0, 1, 1, 1, 902, 1, 1505},      {60, 0, 3, 21, 21, 600, 21, 1816},
      {60, 0, 6, 21, 21, 236, 21, 2128},   {60, 0, 9, 23, 23, 546, 23, 1758},
      {60, 0, 12, 21, 21, 902, 21, 1454},  {29, -81, 2, 10, 10, 1207, 10, 2310},
      {29, -81, 5, 10, 10, 1036, 11, 5},   {29, -81, 8, 20, 20, 1055, 20, 2359},
      {-60, -150, 1, 15, 15, 1312, 16, 706}, {-60, -150, 6, 21, 21, 1906, 22, 58},
      {-60, -150, 10, 5, 5, 1508, 6, 430},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(testing::Message() << r.lat << "," << r.lon << " 2019-" << r.m << "-" << r.d);
    sun_day s = sun_times(2019, r.m, r.d, r.lat, r.lon);
    ASSERT_EQ(s.kind, SUN_RISES);
    EXPECT_LE(std::labs((long)(s.rise - utc(2019, r.m, r.rise_d, r.rise))), 60);
    EXPECT_LE(std::labs((long)(s.set - utc(2019, r.m, r.set_d, r.set))), 60);
    // The sun is up between the two and down outside them.
    EXPECT_TRUE(sun_up(s.rise + 120, r.lat, r.lon));
    EXPECT_FALSE(sun_up(s.rise - 120, r.lat, r.lon));
    EXPECT_TRUE(sun_up(s.set - 120, r.lat, r.lon));
    EXPECT_FALSE(sun_up(s.set + 120, r.lat, r.lon));
  }
}

TEST(Sun, PolarDayAndNightHaveNoEvents) {
  // 80 N: continuously below the horizon on 1 January, above on 1 June; on
  // 1 March the sun rises at 09:02 and sets at 15:25.
  EXPECT_EQ(sun_times(2019, 1, 1, 80, 0).kind, SUN_ALWAYS_DOWN);
  EXPECT_FALSE(sun_up(utc(2019, 1, 1, 1200), 80, 0));
  EXPECT_EQ(sun_times(2019, 6, 1, 80, 0).kind, SUN_ALWAYS_UP);
  EXPECT_TRUE(sun_up(utc(2019, 6, 1, 0), 80, 0));
  sun_day march = sun_times(2019, 3, 1, 80, 0);
  ASSERT_EQ(march.kind, SUN_RISES);
  EXPECT_LE(std::labs((long)(march.rise - utc(2019, 3, 1, 902))), 120);
  EXPECT_EQ(sun_times(2019, 6, 21, 90, 0).kind, SUN_ALWAYS_UP);  // the pole itself
  EXPECT_EQ(sun_times(2019, 6, 21, -90, 0).kind, SUN_ALWAYS_DOWN);
}

}  // namespace
