// The modem link through the real binary and the virtual modem: every command
// form as its exact output report, plugging and the product string, and the
// radio packets heard: their text form for raw listeners, the length test,
// the duplicate window and its switch, the weak-signal filter and root mode,
// the touch display, ignored report kinds, and a full listener table.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <memory>

#include "harness.h"

using namespace e2e;

namespace {

// A 65-byte output report for device 1a2b30, as hex.
std::string report(uint8_t len, uint8_t b6, uint8_t counter, uint8_t cmd, const Bytes &data = {}) {
  Bytes r = {0x00, 0x01, len, 0x1a, 0x2b, 0x30, b6, counter, cmd};
  r.resize(65, 0);
  std::copy(data.begin(), data.end(), r.begin() + 9);
  return hex(r);
}

// A strong packet from a device of its own, to show what came before it.
Bytes marker(int i) { return radio_packet(0xf00000 + (uint32_t)i, 0x02, {}, 0x50, (uint8_t)(i & 7)); }
std::string marker_line(int i) {
  char s[64];
  snprintf(s, sizeof s, "@%06x.00.%02x.02..50\n", 0xf00000 + i, i & 7);
  return s;
}

// Sends `packets` then a marker: every listener reads `lines`, then the marker's line.
void expect_lines(Gateway &g, std::vector<Listener *> ls, const std::vector<Bytes> &packets,
                  const std::vector<std::string> &lines) {
  static int mark = 0;
  mark++;
  for (const Bytes &p : packets) ASSERT_TRUE(g.modem().send_report(p));
  ASSERT_TRUE(g.modem().send_report(marker(mark)));
  for (Listener *l : ls) {
    for (const std::string &line : lines) EXPECT_EQ(l->line(), line);
    EXPECT_EQ(l->line(), marker_line(mark));
  }
}

}  // namespace

// Rows run in order on one connection: the packet counter (0..7) advances
// with every command whose id is good.
TEST(Radio, EveryCommandFormArrivesAsItsExactReport) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  std::string a5;
  for (int i = 0; i < 55; i++) a5 += "a5";
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
      {"@1a2b30ab0c07" + a5, "@OK\n", report(62, 0xab, 0x0c, 0x07, Bytes(55, 0xa5))},  // 0 used up
      {"$0G", "$ERR\n", ""},
      {"$0F", "$OK\n", "020f"},
      {"@1a2b30+0", "@ERR\n", ""},          // 1 used up
      {"@1a2b30+65536", "@ERR\n", ""},      // 2
      {"@1a2b30/get/100B", "@ERR\n", ""},   // 3: at most 10 registers
      {"@1a2b30/set/0201 ", "@ERR\n", ""},  // 4: registers 0..3 need root mode
      {"@1a2b30000507" + a5 + "a5-", "@ERR\n", ""},  // 5: 56 data bytes
      {"@1a2b30?", "@OK\n", report(6, 0, 6, 0x02)},
  };
  int s = g.connect();
  for (const auto &row : rows) {
    SCOPED_TRACE(row.line);
    time_t before = time(nullptr);
    ASSERT_TRUE(send_all(s, row.line));
    EXPECT_EQ(recv_until(s, "\n", 3000), row.reply);
    if (row.want.empty()) continue;  // the next good row proves nothing was written
    std::optional<Bytes> got = g.modem().next_write();
    ASSERT_TRUE(got.has_value());
    std::string want = row.want;
    if (want == "timeset") {  // the gateway runs with TZ=UTC; a second may pass meanwhile
      struct tm u;
      gmtime_r(&before, &u);
      want = report(10, 0, 4, 0x13, {(uint8_t)(0x80 >> u.tm_wday), (uint8_t)u.tm_hour, (uint8_t)u.tm_min});
      EXPECT_EQ(hex(*got).substr(0, 24), want.substr(0, 24));
      continue;
    }
    EXPECT_EQ(hex(*got), want);
  }
  close(s);
  EXPECT_FALSE(g.modem().next_write(300).has_value()) << "a bad command was written";
}

TEST(Radio, PlugUnplugAndProductString) {
  Gateway g({.modem = false});
  Listener lis(g);
  EXPECT_EQ(lis.hello, "&OK\nUSB0\n");
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\n\n");
  g.modem().plug("MODEM ONE");
  EXPECT_EQ(lis.line(), "USB1\n");
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\nMODEM ONE\n");
  // Nothing was counted while no modem was open: the first command uses counter 0.
  EXPECT_EQ(g.raw("@1a2b30!", 300), "@OK\n");
  std::optional<Bytes> got = g.modem().next_write();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(hex(*got), report(6, 0, 0, 0x05));
  g.modem().unplug();
  EXPECT_EQ(lis.line(), "USB0\n");
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\nMODEM ONE\n");  // kept while away
  g.modem().plug(std::string(300, 'P'));
  EXPECT_EQ(lis.line(), "USB1\n");
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\n" + std::string(255, 'P') + "\n");  // cut to 255 bytes
  usleep(1200000);  // a few more passes: nothing more is announced
  EXPECT_EQ(g.count_output("USB Removed\n"), 1u);
  EXPECT_EQ(g.count_output("USB Found\n"), 2u);
  EXPECT_EQ(lis.line(100), "");
}

