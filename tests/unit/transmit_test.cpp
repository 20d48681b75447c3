// The transmitter's parsing and report building: every form with its exact
// report bytes, the bad commands, the packet counter rule, last_tx,
// g_last_set_level and the LED report.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/flags.h"
#include "radio/modem.h"
#include "radio/transmit.h"

namespace {

// Sunday 12:30:05, as time_hex would give it.
const uint8_t CLOCK[4] = {0x80, 0x0C, 0x1E, 0x05};

// The text in a buffer of exactly its own size, so that reading past the
// NUL is caught by AddressSanitizer.
std::vector<char> exact(const std::string &text) {
  return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

uint8_t build(const std::string &text, uint8_t *report, bool root_mode = false) {
  std::vector<char> buf = exact(text);
  return rf_tx_build(buf.data(), report, root_mode, CLOCK);
}

// The counter a good command would carry now (and advances it).
uint8_t counter_now() {
  uint8_t report[RF_REPORT_LEN];
  EXPECT_EQ(build("@000000?", report), RF_TX_AWAIT);
  return report[7];
}

std::string hex_list(const uint8_t *bytes, int n) {
  std::string out;
  char two[4];
  for (int i = 0; i < n; i++) {
    snprintf(two, sizeof two, "%02x ", bytes[i]);
    out += two;
  }
  return out;
}

std::string pairs(int count, const char *pair) {
  std::string out;
  for (int i = 0; i < count; i++) out += pair;
  return out;
}

// The expected report: bytes 1.. as listed (kind first), zeros after.
std::vector<uint8_t> report_of(std::vector<uint8_t> from_kind) {
  std::vector<uint8_t> rep(RF_REPORT_LEN, 0);
  for (size_t i = 0; i < from_kind.size(); i++) rep[1 + i] = from_kind[i];
  return rep;
}

struct GoodRow {
  const char *name;
  std::string text;
  bool root_mode;
  uint8_t result;
  std::vector<uint8_t> bytes;  // report from byte 1: kind, length, id, byte 6, counter, cmd, data
  uint8_t level;               // g_last_set_level afterwards
};

std::vector<GoodRow> good_rows() {
  const uint8_t N = LEVEL_NONE;
  std::vector<uint8_t> raw55 = {0x01, 62, 0x1a, 0x2b, 0x30, 0x00, 0x05, 0x07};
  std::vector<uint8_t> set55 = {0x01, 62, 0x1a, 0x2b, 0x30, 0x00, 0x00, 0x03, 0x05};
  for (int i = 0; i < 55; i++) {
    raw55.push_back(0xa5);
    set55.push_back(0x5a);
  }
  return {
      {"status", "@1a2b30?", false, 1, {1, 6, 0x1a, 0x2b, 0x30, 0, 0, 0x02}, N},
      {"status =?", "@1a2b30=?", false, 1, {1, 6, 0x1a, 0x2b, 0x30, 0, 0, 0x02}, N},
      {"upper-case id", "@1A2B3F?", false, 1, {1, 6, 0x1a, 0x2b, 0x3f, 0, 0, 0x02}, N},
      {"level 50", "@1a2b30=50", false, 1, {1, 7, 0x1a, 0x2b, 0x30, 0, 0, 0x07, 0x32}, 50},
      {"level 300 low byte", "@1a2b30=300", false, 1, {1, 7, 0x1a, 0x2b, 0x30, 0, 0, 0x07, 0x2c}, 0x2c},
      {"level in a request line", "@1a2b30=50 HTTP/1.1\r\nHost: h\r\n\r\n", false, 1,
       {1, 7, 0x1a, 0x2b, 0x30, 0, 0, 0x07, 0x32}, 50},
      {"level without digits", "@1a2b30=", false, 1, {1, 7, 0x1a, 0x2b, 0x30, 0, 0, 0x07, 0x00}, 0},
      {"level -1", "@1a2b30=-1", false, 1, {1, 7, 0x1a, 0x2b, 0x30, 0, 0, 0x07, 0xff}, 0xff},
      {"toggle", "@1a2b30!", false, 1, {1, 6, 0x1a, 0x2b, 0x30, 0, 0, 0x05}, N},
      {"off timer 90", "@1a2b30+90", false, 1, {1, 8, 0x1a, 0x2b, 0x30, 0, 0, 0x0a, 0x00, 0x5a}, N},
      {"off timer 1", "@1a2b30+1", false, 1, {1, 8, 0x1a, 0x2b, 0x30, 0, 0, 0x0a, 0x00, 0x01}, N},
      {"off timer 65535", "@1a2b30+65535", false, 1, {1, 8, 0x1a, 0x2b, 0x30, 0, 0, 0x0a, 0xff, 0xff}, N},
      {"off timer leading blank", "@1a2b30+ 300", false, 1, {1, 8, 0x1a, 0x2b, 0x30, 0, 0, 0x0a, 0x01, 0x2c}, N},
      {"timeset", "@1a2b30/timeset", false, 1,
       {1, 10, 0x1a, 0x2b, 0x30, 0, 0, 0x13, 0x80, 0x0c, 0x1e, 0x05}, N},
      {"time?", "@1a2b30/time?", false, 1, {1, 6, 0x1a, 0x2b, 0x30, 0, 0, 0x13}, N},
      {"get one byte", "@1a2b30/get/10 ", false, 1, {1, 7, 0x1a, 0x2b, 0x30, 0, 0, 0x04, 0x10}, N},
      {"get two bytes", "@1a2b30/get/1002", false, 1, {1, 8, 0x1a, 0x2b, 0x30, 0, 0, 0x04, 0x10, 0x02}, N},
      {"get count 10", "@1a2b30/get/100A", false, 1, {1, 8, 0x1a, 0x2b, 0x30, 0, 0, 0x04, 0x10, 0x0a}, N},
      {"set in a request line", "@1a2b30/set/0501FF HTTP/1.1\r\nHost: h\r\n\r\n", false, 1,
       {1, 9, 0x1a, 0x2b, 0x30, 0, 0, 0x03, 0x05, 0x01, 0xff}, N},
      {"set ignores form words in headers", "@1a2b30/set/0501FF HTTP/1.1\r\nReferer: http://h/timeset\r\n",
       false, 1, {1, 9, 0x1a, 0x2b, 0x30, 0, 0, 0x03, 0x05, 0x01, 0xff}, N},
      {"set register only", "@1a2b30/set/04 ", false, 1, {1, 7, 0x1a, 0x2b, 0x30, 0, 0, 0x03, 0x04}, N},
      {"set protected in root mode", "@1a2b30/set/0201 ", true, 1,
       {1, 8, 0x1a, 0x2b, 0x30, 0, 0, 0x03, 0x02, 0x01}, N},
      {"set 55 values", "@1a2b30/set/05" + pairs(55, "5a") + " ", false, 1, set55, N},
      {"raw", "@1a2b3000050712", false, 1, {1, 8, 0x1a, 0x2b, 0x30, 0x00, 0x05, 0x07, 0x12}, N},
      {"raw ended by '-'", "@1a2b3000050712-", false, 2, {1, 8, 0x1a, 0x2b, 0x30, 0x00, 0x05, 0x07, 0x12}, N},
      {"raw without data, '-'", "@1a2b30ab0507-", false, 2, {1, 7, 0x1a, 0x2b, 0x30, 0xab, 0x05, 0x07}, N},
      {"raw ended by CR LF", "@1a2b3000050712\r\n", false, 1,
       {1, 8, 0x1a, 0x2b, 0x30, 0x00, 0x05, 0x07, 0x12}, N},
      {"raw in a request line", "@1a2b3000050712 HTTP/1.1", false, 1,
       {1, 8, 0x1a, 0x2b, 0x30, 0x00, 0x05, 0x07, 0x12}, N},
      {"raw 55 data bytes", "@1a2b30000507" + pairs(55, "a5"), false, 1, raw55, N},
      {"raw 55 data bytes then '-'", "@1a2b30000507" + pairs(55, "a5") + "-", false, 2, raw55, N},
  };
}

class TransmitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transmit_reset();
    flags_reset();
  }
  void TearDown() override { transmit_reset(); }
};

