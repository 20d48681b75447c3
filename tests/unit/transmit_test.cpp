// The transmitter's parsing and report building: the forms with their exact
// report bytes (the plain ones also arrive end to end), the bad commands with
// the packet counter rule, last_tx, g_last_set_level and the LED report.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/flags.h"
#include "radio/transmit.h"

namespace {

const uint8_t CLOCK[4] = {0x80, 0x0C, 0x1E, 0x05};  // Sunday 12:30:05

// Builds from a buffer of exactly the text's size, so a read past the NUL trips AddressSanitizer.
uint8_t build(const std::string &text, uint8_t *report, bool root_mode = false) {
  std::vector<char> buf(text.c_str(), text.c_str() + text.size() + 1);
  return rf_tx_build(buf.data(), report, root_mode, CLOCK);
}

std::string hex_of(const uint8_t *b, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += "0123456789abcdef"[b[i] >> 4], out += "0123456789abcdef"[b[i] & 15];
  return out;
}

std::string pairs(int count, const char *pair) {
  std::string out;
  for (int i = 0; i < count; i++) out += pair;
  return out;
}

class Transmit : public ::testing::Test {
 protected:
  void SetUp() override { transmit_reset(), flags_reset(); }
  void TearDown() override { transmit_reset(); }
};

TEST_F(Transmit, EveryFormGivesItsExactReport) {
  const uint8_t N = LEVEL_NONE;
  std::vector<uint8_t> raw55 = {1, 62, 0x1a, 0x2b, 0x30, 0x00, 0x05, 0x07}, set55 = {1, 62, 0x1a, 0x2b, 0x30, 0, 0, 0x03, 0x05};
  raw55.resize(raw55.size() + 55, 0xa5);
  set55.resize(set55.size() + 55, 0x5a);
  const std::string http = " HTTP/1.1\r\nHost: h\r\nReferer: http://h/timeset\r\n\r\n";
  struct Row {
    const char *name;
    std::string text;
    bool root_mode;
    uint8_t result;
    std::vector<uint8_t> bytes;  // report from byte 1: kind, length, id, byte 6, counter, cmd, data
    uint8_t level;               // g_last_set_level afterwards
  } rows[] = {
      {"upper-case id", "@1A2B3F?", false, 1, {1, 6, 0x1a, 0x2b, 0x3f, 0, 0, 0x02}, N},
      {"level in a request line", "@1a2b30=50" + http, false, 1, {1, 7, 0x1a, 0x2b, 0x30, 0, 0, 0x07, 0x32}, 50},
      {"level 300 low byte", "@1a2b30=300", false, 1, {1, 7, 0x1a, 0x2b, 0x30, 0, 0, 0x07, 0x2c}, 0x2c},
      {"off timer 65535", "@1a2b30+65535", false, 1, {1, 8, 0x1a, 0x2b, 0x30, 0, 0, 0x0a, 0xff, 0xff}, N},
      {"timeset", "@1a2b30/timeset", false, 1, {1, 10, 0x1a, 0x2b, 0x30, 0, 0, 0x13, 0x80, 0x0c, 0x1e, 0x05}, N},
      {"get count 10", "@1a2b30/get/100A", false, 1, {1, 8, 0x1a, 0x2b, 0x30, 0, 0, 0x04, 0x10, 0x0a}, N},
      {"set in a request line", "@1a2b30/set/0501FF" + http, false, 1,
       {1, 9, 0x1a, 0x2b, 0x30, 0, 0, 0x03, 0x05, 0x01, 0xff}, N},
      {"set protected in root mode", "@1a2b30/set/0201 ", true, 1, {1, 8, 0x1a, 0x2b, 0x30, 0, 0, 0x03, 0x02, 0x01}, N},
      {"set 55 values", "@1a2b30/set/05" + pairs(55, "5a") + " ", false, 1, set55, N},
      {"raw ended by '-'", "@1a2b30ab0507-", false, 2, {1, 7, 0x1a, 0x2b, 0x30, 0xab, 0x05, 0x07}, N},
      {"raw 55 data bytes", "@1a2b30000507" + pairs(55, "a5") + "\r\n", false, 1, raw55, N},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    transmit_reset();
    uint8_t report[RF_REPORT_LEN];
    EXPECT_EQ(build(row.text, report, row.root_mode), row.result);
    std::vector<uint8_t> want(RF_REPORT_LEN, 0);
    std::copy(row.bytes.begin(), row.bytes.end(), want.begin() + 1);
    EXPECT_EQ(hex_of(report, RF_REPORT_LEN), hex_of(want.data(), RF_REPORT_LEN));
    EXPECT_EQ(g_last_set_level, row.level);
    // The device and reply code a send then waits for.
    tx_target awaited = {{want[3], want[4], want[5]}, (uint8_t)(want[8] | 0x80)};
    EXPECT_EQ(memcmp(&last_tx, &awaited, sizeof awaited), 0);
  }
}

}  // namespace
