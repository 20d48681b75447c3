// The MQTT bridge against a real broker (mosquitto on a free loopback port,
// started by the test) and the simulated house. Every wait is for a message.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "../common/json_check.h"
#include "broker.h"
#include "harness.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

// A test client on its own libmosquitto thread, subscribed to everything at
// QoS 1. `all` keeps every message (topic, payload, QoS, retained) for the
// schema check; `wait` takes them from a second record.
struct Msg {
  std::string topic, payload;
  int qos;
  bool retain;
};
class Client {
 public:
  explicit Client(int port) {
    static bool ready = (mosquitto_lib_init(), true);
    (void)ready;
    m_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(m_, [](mosquitto *, void *self, const mosquitto_message *msg) {
      auto *c = static_cast<Client *>(self);
      std::lock_guard<std::mutex> lock(c->mu_);
      Msg m{msg->topic, std::string((const char *)msg->payload, msg->payloadlen), msg->qos, msg->retain};
      c->msgs_.push_back(m), c->all.push_back(m);
      c->cv_.notify_all();
    });
    mosquitto_connect(m_, "127.0.0.1", port, 30);
    mosquitto_subscribe(m_, nullptr, "#", 1);
    mosquitto_loop_start(m_);
    publish("probe", "");  // handled after the subscription: once it is back, nothing is missed
    wait("probe");
  }
  ~Client() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, true);
    mosquitto_destroy(m_);
  }
  // The first message on `topic` whose payload contains `part` (or equals it
  // when `exact`), taken from the record; nullopt when none comes in `ms`.
  std::optional<std::string> wait(const std::string &topic, const std::string &part = "", int ms = 5000,
                                  bool exact = false) {
    std::unique_lock<std::mutex> lock(mu_);
    std::optional<std::string> found;
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (auto it = msgs_.begin(); it != msgs_.end(); ++it)
        if (it->topic == topic && (exact ? it->payload == part : it->payload.find(part) != std::string::npos)) {
          found = it->payload;
          msgs_.erase(it);
          return true;
        }
      return false;
    });
    return found;
  }
  bool online(const std::string &base = "orvel") { return wait(base + "/bridge/state", "online", 8000, true).has_value(); }
  void publish(const std::string &topic, const std::string &payload, bool retain = false) {
    mosquitto_publish(m_, nullptr, topic.c_str(), (int)payload.size(), payload.data(), 1, retain);
  }
  std::vector<Msg> capture() {
    std::lock_guard<std::mutex> lock(mu_);
    return all;
  }
  std::string dump() {
    std::lock_guard<std::mutex> lock(mu_);
    std::string s;
    for (auto &m : msgs_) s += m.topic + " " + m.payload + "\n";
    return s;
  }

 private:
  mosquitto *m_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Msg> msgs_;
  std::vector<Msg> all;
};