TEST_F(TransmitTest, EveryFormGivesItsExactReport) {
  for (const GoodRow &row : good_rows()) {
    SCOPED_TRACE(row.name);
    transmit_reset();
    uint8_t report[RF_REPORT_LEN];
    EXPECT_EQ(build(row.text, report, row.root_mode), row.result);
    std::vector<uint8_t> want = report_of(row.bytes);
    EXPECT_EQ(hex_list(report, RF_REPORT_LEN), hex_list(want.data(), RF_REPORT_LEN));
    EXPECT_EQ(g_last_set_level, row.level);
    EXPECT_EQ(last_tx.id1, want[3]);
    EXPECT_EQ(last_tx.id2, want[4]);
    EXPECT_EQ(last_tx.id3, want[5]);
    EXPECT_EQ(last_tx.cmd, (uint8_t)(want[8] | 0x80));
    EXPECT_EQ(last_tx.sock, 0u);
    EXPECT_EQ(last_tx.ticks_left, 0);
    EXPECT_EQ(last_tx.comet, 0u);
  }
}

struct BadRow {
  const char *name;
  std::string text;
  bool root_mode;
  bool advances;  // the id was good: counter advanced, pending level cleared
};

std::vector<BadRow> bad_rows() {
  return {
      {"bad id digit", "@1a2b3g?", false, false},
      {"empty", "", false, false},
      {"only @", "@", false, false},
      {"id cut after one pair", "@1a", false, false},
      {"id cut inside a pair", "@1a2b3", false, false},
      {"id with blank", "@1a2b 0?", false, false},
      {"no form", "@1a2b30", false, true},
      {"unknown slash word", "@1a2b30/xyz", false, true},
      {"slash alone", "@1a2b30/", false, true},
      {"form word after a blank", "@1a2b30/ timeset", false, true},
      {"off timer 0", "@1a2b30+0", false, true},
      {"off timer 65536", "@1a2b30+65536", false, true},
      {"off timer -5", "@1a2b30+-5", false, true},
      {"off timer empty", "@1a2b30+", false, true},
      {"off timer huge", "@1a2b30+99999999999999999999", false, true},
      {"get count 11", "@1a2b30/get/100B", false, true},
      {"get nothing after register", "@1a2b30/get/10", false, true},
      {"get line end after register", "@1a2b30/get/10\r\n", false, true},
      {"get half count", "@1a2b30/get/100", false, true},
      {"get half register", "@1a2b30/get/1", false, true},
      {"get no register", "@1a2b30/get/", false, true},
      {"set protected register 2", "@1a2b30/set/0201 ", false, true},
      {"set protected register 0", "@1a2b30/set/00 ", false, true},
      {"set list reaches end", "@1a2b30/set/0501FF", false, true},
      {"set list reaches line end", "@1a2b30/set/0501FF\r\n", false, true},
      {"set odd digit", "@1a2b30/set/05010", false, true},
      {"set non-hex value", "@1a2b30/set/05zz ", false, true},
      {"set 56 values", "@1a2b30/set/05" + pairs(56, "5a") + " ", false, true},
      {"set 56 values in root mode", "@1a2b30/set/05" + pairs(56, "5a") + " ", true, true},
      {"raw header cut", "@1a2b3000050", false, true},
      {"raw non-hex form", "@1a2b30x?", false, true},
      {"raw non-hex data", "@1a2b30000507zz", false, true},
      {"raw odd data digit", "@1a2b300005071", false, true},
      {"raw 56 data bytes", "@1a2b30000507" + pairs(56, "a5"), false, true},
      {"raw 56 data bytes then '-'", "@1a2b30000507" + pairs(56, "a5") + "-", false, true},
  };
}

