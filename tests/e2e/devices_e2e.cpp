// The device registry through the real binary: loading the "devices" file,
// HTTP edits and their refusals, the state cache fed by radio packets, the
// packet log of cached packets and the JSON device list.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

using namespace e2e;

namespace {

const std::string HEAD_200 =
    "HTTP/1.1 200 OK\r\nCache-Control: no-cache no-store\r\nAccess-Control-Allow-Origin: *\r\n"
    "Expires: -1\r\nServer: ORVEL\r\nConnection: close\r\n\r\n";

using Object = std::map<std::string, std::string>;

// Strict parse of the device list: an array of flat objects of string
// members. Sets ok to false on anything that is not valid JSON.
struct ListParser {
  const std::string &s;
  size_t p = 0;
  bool ok = true;
  bool eat(char c) { return p < s.size() && s[p] == c ? (++p, true) : (ok = false); }
  bool next_is(char c) { return ok && p < s.size() && s[p] == c; }
  std::string str() {
    std::string o;
    eat('"');
    while (ok && p < s.size() && s[p] != '"') {
      unsigned char c = (unsigned char)s[p++];
      if (c < 0x20) ok = false;
      if (c != '\\') { o += (char)c; continue; }
      char e = p < s.size() ? s[p++] : 0;
      if (e == '"' || e == '\\' || e == '/') o += e;
      else if (e == 'n') o += '\n';
      else if (e == 't') o += '\t';
      else if (e == 'r') o += '\r';
      else if (e == 'u' && p + 4 <= s.size()) { o += (char)std::stoi(s.substr(p, 4), nullptr, 16); p += 4; }
      else ok = false;
    }
    eat('"');
    return o;
  }
  std::vector<Object> list() {
    std::vector<Object> v;
    eat('[');
    if (next_is(']')) return ++p, v;
    do {
      Object o;
      eat('{');
      do {
        std::string k = str();
        eat(':');
        o[k] = str();
      } while (next_is(',') && ++p);
      eat('}');
      v.push_back(o);
    } while (next_is(',') && ++p);
    eat(']');
    ok = ok && p == s.size();
    return v;
  }
};

std::vector<Object> devices_listed(Gateway &g, bool *valid) {
  std::string body = http_body(g.get("/&devices"));
  ListParser parser{body};
  std::vector<Object> v = parser.list();
  *valid = parser.ok;
  EXPECT_TRUE(parser.ok) << body;
  return v;
}

Options with_devices(const std::string &devices, const std::string &settings = "") {
  Options o;
  o.settings = settings;
  o.files = {{"devices", devices}};
  return o;
}

std::string today_log() {
  time_t now = time(nullptr);
  struct tm t;
  gmtime_r(&now, &t);
  char name[64];
  snprintf(name, sizeof name, "logs/%02d%02d%02d.log", t.tm_year - 100, t.tm_mon + 1, t.tm_mday);
  return name;
}

// A raw connection registered as a listener once the modem is open. Radio
// packets sent through `deliver` come back as their text line, after the
// gateway has cached and logged them.
struct Radio {
  Gateway &g;
  int fd = -1;
  uint8_t counter = 0;
  explicit Radio(Gateway &gw) : g(gw) {
    EXPECT_TRUE(g.modem().wait_connected());
    fd = g.connect();
    send_all(fd, "&listen\n");
    EXPECT_NE(recv_until(fd, "USB1\n", 3000).find("USB1\n"), std::string::npos);
  }
  ~Radio() { close(fd); }
  // Sends a raw radio text command on the listener connection.
  void command(const std::string &text) {
    send_all(fd, text + "\n");
    EXPECT_EQ(recv_until(fd, "\n", 3000), "@OK\n") << text;
  }
  // Sends one packet; returns its listener line (without "\n"), "" when none came.
  std::string deliver(uint32_t id, uint8_t cmd, const Bytes &data, uint8_t rssi_raw = 0x50, int ms = 3000) {
    counter = (uint8_t)((counter + 1) & 7);  // a new counter: never a duplicate
    g.modem().send_report(radio_packet(id, cmd, data, rssi_raw, counter));
    std::string line = recv_until(fd, "\n", ms);
    return line.empty() ? line : line.substr(0, line.size() - 1);
  }
};

const Object *by_id(const std::vector<Object> &list, const std::string &id) {
  for (const Object &o : list)
    if (o.at("id") == id) return &o;
  return nullptr;
}

}  // namespace