// Home Assistant's discovery schema, lean: per component the keys a config
// must and must not hold; every config also carries the keys of `common`
// (entities) and never one of `deprecated`; configs and availabilities come
// at QoS 1. Returns one line per problem.
std::string schema_problems(const std::vector<Msg> &capture) {
  const struct { std::string comp; std::vector<std::string> required, forbidden; } rules[] = {
      {"light", {"schema", "command_topic", "state_topic", "supported_color_modes", "flash", "transition"},
       {"value_template", "color_mode", "hs", "rgb", "xy", "white_value"}},
      {"switch", {"command_topic", "state_topic"}, {"brightness"}},
      {"sensor", {"state_topic"}, {"command_topic"}},
      {"binary_sensor", {"state_topic"}, {"command_topic"}},
      {"event", {"state_topic", "event_types"}, {"command_topic"}},
      {"device_automation", {"automation_type", "topic", "type", "subtype", "device"}, {"unique_id"}},
  };
  const std::vector<std::string> common = {"unique_id", "default_entity_id", "device", "origin"};
  const std::string deprecated[] = {"\"object_id\"", "\"obj_id\"", "\"via_hub\""};
  const std::set<std::string> device_keys = {"identifiers", "connections", "manufacturer", "model", "model_id", "name",
                                             "hw_version", "serial_number", "sw_version", "via_device",
                                             "suggested_area", "configuration_url"};
  std::string problems, configs = "[", devices = "[";
  std::vector<const Msg *> seen;  // the configs, in the order of the arrays
  for (const Msg &m : capture) {
    bool config = m.topic.size() > 7 && m.topic.compare(m.topic.size() - 7, 7, "/config") == 0;
    if (m.retain) continue;  // held before this client came: not this run's
    if ((config || m.topic.find("/availability") != std::string::npos) && m.qos != 1)
      problems += "not QoS 1: " + m.topic + "\n";
    if (!config || m.payload.empty()) continue;
    for (const auto &d : deprecated)
      if (m.payload.find(d) != std::string::npos) problems += "deprecated " + d + ": " + m.topic + "\n";
    configs += (seen.empty() ? "" : ",") + m.payload;
    seen.push_back(&m);
  }
  std::vector<json_check::Object> v, dev;  // one parse for all: each is a process
  if (!json_check::parse(configs + "]", '[', &v) || v.size() != seen.size()) return problems + "not JSON\n";
  for (size_t i = 0; i < v.size(); i++) devices += (i ? "," : "") + v[i].str("device");
  if (!json_check::parse(devices + "]", '[', &dev) || dev.size() != v.size()) return problems + "a device block\n";
  for (size_t i = 0; i < v.size(); i++) {
    const std::string &topic = seen[i]->topic;
    std::string comp = topic.substr(topic.find('/') + 1);
    comp = comp.substr(0, comp.find('/'));
    auto has = [&](const std::string &k) { return v[i].str(k) != "<missing " + k + ">"; };
    auto r = std::find_if(std::begin(rules), std::end(rules), [&](const auto &x) { return x.comp == comp; });
    if (r == std::end(rules)) {
      problems += "unknown component: " + topic + "\n";
      continue;
    }
    std::vector<std::string> need = r->required;
    if (comp != "device_automation") need.insert(need.end(), common.begin(), common.end());
    for (const auto &k : need)
      if (!has(k)) problems += "missing " + k + ": " + topic + "\n";
    for (const auto &k : r->forbidden)
      if (has(k)) problems += "forbidden " + k + ": " + topic + "\n";
    if (has("default_entity_id") && v[i].str("default_entity_id").rfind(comp + ".", 0) != 0)
      problems += "default_entity_id of another domain: " + topic + "\n";
    if (has("availability") == has("availability_topic") && comp != "device_automation")
      problems += "availability and availability_topic: " + topic + "\n";
    for (const auto &member : dev[i].members)
      if (!device_keys.count(member.first)) problems += "device key " + member.first + ": " + topic + "\n";
  }
  return problems;
}

// Quiet devices with exact signal strengths: every event is one a test caused.
const char house_text[] =
    "dim 1a2b30 12 60   rssi=93 Lamp\nrel 2c3d10 3 off Kitchen\nrtc 3e4f50 1 off Boiler\nled 4a5b60 2 50 Shelf\n"
    "btn 7a8b90 1 - Door\ntmp 8c9da0 1 21.5 every=0 Lounge\nrel 9dae10 1 off deaf Broken\n";

Options bridge(const Broker &b, const std::string &base = "orvel", bool sim = true) {
  Options o;
  o.modem = !sim;
  o.settings = "MQTT_HOST=127.0.0.1:" + std::to_string(b.port) + "\nMQTT_BASE=" + base + "\n";
  o.files = {{"devices", "@1a2b30/dim/Lamp\n@2c3d10/rel/Kitchen\n@3e4f50/rtc/Boiler\n@4a5b60/led/Shelf\n"
                         "@7a8b90/btn/Door\n@8c9da0/tmp/Lounge\n@9dae10/xyz/Meter\n"}};
  return o;
}

