// Radio packet decoding: command names and data texts, the JSON event and
// its globals, and the status, clock and temperature decoders.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "decode/event.h"
#include "decode/status.h"

namespace {

// A 65-byte report on the heap, so that AddressSanitizer catches any read past it.
std::vector<uint8_t> packet_make(const char *id_hex, uint8_t code, const std::vector<uint8_t> &data,
                                 uint8_t signal) {
  std::vector<uint8_t> p(65, 0);
  p[0] = 1;
  p[1] = (uint8_t)(8 + data.size());
  for (int i = 0; i < 3; i++) p[2 + i] = (uint8_t)std::stoi(std::string(id_hex + 2 * i, 2), nullptr, 16);
  p[6] = 3;
  p[7] = code;
  for (size_t i = 0; i < data.size(); i++) p[8 + i] = data[i];
  p[p[1]] = signal;
  return p;
}

// Parses a flat JSON object of string members; false unless the whole text is
// one valid object whose strings hold no quote, backslash or control byte.
bool json_flat_parse(const std::string &s, std::vector<std::pair<std::string, std::string>> &out) {
  size_t i = 0;
  auto str = [&](std::string &v) {
    if (i >= s.size() || s[i] != '"') return false;
    for (i++; i < s.size() && s[i] != '"'; i++) {
      unsigned char c = (unsigned char)s[i];
      if (c < 0x20 || c == '\\' || c >= 0x80) return false;
      v += s[i];
    }
    if (i >= s.size()) return false;
    i++;
    return true;
  };
  if (s.empty() || s[i++] != '{') return false;
  for (;;) {
    std::string k, v;
    if (!str(k) || i >= s.size() || s[i++] != ':' || !str(v)) return false;
    out.emplace_back(k, v);
    if (i < s.size() && s[i] == ',') {
      i++;
      continue;
    }
    return i + 1 == s.size() && s[i] == '}';
  }
}

struct event_parts {
  std::string id, cmd, data, rssi;
};

event_parts event_build(const std::vector<uint8_t> &p) {
  char event[EVENT_SIZE];
  memset(event, 'x', sizeof event);
  EXPECT_TRUE(pac_json(p.data(), event));
  EXPECT_NE(memchr(event, 0, sizeof event), nullptr) << "event not terminated";
  std::vector<std::pair<std::string, std::string>> m;
  EXPECT_TRUE(json_flat_parse(event, m)) << event;
  if (m.size() != 4 || m[0].first != "id" || m[1].first != "cmd" || m[2].first != "data" || m[3].first != "rssi") {
    ADD_FAILURE() << "members not id, cmd, data, rssi: " << event;
    return {};
  }
  EXPECT_EQ(m[2].second.substr(0, 63), std::string(g_data)) << "g_data is the data text cut at 63";
  EXPECT_EQ(m[3].second, std::string(g_rssi));
  return {m[0].second, m[1].second, m[2].second, m[3].second};
}

std::string status_of(const char *id, const std::vector<uint8_t> &payload, bool *ok) {
  strcpy(g_last_id_str, id);
  std::vector<uint8_t> pl(payload);
  pl.resize(4, 0);
  char text[STATUS_TEXT_SIZE];
  memset(text, '#', sizeof text);
  text[STATUS_TEXT_SIZE - 1] = 0;
  *ok = status_decode(pl.data(), text);
  return text;
}

}  // namespace