TEST(DevicesE2e, LoadsTheFirst200Of250AndListsThem) {
  std::string text;
  char line[32];
  for (int i = 0; i < 250; i++) {
    snprintf(line, sizeof line, "@%06x/rel/n%d\n", 0x300000 + i, i);
    text += line;
  }
  Options o = with_devices(text);
  o.modem = false;
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("Devices Loaded:200\n")) << g.output();
  bool valid;
  auto list = devices_listed(g, &valid);
  ASSERT_EQ(list.size(), 200u);
  EXPECT_EQ(list[0]["id"], "@300000");
  EXPECT_EQ(list[199]["id"], "@3000c7");
  EXPECT_EQ(list[199]["name"], "n199");
}

TEST(DevicesE2e, SkipsCapitalsAndShortLinesAndListsEmptyAsBrackets) {
  Options o = with_devices("@0A1B2C/rel/x\n@0a1b2c/rel\n# note\n\n@0a1b2d/rel/ok\n@0a1b2e/rel/");
  o.modem = false;
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("Devices Loaded:1\n")) << g.output();
  std::string reply = g.get("/&devices");
  EXPECT_NE(http_head(reply).find("Content-type: application/json\r\n"), std::string::npos) << reply;
  EXPECT_EQ(http_body(reply), "[{\"id\":\"@0a1b2d\",\"name\":\"ok\",\"type\":\"rel\",\"val\":\"\",\"time\":\"\",\"rssi\":\"\"}]");

  Options none;
  none.modem = false;
  Gateway empty(none);
  ASSERT_TRUE(empty.wait_output("Devices Loaded:0\n"));
  reply = empty.get("/&devices");
  EXPECT_NE(http_head(reply).find("Content-type: application/json\r\n"), std::string::npos);
  EXPECT_EQ(http_body(reply), "[]");
}

TEST(DevicesE2e, EditsAnswerRewriteTheFileAndSurviveARestart) {
  const std::string n51(51, 'n');
  struct Step { std::string target, reply, file; } steps[] = {
      {"/&device/@0a1b2c/rel/Kitchen%20light", "DEVICE ADD", "@0a1b2c/rel/Kitchen light\n"},
      {"/&device/@0d0e0f/dim/Hall", "DEVICE ADD", "@0a1b2c/rel/Kitchen light\n@0d0e0f/dim/Hall\n"},
      {"/&device/@0a1b2c/rel/Porch", "DEVICE EDIT", "@0a1b2c/rel/Porch\n@0d0e0f/dim/Hall\n"},
      {"/&device/@0A1B2C/rel/x", "ERROR", "@0a1b2c/rel/Porch\n@0d0e0f/dim/Hall\n"},
      {"/&device/@0a1b2c/ab/x", "ERROR", "@0a1b2c/rel/Porch\n@0d0e0f/dim/Hall\n"},
      {"/&device/@0a1b2c/rel/a%0A@0b0b0b/rel/b", "ERROR", "@0a1b2c/rel/Porch\n@0d0e0f/dim/Hall\n"},
      {"/&device/@0a1b2c/rel/a%0Db", "ERROR", "@0a1b2c/rel/Porch\n@0d0e0f/dim/Hall\n"},
      {"/&device/@0a1b2c/rel/a%7F", "ERROR", "@0a1b2c/rel/Porch\n@0d0e0f/dim/Hall\n"},
      {"/&device/@0a1b2c/rel/a%03", "ERROR", "@0a1b2c/rel/Porch\n@0d0e0f/dim/Hall\n"},
      {"/&device/@0a1b2c/rel/" + n51, "ERROR", "@0a1b2c/rel/Porch\n@0d0e0f/dim/Hall\n"},
      {"/&device/@0a1b2c-", "DEVICE DELETE", "@0d0e0f/dim/Hall\n"},
      {"/&device/@0a1b2c-", "ERROR", "@0d0e0f/dim/Hall\n"},
      {"/&device/@0d0e0f-", "DEVICE DELETE", ""},
      {"/&device/@0d0e0f/dim/Back%20again", "DEVICE ADD", "@0d0e0f/dim/Back again\n"},
  };
  Options o;
  o.modem = false;
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("Devices Loaded:0\n"));
  for (const Step &s : steps) {
    SCOPED_TRACE(s.target);
    EXPECT_EQ(g.get(s.target), HEAD_200 + s.reply);
    EXPECT_EQ(g.read_file("devices"), s.file);
    bool valid;
    auto list = devices_listed(g, &valid);
    EXPECT_EQ(list.size(), (size_t)std::count(s.file.begin(), s.file.end(), '\n'));
  }
  Options again = with_devices(g.read_file("devices"));
  again.modem = false;
  Gateway restarted(again);
  ASSERT_TRUE(restarted.wait_output("Devices Loaded:1\n")) << restarted.output();
  bool valid;
  auto list = devices_listed(restarted, &valid);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], "Back again");
}