#define START_HOUSE(g, sim)                                                               \
  SimHouse sim(g, house_text);                                                            \
  ASSERT_TRUE(sim.wait_ready()) << "orvel-sim did not start: " << g.read_file("sim.log"); \
  ASSERT_TRUE(g.wait_output("USB Found\n", 5000)) << g.output() << g.read_file("sim.log")

// Where `topic` is first published in the capture from `from` on (npos:
// never); a message held from before the client came does not count.
size_t seen_at(const std::vector<Msg> &cap, const std::string &topic, size_t from = 0) {
  for (size_t i = from; i < cap.size(); i++)
    if (cap[i].topic == topic && !cap[i].retain) return i;
  return std::string::npos;
}

// One run as a hub sees it: every device type, a room, a remembered press, a
// version told by a status, a rename, a retype, a delete while stopped, a
// restart and the hub's birth. What an earlier run left is cleared, configs
// before states; only what an edit changed is sent; every config passes.
TEST(MqttBridge, ARunClearsOrphansSendsOnlyChangesAndPassesTheSchemas) {
  Broker broker;
  auto earlier = std::make_unique<Client>(broker.port);
  const char *stale[][2] = {  // the old layout; a device deleted while stopped; a trigger of a device retyped
      {"homeassistant/light/orvel_1a2b30/light/config", "{}"}, {"homeassistant/switch/orvel/5e6f70_switch/config", "{}"},
      {"orvel/5e6f70", "{}"}, {"homeassistant/device_automation/orvel/2c3d10_press_1/config", "{}"},
      {"homeassistant/device_automation/orvel/7a8b90_press_3/config", "{}"}};
  for (auto &m : stale) earlier->publish(m[0], m[1], true);
  earlier->publish("probe", "");  // once it is back, the broker holds the rest
  earlier->wait("probe");
  earlier.reset();
  Client hub(broker.port);
  const std::string P = "homeassistant/", L = P + "light/orvel/1a2b30_light/config";
  Options o = bridge(broker, "orvel", false);
  o.files.push_back({"home/rooms", "@1a2b30 Lounge\n"});
  o.files.push_back({"home/presses", "@7a8b90 2 1700000000\n"});
  auto g = std::make_unique<Gateway>(o);
  const struct { std::string topic, part; } first[] = {
      {stale[0][0], ""}, {stale[1][0], ""}, {"orvel/5e6f70", ""}, {stale[3][0], ""},
      {stale[4][0], R"("subtype":"button_3")"},  // a listed button's trigger is kept
      {P + "device_automation/orvel/7a8b90_press_2/config", R"("subtype":"button_2")"},  // the remembered press
      {L, R"("suggested_area":"Lounge","via_device")"},
      {P + "event/orvel/7a8b90_button/config", R"("event_types":["press_1","press_2","press_3","press_4"])"},
      {P + "sensor/orvel/8c9da0_temperature/config", R"("expire_after":600)"},
      {P + "binary_sensor/orvel/bridge_modem/config", R"("device_class":"connectivity")"},
      {"orvel/1a2b30/availability", "online"}};
  for (const auto &row : first) EXPECT_TRUE(hub.wait(row.topic, row.part, 5000, row.part.empty())) << row.topic;
  EXPECT_LT(seen_at(hub.capture(), stale[1][0]), seen_at(hub.capture(), "orvel/5e6f70")) << "config before state";
  ASSERT_TRUE(g->modem().send_report(radio_packet(0x1a2b30, 0x82, {0x81, 12, 0x3e})));
  EXPECT_TRUE(hub.wait(L, R"("model":"Dimmer","sw_version":"12")")) << hub.dump();
  ASSERT_TRUE(g->modem().send_report(radio_packet(0x7a8b90, 0x0f, {5}, 0x50, 1)));
  EXPECT_TRUE(hub.wait(P + "device_automation/orvel/7a8b90_press_5/config", "button_5")) << hub.dump();
  EXPECT_TRUE(hub.wait(P + "event/orvel/7a8b90_button/config", R"("press_4","press_5"])")) << hub.dump();
  // A rename sends the renamed device's configs only; a retype replaces its entity.
  size_t mark = hub.capture().size();
  EXPECT_NE(g->get("/&device/@2c3d10/rel/Pantry").find("DEVICE EDIT"), std::string::npos);
  EXPECT_TRUE(hub.wait(P + "switch/orvel/2c3d10_switch/config", R"("name":"Pantry")")) << hub.dump();
  for (auto cap = hub.capture(); mark < cap.size(); mark++)
    EXPECT_TRUE(cap[mark].topic.find("/config") == std::string::npos || cap[mark].topic.find("/orvel/2c3d10_") != std::string::npos)
        << cap[mark].topic;
  EXPECT_NE(g->get("/&device/@9dae10/tmp/Meter").find("DEVICE EDIT"), std::string::npos);
  EXPECT_TRUE(hub.wait(P + "sensor/orvel/9dae10_state/config", "", 3000, true)) << hub.dump();
  EXPECT_TRUE(hub.wait(P + "sensor/orvel/9dae10_temperature/config", "temperature")) << hub.dump();
  // Deleted while stopped: cleared at the next start, config before availability.
  o.files[0].second = "@1a2b30/dim/Lamp\n@2c3d10/rel/Pantry\n@7a8b90/btn/Door\n@9dae10/tmp/Meter\n";
  g.reset();
  g = std::make_unique<Gateway>(o);
  EXPECT_TRUE(hub.wait(P + "light/orvel/4a5b60_light/config", "", 8000, true)) << hub.dump();
  EXPECT_TRUE(hub.wait("orvel/4a5b60/availability", "", 3000, true)) << hub.dump();
  auto cap = hub.capture();
  EXPECT_LT(seen_at(cap, P + "light/orvel/4a5b60_light/config", mark), seen_at(cap, "orvel/4a5b60/availability", mark));
  EXPECT_FALSE(hub.wait(P + "device_automation/orvel/7a8b90_press_5/config", "", 300, true)) << "kept over a restart";
  EXPECT_TRUE(hub.wait(L, "\"unique_id\"")) << "sent at the start";
  hub.publish("homeassistant/status", "online");  // the hub's birth: every config again
  EXPECT_TRUE(hub.wait(L, "\"unique_id\"")) << hub.dump();
  EXPECT_EQ(schema_problems(hub.capture()), "");
}

