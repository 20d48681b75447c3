// Automation rules: the validator's table of bad rules and exact errors, and
// the engine driven through its interface with a fake gateway and a driven
// clock (TZ=UTC, 60 N 0 E).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "radio/transmit.h"
#include "rules/rules.h"
#include "rules/sun.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// 2019-06-03 is a Monday; 12:00 UTC.
constexpr time_t MONDAY_NOON = 1559563200;

struct Fake {
  Strings sent, events, paused;
  std::map<std::string, std::string> states;
  bool hub = true;
  time_t now = MONDAY_NOON;
} fake;

const rules_world WORLD = {
    [](const char *id) -> const char * {
      auto it = fake.states.find(id);
      return it == fake.states.end() ? nullptr : it->second.c_str();
    },
    []() { return fake.hub; },
    [](const char *cmd) -> uint8_t { return fake.sent.push_back(cmd), RF_TX_AWAIT; },
    [](const char *id, const char *text) { fake.events.push_back(std::string(id) + ": " + text); },
    [](const char *id) { fake.paused.push_back(id); },
    []() { return fake.now; },
};

std::string rule_text(const std::string &id, const std::string &when, const std::string &then,
                      const std::string &extra = "") {
  return R"({"id":")" + id + R"(","when":[)" + when + R"(],"then":[)" + then + "]" + extra + "}";
}

class Rules : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    old_ = fs::current_path();
    char tmpl[] = "/tmp/rules_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::current_path(dir_);
    std::ofstream("setup.ini") << "PORT=2020\nLAT=60\nLON = 0\n";
    fake = Fake{};
    rules_reset();
    rules_start(WORLD);
  }
  void TearDown() override {
    rules_reset();
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  int put(const std::string &id, const std::string &body) {
    std::string reply;
    int status = rules_put(id.c_str(), body.data(), body.size(), reply);
    last_reply = reply;
    return status;
  }
  void tick_to(time_t t) {
    while (fake.now < t) rules_tick(++fake.now);
  }
  std::string list() {
    std::string out;
    rules_list(out);
    return out;
  }
  fs::path old_, dir_;
  std::string last_reply;
};