TEST(DevicesE2e, RefusesToReach4096AndNeverJoinsAnUnendedLine) {
  const std::string big = std::string(4079, '#') + "\n";
  Options o = with_devices(big);
  o.modem = false;
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("Devices Loaded:0\n"));
  EXPECT_EQ(g.get("/&device/@0a1b2c/rel/New"), HEAD_200 + "ERROR");
  EXPECT_EQ(g.read_file("devices"), big);

  Options u = with_devices("@0d0e0f/dim/X");
  u.modem = false;
  Gateway unended(u);
  ASSERT_TRUE(unended.wait_output("Devices Loaded:1\n"));
  EXPECT_EQ(unended.get("/&device/@0a1b2c/rel/N"), HEAD_200 + "DEVICE ADD");
  EXPECT_EQ(unended.read_file("devices"), "@0d0e0f/dim/X\n@0a1b2c/rel/N\n");
  bool valid;
  EXPECT_EQ(devices_listed(unended, &valid).size(), 2u);
}

TEST(DevicesE2e, NameWithQuotesAndBackslashIsListedAsValidJson) {
  Options o;
  o.modem = false;
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("Devices Loaded:0\n"));
  // The type's three characters are taken raw, the name URL-decoded.
  EXPECT_EQ(g.get("/&device/@0a1b2c/r\"\\/say%20%22hi%22%20%5C%20bye"), HEAD_200 + "DEVICE ADD");
  bool valid;
  auto list = devices_listed(g, &valid);
  ASSERT_TRUE(valid);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], "say \"hi\" \\ bye");
  EXPECT_EQ(list[0]["type"], "r\"\\");
}

TEST(DevicesE2e, FourRelayReportSetsListedChannelsAndIsLogged) {
  Gateway g(with_devices("@0a1b21/rel/c1\n@0a1b22/rel/c2\n@0a1b23/rel/c3\n@0d0e0f/dim/x\n", "LOGS=1\n"));
  Radio radio(g);
  std::string line = radio.deliver(0x0a1b22, 0x82, {0x94, 0x01, 0xA0});
  ASSERT_EQ(line, "@0a1b22.00.01.82.9401a0.50");
  bool valid;
  auto list = devices_listed(g, &valid);
  ASSERT_EQ(list.size(), 4u);
  const char *want[] = {"ON", "OFF", "ON"};
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(list[i]["id"]);
    EXPECT_EQ(list[i]["val"], want[i]);
    EXPECT_EQ(list[i]["time"], list[0]["time"]);
    EXPECT_EQ(list[i]["rssi"], "86%");
  }
  long t = std::stol(list[0]["time"]);
  EXPECT_LE(std::labs(t - (long)time(nullptr)), 5);
  EXPECT_EQ(list[3]["val"], "");
  EXPECT_EQ(list[3]["time"], "");
  EXPECT_NE(g.read_file(today_log()).find("." + line + "\n"), std::string::npos) << g.read_file(today_log());
}