TEST(DecodeEvent, WorkedExampleIsExact) {
  const uint8_t bytes[] = {0x01, 0x0b, 0x1a, 0x2b, 0x30, 0x00, 0x03, 0x82, 0x81, 0x0c, 0x3e, 0xc4};
  std::vector<uint8_t> p(65, 0xEE);
  memcpy(p.data(), bytes, sizeof bytes);
  char event[EVENT_SIZE] = {};
  ASSERT_TRUE(pac_json(p.data(), event));
  EXPECT_STREQ(event, "{\"id\":\"@1a2b30\",\"cmd\":\"STATUS.ACK\",\"data\":\"50%,RX1DIM,V12\",\"rssi\":\"16%\"}");
  EXPECT_STREQ(g_last_id_str, "1a2b30");
  EXPECT_STREQ(g_data, "50%,RX1DIM,V12");
  EXPECT_STREQ(g_rssi, "16%");
  EXPECT_EQ(g_rssi_i, 16);
  decode_reset();
  EXPECT_STREQ(g_last_id_str, "");
  EXPECT_STREQ(g_data, "");
  EXPECT_STREQ(g_rssi, "");
  EXPECT_EQ(g_rssi_i, 0);
}

TEST(DecodeEvent, RssiTableAndWrap) {
  const struct { uint8_t raw; int pct; } rows[] = {
      {0x7F, 100}, {0x6C, 100}, {0x6A, 99}, {0x50, 86}, {0x01, 46}, {0x00, 46},
      {0xFF, 46},  {0xFD, 45},  {0xC4, 16}, {0x94, -8}, {0x81, -17}, {0x80, -18},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE("raw " + std::to_string(r.raw));
    EXPECT_EQ(rssi((int8_t)r.raw), r.pct);
    event_parts e = event_build(packet_make("a1b2c3", 0x02, {}, r.raw));
    EXPECT_EQ(g_rssi_i, r.pct);
    EXPECT_EQ(e.rssi, std::to_string(r.pct) + "%");
  }
}

// Every code's name and data text, through the whole event.
TEST(DecodeEvent, CommandNamesAndDataTexts) {
  const struct { uint8_t code; std::vector<uint8_t> data; const char *name, *text; } rows[] = {
      {0x02, {0x11}, "STATUS", ""},
      {0x03, {0xab, 0x01, 0x77}, "SAVE", "ab01"},
      {0x04, {0x12, 0x34}, "READ", "1234"},
      {0x04, {0x12}, "READ", "12"},
      {0x05, {0x01}, "TOGGLE", ""},
      {0x07, {0xC8}, "LEVEL", "200%"},
      {0x08, {1}, "SCENE SAVE", ""},
      {0x09, {1}, "SCENE EXE", ""},
      {0x0A, {0x01, 0x2C}, "OFF TIMER", "300 sec"},
      {0x0A, {0xFF, 0xFF}, "OFF TIMER", "65535 sec"},
      {0x0E, {0x0a, 0xbc, 0xde, 0xff}, "IDSET", "0abcde"},
      {0x0F, {3}, "SS PRESS", "BUTTON 3"},
      {0x10, {0x15, 0x80}, "TEMP", "21.5C"},
      {0x10, {0x15, 0xff}, "TEMP", "ERROR"},
      {0x11, {0xde, 0xad, 0xbe}, "DATA", "deadbe"},
      {0x13, {0x80, 0x0c, 0x1e, 0x05}, "TIME SET", "800c1e05"},
      {0x82, {0x81, 0x0c, 0x32}, "STATUS.ACK", "60%,RX1DIM,V12"},
      {0x82, {0x83, 0x01, 0x02}, "STATUS.ACK", "830102"},
      {0x83, {1, 2}, "SAVE.ACK", ""},
      {0x84, {0x00, 0x7f, 0x80}, "READ.ACK", "007f80"},
      {0x85, {1}, "TOGGLE.ACK", ""},
      {0x87, {0x81, 0x0c, 0x32}, "LEVEL.ACK", "60%"},
      {0x87, {0x91, 0x03, 0x80}, "LEVEL.ACK", "ON"},
      {0x87, {0x00, 0x0c, 0x32}, "LEVEL.ACK", "000c32"},
      {0x88, {1}, "SCENE SAVE.ACK", ""},
      {0x89, {1}, "SCENE EXE.ACK", ""},
      {0x8A, {1, 2}, "OFF TIMER.ACK", ""},
      {0x8E, {1, 2, 3}, "IDSET.ACK", ""},
      {0x90, {0x15, 0x80}, "TEMP.ACK", ""},
      {0x91, {0x01, 0x02}, "DATA.ACK", "0102"},
      {0x93, {0x80, 0x0c, 0x1e, 0x05}, "TIME.ACK", "Sun,12:30:05"},
      {0x93, {0x80, 0x0c}, "TIME.ACK", ""},
      {0x93, {0x80, 0x0c, 0x1e, 0x05, 0x00}, "TIME.ACK", ""},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.name) + " with " + std::to_string(r.data.size()) + " data bytes");
    event_parts e = event_build(packet_make("0a1b21", r.code, r.data, 0x50));
    EXPECT_EQ(e.id, "@0a1b21");
    EXPECT_EQ(e.cmd, r.name);
    EXPECT_EQ(e.data, r.text);
    EXPECT_EQ(e.rssi, "86%");
  }
}