TEST(Radio, PacketTextFormLengthsDuplicatesAndTheFilterSwitch) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Listener a(g), b(g);
  Bytes full(55);
  for (int i = 0; i < 55; i++) full[i] = (uint8_t)(0xc8 + i);
  Bytes len7 = radio_packet(0x0b0b0b, 0x02, {}, 0x50, 1), len64 = radio_packet(0x0c0c0c, 0x02, {}, 0x50, 1);
  len7[1] = 7, len64[1] = 64, len64[64] = 0x50;
  const struct { Bytes packet; std::vector<std::string> lines; } rows[] = {
      {radio_packet(0x1a2b30, 0x85, {}, 0x50, 4), {"@1a2b30.00.04.85..50\n"}},
      {radio_packet(0x0a0b0c, 0x11, {0x01, 0x02}, 0x7f, 0xf9, 0xab), {"@0a0b0c.ab.f9.11.0102.7f\n"}},
      {radio_packet(0x0a0b0d, 0x11, full, 0x50, 2), {"@0a0b0d.00.02.11." + hex(full) + ".50\n"}},
      {len7, {}},
      {len64, {}},
  };
  for (const auto &row : rows) expect_lines(g, {&a, &b}, {row.packet}, row.lines);
  // Copies read right after the first are handled once, and again after the window.
  Bytes p = radio_packet(0x1a2b30, 0x82, {0x01}, 0x50, 1), p_other_data = radio_packet(0x1a2b30, 0x82, {0x02}, 0x50, 1);
  expect_lines(g, {&a, &b}, {p, p, p_other_data}, {"@1a2b30.00.01.82.01.50\n"});
  usleep(800000);
  expect_lines(g, {&a, &b}, {p}, {"@1a2b30.00.01.82.01.50\n"});
  // With the filter off every copy passes; back on, copies are dropped again.
  EXPECT_EQ(http_body(g.get("/&filter0")), "Filter OFF\n");
  Bytes s = radio_packet(0x3c4d50, 0x87, {}, 0x50, 3);
  const std::string s_line = "@3c4d50.00.03.87..50\n";
  expect_lines(g, {&a}, {s, s}, {s_line, s_line});
  EXPECT_EQ(http_body(g.get("/&filter1")), "Filter ON\n");
  expect_lines(g, {&a}, {s, s}, {s_line});
}

TEST(Radio, WeakPacketsRootModeTouchDisplayAndOtherKinds) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Listener l(g);
  // The threshold: 80 % passes, 79 % does not.
  expect_lines(g, {&l}, {radio_packet(0x5a5b51, 0x05, {}, 0x44, 1)}, {"@5a5b51.00.01.05..44\n"});
  Bytes weak = radio_packet(0x1a2b30, 0x82, {0x81, 0x0c, 0x3e}, 0xc4, 3);
  expect_lines(g, {&l}, {radio_packet(0x5a5b52, 0x05, {}, 0x42, 1), weak}, {});
  // Root mode lets the weak packet through: its exact text and event.
  EXPECT_EQ(http_body(g.get("/&root1")), "Root Mode\n");
  int comet = g.connect();
  send_all(comet, "GET /&listen HTTP/1.1\r\n\r\n");
  ASSERT_NE(recv_until(comet, "\r\n\r\n", 3000), "");
  ASSERT_TRUE(g.modem().send_report(weak));
  EXPECT_EQ(l.line(), "@1a2b30.00.03.82.810c3e.c4\n");
  EXPECT_EQ(recv_until_close(comet, 3000),
            "{\"id\":\"@1a2b30\",\"cmd\":\"STATUS.ACK\",\"data\":\"50%,RX1DIM,V12\",\"rssi\":\"16%\"}");
  close(comet);
  // A touch report goes to the console; other kinds are ignored.
  Bytes touch = {2, 0x01, 0x00, 0x00, 0x07, 0xff, 0xff, 0x12, 0x34};
  touch.resize(65, 0);
  std::vector<Bytes> others = {touch};
  for (uint8_t kind : {0, 3, 0xff}) (others.emplace_back(radio_packet(0x0a1b2d, 0x82, {0x01})))[0] = kind;
  expect_lines(g, {&l}, others, {});
  EXPECT_TRUE(g.wait_output("\x1b" "cCH1: 256\r\nCH2: 7\r\nCH3: 65535\r\nCH4: 4660\r\n")) << g.output();
  EXPECT_EQ(http_body(g.get("/&root0")), "Root Mode Off\n");
  expect_lines(g, {&l}, {radio_packet(0x1a2b30, 0x82, {0x01}, 0xc4, 5)}, {});
}

TEST(Radio, ListenerTableFullAndAListenerThatResets) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  std::vector<std::unique_ptr<Listener>> ls;
  for (int i = 0; i < 10; i++) ls.push_back(std::make_unique<Listener>(g));
  Listener extra(g);  // the table is full: said so, and never given a line
  EXPECT_EQ(extra.hello, "&ERR LISTENERS FULL\n");
  ASSERT_TRUE(g.modem().send_report(marker(101)));
  ls[0]->reset();  // in the middle of a burst
  ASSERT_TRUE(g.modem().send_report(marker(102)));
  for (int i = 1; i < 10; i++)
    for (int m = 101; m <= 102; m++) EXPECT_EQ(ls[i]->line(), marker_line(m)) << i << " " << m;
  EXPECT_EQ(extra.line(300), "");
  Listener late(g);  // the freed slot takes a new listener
  ASSERT_TRUE(g.modem().send_report(marker(103)));
  EXPECT_EQ(late.line(), marker_line(103));
  // An orderly close frees a slot too: the next connection, which takes the
  // same handle, is never sent a line.
  shutdown(ls[1]->fd, SHUT_WR);
  EXPECT_TRUE(wait_closed(ls[1]->fd, 2000));
  int stranger = g.connect();  // a client yet to send its request
  ASSERT_TRUE(g.modem().send_report(marker(104)));
  EXPECT_EQ(late.line(), marker_line(104));
  EXPECT_EQ(recv_for(stranger, 300), "");
  close(stranger);
  EXPECT_EQ(g.raw("ver", 200), "ORVEL V1.90\nORVEL RF MODEM\n");
}