TEST(DevicesE2e, LevelAcksWithoutDataTakeTheLevelSent) {
  Gateway g(with_devices("@0a1b2c/rel/R\n@0d0e0f/dim/D\n", "LOGS=1\n"));
  Radio radio(g);
  struct Step { const char *command; uint32_t id; const char *name, *val; bool logged; } steps[] = {
      {"@0a1b2c=0", 0x0a1b2c, "R", "OFF", true},
      {"@0a1b2c=40", 0x0a1b2c, "R", "ON", true},
      {"@0d0e0f=40", 0x0d0e0f, "D", "40%", true},
      {"@0d0e0f?", 0x0d0e0f, "D", "40%", false},  // no level pending: nothing stored
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(s.command);
    radio.command(s.command);
    std::string line = radio.deliver(s.id, 0x87, {});
    ASSERT_FALSE(line.empty());
    bool valid;
    auto list = devices_listed(g, &valid);
    const Object *d = by_id(list, s.id == 0x0a1b2c ? "@0a1b2c" : "@0d0e0f");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->at("val"), s.val);
    size_t logged = g.read_file(today_log()).find("." + line + "\n");
    EXPECT_EQ(logged != std::string::npos, s.logged) << line;
  }
}

TEST(DevicesE2e, TemperatureAndStatusValuesAndOnlyCachedPacketsLogged) {
  Gateway g(with_devices("@0a0a0a/tmp/T\n@0b0b0b/dim/D\n", "LOGS=1\n"));
  Radio radio(g);
  std::string temp = radio.deliver(0x0a0a0a, 0x10, {0x15, 0x80});
  std::string status = radio.deliver(0x0b0b0b, 0x82, {0x81, 0x0c, 0x3e});
  std::string button = radio.deliver(0x0b0b0b, 0x81, {0x01});             // not a state report
  std::string stranger = radio.deliver(0x0c0c0c, 0x82, {0x81, 0x0c, 0x3e});  // strong, unlisted
  ASSERT_FALSE(temp.empty() || status.empty() || button.empty() || stranger.empty());
  bool valid;
  auto list = devices_listed(g, &valid);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["val"], "21.5C");
  EXPECT_EQ(list[1]["val"], "50%");
  std::string log = g.read_file(today_log());
  EXPECT_NE(log.find("." + temp + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find("." + status + "\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("." + button + "\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("." + stranger + "\n"), std::string::npos) << log;
}

TEST(DevicesE2e, WeakPacketPassesOnlyForAListedChannel) {
  Gateway g(with_devices("@0a1b21/rel/c1\n"));
  Radio radio(g);
  // 46 %: weak. Channel 3 is not listed, channel 1 of the same device is.
  std::string weak_listed = radio.deliver(0x0a1b23, 0x82, {0x94, 0x01, 0x80}, 0x00);
  EXPECT_EQ(weak_listed, "@0a1b23.00.01.82.940180.00");
  EXPECT_EQ(radio.deliver(0x0c0c0c, 0x82, {0x94, 0x01, 0x80}, 0x00, 700), "") << "weak, unlisted";
  EXPECT_EQ(radio.deliver(0x0c0c0c, 0x82, {0x94, 0x01, 0x80}, 0x50), "@0c0c0c.00.03.82.940180.50");
  bool valid;
  auto list = devices_listed(g, &valid);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["val"], "ON");
  EXPECT_EQ(list[0]["rssi"], "46%");
}