// Packets without data: the data depends on the command alone.
TEST(DecodeEvent, PacketsWithoutData) {
  const struct { uint8_t code; const char *name, *text; } rows[] = {
      {0x13, "TIME GET", ""}, {0x87, "LEVEL.ACK", ""}, {0x11, "DATA", ""},      {0x84, "READ.ACK", ""},
      {0x91, "DATA.ACK", ""}, {0x93, "TIME.ACK", ""},  {0x82, "STATUS.ACK", ""}, {0x02, "STATUS", ""},
      // fixed-position reads show the signal byte (0xC4) and the zeroes after it
      {0x03, "SAVE", "c400"}, {0x04, "READ", "c4"},    {0x07, "LEVEL", "196%"}, {0x0E, "IDSET", "c40000"},
      {0x0F, "SS PRESS", "BUTTON 196"},                {0x0A, "OFF TIMER", "50176 sec"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    event_parts e = event_build(packet_make("123456", r.code, {}, 0xC4));
    EXPECT_EQ(e.cmd, r.name);
    EXPECT_EQ(e.data, r.text);
    EXPECT_EQ(e.rssi, "16%");
  }
}

TEST(DecodeEvent, EveryOtherCodeIsUnknown) {
  const uint8_t known[] = {0x02, 0x03, 0x04, 0x05, 0x07, 0x08, 0x09, 0x0A, 0x0E, 0x0F, 0x10, 0x11, 0x13,
                           0x82, 0x83, 0x84, 0x85, 0x87, 0x88, 0x89, 0x8A, 0x8E, 0x90, 0x91, 0x93};
  for (int code = 0; code < 256; code++) {
    SCOPED_TRACE("code " + std::to_string(code));
    event_parts e = event_build(packet_make("ffffff", (uint8_t)code, {0x81, 0x0c, 0x3e, 0x01}, 0x00));
    bool is_known = memchr(known, code, sizeof known) != nullptr;
    EXPECT_EQ(e.cmd == "UKNOWN?", !is_known) << e.cmd;
    if (!is_known) {
      EXPECT_EQ(e.data, "");
    }
  }
}

// 55 data bytes: the whole 110-digit dump reaches the client, g_data keeps 63.
TEST(DecodeEvent, LongHexDumpsStayWholeAndValid) {
  std::vector<uint8_t> data(55);
  std::string hex;
  for (int i = 0; i < 55; i++) {
    data[i] = (uint8_t)(0xA0 + i);
    char two[3];
    snprintf(two, sizeof two, "%02x", data[i]);
    hex += two;
  }
  const uint8_t codes[] = {0x11, 0x13, 0x84, 0x91, 0x82, 0x87};
  for (uint8_t code : codes) {
    SCOPED_TRACE("code " + std::to_string(code));
    std::vector<uint8_t> p = packet_make("abcdef", code, data, 0x80);
    ASSERT_EQ(p[1], 63);
    char event[EVENT_SIZE];
    pac_json(p.data(), event);
    EXPECT_LT(strlen(event), (size_t)EVENT_SIZE);
    event_parts e = event_build(p);
    EXPECT_EQ(e.data, hex);
    EXPECT_EQ(strlen(g_data), 63u);
    EXPECT_EQ(std::string(g_data), hex.substr(0, 63));
    EXPECT_EQ(e.rssi, "-18%");
  }
}

// Any code, any length the dispatcher lets through, any data: one valid event.
TEST(DecodeEvent, AnyPacketGivesValidJson) {
  uint32_t seed = 12345;
  for (int code = 0; code < 256; code++) {
    for (int len = 8; len <= 63; len += 5) {
      std::vector<uint8_t> data(len - 8);
      for (auto &b : data) b = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
      SCOPED_TRACE("code " + std::to_string(code) + " L " + std::to_string(len));
      event_parts e = event_build(packet_make("00000f", (uint8_t)code, data, data.empty() ? 0 : data[0]));
      EXPECT_EQ(e.id, "@00000f");
      EXPECT_FALSE(e.cmd.empty());
    }
  }
}

// A length byte the dispatcher would drop still never leads outside the report.
TEST(DecodeEvent, OutOfRangeLengthStaysInsideReport) {
  const uint8_t lens[] = {0, 7, 64, 65, 200, 255};
  const uint8_t codes[] = {0x11, 0x82, 0x87, 0x93, 0x13};
  for (uint8_t len : lens)
    for (uint8_t code : codes) {
      SCOPED_TRACE("L " + std::to_string(len) + " code " + std::to_string(code));
      std::vector<uint8_t> p = packet_make("010203", code, {}, 0);
      p[1] = len;
      event_build(p);
    }
}

TEST(DecodeStatus, DeviceTypes) {
  const struct { const char *id; std::vector<uint8_t> pl; const char *text; } rows[] = {
      {"1a2b31", {0x81, 0x0c, 0x3e}, "50%,RX1DIM,V12"},
      {"1a2b31", {0x91, 0x03, 0x80}, "ON,RX1REL,V3"},
      {"1a2b31", {0x24, 0x01, 0x00}, "OFF,RX1RTC,V1"},
      {"1a2b31", {0x24, 0xff, 0x80}, "ON,RX1RTC,V255"},
      {"1a2b31", {0x0b, 0x02, 0x7d}, "50%,RX1LED,V2"},
      {"1a2b31", {0x0b, 0x02, 0x00}, "0%,RX1LED,V2"},
      {"1a2b31", {0x0b, 0x02, 0xfa}, "100%,RX1LED,V2"},
      {"1a2b31", {0x0b, 0x02, 0xff}, "102%,RX1LED,V2"},
      {"1a2b31", {0x82, 0x05, 0x00, 0x7d}, "100%,RX2DIM,V5"},
      {"1a2b32", {0x82, 0x05, 0x00, 0x7d}, "0%,RX2DIM,V5"},
      {"1a2b33", {0x82, 0x05, 0x00, 0x3e}, "50%,RX2DIM,V5"},
      {"1a2b34", {0x82, 0x05, 0x00, 0x19}, "80%,RX2DIM,V5"},
      {"1a2b31", {0x82, 0xff, 0xdd, 0x00}, "-128%,RX2DIM,V255"},  // longest text
      {"1a2b31", {0x94, 0x01, 0x50}, "OFF,RX4REL,V1"},
      {"1a2b32", {0x94, 0x01, 0x50}, "ON,RX4REL,V1"},
      {"1a2b33", {0x94, 0x01, 0x50}, "OFF,RX4REL,V1"},
      {"1a2b34", {0x94, 0x01, 0x50}, "ON,RX4REL,V1"},
      {"1a2b31", {0x94, 0x01, 0xaf}, "ON,RX4REL,V1"},
      {"1a2b34", {0x94, 0x01, 0xef}, "OFF,RX4REL,V1"},
      {"1a2b30", {0x94, 0x01, 0xff}, "OFF,RX4REL,V1"},  // no channel bit
      {"1a2b35", {0x94, 0x01, 0xff}, "OFF,RX4REL,V1"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.text) + " from " + r.id);
    bool ok = false;
    EXPECT_EQ(status_of(r.id, r.pl, &ok), r.text);
    EXPECT_TRUE(ok);
  }
}

