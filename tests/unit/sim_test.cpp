// Simulated house: what each device model answers to each command, in bytes,
// and the house-file and control-line readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim_control.h"
#include "sim_device.h"
#include "sim_house.h"

namespace {

// The sample house of these tests: every kind once, jitter 0 so bytes are exact.
void house_load() {
  sim_devices_reset();
  sim_random_seed(7);
  char err[128];
  for (const char *line : {"dim  1a2b30 12 60 rssi=93 Lamp", "rel  2c3d10 3 off Kitchen", "rtc  3e4f50 1 on  Boiler",
                           "led  4a5b60 2 50  Shelf", "dim2 5c6d70 5 100,0 Hall", "rel4 6e7f80 3 1010 Garage",
                           "btn  7a8b90 1 - Door", "tmp  8c9da0 1 21.5 every=3 Lounge", "rel  9dae10 1 off deaf Broken"})
    ASSERT_TRUE(sim_house_line(line, err, sizeof err)) << line << ": " << err;
}

// One output report as the gateway writes it: 65 bytes, length 6 + data count.
std::vector<uint8_t> report(const char *id, uint8_t cmd, const std::string &data_hex) {
  std::vector<uint8_t> r(65, 0);
  r[1] = 0x01, r[2] = (uint8_t)(6 + data_hex.size() / 2), r[8] = cmd;
  for (int i = 0; i < 3; i++) r[3 + i] = (uint8_t)std::stoi(std::string(id + 2 * i, 2), nullptr, 16);
  for (size_t i = 0; i < data_hex.size() / 2; i++) r[9 + i] = (uint8_t)std::stoi(data_hex.substr(2 * i, 2), nullptr, 16);
  return r;
}

// Packets as "id cmd data" in hex joined by " | "; checks the fixed framing too.
std::string packets_str(const sim_out &out) {
  std::string s;
  for (int k = 0; k < out.count; k++) {
    const uint8_t *b = out.packets[k].bytes;
    int l = b[1];
    EXPECT_TRUE(b[0] == 1 && l >= 8 && l <= 63 && b[5] == 0 && b[6] <= 7) << "framing";
    for (int i = l + 1; i < SIM_PACKET_SIZE; i++) EXPECT_EQ(b[i], 0) << "byte " << i << " past the signal byte";
    char text[200];
    int n = snprintf(text, sizeof text, "%s%02x%02x%02x %02x%s", k ? " | " : "", b[2], b[3], b[4], b[7], l > 8 ? " " : "");
    for (int i = 8; i < l; i++) n += snprintf(text + n, sizeof text - n, "%02x", b[i]);
    s += text;
  }
  return s;
}

std::string send_cmd(const char *id, uint8_t cmd, const std::string &data, uint32_t week = 0) {
  std::vector<uint8_t> r = report(id, cmd, data);
  sim_out out{};
  sim_device_command(r.data(), (int)r.size(), week, &out);
  return packets_str(out);
}

TEST(SimDevice, AnswersEachCommand) {
  struct Step { const char *id; uint8_t cmd; const char *data, *expect; };  // expect "" = silence
  const struct { const char *name; std::vector<Step> steps; } rows[] = {
      {"dimmer level then status", {{"1a2b30", 0x07, "32", "1a2b30 87 810c3e"}, {"1a2b30", 0x02, "", "1a2b30 82 810c3e"}}},
      {"dimmer level above 100 is full", {{"1a2b30", 0x07, "fa", "1a2b30 87 810c00"}}},
      {"dimmer toggle off and back to its level",
       {{"1a2b30", 0x05, "", "1a2b30 85 | 1a2b30 82 810c7d"}, {"1a2b30", 0x05, "", "1a2b30 85 | 1a2b30 82 810c32"}}},
      {"level without data is ignored", {{"1a2b30", 0x07, "", ""}}},
      {"relay any level is on", {{"2c3d10", 0x07, "01", "2c3d10 87 910380"}, {"2c3d10", 0x07, "00", "2c3d10 87 910300"}}},
      {"clock relay status", {{"3e4f50", 0x02, "", "3e4f50 82 240180"}}},
      {"LED level 33", {{"4a5b60", 0x07, "21", "4a5b60 87 0b0253"}}},
      {"two-channel level on channel 2 only", {{"5c6d72", 0x07, "32", "5c6d72 87 8205003e"}}},
      {"two-channel level on id ending 0 sets both", {{"5c6d70", 0x07, "00", "5c6d70 87 82057d7d"}}},
      {"four relays: status, level, toggle, all off",
       {{"6e7f81", 0x02, "", "6e7f81 82 9403a0"}, {"6e7f82", 0x07, "64", "6e7f82 87 9403e0"},
        {"6e7f83", 0x05, "", "6e7f83 85 | 6e7f83 82 9403c0"}, {"6e7f89", 0x07, "00", "6e7f89 87 940300"}}},
      {"off timer acknowledged", {{"2c3d10", 0x0a, "012c", "2c3d10 8a"}}},
      {"register write then read",
       {{"2c3d10", 0x03, "0aaabb", "2c3d10 83 0a"}, {"2c3d10", 0x04, "0a02", "2c3d10 84 0aaabb"},
        {"1a2b30", 0x04, "0005", "1a2b30 84 001a2b30810c"}}},
      {"registers past the end are silent", {{"2c3d10", 0x04, "1f02", ""}, {"2c3d10", 0x03, "1f0102", ""}}},
      {"silent ids and kinds",
       {{"123456", 0x02, "", ""}, {"1a2b31", 0x02, "", ""}, {"9dae10", 0x07, "64", ""}, {"7a8b90", 0x02, "", ""},
        {"8c9da0", 0x02, "", ""}, {"1a2b30", 0x55, "01", ""}}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    house_load();
    for (size_t i = 0; i < row.steps.size(); i++) {
      SCOPED_TRACE("step " + std::to_string(i));
      const Step &s = row.steps[i];
      EXPECT_EQ(send_cmd(s.id, s.cmd, s.data), s.expect);
    }
  }
}

TEST(SimDevice, ClockSetAndRead) {
  const struct { const char *name; uint32_t set_week; const char *set; uint32_t read_week; const char *expect; } rows[] = {
      {"read follows the house clock", 0, "", 6 * 86400 + 86399, "02173b3b"},
      {"set clock crosses the week end", 0, "02173b3b", 2, "80000001"},
      {"a day byte without weekday bit is no set", 0, "01080000", 60, "80000100"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    house_load();
    if (*row.set) {
      EXPECT_EQ(send_cmd("3e4f50", 0x13, row.set, row.set_week).substr(0, 10), "3e4f50 93 ");
    }
    EXPECT_EQ(send_cmd("3e4f50", 0x13, "", row.read_week), std::string("3e4f50 93 ") + row.expect);
  }
}

TEST(SimDevice, TimersAndSensorReportsRunOnTheTick) {
  house_load();
  EXPECT_EQ(send_cmd("5c6d72", 0x07, "64", 0), "5c6d72 87 82050000");
  EXPECT_EQ(send_cmd("5c6d72", 0x0a, "0002", 0), "5c6d72 8a");
  int temps = 0;
  for (int second = 0; second < 12; second++) {
    sim_out out{};
    sim_device_tick(&out);
    std::string all = packets_str(out);
    for (size_t at = 0; (at = all.find("8c9da0 10 1580", at)) != std::string::npos; at++) temps++;
    EXPECT_EQ(all.find("5c6d72 82 8205007d") != std::string::npos, second == 1) << "off after two seconds: " << second;
  }
  EXPECT_EQ(temps, 4) << "every=3 over 12 seconds";
  EXPECT_EQ(send_cmd("5c6d71", 0x02, "", 0), "5c6d71 82 8205007d") << "channel 1 must be untouched";
}

TEST(SimDevice, LevelsSignalAndCounter) {
  for (int level = 0; level <= 100; level++) {  // the gateway's readings of the status byte
    EXPECT_EQ((int)((float)(125 - (int8_t)sim_dim_raw((uint8_t)level)) * 100.0f / 125.0f), level);
    EXPECT_EQ((int)((float)sim_led_raw((uint8_t)level) * 100.0f / 250.0f), level);
  }
  for (int pct : {80, 92, 100, 46, 20}) EXPECT_EQ(std::min(46 + sim_rssi_raw(pct) / 2, 100), pct);
  house_load();
  sim_devices[0].jitter = 5;  // jittered packets stay in their band; the counter runs 0..7 and wraps
  int low = 100, high = 0;
  for (int i = 0; i < 40; i++) {
    std::vector<uint8_t> r = report("1a2b30", 0x02, "");
    sim_out out{};
    sim_device_command(r.data(), 65, 0, &out);
    ASSERT_EQ(out.count, 1);
    const uint8_t *b = out.packets[0].bytes;
    EXPECT_EQ(b[6], i % 8);
    int pct = 46 + (int8_t)b[b[1]] / 2;
    low = std::min(low, pct), high = std::max(high, pct);
  }
  EXPECT_TRUE(low >= 88 && high <= 98 && low < high) << low << ".." << high;
}

TEST(SimControl, LinesSendPacketsAndActions) {
  const struct { const char *line; const char *expect; } rows[] = {  // expect "" = refused
      {"press @7a8b90 255", "7a8b90 0f ff"}, {"temp 8c9da0 -3.5", "8c9da0 10 fd80"},
      {"set 5c6d70 10,20", "5c6d71 82 82057064"}, {"status 6e7f80", "6e7f81 82 9403a0"},
      {"press 2c3d10 1", ""}, {"temp 8c9da0 21.3", ""}, {"set 2c3d10 maybe", ""}, {"press 123456 1", ""},
  };
  char reply[4096];
  for (const auto &row : rows) {
    SCOPED_TRACE(row.line);
    house_load();
    sim_out out{};
    EXPECT_EQ(sim_control_line(row.line, &out, reply, sizeof reply), SIM_ACT_NONE);
    EXPECT_EQ(packets_str(out), row.expect);
    EXPECT_EQ(*row.expect == 0, strncmp(reply, "error", 5) == 0) << reply;
  }
  house_load();
  sim_out out{};
  sim_control_line("deaf 2c3d10 on", &out, reply, sizeof reply);
  EXPECT_EQ(send_cmd("2c3d10", 0x02, ""), "");
  sim_control_line("deaf @2c3d10 off", &out, reply, sizeof reply);
  EXPECT_EQ(send_cmd("2c3d10", 0x02, ""), "2c3d10 82 910300");
  EXPECT_EQ(sim_control_line("unplug", &out, reply, sizeof reply), SIM_ACT_UNPLUG);
  EXPECT_EQ(sim_control_line("plug", &out, reply, sizeof reply), SIM_ACT_PLUG);
  EXPECT_EQ(sim_control_line("quit", &out, reply, sizeof reply), SIM_ACT_QUIT);
  EXPECT_EQ(sim_control_line("show", &out, reply, sizeof reply), SIM_ACT_NONE);
  EXPECT_EQ(std::count(reply, reply + strlen(reply), '\n'), sim_device_count);
  EXPECT_NE(strstr(reply, "DEAF"), nullptr) << "9dae10 is deaf";
}

TEST(SimHouse, ReadsDeviceLinesAndListsChannels) {
  const struct { const char *line, *error; } rows[] = {  // error nullptr = accepted
      {"# a comment", nullptr},              {"dim 0a0b0c 1 100 rssi=80 jitter=3 My lamp", nullptr},
      {"lamp 0a0b0c 1 100", "unknown device kind"}, {"dim 0a0b0g 1 100", "bad id"},
      {"dim 0a0b0c 1 101", "bad state"},     {"dim 0a0b0c 1 5 rssi=101", "bad option"},
      {"rel 5c6d73 1 on", "id used twice"},  // a channel of 5c6d70
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.line);
    house_load();
    int before = sim_device_count;
    char err[128] = "";
    EXPECT_EQ(sim_house_line(row.line, err, sizeof err), row.error == nullptr) << err;
    if (row.error) {
      EXPECT_NE(strstr(err, row.error), nullptr) << err;
      EXPECT_EQ(sim_device_count, before) << "a refused line adds nothing";
    }
  }
  house_load();
  char text[4096];
  sim_house_devices_text(text, sizeof text);
  for (const char *line : {"@1a2b30/dim/Lamp\n", "@5c6d72/dim/Hall 2\n", "@6e7f84/rel/Garage 4\n", "@8c9da0/tmp/Lounge\n"})
    EXPECT_NE(strstr(text, line), nullptr) << line << text;
  EXPECT_EQ(strstr(text, "@5c6d73"), nullptr);
  char small[40];
  size_t len = sim_house_devices_text(small, sizeof small);
  EXPECT_TRUE(len < sizeof small && strlen(small) == len) << "a cut list holds whole lines only";
}

}  // namespace