TEST_F(TransmitTest, BadCommandsFollowTheCounterRule) {
  for (const BadRow &row : bad_rows()) {
    SCOPED_TRACE(row.name);
    transmit_reset();
    uint8_t report[RF_REPORT_LEN];
    ASSERT_EQ(build("@abcdef=50", report), RF_TX_AWAIT);  // counter 0 used, level 50 pending
    con_rec before = last_tx;
    EXPECT_EQ(build(row.text, report, row.root_mode), RF_TX_BAD);
    EXPECT_EQ(g_last_set_level, row.advances ? LEVEL_NONE : 50);
    EXPECT_EQ(memcmp(&last_tx, &before, sizeof before), 0) << "last_tx changed";
    EXPECT_EQ(counter_now(), row.advances ? 2 : 1);
  }
}

TEST_F(TransmitTest, CounterRunsZeroToSevenAndWraps) {
  const char *texts[] = {"@1a2b30?", "@1a2b30=1", "@1a2b30!", "@1a2b30+5", "@1a2b30/time?",
                         "@1a2b30/get/10 ", "@1a2b30/set/0501 ", "@1a2b30/timeset", "@1a2b30?"};
  const uint8_t want[] = {0, 1, 2, 3, 4, 5, 6, 7, 0};
  for (size_t i = 0; i < sizeof want; i++) {
    SCOPED_TRACE(texts[i]);
    uint8_t report[RF_REPORT_LEN];
    ASSERT_NE(build(texts[i], report), RF_TX_BAD);
    EXPECT_EQ(report[7], want[i]);
  }
}

