// The modem link and the transmitter through the real binary and the virtual
// modem: exact output reports for every form, the LED report, plugging and
// unplugging, the product string, the touch/debug display and ignored kinds.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "harness.h"

using namespace e2e;

namespace {

Options modem_options(const std::string &product = "ORVEL RF MODEM", bool plugged = true) {
  Options o;
  o.modem = plugged;
  o.product = product;
  return o;
}

// One raw command on an open connection and its one-line reply.
std::string raw_line(int s, const std::string &line) {
  if (!send_all(s, line)) return "<send failed>";
  return recv_until(s, "\n", 3000);
}

std::string pairs(int count, const char *pair) {
  std::string out;
  for (int i = 0; i < count; i++) out += pair;
  return out;
}

// A 65-byte output report for device 1a2b30: the bytes from the length on.
Bytes report(uint8_t len, uint8_t b6, uint8_t counter, uint8_t cmd, const Bytes &data = {}) {
  Bytes r(65, 0);
  r[1] = 0x01;
  r[2] = len;
  r[3] = 0x1a;
  r[4] = 0x2b;
  r[5] = 0x30;
  r[6] = b6;
  r[7] = counter;
  r[8] = cmd;
  for (size_t i = 0; i < data.size(); i++) r[9 + i] = data[i];
  return r;
}

Bytes clock_bytes(time_t t) {
  struct tm u;
  gmtime_r(&t, &u);  // the gateway runs with TZ=UTC
  return {(uint8_t)(0x80 >> u.tm_wday), (uint8_t)u.tm_hour, (uint8_t)u.tm_min, (uint8_t)u.tm_sec};
}

struct FormRow {
  std::string line;
  const char *reply;   // "@OK\n" or "@ERR\n"
  bool timeset;        // data is the clock at the time of sending
  Bytes want;          // empty: nothing may be written
};

std::vector<FormRow> form_rows() {
  Bytes raw55(55, 0xa5), set55(56, 0x5a);
  set55[0] = 0x05;
  return {
      {"@1a2b30?", "@OK\n", false, report(6, 0, 0, 0x02)},
      {"@1a2b30=?", "@OK\n", false, report(6, 0, 1, 0x02)},
      {"@1a2b30=50", "@OK\n", false, report(7, 0, 2, 0x07, {0x32})},
      {"@1a2b30=300\r\n", "@OK\n", false, report(7, 0, 3, 0x07, {0x2c})},
      {"@1a2b30!", "@OK\n", false, report(6, 0, 4, 0x05)},
      {"@1a2b30+90", "@OK\n", false, report(8, 0, 5, 0x0a, {0x00, 0x5a})},
      {"@1a2b30/timeset", "@OK\n", true, report(10, 0, 6, 0x13)},
      {"@1a2b30/time?", "@OK\n", false, report(6, 0, 7, 0x13)},
      {"@1a2b30/get/10 ", "@OK\n", false, report(7, 0, 0, 0x04, {0x10})},
      {"@1a2b30/get/1002", "@OK\n", false, report(8, 0, 1, 0x04, {0x10, 0x02})},
      {"@1a2b30/set/0501FF ", "@OK\n", false, report(9, 0, 2, 0x03, {0x05, 0x01, 0xff})},
      {"@1a2b3000050712", "@OK\n", false, report(8, 0x00, 0x05, 0x07, {0x12})},
      {"@1a2b3000050712-", "@OK\n", false, report(8, 0x00, 0x05, 0x07, {0x12})},
      {"@1a2b3g?", "@ERR\n", false, {}},               // bad id: counter stays at 5
      {"@1a2b30/xyz", "@ERR\n", false, {}},            // bad form: counter 5 used up
      {"@1a2b30/set/0201 ", "@ERR\n", false, {}},      // protected register: 6 used up
      {"@1a2b30+0", "@ERR\n", false, {}},              // 7 used up
      {"@1a2b30ab0c07" + pairs(55, "a5"), "@OK\n", false, report(62, 0xab, 0x0c, 0x07, raw55)},
      {"@1a2b30ab0c07" + pairs(56, "a5"), "@ERR\n", false, {}},  // 1 used up
      {"@1a2b30/set/05" + pairs(55, "5a") + " ", "@OK\n", false, report(62, 0, 2, 0x03, set55)},
      {"@1a2b30/set/05" + pairs(56, "5a") + " ", "@ERR\n", false, {}},  // 3 used up
      {"@1a2b30/get/100B", "@ERR\n", false, {}},       // 4 used up
      {"@1a2b30/get/10", "@ERR\n", false, {}},         // 5 used up
      {"@1a2b30?", "@OK\n", false, report(6, 0, 6, 0x02)},
  };
}

TEST(ModemTransmit, EveryFormArrivesAsItsExactReport) {
  Gateway g(modem_options());
  ASSERT_TRUE(g.modem().wait_connected());
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  int s = g.connect();
  ASSERT_GE(s, 0);
  for (const FormRow &row : form_rows()) {
    SCOPED_TRACE(row.line);
    time_t before = time(nullptr);
    EXPECT_EQ(raw_line(s, row.line), row.reply);
    time_t after = time(nullptr);
    if (row.want.empty()) continue;  // the next good row proves nothing was written
    std::optional<Bytes> got = g.modem().next_write();
    ASSERT_TRUE(got.has_value());
    if (row.timeset) {
      Bytes a = row.want, b = row.want;
      Bytes ca = clock_bytes(before), cb = clock_bytes(after);
      std::copy(ca.begin(), ca.end(), a.begin() + 9);
      std::copy(cb.begin(), cb.end(), b.begin() + 9);
      EXPECT_TRUE(hex(*got) == hex(a) || hex(*got) == hex(b)) << hex(*got) << "\n" << hex(a);
    } else {
      EXPECT_EQ(hex(*got), hex(row.want));
    }
  }
  close(s);
  EXPECT_FALSE(g.modem().next_write(300).has_value()) << "a bad command was written";
}

TEST(ModemTransmit, HttpRequestLineCarriesTheCommand) {
  Gateway g(modem_options());
  ASSERT_TRUE(g.modem().wait_connected());
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  // Header lines after the request line must not change the form.
  int s = g.connect();
  ASSERT_TRUE(send_all(s, "GET /@1a2b30/set/0501FF HTTP/1.1\r\nHost: x\r\nReferer: http://x/timeset\r\n\r\n"));
  std::optional<Bytes> got = g.modem().next_write();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(hex(*got), hex(report(9, 0, 0, 0x03, {0x05, 0x01, 0xff})));
  close(s);
  // The raw form ended by '-' is answered at once.
  std::string reply = g.get("/@1a2b3000050712-");
  EXPECT_EQ(http_body(reply), "{\"id\":\"\",\"cmd\":\"OK\",\"data\":\"\",\"rssi\":\"\"}") << reply;
  got = g.modem().next_write();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(hex(*got), hex(report(8, 0x00, 0x05, 0x07, {0x12})));
}

TEST(ModemTransmit, LedCommandWritesTwoBytes) {
  Gateway g(modem_options());
  ASSERT_TRUE(g.modem().wait_connected());
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  int s = g.connect();
  EXPECT_EQ(raw_line(s, "$0G"), "$ERR\n");
  EXPECT_EQ(raw_line(s, "$0F"), "$OK\n");
  std::optional<Bytes> got = g.modem().next_write();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(hex(*got), "020f");
  close(s);
  EXPECT_NE(g.get("/&led=a0").find("LED:OK\n"), std::string::npos);
  got = g.modem().next_write();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(hex(*got), "02a0");
}

TEST(ModemLink, UnplugAndPlugAgain) {
  Gateway g(modem_options("MODEM ONE"));
  ASSERT_TRUE(g.modem().wait_connected());
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  int lis = g.connect();
  EXPECT_EQ(send_all(lis, "&listen") ? recv_until(lis, "USB1\n", 3000) : "", "&OK\nUSB1\n");
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\nMODEM ONE\n");

  // A request waiting for its reply is told when the modem goes away.
  int waiting = g.connect();
  ASSERT_TRUE(send_all(waiting, "GET /@1a2b30? HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(g.modem().next_write().has_value());
  g.modem().unplug();
  EXPECT_EQ(recv_until(lis, "\n", 3000), "USB0\n");
  EXPECT_TRUE(g.wait_output("USB Removed\n"));
  std::string answer = recv_until_close(waiting, 3000);
  EXPECT_NE(http_body(answer).find("USB REMOVED"), std::string::npos) << answer;
  close(waiting);
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\nMODEM ONE\n");  // kept while away

  g.modem().plug("MODEM TWO");
  EXPECT_EQ(recv_until(lis, "\n", 3000), "USB1\n");
  EXPECT_TRUE(g.wait_output("USB Found\n", 3000, 2));
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\nMODEM TWO\n");
  usleep(1200000);  // a few more passes: nothing more is announced
  EXPECT_EQ(g.count_output("USB Removed\n"), 1u);
  EXPECT_EQ(g.count_output("USB Found\n"), 2u);
  EXPECT_EQ(recv_for(lis, 100), "");
  close(lis);
}

TEST(ModemLink, NoModemUntilPluggedIn) {
  Gateway g(modem_options("LATE MODEM", false));
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\n\n");
  int s = g.connect();
  EXPECT_EQ(raw_line(s, "@1a2b30=50"), "@OK\n");
  EXPECT_EQ(raw_line(s, "@zz"), "@OK\n");
  EXPECT_EQ(raw_line(s, "$0F"), "$ERR\n");
  EXPECT_EQ(g.output().find("USB"), std::string::npos);
  EXPECT_EQ(send_all(s, "&listen") ? recv_until(s, "USB0\n", 3000) : "", "&OK\nUSB0\n");
  g.modem().plug("LATE MODEM");
  EXPECT_EQ(recv_until(s, "\n", 3000), "USB1\n");
  EXPECT_TRUE(g.wait_output("USB Found\n"));
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\nLATE MODEM\n");
  // The first command after plugging uses the counter from 0: nothing was
  // counted while no modem was open.
  EXPECT_EQ(raw_line(s, "@1a2b30!"), "@OK\n");
  std::optional<Bytes> got = g.modem().next_write();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(hex(*got), hex(report(6, 0, 0, 0x05)));
  close(s);
}

TEST(ModemLink, ForgetReopensWithoutRemovalNotice) {
  Gateway g(modem_options());
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  EXPECT_NE(g.get("/&usb0").find("\r\n\r\n"), std::string::npos);
  EXPECT_TRUE(g.wait_output("USB Found\n", 3000, 2));
  EXPECT_EQ(g.count_output("USB Removed"), 0u);
  EXPECT_NE(g.get("/&usb?").find("USB:OK\n"), std::string::npos);
}

TEST(ModemLink, ProductStringCutTo255Bytes) {
  Gateway g(modem_options(std::string(300, 'P')));
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\n" + std::string(255, 'P') + "\n");
}

TEST(ModemLink, TouchReportPrintsFourChannels) {
  Gateway g(modem_options());
  ASSERT_TRUE(g.modem().wait_connected());
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Bytes touch(65, 0);
  Bytes values = {2, 0x01, 0x00, 0x00, 0x07, 0xff, 0xff, 0x12, 0x34};
  std::copy(values.begin(), values.end(), touch.begin());
  ASSERT_TRUE(g.modem().send_report(touch));
  const std::string want = "\x1b" "cCH1: 256\r\nCH2: 7\r\nCH3: 65535\r\nCH4: 4660\r\n";
  EXPECT_TRUE(g.wait_output(want)) << g.output();
}

TEST(ModemLink, UnknownReportKindsAreIgnored) {
  Gateway g(modem_options());
  ASSERT_TRUE(g.modem().wait_connected());
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  EXPECT_NE(g.get("/&root1").find("Root Mode"), std::string::npos);  // every packet reaches listeners
  int lis = g.connect();
  ASSERT_EQ(send_all(lis, "&listen") ? recv_until(lis, "USB1\n", 3000) : "", "&OK\nUSB1\n");
  struct Kind {
    uint8_t kind;
    uint32_t id;
  } ignored[] = {{0, 0x0a1b2d}, {3, 0x0a1b2e}, {0xff, 0x0a1b2f}};
  for (const Kind &k : ignored) {
    Bytes r = radio_packet(k.id, 0x82, {0x01});
    r[0] = k.kind;  // otherwise a valid packet
    ASSERT_TRUE(g.modem().send_report(r));
  }
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a1b2c, 0x82, {0x01})));
  EXPECT_EQ(recv_until(lis, "\n", 3000), "@0a1b2c.00.00.82.01.50\n");
  EXPECT_EQ(recv_for(lis, 300), "");
  EXPECT_EQ(g.output().find("CH1"), std::string::npos);
  close(lis);
}

}  // namespace