TEST(RuleParse, BadRulesGiveTheirPathAndReason) {
  const std::string B = R"({"button":"@7a8b90"})", S = R"({"send":"@1a2b30!"})";
  struct Row { std::string text; const char *error; bool place = true; } rows[] = {
      {rule_text("a", R"({"button":"7a8b9"})", S), "when[0].button: not a device id"},
      {R"({"when":[],"then":[]})", "id: missing"},
      {rule_text("Hall 1", B, S), "id: 1-32 characters a-z, 0-9, - or _"},
      {rule_text("a", B, S, R"(,"colour":1)"), "colour: unknown member"},
      {rule_text("a", "", S), "when: empty"},
      {rule_text("a", "{}", S), "when[0]: no trigger (button, state, temperature, time, start, unreachable or hub)"},
      {rule_text("a", R"({"button":"@7a8b90","hub":"online"})", S), "when[0]: one per entry, not button and hub"},
      {rule_text("a", R"({"button":"@7a8b90","number":256})", S), "when[0].number: a button number 0-255"},
      {rule_text("a", R"({"state":{"device":"@1a2b30","to":{"above":80,"below":20}}})", S),
       "when[0].state.to: above must be lower than below"},
      {rule_text("a", R"({"state":{"device":"@1a2b30"}})", S), "when[0].state.to: missing"},
      {rule_text("a", R"({"temperature":{"device":"@1a2b30","above":1,"below":0}})", S),
       "when[0].temperature: above or below (one of them)"},
      {rule_text("a", R"({"time":{"at":"24:00"}})", S),
       "when[0].time.at: HH:MM, or sunrise or sunset with an offset such as sunset-00:30"},
      {rule_text("a", R"({"time":{"at":"sunset-13:00"}})", S),
       "when[0].time.at: a sun offset is +HH:MM or -HH:MM, at most 12:00"},
      {rule_text("a", R"({"time":{"at":"sunset"}})", S), "when[0].time.at: sun times need the LAT and LON settings",
       false},
      {rule_text("a", R"({"time":{"at":"07:00","days":"SMTWTFX"}})", S),
       "when[0].time.days: seven days SMTWTFS, a day left out in lower case or -"},
      {rule_text("a", R"({"hub":"down"})", S), "when[0].hub: online or offline"},
      {rule_text("a", B, S, R"(,"if":[{"time":{}}])"), "if[0].time: after, before or both"},
      {rule_text("a", B, S, R"(,"if":[{"sun":"up"}])"), "if[0].sun: sun times need the LAT and LON settings", false},
      {rule_text("a", B, R"({"send":"@1a2b30=101"})"), "then[0].send: a level is 0-100"},
      {rule_text("a", B, R"({"send":"@1a2b30/set/0201"})"), "then[0].send: registers 00-03 need root mode"},
      {rule_text("a", B, R"({"send":"@1a2b30+0"})"), "then[0].send: an off timer is 1-65535 seconds"},
      {rule_text("a", B, R"({"send":"@1a2b30!x"})"),
       "then[0].send: not a radio command form (? =level ! +seconds /timeset /time? /get/ /set/ or raw hex)"},
      {rule_text("a", B, S + R"(,{"delay":1.5})"), "then[1].delay: a whole number of seconds 1-86400"},
      {rule_text("a", B, R"({"event":""})"), "then[0].event: an empty text"},
      {rule_text("a", B, S, R"(,"mode":"parallel")"), "mode: single, restart or queued"},
      {R"({"id":"a",)", "rule: line 1 col 11: member name expected"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    rule out;
    char err[RULE_ERROR_MAX];
    EXPECT_FALSE(rule_parse_text(r.text.data(), r.text.size(), rule_context{r.place}, &out, err));
    EXPECT_STREQ(err, r.error);
  }
}

TEST(RuleParse, WrittenRulesReadBackTheSame) {
  const std::string texts[] = {
      R"({"id":"hall-night","name":"Hall button lights the hall at night","enabled":true,
          "when":[{"button":"@7a8b90","number":1}],
          "if":[{"time":{"after":"sunset-00:30","before":"23:30"}},{"state":{"device":"@1a2b30","is":"off"}}],
          "then":[{"send":"@1a2b30=80"},{"delay":600},{"send":"@1a2b30=0"}],"mode":"restart"})",
      R"({"id":"all_kinds","enabled":false,"mode":"queued","when":[
          {"state":{"device":"1a2b30","to":{"above":20}}},{"temperature":{"device":"@2b3c40","below":18.5}},
          {"time":{"at":"sunrise+01:15","days":"sMTWTFs"}},{"start":true},{"unreachable":"@1a2b30"},{"hub":"offline"}],
          "if":[{"days":"S-----S"},{"temperature":{"device":"@2b3c40","above":-3,"below":30}},{"sun":"down"},
          {"hub":"online"},{"time":{"before":"06:00"}}],
          "then":[{"send":"@1a2b30/get/1002"},{"send":"@1a2b3000050732-"},{"send":"@1a2b30/set/10ff"},
          {"event":"caf\u00e9 \"open\""}]})",
  };
  for (const auto &t : texts) {
    rule a, b;
    char err[RULE_ERROR_MAX];
    ASSERT_TRUE(rule_parse_text(t.data(), t.size(), rule_context{true}, &a, err)) << err;
    std::string pretty, compact, again;
    rule_json(pretty, a, 0);
    rule_json(compact, a, -1);
    ASSERT_TRUE(rule_parse_text(pretty.data(), pretty.size(), rule_context{true}, &b, err)) << err << pretty;
    rule_json(again, b, -1);
    EXPECT_EQ(again, compact);
    EXPECT_NE(pretty.find("\n    {\"send\": \"@1a2b30"), std::string::npos) << pretty;  // one action a line
  }
}

