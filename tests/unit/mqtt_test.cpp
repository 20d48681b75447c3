// The MQTT bridge's payload readers and writers, and its settings beside the
// old ones in one file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/settings.h"
#include "mqtt/mqtt_payload.h"

namespace {

TEST(MqttPayload, SetPayloadsBecomeRadioCommands) {
  struct Row { const char *payload; const char *first, *second; int on_level = 0; } rows[] = {
      {"ON", "@1a2b30=100", nullptr},
      {"on", "@1a2b30=40", nullptr, 40},  // the last non-zero level known
      {R"({"state":"ON"})", "@1a2b30=7", nullptr, 7},
      {R"({"state":"ON","brightness":60})", "@1a2b30=60", nullptr, 40},
      {"off\n", "@1a2b30=0", nullptr},
      {"TOGGLE", "@1a2b30!", nullptr},
      {" 100 ", "@1a2b30=100", nullptr},
      {R"({"state":"ON","brightness":60})", "@1a2b30=60", nullptr},
      {R"({"state":"OFF","brightness":60})", "@1a2b30=0", nullptr},
      {R"({"state":"ON","off_timer":300,"transition":2})", "@1a2b30+300", "@1a2b30=100"},
      {R"( { "brightness" : 7 } )", "@1a2b30=7", nullptr},
      {R"({"st\u0061te":"ON"})", "@1a2b30=100", nullptr},
      // refused: nothing is sent
      {"101", nullptr, nullptr},
      {"5.5", nullptr, nullptr},
      {"ONN", nullptr, nullptr},
      {R"({"brightness":"50"})", nullptr, nullptr},
      {R"({"state":"ON","off_timer":0})", nullptr, nullptr},
      {R"({"off_timer":65536})", nullptr, nullptr},
      {R"({"state":{"x":1}})", nullptr, nullptr},
      {R"({"state":"ON")", nullptr, nullptr},
      {R"({"state":"ON"} x)", nullptr, nullptr},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.payload);
    char cmds[SET_CMDS_MAX][SET_CMD_SIZE] = {};
    const char *why = nullptr;
    int n = mqtt_set_parse(r.payload, strlen(r.payload), "1a2b30", cmds, &why, r.on_level);
    EXPECT_EQ(n, r.first ? (r.second ? 2 : 1) : 0);
    EXPECT_STREQ(r.first ? cmds[0] : "", r.first ? r.first : "");
    EXPECT_STREQ(r.second ? cmds[1] : "", r.second ? r.second : "");
    if (!r.first) {
      EXPECT_TRUE(why && *why);
    }
  }
}

TEST(MqttPayload, StateObjectPerType) {
  struct Row { const char *type, *val, *rssi, *time, *json; } rows[] = {
      {"rel", "ON", "87%", "1700000000", R"({"state":"ON","rssi":87,"last_seen":1700000000})"},
      {"rel", "OFF", "", "5", R"({"state":"OFF","last_seen":5})"},
      {"led", "0%", "93%", "5", R"({"state":"OFF","brightness":0,"rssi":93,"last_seen":5})"},
      {"tmp", "21.5C", "-8%", "5", R"({"temperature":21.5,"rssi":-8,"last_seen":5})"},
      {"tmp", "-3C", "90%", "5", R"({"temperature":-3,"rssi":90,"last_seen":5})"},
      {"tmp", "03C", "90%", "5", R"({"rssi":90,"last_seen":5})"},
      {"xyz", "say \"hi\"", "90%", "5", R"({"state":"say \"hi\"","rssi":90,"last_seen":5})"},
      {"dim", "", "", "", nullptr},  // never heard: nothing to publish
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.type) + " " + r.val);
    dev_rec d = {};
    strcpy(d.id, "1a2b30");
    strcpy(d.type, r.type);
    strcpy(d.val, r.val);
    strcpy(d.rssi, r.rssi);
    strcpy(d.time, r.time);
    char out[STATE_JSON_SIZE];
    bool ok = mqtt_state_json(&d, out, sizeof out);
    EXPECT_EQ(ok, r.json != nullptr);
    EXPECT_STREQ(ok ? out : "", r.json ? r.json : "");
  }
}

// Every setting, old and new, in one file reads back its own value: no key is
// found inside another key's line.
TEST(MqttPayload, SettingsKeysDoNotReadEachOther) {
  const char *keys[] = {"PORT", "DEBUG", "LOGS", "CRONRETRY", "MQTT_HOST", "MQTT_USER", "MQTT_PASS",
                        "MQTT_BASE", "MQTT_CAFILE", "HA_DISCOVERY", "HA_PREFIX"};
  std::string file, reversed;  // a key may be found in a line before or after its own
  for (const char *k : keys) file += std::string(k) + "=v_" + k + "\n", reversed.insert(0, std::string(k) + "=v_" + k + "\n");
  for (const std::string &content : {file, reversed})
    for (const char *k : keys) {
      SCOPED_TRACE(k);
      char value[64] = "";
      ASSERT_EQ(setting_get_text(content.c_str(), k, value), 1);
      EXPECT_EQ(std::string(value), std::string("v_") + k);
    }
}

}  // namespace
