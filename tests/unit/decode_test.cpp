// Radio packet decoding: command names and data texts, the JSON event and
// its globals, and the status, clock and temperature decoders.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../common/json_check.h"
#include "decode/event.h"
#include "decode/status.h"

namespace {

// A 65-byte report on the heap, so that AddressSanitizer catches any read past it.
std::vector<uint8_t> packet_make(uint32_t id, uint8_t code, const std::vector<uint8_t> &data, uint8_t signal) {
  std::vector<uint8_t> p(65, 0);
  p[0] = 1, p[1] = (uint8_t)(8 + data.size());
  p[2] = (uint8_t)(id >> 16), p[3] = (uint8_t)(id >> 8), p[4] = (uint8_t)id, p[6] = 3, p[7] = code;
  std::copy(data.begin(), data.end(), p.begin() + 8);
  p[p[1]] = signal;
  return p;
}

// The events of packets, read as one JSON text (one reader start for the
// lot): each an object of id, cmd, data and rssi, in that order, agreeing
// with the globals that its decoding left.
std::vector<json_check::Object> events_of(const std::vector<std::vector<uint8_t>> &packets) {
  std::string list, globals, seen;
  for (const auto &p : packets) {
    char event[EVENT_SIZE];
    memset(event, 'x', sizeof event);
    EXPECT_TRUE(pac_json(p.data(), event) && memchr(event, 0, sizeof event));
    list += (list.empty() ? "[" : ",") + std::string(event, strnlen(event, sizeof event));
    globals += std::string(g_data) + "|" + g_rssi + "|id,cmd,data,rssi,\n";
  }
  std::vector<json_check::Object> got;
  EXPECT_TRUE(json_check::parse(list + "]", '[', &got)) << list;
  for (const auto &o : got) {
    seen += o.str("data").substr(0, 63) + "|" + o.str("rssi") + "|";  // g_data is the text cut at 63
    for (const auto &m : o.members) seen += m.first + ",";
    seen += "\n";
  }
  EXPECT_EQ(seen, globals);
  got.resize(packets.size());
  return got;
}

// Every code's name and data text, through the whole event; signal byte 0xC4.
TEST(DecodeEvent, CommandNamesAndDataTexts) {
  const struct { uint8_t code; std::vector<uint8_t> data; const char *name, *text; } rows[] = {
      {0x02, {0x11}, "STATUS", ""},                        {0x03, {0xab, 0x01, 0x77}, "SAVE", "ab01"},
      {0x04, {0x12, 0x34}, "READ", "1234"},                {0x05, {0x01}, "TOGGLE", ""},
      {0x07, {0xC8}, "LEVEL", "200%"},                     {0x08, {1}, "SCENE SAVE", ""},
      {0x07, {}, "LEVEL", "196%"},  // fixed-position reads show the signal byte
      {0x09, {1}, "SCENE EXE", ""},                        {0x0A, {0xFF, 0x2C}, "OFF TIMER", "65324 sec"},
      {0x0E, {0x0a, 0xbc, 0xde, 0xff}, "IDSET", "0abcde"}, {0x0F, {3}, "SS PRESS", "BUTTON 3"},
      {0x10, {0x15, 0x80}, "TEMP", "21.5C"},               {0x11, {0xde, 0xad, 0xbe}, "DATA", "deadbe"},
      {0x11, {}, "DATA", ""},                              {0x13, {}, "TIME GET", ""},
      {0x13, {0x80, 0x0c, 0x1e, 0x05}, "TIME SET", "800c1e05"},
      {0x82, {0x81, 0x0c, 0x32}, "STATUS.ACK", "60%,RX1DIM,V12"},
      {0x82, {0x83, 0x01, 0x02}, "STATUS.ACK", "830102"},  // unknown type: hex
      {0x83, {1, 2}, "SAVE.ACK", ""},                      {0x84, {0x00, 0x7f, 0x80}, "READ.ACK", "007f80"},
      {0x85, {1}, "TOGGLE.ACK", ""},                       {0x87, {0x91, 0x03, 0x80}, "LEVEL.ACK", "ON"},
      {0x87, {0x81, 0x0c, 0x32}, "LEVEL.ACK", "60%"},      {0x87, {0x00, 0x0c, 0x32}, "LEVEL.ACK", "000c32"},
      {0x87, {}, "LEVEL.ACK", ""},                         {0x88, {1}, "SCENE SAVE.ACK", ""},
      {0x89, {1}, "SCENE EXE.ACK", ""},                    {0x8A, {1, 2}, "OFF TIMER.ACK", ""},
      {0x8E, {1, 2, 3}, "IDSET.ACK", ""},                  {0x90, {0x15, 0x80}, "TEMP.ACK", ""},
      {0x91, {0x01, 0x02}, "DATA.ACK", "0102"},            {0x93, {0x80, 0x0c, 0x1e, 0x05}, "TIME.ACK", "Sun,12:30:05"},
      {0x93, {0x80, 0x0c, 0x1e, 0x05, 0x00}, "TIME.ACK", ""},  // only exactly 4 clock bytes
  };
  std::vector<std::vector<uint8_t>> packets;
  for (const auto &r : rows) packets.push_back(packet_make(0x0a1b21, r.code, r.data, 0xC4));
  // The signal percentage: clamped at 100, the raw byte signed.
  const std::pair<int, int> signals[] = {{0x7F, 100}, {0x6A, 99}, {0x50, 86}, {0xFF, 46}, {0x80, -18}};
  for (auto [raw, pct] : signals) packets.push_back(packet_make(0xa1b2c3, 0x02, {}, (uint8_t)raw));
  // 55 data bytes: the whole dump reaches the client, g_data keeps 63 characters.
  packets.push_back(packet_make(0xabcdef, 0x11, std::vector<uint8_t>(55, 0xA5), 0x80));
  auto events = events_of(packets);
  for (size_t i = 0; i < std::size(rows); i++) {
    SCOPED_TRACE(std::string(rows[i].name) + " with " + std::to_string(rows[i].data.size()) + " data bytes");
    EXPECT_EQ(events[i].str("id"), "@0a1b21");
    EXPECT_EQ(events[i].str("cmd"), rows[i].name);
    EXPECT_EQ(events[i].str("data"), rows[i].text);
    EXPECT_EQ(events[i].str("rssi"), "16%");
  }
  for (size_t i = 0; i < std::size(signals); i++)
    EXPECT_EQ(events[std::size(rows) + i].str("rssi"), std::to_string(signals[i].second) + "%");
  std::string dump;
  for (int i = 0; i < 55; i++) dump += "a5";
  EXPECT_EQ(events.back().str("data"), dump);
  EXPECT_EQ(strlen(g_data), 63u);
}

TEST(DecodeStatus, DeviceTypesAndChannels) {
  const char *untouched = "#################";
  const struct { const char *id; std::vector<uint8_t> pl; const char *text; } rows[] = {
      {"1a2b31", {0x81, 0x0c, 0x3e}, "50%,RX1DIM,V12"},   {"1a2b31", {0x91, 0x03, 0x80}, "ON,RX1REL,V3"},
      {"1a2b31", {0x24, 0xff, 0x00}, "OFF,RX1RTC,V255"},  {"1a2b31", {0x0b, 0x02, 0x7d}, "50%,RX1LED,V2"},
      {"1a2b31", {0x0b, 0x02, 0xff}, "102%,RX1LED,V2"},
      {"1a2b31", {0x82, 0x05, 0x00, 0x7d}, "100%,RX2DIM,V5"},  // channel from the id's last digit
      {"1a2b32", {0x82, 0x05, 0x00, 0x7d}, "0%,RX2DIM,V5"},
      {"1a2b31", {0x82, 0xff, 0xdd, 0x00}, "-128%,RX2DIM,V255"},  // longest text
      {"1a2b31", {0x94, 0x01, 0x50}, "OFF,RX4REL,V1"},    {"1a2b32", {0x94, 0x01, 0x50}, "ON,RX4REL,V1"},
      {"1a2b34", {0x94, 0x01, 0xef}, "OFF,RX4REL,V1"},    {"1a2b30", {0x94, 0x01, 0xff}, "OFF,RX4REL,V1"},  // no channel bit
      {"1a2b31", {0x00, 0x0c, 0x3e}, untouched},         {"1a2b31", {0x83, 0x0c, 0x3e}, untouched},  // unknown types
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.text) + " from " + r.id);
    strcpy(g_last_id_str, r.id);
    std::vector<uint8_t> pl(r.pl);
    pl.resize(4, 0);
    char text[STATUS_TEXT_SIZE];
    memset(text, '#', sizeof text);
    text[STATUS_TEXT_SIZE - 1] = 0;
    EXPECT_EQ(status_decode(pl.data(), text), r.text != untouched);
    EXPECT_STREQ(text, r.text);
  }
}