TEST_F(Rules, ButtonSendsAtOnceAndTheDelayRestartsOnAnotherPress) {
  ASSERT_EQ(put("hall", rule_text("hall", R"({"button":"@7a8b90","number":1})",
                                  R"({"send":"@1a2b30=80"},{"delay":600},{"send":"@1a2b30=0"})")), 200);
  rules_button("7a8b90", 2);  // another button of the same device
  rules_button("@7a8b91", 1);
  EXPECT_TRUE(fake.sent.empty());
  rules_button("7a8b90", 1);
  EXPECT_EQ(fake.sent, Strings{"@1a2b30=80"});  // written inside the call
  tick_to(MONDAY_NOON + 300);
  rules_button("7a8b90", 1);  // restart: the light stays on 600 s from now
  tick_to(MONDAY_NOON + 899);
  EXPECT_EQ(fake.sent, (Strings{"@1a2b30=80", "@1a2b30=80"}));
  tick_to(MONDAY_NOON + 900);
  EXPECT_EQ(fake.sent.back(), "@1a2b30=0");
  std::string trace;
  rules_trace(trace);
  EXPECT_NE(trace.find(R"("rule":"hall","trigger":"button @7a8b90 1","conditions":[],"result":"restarted",)"
                       R"("actions":[{"send":"@1a2b30=80","result":"sent"},{"send":"@1a2b30=0","result":"sent"}])"),
            std::string::npos) << trace;
}

TEST_F(Rules, ConditionsWindowsStateAndTheHubBackup) {
  // 60 N on 3 June: sunset about 20:56 UTC, so "after sunset-00:30" opens near 20:26.
  ASSERT_EQ(put("night", rule_text("night", R"({"button":"@7a8b90"})", R"({"send":"@1a2b30=80"})",
                                   R"(,"if":[{"time":{"after":"sunset-00:30","before":"02:00"}},)"
                                   R"({"state":{"device":"@1a2b30","is":"off"}}])")), 200);
  ASSERT_EQ(put("backup", rule_text("backup", R"({"button":"@7a8b90"})", R"({"send":"@2b3c40!"})",
                                    R"(,"if":[{"hub":"offline"}])")), 200);
  fake.states["1a2b30"] = "OFF";
  sun_day sun = sun_times(2019, 6, 3, 60, 0);
  struct Row { time_t at; bool hub; const char *state; Strings sent; } rows[] = {
      {MONDAY_NOON, true, "OFF", {}},
      {sun.set - 1800 - 60, true, "OFF", {}},
      {sun.set - 1800 + 60, true, "OFF", {"@1a2b30=80"}},
      {sun.set - 1800 + 60, true, "40%", {}},
      {MONDAY_NOON + 13 * 3600 + 59 * 60, true, "OFF", {"@1a2b30=80"}},  // 01:59 the next day
      {MONDAY_NOON + 14 * 3600, false, "OFF", {"@2b3c40!"}},             // 02:00: only the backup
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.at);
    fake.sent.clear();
    fake.now = r.at;
    fake.hub = r.hub;
    fake.states["1a2b30"] = r.state;
    rules_button("7a8b90", 1);
    EXPECT_EQ(fake.sent, r.sent);
  }
  std::string trace;
  rules_trace(trace);
  EXPECT_NE(trace.find(R"({"if":"state","ok":false,"saw":"40%"})"), std::string::npos);
  EXPECT_NE(trace.find(R"({"if":"hub","ok":true,"saw":"offline"})"), std::string::npos);
}

