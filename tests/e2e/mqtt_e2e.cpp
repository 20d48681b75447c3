// The MQTT bridge against a real broker (mosquitto on a free loopback port,
// started by the test) and the simulated house. Every wait is for a message.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>

#include "../common/json_check.h"
#include "harness.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

// A broker of its own: one loopback listener on a free port, anonymous
// clients, no persistence. start() returns once it accepts connections.
struct Broker {
  Broker() : port(free_port()), dir(fs::temp_directory_path() / ("orvel-broker-" + std::to_string(port))) {
    fs::create_directories(dir);
    std::ofstream(dir / "broker.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
    start();
  }
  ~Broker() {
    stop();
    fs::remove_all(dir);
  }
  bool start() {
    std::string conf = dir / "broker.conf", log = dir / "broker.log";
    if ((pid = fork()) == 0) {
      if (!freopen(log.c_str(), "a", stderr)) _exit(127);
      execlp("mosquitto", "mosquitto", "-c", conf.c_str(), (char *)nullptr);
      _exit(127);
    }
    for (int i = 0; i < 100; i++, usleep(20000))
      if (int s = connect_to(port); s >= 0) return close(s), true;
    return false;
  }
  void stop() {
    if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
    pid = -1;
  }
  const int port;
  fs::path dir;
  pid_t pid = -1;
};

// A test client on its own libmosquitto thread, subscribed to everything.
class Client {
 public:
  explicit Client(int port) {
    static bool ready = (mosquitto_lib_init(), true);
    (void)ready;
    m_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(m_, [](mosquitto *, void *self, const mosquitto_message *msg) {
      auto *c = static_cast<Client *>(self);
      std::lock_guard<std::mutex> lock(c->mu_);
      c->msgs_.push_back({msg->topic, std::string((const char *)msg->payload, msg->payloadlen)});
      c->cv_.notify_all();
    });
    mosquitto_connect(m_, "127.0.0.1", port, 30);
    mosquitto_subscribe(m_, nullptr, "#", 0);
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
        if (it->first == topic && (exact ? it->second == part : it->second.find(part) != std::string::npos)) {
          found = it->second;
          msgs_.erase(it);
          return true;
        }
      return false;
    });
    return found;
  }
  bool online(const std::string &base = "orvel") { return wait(base + "/bridge/state", "online", 8000, true).has_value(); }
  void publish(const std::string &topic, const std::string &payload) {
    mosquitto_publish(m_, nullptr, topic.c_str(), (int)payload.size(), payload.data(), 1, false);
  }
  std::string dump() {
    std::lock_guard<std::mutex> lock(mu_);
    std::string s;
    for (auto &[t, p] : msgs_) s += t + " " + p + "\n";
    return s;
  }

 private:
  mosquitto *m_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<std::string, std::string>> msgs_;
};

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