TEST_F(TransmitTest, RawCounterByteReplacesButCounterStillAdvances) {
  uint8_t report[RF_REPORT_LEN];
  ASSERT_EQ(build("@1a2b3000060712", report), RF_TX_AWAIT);
  EXPECT_EQ(report[7], 0x06);
  EXPECT_EQ(counter_now(), 1);
}

TEST_F(TransmitTest, LevelPendingOnlyUntilTheNextCommand) {
  uint8_t report[RF_REPORT_LEN];
  ASSERT_EQ(build("@1a2b30=200", report), RF_TX_AWAIT);
  EXPECT_EQ(g_last_set_level, 200);
  ASSERT_EQ(build("@1a2b30?", report), RF_TX_AWAIT);
  EXPECT_EQ(g_last_set_level, LEVEL_NONE);
}

TEST_F(TransmitTest, LastTxKeepsFullThirdIdByteAndReplyCode) {
  uint8_t report[RF_REPORT_LEN];
  ASSERT_EQ(build("@a1b2c4/get/2001", report), RF_TX_AWAIT);
  EXPECT_EQ(last_tx.id1, 0xa1);
  EXPECT_EQ(last_tx.id2, 0xb2);
  EXPECT_EQ(last_tx.id3, 0xc4);
  EXPECT_EQ(last_tx.cmd, 0x84);
  ASSERT_EQ(build("@a1b2c40003f1-", report), RF_TX_NO_REPLY);
  EXPECT_EQ(last_tx.cmd, 0xf1);  // 0x71 | 0x80
}

TEST_F(TransmitTest, NoModemChangesNothing) {
  ASSERT_EQ(usb_handle, nullptr);
  uint8_t report[RF_REPORT_LEN];
  ASSERT_EQ(build("@1a2b30=77", report), RF_TX_AWAIT);
  con_rec before = last_tx;
  const char *texts[] = {"@1a2b30=50", "@zz", "@1a2b30/xyz"};
  for (const char *text : texts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(usb_rf_tx(text), RF_TX_NO_MODEM);
    EXPECT_EQ(g_last_set_level, 77);
    EXPECT_EQ(memcmp(&last_tx, &before, sizeof before), 0);
  }
  EXPECT_EQ(counter_now(), 1);
  EXPECT_FALSE(usb_led("$0F"));
}

TEST(LedReport, TwoHexDigitsAfterTheFirstCharacter) {
  struct Row {
    const char *text;
    bool ok;
    uint8_t value;
  } rows[] = {
      {"$0F", true, 0x0f}, {"=ff", true, 0xff}, {"$a0\r\n", true, 0xa0}, {"$00", true, 0x00},
      {"$0G", false, 0},   {"$G0", false, 0},   {"$0", false, 0},        {"$", false, 0},
      {"", false, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    std::vector<char> buf = exact(row.text);
    uint8_t report[LED_REPORT_LEN] = {0xee, 0xee};
    ASSERT_EQ(led_report_build(buf.data(), report), row.ok);
    if (row.ok) {
      EXPECT_EQ(report[0], 0x02);
      EXPECT_EQ(report[1], row.value);
    }
  }
}

TEST(TimeHex, LocalClockWithWeekdayBit) {
  for (int attempt = 0; attempt < 3; attempt++) {
    time_t before = time(nullptr);
    uint8_t bytes[4];
    time_hex(bytes);
    if (time(nullptr) != before) continue;  // the second changed under us
    struct tm t;
    localtime_r(&before, &t);
    EXPECT_EQ(bytes[0], 0x80 >> t.tm_wday);
    EXPECT_EQ(bytes[1], t.tm_hour);
    EXPECT_EQ(bytes[2], t.tm_min);
    EXPECT_EQ(bytes[3], t.tm_sec);
    return;
  }
  FAIL() << "clock never held still";
}

}  // namespace