// Rows run in order on one house: what is published (or told to the
// simulator), and the message the gateway must publish after the device's
// answer (or its silence).
TEST(MqttBridge, SetRequestsAvailabilityAndPressesFollowTheDevices) {
  Broker broker;
  Client c(broker.port);
  Options o = bridge(broker);  // an automation: a switch of the gateway, its events on B/rule/<id>
  o.files.push_back({"rules", R"([{"id":"night","name":"Night \"light\"","when":[{"button":"@7a8b90","number":2}],)"
                              R"("then":[{"event":"door pressed"}]}])"});
  Gateway g(o);
  START_HOUSE(g, sim);
  ASSERT_TRUE(c.online()) << c.dump();
  const std::string req = "orvel/bridge/request/command", resp = "orvel/bridge/response/command";
  const std::string no_reply = R"({"data":{"id":"@9dae10","cmd":"ERROR","data":"NO REPLY","rssi":""},"status":"error",)"
                               R"("error":"NO REPLY")";
  const struct { std::string topic, payload, watch, want; } rows[] = {
      {"sim", "temp 8c9da0 19.5", "orvel/8c9da0", R"({"temperature":19.5,"rssi":92,"last_seen":)"},
      {"orvel/1a2b30/set", "50", "orvel/1a2b30", R"({"state":"ON","brightness":50,"rssi":93,)"},
      {"orvel/1a2b30/set", R"({"state":"OFF"})", "orvel/1a2b30", R"({"state":"OFF","brightness":0,)"},
      {"orvel/1a2b30/set", R"({"state":"ON"})", "orvel/1a2b30", R"({"state":"ON","brightness":50,)"},  // restored
      {"orvel/1a2b30/set", R"({"state":"ON","brightness":30})", "orvel/1a2b30", R"({"state":"ON","brightness":30,)"},
      {"orvel/1a2b30/set", "OFF", "orvel/1a2b30", R"({"state":"OFF","brightness":0,)"},
      {"orvel/1a2b30/set", "ON", "orvel/1a2b30", R"({"state":"ON","brightness":30,)"},
      {"orvel/4a5b60/set", "OFF", "orvel/4a5b60", R"({"state":"OFF","brightness":0,)"},
      {"orvel/4a5b60/set", "ON", "orvel/4a5b60", R"({"state":"ON","brightness":100,)"},  // no level known
      {"orvel/2c3d10/set", "ON", "orvel/2c3d10", R"({"state":"ON",)"},
      {"orvel/2c3d10/set", "TOGGLE", "orvel/2c3d10", R"({"state":"OFF",)"},
      {"orvel/2c3d10/set", R"({"state":"TOGGLE"})", "orvel/2c3d10", R"({"state":"ON",)"},
      {"orvel/3e4f50/set", "ON", "orvel/3e4f50", R"({"state":"ON",)"},
      {"orvel/2c3d10/set", R"({"off_timer":90})", "orvel/event", R"("id":"@2c3d10","cmd":"OFF TIMER.ACK")"},
      {"orvel/2c3d10/set", "BRIGHT", "orvel/bridge/log", R"("topic":"orvel/2c3d10/set")"},
      {"orvel/2c3d10/set", R"({"brightness":101})", "orvel/bridge/log", "brightness must be 0-100"},
      {"orvel/2c3d10/set", std::string(70000, '1'), "orvel/bridge/log", "longer than 64 KiB is ignored"},
      // A deaf device: offline after one command, online when heard again.
      {"", "", "orvel/9dae10/availability", "online"},  // as the bridge started
      {"orvel/9dae10/set", "ON", "orvel/9dae10/availability", "offline"},
      {"", "", "orvel/bridge/log", R"({"topic":"orvel/9dae10/set","error":"NO REPLY"})"},
      {"home", "", "", R"("unreachable":["@9dae10"])"},
      {req, R"({"transaction":7,"command":"@9dae10?"})", resp, no_reply + R"(,"transaction":7})"},
      {"sim", "deaf 9dae10 off", "", ""},
      {"sim", "status 9dae10", "orvel/9dae10/availability", "online"},
      {"home", "", "", R"("unreachable":[])"},
      {"", "", "homeassistant/switch/orvel/bridge_rule_night/config",
       R"({"name":"Night \"light\"","unique_id":"orvel_rule_night","default_entity_id":"switch.orvel_rule_night",)"},
      {"", "", "orvel/rule/night/state", "ON"},
      {"orvel/rule/night/set", "OFF", "orvel/rule/night/state", "OFF"},
      {"orvel/rule/night/set", "ON", "orvel/rule/night/state", "ON"},
      {"sim", "press 7a8b90 2", "orvel/7a8b90/action", "press_2"},
      {"", "", "orvel/rule/night", "door pressed"},
      {"", "", "orvel/event", R"("cmd":"SS PRESS","data":"BUTTON 2")"},
      {"", "", "orvel/7a8b90", R"({"rssi":92,"last_seen":)"},
      {"", "", "homeassistant/device_automation/orvel/7a8b90_press_2/config",
       R"({"automation_type":"trigger","topic":"orvel/7a8b90/action","type":"button_short_press","subtype":"button_2","payload":"press_2",)"},
      {req, R"({"command":"@1a2b30=40","transaction":"t\"1"})", resp,
       R"({"data":{"id":"@1a2b30","cmd":"LEVEL.ACK","data":"40%","rssi":"93%"},"status":"ok","transaction":"t\"1"})"},
      {req, R"({"command":"@zz","transaction":null})", resp,
       R"({"data":{"id":"","cmd":"ERROR","data":"BAD DATA","rssi":""},"status":"error","error":"BAD DATA","transaction":null})"},
      {req, R"({"command":"@zz"})", resp,
       R"({"data":{"id":"","cmd":"ERROR","data":"BAD DATA","rssi":""},"status":"error","error":"BAD DATA"})"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.topic + " " + row.payload + " " + row.want);
    if (row.topic == "sim") sim.control(row.payload);
    else if (row.topic == "home") EXPECT_NE(http_body(g.get("/&home")).find(row.want), std::string::npos);
    else if (!row.topic.empty()) c.publish(row.topic, row.payload);
    EXPECT_TRUE(row.watch.empty() || c.wait(row.watch, row.want)) << c.dump() << g.read_file("sim.log");
  }
  EXPECT_NE(sim.control("show").find("@1a2b30 dim  v12  40%"), std::string::npos) << sim.control("show");
  EXPECT_EQ(schema_problems(c.capture()), "");
}