TEST(MqttBridge, DiscoveryConfigPerTypeAndEditsClearOrRepublish) {
  Broker broker;
  Client hub(broker.port);
  Gateway g(bridge(broker, "orvel", false));
  const struct {
    const char *topic;
    std::vector<std::pair<std::string, std::string>> keys;
  } rows[] = {
      {"homeassistant/light/orvel_1a2b30/light/config",
       {{"unique_id", "orvel_1a2b30_light"}, {"schema", "json"}, {"command_topic", "orvel/1a2b30/set"},
        {"state_topic", "orvel/1a2b30"}, {"brightness_scale", "100"}, {"availability_topic", "orvel/bridge/state"}}},
      {"homeassistant/light/orvel_4a5b60/light/config", {{"unique_id", "orvel_4a5b60_light"}}},
      {"homeassistant/switch/orvel_2c3d10/switch/config",
       {{"unique_id", "orvel_2c3d10_switch"}, {"command_topic", "orvel/2c3d10/set"}, {"state_topic", "orvel/2c3d10"},
        {"payload_on", "ON"}, {"value_template", "{{ value_json.state }}"}}},
      {"homeassistant/switch/orvel_3e4f50/switch/config", {{"unique_id", "orvel_3e4f50_switch"}}},
      {"homeassistant/sensor/orvel_8c9da0/temperature/config",
       {{"unique_id", "orvel_8c9da0_temperature"}, {"device_class", "temperature"}, {"unit_of_measurement", "\xC2\xB0" "C"},
        {"state_class", "measurement"}, {"value_template", "{{ value_json.temperature }}"}}},
      {"homeassistant/sensor/orvel_9dae10/state/config",
       {{"unique_id", "orvel_9dae10_state"}, {"value_template", "{{ value_json.state }}"}}},
      {"homeassistant/sensor/orvel_bridge/devices/config", {{"state_topic", "orvel/bridge/info"}}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.topic);
    auto cfg = hub.wait(row.topic);
    std::vector<json_check::Object> v;
    ASSERT_TRUE(cfg && json_check::parse(*cfg, '{', &v)) << hub.dump();
    for (const auto &[key, want] : row.keys) EXPECT_EQ(v[0].str(key), want) << *cfg;
    EXPECT_TRUE(strstr(row.topic, "bridge") || cfg->find(R"("via_device":"orvel_bridge")") != std::string::npos);
  }
  EXPECT_FALSE(hub.wait("homeassistant/device_automation/orvel_7a8b90/press_1/config", "", 100)) << "before a press";
  // A rename republishes, a delete clears with an empty retained config, and
  // the hub announcing itself gets every config again.
  EXPECT_NE(g.get("/&device/@2c3d10/rel/Pantry").find("DEVICE EDIT"), std::string::npos);
  EXPECT_TRUE(hub.wait("homeassistant/switch/orvel_2c3d10/switch/config", R"("name":"Pantry")")) << hub.dump();
  EXPECT_NE(g.get("/&device/@4a5b60-").find("DEVICE DELETE"), std::string::npos);
  EXPECT_TRUE(hub.wait("homeassistant/light/orvel_4a5b60/light/config", "", 3000, true)) << hub.dump();
  hub.publish("homeassistant/status", "online");
  EXPECT_TRUE(hub.wait("homeassistant/light/orvel_1a2b30/light/config", "\"unique_id\"")) << hub.dump();
}