TEST_F(Rules, StateAndTemperatureFireOncePerChange) {
  ASSERT_EQ(put("lit", rule_text("lit", R"({"state":{"device":"@1a2b30","to":{"above":50}}})",
                                 R"({"event":"bright"})")), 200);
  ASSERT_EQ(put("heat", rule_text("heat", R"({"temperature":{"device":"@2b3c40","below":19}})",
                                  R"({"send":"@3c4d50=100"})")), 200);
  for (const char *v : {"40%", "60%", "80%", "OFF", "ON"}) rules_state("1a2b30", v);
  EXPECT_EQ(fake.events, (Strings{"lit: bright", "lit: bright"}));
  // Default hysteresis 0.5: 18.9 fires, 19.2 does not re-arm, 19.5 does.
  for (double c : {19.5, 18.9, 18.5, 19.2, 18.8, 19.5, 18.0}) rules_temperature("2b3c40", c);
  EXPECT_EQ(fake.sent, (Strings{"@3c4d50=100", "@3c4d50=100"}));
  rules_state("2b3c40", "20C");
  rules_state("2b3c40", "17.5C");  // a temperature text reaches the temperature triggers
  EXPECT_EQ(fake.sent.size(), 3u);
}

TEST_F(Rules, TimeTriggersFireOnTheTickOnTheirDays) {
  ASSERT_EQ(put("wake", rule_text("wake", R"({"time":{"at":"12:00","days":"sMtwtfs"}})", R"({"send":"@1a2b30=5"})")), 200);
  ASSERT_EQ(put("dusk", rule_text("dusk", R"({"time":{"at":"sunset-00:30"}})", R"({"send":"@1a2b30=60"})")), 200);
  EXPECT_NE(list().find(R"("next":)" + std::to_string(MONDAY_NOON)), std::string::npos) << list();
  sun_day sun = sun_times(2019, 6, 3, 60, 0);
  tick_to(sun.set - 1800 - 1);
  EXPECT_EQ(fake.sent, Strings{"@1a2b30=5"});
  tick_to(sun.set - 1800);
  EXPECT_EQ(fake.sent.back(), "@1a2b30=60");
  tick_to(MONDAY_NOON + 7 * 86400 - 1);  // Tuesday to Sunday: dusk only
  EXPECT_EQ(fake.sent.size(), 8u);
  tick_to(MONDAY_NOON + 7 * 86400);
  EXPECT_EQ(fake.sent.back(), "@1a2b30=5");
  // A clock that jumps far past a fire does not fire it late.
  fake.now = MONDAY_NOON + 8 * 86400 + 3600;
  rules_tick(fake.now);
  EXPECT_EQ(fake.sent.size(), 9u);
}

TEST_F(Rules, ModesSingleAndQueued) {
  const std::string then = R"({"send":"@1a2b30=1"},{"delay":10},{"send":"@1a2b30=0"})";
  ASSERT_EQ(put("one", rule_text("one", R"({"button":"@7a8b90"})", then, R"(,"mode":"single")")), 200);
  ASSERT_EQ(put("q", rule_text("q", R"({"button":"@7a8b91"})", R"({"send":"@2b3c40!"},{"delay":10})",
                               R"(,"mode":"queued")")), 200);
  rules_button("7a8b90", 1);
  rules_button("7a8b90", 1);  // ignored while the first run waits
  tick_to(MONDAY_NOON + 10);
  EXPECT_EQ(fake.sent, (Strings{"@1a2b30=1", "@1a2b30=0"}));
  fake.sent.clear();
  for (int i = 0; i < 8; i++) rules_button("7a8b91", 1);  // one runs, five wait, two are dropped
  tick_to(MONDAY_NOON + 100);
  EXPECT_EQ(fake.sent, Strings(6, "@2b3c40!"));
}