TEST(DecodeStatus, ClockAndTemperatureTexts) {
  const struct { uint8_t c[4]; const char *text; } clocks[] = {
      {{0x80, 0x0c, 0x1e, 0x05}, "Sun,12:30:05"}, {{0x02, 0x17, 0x3b, 0x3b}, "Sat,23:59:59"},
      {{0x82, 7, 8, 9}, "Sat,07:08:09"},          {{0x00, 0, 0, 0}, "Err,00:00:00"},
      {{0xff, 0xff, 0xff, 0xff}, "Err,255:255:255"},
  };
  for (const auto &r : clocks) {
    SCOPED_TRACE(r.text);
    char text[CLOCK_TEXT_SIZE];
    EXPECT_TRUE(time_str(text, r.c));
    EXPECT_STREQ(text, r.text);
  }
  const struct { uint8_t t[2]; const char *text; } temps[] = {
      {{0x15, 0x80}, "21.5C"}, {{0xfd, 0x80}, "-3.5C"}, {{0x00, 0x7f}, "0.0C"},
      {{0x80, 0x80}, "-128.5C"}, {{0x00, 0xfe}, "0.5C"}, {{0x15, 0xff}, "ERROR"},
  };
  for (const auto &r : temps) {
    SCOPED_TRACE(r.text);
    char text[TEMP_TEXT_SIZE];
    temp_conv(text, r.t);
    EXPECT_STREQ(text, r.text);
  }
}

}  // namespace