TEST(MqttBridge, BrokerAbsentThenRestartedAndTheGatewayCatchesUp) {
  Broker broker;
  broker.stop();
  Gateway g(bridge(broker));
  START_HOUSE(g, sim);
  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(g.wait_output("MQTT connected", 10000)) << g.output();  // the next attempt may be 4 s away
  broker.stop();
  ASSERT_TRUE(g.wait_output("MQTT disconnected", 5000)) << g.output();
  // The gateway serves HTTP and radio while the broker is away; the state
  // changed meanwhile is published on reconnect, with the discovery.
  EXPECT_NE(http_body(g.get("/@1a2b30=20")).find("LEVEL.ACK"), std::string::npos);
  ASSERT_TRUE(broker.start());
  Client c(broker.port);
  EXPECT_TRUE(c.online()) << g.output();
  EXPECT_TRUE(c.wait("orvel/1a2b30", R"({"state":"ON","brightness":20,)")) << c.dump();
  EXPECT_TRUE(c.wait("homeassistant/light/orvel/1a2b30_light/config")) << c.dump();
}

// Two gateways with their own houses on one broker, with bases that make the
// same safe text ("home.1", "home/1"): their node ids differ, each obeys its
// own commands only, and a killed one's will says it is offline.
TEST(MqttBridge, TwoGatewaysWithCollidingBasesAndTheWill) {
  Broker broker;
  Client c(broker.port);
  Gateway g1(bridge(broker, "home.1"));
  START_HOUSE(g1, sim1);
  c.publish("home/1/1a2b30/set", "90", true);  // left retained: never to be sent at a start
  Gateway g2(bridge(broker, "home/1"));
  START_HOUSE(g2, sim2);
  ASSERT_TRUE(c.online("home.1") && c.online("home/1")) << c.dump();
  EXPECT_TRUE(c.wait("home/1/bridge/log", "a retained command is ignored")) << c.dump();
  c.publish("home.1/1a2b30/set", "20");
  EXPECT_TRUE(c.wait("home.1/1a2b30", R"("brightness":20,)")) << c.dump();
  c.publish("home/1/1a2b30/set", "70");
  EXPECT_TRUE(c.wait("home/1/1a2b30", R"("brightness":70,)")) << c.dump();
  EXPECT_NE(sim1.control("show").find("@1a2b30 dim  v12  20%"), std::string::npos) << sim1.control("show");
  EXPECT_NE(sim2.control("show").find("@1a2b30 dim  v12  70%"), std::string::npos) << sim2.control("show");
  std::set<std::string> nodes;
  for (const Msg &m : c.capture())
    if (m.topic.rfind("homeassistant/light/home_1_", 0) == 0 && m.topic.find("/1a2b30_light/config") != std::string::npos)
      nodes.insert(m.topic.substr(20, m.topic.find('/', 20) - 20));
  EXPECT_EQ(nodes.size(), 2u) << c.dump();
  EXPECT_FALSE(c.wait("home.1/1a2b30", R"("brightness":70,)", 300)) << c.dump();
  g1.kill_now();
  EXPECT_TRUE(c.wait("home.1/bridge/state", "offline", 5000, true)) << c.dump();
  EXPECT_FALSE(c.wait("home/1/bridge/state", "offline", 300, true));
  EXPECT_EQ(schema_problems(c.capture()), "");
}

}  // namespace
