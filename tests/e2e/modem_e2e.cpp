// The modem link and the transmitter through the real binary and the virtual
// modem: exact output reports, plugging and unplugging, the product string,
// the touch/debug display and ignored report kinds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "harness.h"

using namespace e2e;

namespace {

// A 65-byte output report for device 1a2b30, as hex.
std::string report(uint8_t len, uint8_t b6, uint8_t counter, uint8_t cmd, const Bytes &data = {}) {
  Bytes r(65, 0);
  const uint8_t head[] = {0x00, 0x01, len, 0x1a, 0x2b, 0x30, b6, counter, cmd};
  std::copy(std::begin(head), std::end(head), r.begin());
  for (size_t i = 0; i < data.size() && 9 + i < r.size(); i++) r[9 + i] = data[i];
  return hex(r);
}

std::string clock_hex(time_t t) {  // the gateway runs with TZ=UTC
  struct tm u;
  gmtime_r(&t, &u);
  return hex({(uint8_t)(0x80 >> u.tm_wday), (uint8_t)u.tm_hour, (uint8_t)u.tm_min, (uint8_t)u.tm_sec});
}

}  // namespace

TEST(ModemTransmit, EveryFormArrivesAsItsExactReport) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  std::string a5;
  for (int i = 0; i < 55; i++) a5 += "a5";
  Bytes raw55(55, 0xa5);
  const struct { std::string line; const char *reply; std::string want; } rows[] = {  // want "": nothing written
      {"@1a2b30?", "@OK\n", report(6, 0, 0, 0x02)},
      {"@1a2b30=300\r\n", "@OK\n", report(7, 0, 1, 0x07, {0x2c})},
      {"@1a2b30!", "@OK\n", report(6, 0, 2, 0x05)},
      {"@1a2b30+90", "@OK\n", report(8, 0, 3, 0x0a, {0x00, 0x5a})},
      {"@1a2b30/timeset", "@OK\n", "timeset"},  // counter 4, the clock at sending
      {"@1a2b30/get/1002", "@OK\n", report(8, 0, 5, 0x04, {0x10, 0x02})},
      {"@1a2b3000050712-", "@OK\n", report(8, 0x00, 0x05, 0x07, {0x12})},  // counter 6 used up
      {"@1a2b3g?", "@ERR\n", ""},                                          // bad id: counter stays at 7
      {"@1a2b30/xyz", "@ERR\n", ""},                                       // bad form: counter 7 used up
      {"@1a2b30ab0c07" + a5, "@OK\n", report(62, 0xab, 0x0c, 0x07, raw55)},  // 0 used up
      {"$0G", "$ERR\n", ""},
      {"$0F", "$OK\n", "020f"},
      {"@1a2b30?", "@OK\n", report(6, 0, 1, 0x02)},
  };
  int s = g.connect();
  for (const auto &row : rows) {
    SCOPED_TRACE(row.line);
    time_t before = time(nullptr);
    ASSERT_TRUE(send_all(s, row.line));
    EXPECT_EQ(recv_until(s, "\n", 3000), row.reply);
    time_t after = time(nullptr);
    if (row.want.empty()) continue;  // the next good row proves nothing was written
    std::optional<Bytes> got = g.modem().next_write();
    ASSERT_TRUE(got.has_value());
    if (row.want != "timeset") {
      EXPECT_EQ(hex(*got), row.want);
    } else {
      std::string a = report(10, 0, 4, 0x13), b = a;
      a.replace(18, 8, clock_hex(before)), b.replace(18, 8, clock_hex(after));
      EXPECT_TRUE(hex(*got) == a || hex(*got) == b) << hex(*got) << "\n" << a;
    }
  }
  close(s);
  EXPECT_FALSE(g.modem().next_write(300).has_value()) << "a bad command was written";
}

TEST(ModemLink, PlugUnplugAndProductString) {
  Gateway g({.modem = false});
  Listener lis(g);
  EXPECT_EQ(lis.hello, "&OK\nUSB0\n");
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\n\n");
  g.modem().plug("MODEM ONE");
  EXPECT_EQ(lis.line(), "USB1\n");
  EXPECT_TRUE(g.wait_output("USB Found\n"));
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\nMODEM ONE\n");
  // Nothing was counted while no modem was open: the first command uses counter 0.
  EXPECT_EQ(g.raw("@1a2b30!", 300), "@OK\n");
  std::optional<Bytes> got = g.modem().next_write();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(hex(*got), report(6, 0, 0, 0x05));

  g.modem().unplug();
  EXPECT_EQ(lis.line(), "USB0\n");
  EXPECT_TRUE(g.wait_output("USB Removed\n"));
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\nMODEM ONE\n");  // kept while away
  g.modem().plug(std::string(300, 'P'));
  EXPECT_EQ(lis.line(), "USB1\n");
  EXPECT_TRUE(g.wait_output("USB Found\n", 3000, 2));
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\n" + std::string(255, 'P') + "\n");  // cut to 255 bytes
  usleep(1200000);  // a few more passes: nothing more is announced
  EXPECT_EQ(g.count_output("USB Removed\n"), 1u);
  EXPECT_EQ(g.count_output("USB Found\n"), 2u);
  EXPECT_EQ(lis.line(100), "");
}

TEST(ModemLink, TouchReportPrintsAndOtherKindsAreIgnored) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  EXPECT_NE(g.get("/&root1").find("Root Mode"), std::string::npos);  // every packet reaches listeners
  Listener lis(g);
  Bytes touch = {2, 0x01, 0x00, 0x00, 0x07, 0xff, 0xff, 0x12, 0x34};
  touch.resize(65, 0);
  ASSERT_TRUE(g.modem().send_report(touch));
  EXPECT_TRUE(g.wait_output("\x1b" "cCH1: 256\r\nCH2: 7\r\nCH3: 65535\r\nCH4: 4660\r\n")) << g.output();
  for (uint8_t kind : {0, 3, 0xff}) {
    Bytes r = radio_packet(0x0a1b2d, 0x82, {0x01});
    r[0] = kind;  // otherwise a valid packet
    ASSERT_TRUE(g.modem().send_report(r));
  }
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a1b2c, 0x82, {0x01})));
  EXPECT_EQ(lis.line(), "@0a1b2c.00.00.82.01.50\n");
  EXPECT_EQ(lis.line(300), "");
  EXPECT_EQ(g.count_output("CH1"), 1u);
}