TEST(DecodeStatus, UnknownTypeWritesNothing) {
  const uint8_t types[] = {0x00, 0x83, 0x80, 0x92, 0xff, 0x01};
  for (uint8_t t : types) {
    SCOPED_TRACE("type " + std::to_string(t));
    bool ok = true;
    EXPECT_EQ(status_of("1a2b31", {t, 0x0c, 0x3e, 0x00}, &ok), std::string(STATUS_TEXT_SIZE - 1, '#'));
    EXPECT_FALSE(ok);
  }
}

TEST(DecodeStatus, DimLevelTableAndWrap) {
  const struct { uint8_t raw; int level; } rows[] = {
      {0x00, 100}, {0x01, 99}, {0x19, 80}, {0x32, 60},   {0x3E, 50},  {0x7D, 0},   {0x7E, 0},
      {0x7F, -1},  {0xFF, 100}, {0xDE, 127}, {0xDD, -128}, {0x80, -54}, {0xA0, -80}, {0x64, 20},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE("raw " + std::to_string(r.raw));
    EXPECT_EQ(dim_val((int8_t)r.raw), r.level);
  }
  // Each raw step below 0x7D is 0.8 % and the level never rises as raw grows.
  for (int raw = 1; raw <= 0x7F; raw++) EXPECT_LE(dim_val((int8_t)raw), dim_val((int8_t)(raw - 1))) << raw;
}

