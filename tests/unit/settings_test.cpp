// Settings file reader rules and daily log naming.
#include <gtest/gtest.h>

#include <string>

#include "core/logs.h"
#include "core/settings.h"

namespace {

struct Row {
  const char *content, *key;
  uint8_t found;
  const char *value;
};

TEST(Settings, LookupRules) {
  const std::string longline = std::string(70, 'x') + "PORT=7\n";
  const Row rows[] = {
      {"PORT=8080\n", "PORT", 1, "8080"},
      {"PORT = 8080   \n", "PORT", 1, "8080"},
      {"PORT=8080 ; web port\n", "PORT", 0, ""},
      {"XPORT=99\nPORT=8080\n", "PORT", 1, "99"},
      {"PORT\nPORT=8080\n", "PORT", 0, ""},
      {"port=8080\n", "PORT", 0, ""},
      {"", "PORT", 0, ""},
      {"; only a comment\n", "PORT", 0, ""},
      {"PORT=\t\r\n", "PORT", 1, ""},
      // A long line is read in 63-character pieces; the piece holding the key counts.
      {longline.c_str(), "PORT", 1, "7"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.content);
    char value[64] = "";
    EXPECT_EQ(setting_get_text(r.content, r.key, value), r.found);
    if (r.found == 1) {
      EXPECT_STREQ(value, r.value);
    }
  }
}

TEST(Settings, Trims) {
  char a[] = " \t x y \r\n";
  EXPECT_STREQ(trim(a), "x y");
  char b[] = "   ";
  EXPECT_STREQ(trim(b), "");
  char c[] = "";
  EXPECT_STREQ(rtrim(c), "");
}

TEST(Logs, DayFileName) {
  struct tm t = {};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 5;
  char name[LOG_NAME_CAP];
  log_day_name(name, &t);
  EXPECT_STREQ(name, "logs/261205.log");
  t.tm_year = 127;
  t.tm_mon = 1;
  t.tm_mday = 1;
  log_day_name(name, &t);
  EXPECT_STREQ(name, "logs/270201.log");
}

}  // namespace
