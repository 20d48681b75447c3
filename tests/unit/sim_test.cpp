// Simulated house: what each device model answers to each command, in bytes,
// and the house-file and control-line readers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim_control.h"
#include "sim_device.h"
#include "sim_house.h"

namespace {

// The sample house of these tests: every kind once, jitter 0 so bytes are exact.
const char *const test_house[] = {
    "dim  1a2b30 12 60 rssi=93 Lamp",
    "rel  2c3d10 3 off Kitchen",
    "rtc  3e4f50 1 on  Boiler",
    "led  4a5b60 2 50  Shelf",
    "dim2 5c6d70 5 100,0 Hall",
    "rel4 6e7f80 3 1010 Garage",
    "btn  7a8b90 1 - Door",
    "tmp  8c9da0 1 21.5 every=3 Lounge",
    "rel  9dae10 1 off deaf Broken",
};

void house_load() {
  sim_devices_reset();
  sim_random_seed(7);
  char err[128];
  for (const char *line : test_house) ASSERT_TRUE(sim_house_line(line, err, sizeof err)) << line << ": " << err;
}

std::vector<uint8_t> hex_bytes(const std::string &hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// One output report as the gateway writes it: 65 bytes, length 6 + data count.
std::vector<uint8_t> report(const char *id, uint8_t cmd, const std::string &data_hex) {
  std::vector<uint8_t> r(65, 0);
  std::vector<uint8_t> id_bytes = hex_bytes(id), data = hex_bytes(data_hex);
  r[1] = 0x01;
  r[2] = static_cast<uint8_t>(6 + data.size());
  memcpy(&r[3], id_bytes.data(), 3);
  r[8] = cmd;
  for (size_t i = 0; i < data.size(); i++) r[9 + i] = data[i];
  return r;
}

// A packet as "id cmd data" in hex, e.g. "1a2b30 82 810c32"; checks the fixed framing too.
std::string packet_str(const sim_packet &p) {
  const uint8_t *b = p.bytes;
  EXPECT_EQ(b[0], 1);
  int l = b[1];
  EXPECT_GE(l, 8);
  EXPECT_LE(l, 63);
  EXPECT_EQ(b[5], 0);
  EXPECT_LE(b[6], 7);
  for (int i = l + 1; i < SIM_PACKET_SIZE; i++) EXPECT_EQ(b[i], 0) << "byte " << i << " past the signal byte";
  char text[200];
  int n = snprintf(text, sizeof text, "%02x%02x%02x %02x ", b[2], b[3], b[4], b[7]);
  for (int i = 8; i < l; i++) n += snprintf(text + n, sizeof text - n, "%02x", b[i]);
  while (n > 0 && text[n - 1] == ' ') text[--n] = 0;
  return text;
}

std::string packets_str(const sim_out &out) {
  std::string s;
  for (int i = 0; i < out.count; i++) s += (i ? " | " : "") + packet_str(out.packets[i]);
  return s;
}

std::string send_cmd(const char *id, uint8_t cmd, const std::string &data, uint32_t week = 0) {
  std::vector<uint8_t> r = report(id, cmd, data);
  sim_out out{};
  sim_device_command(r.data(), static_cast<int>(r.size()), week, &out);
  return packets_str(out);
}

// The gateway's readings of a status byte, written independently of the simulator.
int gateway_dim_level(uint8_t raw) { return static_cast<int>(static_cast<float>(125 - static_cast<int8_t>(raw)) * 100.0f / 125.0f); }
int gateway_led_level(uint8_t raw) { return static_cast<int>(static_cast<float>(raw) * 100.0f / 250.0f); }

// Each row runs its steps on a fresh house; every step's packets must match.
struct step {
  const char *id;
  uint8_t cmd;
  const char *data;
  const char *expect;  // packets "id cmd data" joined by " | ", "" = silence
};
struct scenario {
  const char *name;
  std::vector<step> steps;
};

const scenario command_rows[] = {
    {"dimmer status", {{"1a2b30", 0x02, "", "1a2b30 82 810c32"}}},
    {"dimmer level 50 then status", {{"1a2b30", 0x07, "32", "1a2b30 87 810c3e"}, {"1a2b30", 0x02, "", "1a2b30 82 810c3e"}}},
    {"dimmer level above 100 is full", {{"1a2b30", 0x07, "fa", "1a2b30 87 810c00"}}},
    {"dimmer level 0", {{"1a2b30", 0x07, "00", "1a2b30 87 810c7d"}}},
    {"dimmer toggle off and back to its level",
     {{"1a2b30", 0x05, "", "1a2b30 85 | 1a2b30 82 810c7d"}, {"1a2b30", 0x05, "", "1a2b30 85 | 1a2b30 82 810c32"}}},
    {"dimmer level without data is ignored", {{"1a2b30", 0x07, "", ""}}},
    {"relay status off", {{"2c3d10", 0x02, "", "2c3d10 82 910300"}}},
    {"relay any level is on", {{"2c3d10", 0x07, "01", "2c3d10 87 910380"}, {"2c3d10", 0x07, "00", "2c3d10 87 910300"}}},
    {"relay toggle", {{"2c3d10", 0x05, "", "2c3d10 85 | 2c3d10 82 910380"}}},
    {"clock relay status on", {{"3e4f50", 0x02, "", "3e4f50 82 240180"}}},
    {"LED level 33 reads back as 33", {{"4a5b60", 0x07, "21", "4a5b60 87 0b0253"}}},
    {"LED status 50", {{"4a5b60", 0x02, "", "4a5b60 82 0b027d"}}},
    {"two-channel status from channel 2 id", {{"5c6d72", 0x02, "", "5c6d72 82 8205007d"}}},
    {"two-channel level on channel 2 only", {{"5c6d72", 0x07, "32", "5c6d72 87 8205003e"}}},
    {"two-channel level on id ending 0 sets both", {{"5c6d70", 0x07, "00", "5c6d70 87 82057d7d"}}},
    {"four relays status", {{"6e7f81", 0x02, "", "6e7f81 82 9403a0"}}},
    {"four relays level on channel 2", {{"6e7f82", 0x07, "64", "6e7f82 87 9403e0"}}},
    {"four relays toggle channel 3", {{"6e7f83", 0x05, "", "6e7f83 85 | 6e7f83 82 940380"}}},
    {"four relays off on channel 9 switches all", {{"6e7f89", 0x07, "00", "6e7f89 87 940300"}}},
    {"off timer acknowledged", {{"2c3d10", 0x0a, "012c", "2c3d10 8a"}}},
    {"register read one", {{"1a2b30", 0x04, "03", "1a2b30 84 0381"}}},
    {"register read id and type", {{"1a2b30", 0x04, "0005", "1a2b30 84 001a2b30810c"}}},
    {"register write then read",
     {{"2c3d10", 0x03, "0aaabb", "2c3d10 83 0a"}, {"2c3d10", 0x04, "0a02", "2c3d10 84 0aaabb"}}},
    {"register read past the end is silent", {{"2c3d10", 0x04, "1f02", ""}}},
    {"register write past the end is silent", {{"2c3d10", 0x03, "1f0102", ""}}},
    {"unknown id is silent", {{"123456", 0x02, "", ""}}},
    {"single-channel id with another last digit is silent", {{"1a2b31", 0x02, "", ""}}},
    {"deaf device is silent", {{"9dae10", 0x02, "", ""}, {"9dae10", 0x07, "64", ""}}},
    {"button ignores commands", {{"7a8b90", 0x02, "", ""}}},
    {"sensor ignores commands", {{"8c9da0", 0x02, "", ""}}},
    {"unknown command is silent", {{"1a2b30", 0x09, "", ""}, {"1a2b30", 0x55, "01", ""}}},
};

TEST(SimDevice, AnswersEachCommand) {
  for (const scenario &row : command_rows) {
    SCOPED_TRACE(row.name);
    house_load();
    for (size_t i = 0; i < row.steps.size(); i++) {
      SCOPED_TRACE("step " + std::to_string(i));
      const step &s = row.steps[i];
      EXPECT_EQ(send_cmd(s.id, s.cmd, s.data), s.expect);
    }
  }
}

struct clock_row {
  const char *name;
  uint32_t set_week;  // house clock when the set arrives
  const char *set;    // clock bytes sent, "" = no set
  uint32_t read_week; // house clock when read
  const char *expect; // clock bytes in the 0x93 reply
};

const clock_row clock_rows[] = {
    {"read follows the house clock: Sunday 12:30:05", 0, "", 12 * 3600 + 30 * 60 + 5, "800c1e05"},
    {"read on Saturday 23:59:59", 0, "", 6 * 86400 + 86399, "02173b3b"},
    {"set Monday 08:00:00 reads back an hour later", 3 * 86400, "40080000", 3 * 86400 + 3600, "40090000"},
    {"set clock crosses the week end", 0, "02173b3b", 2, "80000001"},
    {"a day byte without weekday bit is no set", 0, "01080000", 60, "80000100"},
    {"hour 24 is no set", 0, "40180000", 60, "80000100"},
};

TEST(SimDevice, ClockSetAndRead) {
  for (const clock_row &row : clock_rows) {
    SCOPED_TRACE(row.name);
    house_load();
    if (*row.set) {
      std::string reply = send_cmd("3e4f50", 0x13, row.set, row.set_week);
      EXPECT_EQ(reply.substr(0, 10), "3e4f50 93 ");
    }
    EXPECT_EQ(send_cmd("3e4f50", 0x13, "", row.read_week), std::string("3e4f50 93 ") + row.expect);
  }
}

TEST(SimDevice, OffTimerSwitchesOffAndReports) {
  house_load();
  EXPECT_EQ(send_cmd("5c6d72", 0x07, "64", 0), "5c6d72 87 82050000");
  EXPECT_EQ(send_cmd("5c6d72", 0x0a, "0002", 0), "5c6d72 8a");
  sim_out out{};
  sim_device_tick(&out);
  for (int i = 0; i < out.count; i++) EXPECT_NE(out.packets[i].bytes[7], 0x82) << "reported a second early";
  out = {};
  sim_device_tick(&out);
  std::string all = packets_str(out);
  EXPECT_NE(all.find("5c6d72 82 8205007d"), std::string::npos) << all;
  EXPECT_EQ(send_cmd("5c6d71", 0x02, "", 0), "5c6d71 82 8205007d") << "channel 1 must be untouched";
}

TEST(SimDevice, SensorReportsOnItsPeriod) {
  house_load();
  int reports = 0;
  for (int second = 0; second < 12; second++) {
    sim_out out{};
    sim_device_tick(&out);
    for (int i = 0; i < out.count; i++) {
      EXPECT_EQ(packet_str(out.packets[i]), "8c9da0 10 1580");
      reports++;
    }
  }
  EXPECT_EQ(reports, 4) << "every=3 over 12 seconds";
}

struct event_row {
  const char *line;    // control line
  const char *expect;  // packets sent
};

const event_row event_rows[] = {
    {"press 7a8b90 3", "7a8b90 0f 03"},
    {"press @7a8b90 255", "7a8b90 0f ff"},
    {"temp 8c9da0 -3.5", "8c9da0 10 fd80"},
    {"temp 8c9da0 -3", "8c9da0 10 fd00"},
    {"temp 8c9da0 127.5", "8c9da0 10 7f80"},
    {"temp 8c9da0 0.5", "8c9da0 10 0080"},
    {"set 2c3d10 on", "2c3d10 82 910380"},
    {"set 5c6d70 10,20", "5c6d71 82 82057064"},
    {"status 6e7f80", "6e7f81 82 9403a0"},
    {"press 2c3d10 1", ""},
    {"press 7a8b90 0", ""},
    {"temp 8c9da0 128", ""},
    {"temp 8c9da0 21.3", ""},
    {"set 2c3d10 maybe", ""},
    {"press 123456 1", ""},
    {"deaf 2c3d10 maybe", ""},
};

TEST(SimControl, LinesSendPackets) {
  for (const event_row &row : event_rows) {
    SCOPED_TRACE(row.line);
    house_load();
    sim_out out{};
    char reply[4096];
    EXPECT_EQ(sim_control_line(row.line, &out, reply, sizeof reply), SIM_ACT_NONE);
    EXPECT_EQ(packets_str(out), row.expect);
    EXPECT_EQ(*row.expect == 0, strncmp(reply, "error", 5) == 0) << reply;
  }
}

TEST(SimControl, DeafAndModemActions) {
  house_load();
  sim_out out{};
  char reply[4096];
  sim_control_line("deaf 2c3d10 on", &out, reply, sizeof reply);
  EXPECT_EQ(send_cmd("2c3d10", 0x02, ""), "");
  sim_control_line("deaf @2c3d10 off", &out, reply, sizeof reply);
  EXPECT_EQ(send_cmd("2c3d10", 0x02, ""), "2c3d10 82 910300");
  EXPECT_EQ(sim_control_line("unplug", &out, reply, sizeof reply), SIM_ACT_UNPLUG);
  EXPECT_EQ(sim_control_line("plug", &out, reply, sizeof reply), SIM_ACT_PLUG);
  EXPECT_EQ(sim_control_line("quit", &out, reply, sizeof reply), SIM_ACT_QUIT);
  EXPECT_EQ(sim_control_line("show", &out, reply, sizeof reply), SIM_ACT_NONE);
  int lines = 0;
  for (const char *p = reply; *p; p++) lines += *p == '\n';
  EXPECT_EQ(lines, sim_device_count);
  EXPECT_NE(strstr(reply, "DEAF"), nullptr) << "9dae10 is deaf";
  EXPECT_EQ(out.count, 0);
}

TEST(SimDevice, LevelsReadBackExactly) {
  for (int level = 0; level <= 100; level++) {
    SCOPED_TRACE("level " + std::to_string(level));
    EXPECT_EQ(gateway_dim_level(sim_dim_raw(static_cast<uint8_t>(level))), level);
    EXPECT_EQ(gateway_led_level(sim_led_raw(static_cast<uint8_t>(level))), level);
  }
}

TEST(SimDevice, SignalStrengthAndCounter) {
  house_load();
  for (int pct : {80, 92, 100, 46, 20}) {
    SCOPED_TRACE("rssi " + std::to_string(pct));
    int raw = sim_rssi_raw(pct);
    int back = 46 + raw / 2;
    EXPECT_EQ(back > 100 ? 100 : back, pct);
  }
  // Jittered packets stay within their band, and the counter runs 0..7 and wraps.
  sim_devices[0].jitter = 5;
  int low = 100, high = 0;
  for (int i = 0; i < 40; i++) {
    std::vector<uint8_t> r = report("1a2b30", 0x02, "");
    sim_out out{};
    sim_device_command(r.data(), 65, 0, &out);
    ASSERT_EQ(out.count, 1);
    const uint8_t *b = out.packets[0].bytes;
    EXPECT_EQ(b[6], i % 8);
    int pct = 46 + static_cast<int8_t>(b[b[1]]) / 2;
    low = std::min(low, pct);
    high = std::max(high, pct);
  }
  EXPECT_GE(low, 88);
  EXPECT_LE(high, 98);
  EXPECT_LT(low, high) << "jitter must vary the signal";
}

TEST(SimDevice, MalformedReportsAreIgnored) {
  house_load();
  std::vector<uint8_t> r = report("1a2b30", 0x02, "");
  sim_out out{};
  sim_device_command(r.data(), 8, 0, &out);  // cut before the command byte
  r[1] = 0x02;
  sim_device_command(r.data(), 65, 0, &out);  // not a radio report
  uint8_t led[2] = {0x02, 0x0f};
  sim_device_command(led, 2, 0, &out);
  r = report("1a2b30", 0x04, "00");
  r[2] = 200;  // length byte beyond the message: only the message's bytes are data
  sim_device_command(r.data(), 10, 0, &out);
  EXPECT_EQ(packets_str(out), "1a2b30 84 001a");
}

struct house_row {
  const char *line;
  const char *error;  // nullptr = accepted
};

const house_row house_rows[] = {
    {"# a comment", nullptr},
    {"   ", nullptr},
    {"dim 0a0b0c 1 100 rssi=80 jitter=3 My lamp", nullptr},
    {"rel4 0a0b1d 3 0000", nullptr},
    {"tmp 0a0b2c 1 -12.5 every=0", nullptr},
    {"lamp 0a0b0c 1 100", "unknown device kind"},
    {"dim 0a0b0 1 100", "bad id"},
    {"dim 0a0b0g 1 100", "bad id"},
    {"dim 0a0b0c 256 100", "bad version"},
    {"dim 0a0b0c 1 101", "bad state"},
    {"dim 0a0b0c 1", "missing state"},
    {"rel 0a0b0c 1 yes", "bad state"},
    {"dim2 0a0b0c 1 50", "bad state"},
    {"rel4 0a0b0c 1 10101", "bad state"},
    {"tmp 0a0b0c 1 21.7", "bad state"},
    {"btn 0a0b0c 1 x", "bad state"},
    {"dim 0a0b0c 1 5 rssi=101", "bad option"},
    {"dim 1a2b30 1 5", "id used twice"},
    {"rel 5c6d73 1 on", "id used twice"},
    {"dim2 1a2b3f 1 5,5", "id used twice"},
};

TEST(SimHouse, ReadsDeviceLines) {
  for (const house_row &row : house_rows) {
    SCOPED_TRACE(row.line);
    house_load();
    int before = sim_device_count;
    char err[128] = "";
    bool ok = sim_house_line(row.line, err, sizeof err);
    EXPECT_EQ(ok, row.error == nullptr) << err;
    if (row.error) {
      EXPECT_NE(strstr(err, row.error), nullptr) << err;
      EXPECT_EQ(sim_device_count, before) << "a refused line adds nothing";
    }
  }
}

TEST(SimHouse, DeviceListLinesPerChannel) {
  house_load();
  char text[4096];
  sim_house_devices_text(text, sizeof text);
  for (const char *line : {"@1a2b30/dim/Lamp\n", "@5c6d71/dim/Hall 1\n", "@5c6d72/dim/Hall 2\n", "@6e7f84/rel/Garage 4\n",
                           "@3e4f50/rtc/Boiler\n", "@8c9da0/tmp/Lounge\n", "@7a8b90/btn/Door\n"}) {
    SCOPED_TRACE(line);
    EXPECT_NE(strstr(text, line), nullptr) << text;
  }
  EXPECT_EQ(strstr(text, "@5c6d73"), nullptr);
  char small[40];
  size_t len = sim_house_devices_text(small, sizeof small);
  EXPECT_LT(len, sizeof small);
  EXPECT_EQ(strlen(small), len) << "a cut list holds whole lines only";
}

}  // namespace