TEST_F(Rules, TheLoopGuardPausesARuleThatTriggersItself) {
  ASSERT_EQ(put("loop", rule_text("loop", R"({"state":{"device":"@1a2b30","to":"on"}})", R"({"send":"@1a2b30!"})")), 200);
  for (int i = 0; i < 12; i++) {
    rules_state("1a2b30", "ON");
    rules_state("1a2b30", "OFF");
    fake.now += i % 2;
  }
  EXPECT_EQ(fake.sent.size(), 10u);
  EXPECT_EQ(fake.events, Strings{"loop: paused: fired more than 10 times in 10 s"});
  EXPECT_EQ(fake.paused, Strings{"loop"});
  EXPECT_NE(list().find(R"("paused":true)"), std::string::npos);
  std::string reply;
  EXPECT_EQ(rules_enable("loop", true, reply), 200);
  EXPECT_FALSE(rules_paused("loop"));
  rules_state("1a2b30", "ON");  // within the same 10 s: the guard starts counting again
  EXPECT_EQ(fake.sent.size(), 11u);
}

TEST_F(Rules, OtherTriggersAndRunNow) {
  ASSERT_EQ(put("s", rule_text("s", R"({"start":true})", R"({"event":"up"})")), 200);
  ASSERT_EQ(put("u", rule_text("u", R"({"unreachable":"@1a2b30"})", R"({"event":"lost"})")), 200);
  ASSERT_EQ(put("h", rule_text("h", R"({"hub":"offline"})", R"({"event":"hub gone"})")), 200);
  rules_started();
  rules_unreachable("2b3c40");
  rules_unreachable("1a2b30");
  rules_hub(true);  // no change
  rules_hub(false);
  rules_hub(false);
  std::string reply;
  EXPECT_EQ(rules_run("s", reply), 200);
  EXPECT_EQ(rules_run("nope", reply), 404);
  EXPECT_EQ(fake.events, (Strings{"s: up", "u: lost", "h: hub gone", "s: up"}));
}

TEST_F(Rules, TheFileKeepsBadRulesAndEveryChangeIsRewritten) {
  std::ofstream("rules") << "[\n" << rule_text("good", R"({"button":"@7a8b90"})", R"({"send":"@1a2b30!"})")
                         << ",\n  " << rule_text("bad", R"({"button":"@7a8b9"})", R"({"send":"@1a2b30!"})") << "\n]\n";
  rules_start(WORLD);
  ASSERT_EQ(rules_count(), 2);
  EXPECT_NE(list().find(R"({"id":"bad","error":"when[0].button: not a device id","source":{"id":"bad")"),
            std::string::npos) << list();
  rules_button("7a8b90", 1);
  EXPECT_EQ(fake.sent.size(), 1u);

  // A refused edit changes nothing, file included.
  auto file = [] { std::stringstream s; s << std::ifstream("rules").rdbuf(); return s.str(); };
  std::string before = file();
  EXPECT_EQ(put("good", R"({"id":"good","when":[]})"), 400);
  EXPECT_EQ(last_reply, R"({"ok":false,"error":"when: empty"})");
  EXPECT_EQ(put("other", rule_text("good", R"({"start":true})", R"({"event":"x"})")), 400);
  EXPECT_EQ(put("gone", ""), 404);
  EXPECT_EQ(file(), before);

  std::string reply;
  ASSERT_EQ(put("bad", rule_text("bad", R"({"button":"@7a8b91"})", R"({"send":"@1a2b30=0"})")), 200);
  ASSERT_EQ(rules_enable("good", false, reply), 200);
  ASSERT_EQ(put("new", rule_text("new", R"({"start":true})", R"({"event":"x"})")), 200);
  ASSERT_EQ(put("new", " \n"), 200);
  rules_start(WORLD);  // what the file says now
  ASSERT_EQ(rules_count(), 2);
  EXPECT_FALSE(rules_at(0)->enabled);
  EXPECT_STREQ(rules_at(1)->then[0].text, "@1a2b30=0");
  EXPECT_NE(file().find("\n    \"enabled\": false,\n"), std::string::npos) << file();

  // A file that is not JSON loads nothing and is kept aside.
  std::ofstream("rules") << "[{\"id\":";
  rules_start(WORLD);
  EXPECT_EQ(rules_count(), 0);
  EXPECT_TRUE(fs::exists("rules.broken"));
}

}  // namespace