// Rows run in order on one house: what is published (or told to the
// simulator), and the message the gateway must publish after the device's answer.
TEST(MqttBridge, SetRequestsAndPressesFollowTheDevices) {
  Broker broker;
  Client c(broker.port);
  Gateway g(bridge(broker));
  START_HOUSE(g, sim);
  ASSERT_TRUE(c.online()) << c.dump();
  const std::string req = "orvel/bridge/request/command", resp = "orvel/bridge/response/command";
  const struct { std::string topic, payload, watch, want; } rows[] = {
      {"sim", "temp 8c9da0 19.5", "orvel/8c9da0", R"({"temperature":19.5,"rssi":92,"last_seen":)"},
      {"orvel/1a2b30/set", "50", "orvel/1a2b30", R"({"state":"ON","brightness":50,"rssi":93,)"},
      {"orvel/1a2b30/set", R"({"state":"OFF"})", "orvel/1a2b30", R"({"state":"OFF","brightness":0,)"},
      {"orvel/1a2b30/set", R"({"state":"ON","brightness":30})", "orvel/1a2b30", R"({"state":"ON","brightness":30,)"},
      {"orvel/1a2b30/set", "ON", "orvel/1a2b30", R"({"state":"ON","brightness":100,)"},
      {"orvel/4a5b60/set", "OFF", "orvel/4a5b60", R"({"state":"OFF","brightness":0,)"},
      {"orvel/2c3d10/set", "ON", "orvel/2c3d10", R"({"state":"ON",)"},
      {"orvel/2c3d10/set", "TOGGLE", "orvel/2c3d10", R"({"state":"OFF",)"},
      {"orvel/2c3d10/set", R"({"state":"TOGGLE"})", "orvel/2c3d10", R"({"state":"ON",)"},
      {"orvel/3e4f50/set", "ON", "orvel/3e4f50", R"({"state":"ON",)"},
      {"orvel/2c3d10/set", R"({"off_timer":90})", "orvel/event", R"("id":"@2c3d10","cmd":"OFF TIMER.ACK")"},
      {"orvel/2c3d10/set", "BRIGHT", "orvel/bridge/log", R"("topic":"orvel/2c3d10/set")"},
      {"orvel/2c3d10/set", R"({"brightness":101})", "orvel/bridge/log", "brightness must be 0-100"},
      {"sim", "press 7a8b90 2", "orvel/7a8b90/action", "press_2"},
      {"", "", "orvel/event", R"("cmd":"SS PRESS","data":"BUTTON 2")"},
      {"", "", "homeassistant/device_automation/orvel_7a8b90/press_2/config",
       R"({"automation_type":"trigger","topic":"orvel/7a8b90/action","type":"button_short_press","subtype":"button_2","payload":"press_2",)"},
      {req, R"({"command":"@1a2b30=40","transaction":"t1"})", resp,
       R"({"id":"@1a2b30","cmd":"LEVEL.ACK","data":"40%","rssi":"93%","transaction":"t1"})"},
      {req, R"({"transaction":"t2","command":"@9dae10?"})", resp,
       R"({"id":"@9dae10","cmd":"ERROR","data":"NO REPLY","rssi":"","transaction":"t2"})"},
      {req, R"({"command":"@zz","transaction":"t3"})", resp,
       R"({"id":"","cmd":"ERROR","data":"BAD DATA","rssi":"","transaction":"t3"})"},
      {req, "not json", resp, R"({"id":"","cmd":"ERROR","data":"BAD DATA","rssi":"","transaction":""})"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.topic + " " + row.payload);
    if (row.topic == "sim") sim.control(row.payload);
    else if (!row.topic.empty()) c.publish(row.topic, row.payload);
    EXPECT_TRUE(c.wait(row.watch, row.want)) << c.dump() << g.read_file("sim.log");
  }
  EXPECT_NE(sim.control("show").find("@1a2b30 dim  v12  40%"), std::string::npos) << sim.control("show");
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
  EXPECT_TRUE(c.wait("homeassistant/light/orvel_1a2b30/light/config")) << c.dump();
}

// Two gateways with their own houses and bases on one broker: each obeys its
// own commands only, and a killed one's will says it is offline.
TEST(MqttBridge, TwoGatewaysOnOneBrokerAndTheWill) {
  Broker broker;
  Client c(broker.port);
  Gateway g1(bridge(broker, "house1"));
  START_HOUSE(g1, sim1);
  Gateway g2(bridge(broker, "house2"));
  START_HOUSE(g2, sim2);
  ASSERT_TRUE(c.online("house1") && c.online("house2")) << c.dump();
  c.publish("house1/1a2b30/set", "20");
  EXPECT_TRUE(c.wait("house1/1a2b30", R"("brightness":20,)")) << c.dump();
  c.publish("house2/1a2b30/set", "70");
  EXPECT_TRUE(c.wait("house2/1a2b30", R"("brightness":70,)")) << c.dump();
  EXPECT_NE(sim1.control("show").find("@1a2b30 dim  v12  20%"), std::string::npos) << sim1.control("show");
  EXPECT_NE(sim2.control("show").find("@1a2b30 dim  v12  70%"), std::string::npos) << sim2.control("show");
  EXPECT_TRUE(c.wait("homeassistant/light/house1_1a2b30/light/config", R"("unique_id":"house1_1a2b30_light")"));
  EXPECT_TRUE(c.wait("homeassistant/light/house2_1a2b30/light/config", R"("unique_id":"house2_1a2b30_light")"));
  EXPECT_FALSE(c.wait("house1/1a2b30", R"("brightness":70,)", 300)) << c.dump();
  g1.kill_now();
  EXPECT_TRUE(c.wait("house1/bridge/state", "offline", 5000, true)) << c.dump();
  EXPECT_FALSE(c.wait("house2/bridge/state", "offline", 300, true));
}

}  // namespace
