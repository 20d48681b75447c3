// Settings file reader rules and daily log naming.
#include <gtest/gtest.h>

#include <string>

#include "core/logs.h"
#include "core/settings.h"

namespace {

TEST(Settings, LookupRules) {
  const std::string longline = std::string(70, 'x') + "PORT=7\n";
  struct Row { const char *content; uint8_t found; const char *value; } rows[] = {
      {"PORT = 8080   \n", 1, "8080"},          // blanks around the value trimmed
      {"PORT=8080 ; web port\n", 0, ""},        // a ';' comment anywhere voids the line
      {"XPORT=99\nPORT=8080\n", 1, "99"},       // the key is a substring test, first line wins
      {"PORT\nPORT=8080\n", 0, ""},             // a line holding the key without '=' ends the search
      {"port=8080\n", 0, ""},
      {"PORT=\t\r\n", 1, ""},
      {longline.c_str(), 1, "7"},               // read in 63-character pieces
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.content);
    char value[64] = "";
    EXPECT_EQ(setting_get_text(r.content, "PORT", value), r.found);
    if (r.found == 1) {
      EXPECT_STREQ(value, r.value);
    }
  }
}

TEST(Logs, DayFileName) {
  struct tm t = {};
  t.tm_year = 127, t.tm_mon = 1, t.tm_mday = 5;
  char name[LOG_NAME_CAP];
  log_day_name(name, &t);
  EXPECT_STREQ(name, "logs/270205.log");
}

}  // namespace