TEST(DecodeStatus, ClockText) {
  const struct { uint8_t c[4]; const char *text; } rows[] = {
      {{0x80, 0x0c, 0x1e, 0x05}, "Sun,12:30:05"}, {{0x40, 1, 2, 3}, "Mon,01:02:03"},
      {{0x20, 0, 0, 0}, "Tue,00:00:00"},          {{0x10, 0, 0, 0}, "Wed,00:00:00"},
      {{0x08, 0, 0, 0}, "Thu,00:00:00"},          {{0x04, 0, 0, 0}, "Fri,00:00:00"},
      {{0x02, 0x17, 0x3b, 0x3b}, "Sat,23:59:59"}, {{0x01, 0, 0, 0}, "Err,00:00:00"},
      {{0x00, 0, 0, 0}, "Err,00:00:00"},          {{0x82, 7, 8, 9}, "Sat,07:08:09"},
      {{0xc0, 7, 8, 9}, "Mon,07:08:09"},          {{0xff, 0xff, 0xff, 0xff}, "Err,255:255:255"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    char text[CLOCK_TEXT_SIZE];
    EXPECT_TRUE(time_str(text, r.c));
    EXPECT_STREQ(text, r.text);
  }
}

TEST(DecodeStatus, TemperatureText) {
  const struct { uint8_t t[2]; const char *text; } rows[] = {
      {{0x15, 0x80}, "21.5C"}, {{0x15, 0x00}, "21.0C"},   {{0xfd, 0x00}, "-3.0C"}, {{0xfd, 0x80}, "-3.5C"},
      {{0x00, 0x7f}, "0.0C"},  {{0x80, 0x80}, "-128.5C"}, {{0x7f, 0x00}, "127.0C"}, {{0x15, 0xff}, "ERROR"},
      {{0xfd, 0xff}, "ERROR"}, {{0x00, 0xfe}, "0.5C"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    char text[TEMP_TEXT_SIZE];
    temp_conv(text, r.t);
    EXPECT_STREQ(text, r.text);
  }
}
