// The device registry through the real binary: loading the "devices" file,
// HTTP edits and their refusals, the state cache fed by radio packets, the
// packet log of cached packets and the JSON device list.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "../common/http_replies.h"
#include "../common/json_check.h"
#include "harness.h"

using namespace e2e;

namespace {

std::vector<json_check::Object> devices_listed(Gateway &g) {
  std::string reply = g.get("/&devices");
  EXPECT_NE(http_head(reply).find("Content-type: application/json\r\n"), std::string::npos) << reply;
  std::vector<json_check::Object> list;
  EXPECT_TRUE(json_check::parse(http_body(reply), '[', &list)) << reply;
  return list;
}

Options with_devices(const std::string &devices, bool modem = false, const std::string &settings = "") {
  Options o;
  o.settings = settings;
  o.modem = modem;
  o.files = {{"devices", devices}};
  return o;
}

}  // namespace

TEST(DevicesE2e, LoadsTheFirst200Of250AndRefusesToGrowPast4095) {
  std::string text;  // 250 lines, 4140 characters
  for (int i = 0; i < 250; i++) text += "@" + std::to_string(300000 + i) + "/rel/n" + std::to_string(i) + "\n";
  Gateway g(with_devices(text));
  ASSERT_TRUE(g.wait_output("Devices Loaded:200\n")) << g.output();
  auto list = devices_listed(g);
  ASSERT_EQ(list.size(), 200u);
  EXPECT_EQ(list[199].str("name"), "n199");
  EXPECT_EQ(g.get("/&device/@0a1b2c/rel/New"), H200 + "ERROR");
  EXPECT_EQ(g.read_file("devices"), text);
}

// Rows run in order on one file; each leaves `head` + `tail` on disk.
TEST(DevicesE2e, EditsAnswerRewriteTheFileAndSurviveARestart) {
  const std::string head = "@0A1B2C/rel/x\n# note\n\n";  // capitals: no device, kept as it is
  const std::string porch = "@0d0e0f/dim/X\n@0a1b2c/rel/Porch\n";
  const struct { std::string target, reply, tail; size_t listed; const char *last_name; } steps[] = {
      {"/&device/@0a1b2c/rel/Kitchen%20light", "DEVICE ADD", "@0d0e0f/dim/X\n@0a1b2c/rel/Kitchen light\n", 2,
       "Kitchen light"},  // never joins the unended last line
      {"/&device/@0a1b2c/rel/Porch", "DEVICE EDIT", porch, 2, "Porch"},
      {"/&device/@0A1B2C/rel/x", "ERROR", porch, 2, nullptr},
      {"/&device/@0a1b2c/rel/a%0A@0e0e0e/rel/b", "ERROR", porch, 2, nullptr},
      {"/&device/@0a1b2c/rel/" + std::string(51, 'n'), "ERROR", porch, 2, nullptr},  // 63 characters
      {"/&device/@0c0c0c/r\"\\/say%20%22hi%22", "DEVICE ADD", porch + "@0c0c0c/r\"\\/say \"hi\"\n", 3, "say \"hi\""},
      {"/&device/@0a1b2c-", "DEVICE DELETE", "@0d0e0f/dim/X\n@0c0c0c/r\"\\/say \"hi\"\n", 2, nullptr},
      {"/&device/@0a1b2c-", "ERROR", "@0d0e0f/dim/X\n@0c0c0c/r\"\\/say \"hi\"\n", 2, nullptr},
      {"/&device/@0c0c0c-", "DEVICE DELETE", "@0d0e0f/dim/X\n", 1, nullptr},
  };
  Gateway g(with_devices(head + "@0d0e0f/dim/X"));
  ASSERT_TRUE(g.wait_output("Devices Loaded:1\n")) << g.output();
  for (const auto &s : steps) {
    SCOPED_TRACE(s.target);
    EXPECT_EQ(g.get(s.target), H200 + s.reply);
    EXPECT_EQ(g.read_file("devices"), head + s.tail);
    auto list = devices_listed(g);
    EXPECT_EQ(list.size(), s.listed);
    if (s.last_name && !list.empty()) {
      EXPECT_EQ(list.back().str("name"), s.last_name);
    }
  }
  Gateway restarted(with_devices(g.read_file("devices")));
  ASSERT_TRUE(restarted.wait_output("Devices Loaded:1\n")) << restarted.output();
  EXPECT_EQ(devices_listed(restarted).at(0).str("name"), "X");
}

// Radio packets update the listed devices' states; only cached packets are logged.
TEST(DevicesE2e, StateCacheAndPacketLog) {
  Gateway g(with_devices("@0a1b21/rel/c1\n@0a1b22/rel/c2\n@0a1b24/rel/c4\n@0d0e0f/dim/D\n@0a0a0a/tmp/T\n@0c0c0c/rel/R\n",
                         true, "LOGS=1\n"));
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Listener radio(g);
  const struct {
    const char *name, *command;  // command sent first ("" none)
    uint32_t id;
    uint8_t cmd;
    Bytes data;
    uint8_t rssi;
    bool logged;
    std::vector<std::string> vals;  // c1 c2 c4 D T R afterwards
  } rows[] = {
      {"four relays: three listed channels", "", 0x0a1b22, 0x82, {0x94, 0x01, 0x90}, 0x50, true, {"ON", "OFF", "ON", "", "", ""}},
      {"relay ack of level 0", "@0c0c0c=0", 0x0c0c0c, 0x87, {}, 0x50, true, {"ON", "OFF", "ON", "", "", "OFF"}},
      {"dimmer ack of level 40", "@0d0e0f=40", 0x0d0e0f, 0x87, {}, 0x50, true, {"ON", "OFF", "ON", "40%", "", "OFF"}},
      {"ack with no level pending", "@0d0e0f?", 0x0d0e0f, 0x87, {}, 0x50, false, {"ON", "OFF", "ON", "40%", "", "OFF"}},
      {"temperature", "", 0x0a0a0a, 0x10, {0x15, 0x80}, 0x50, true, {"ON", "OFF", "ON", "40%", "21.5C", "OFF"}},
      {"not a state report", "", 0x0d0e0f, 0x81, {0x01}, 0x50, false, {"ON", "OFF", "ON", "40%", "21.5C", "OFF"}},
      {"strong, unlisted", "", 0x0e0e0e, 0x82, {0x81, 0x0c, 0x3e}, 0x50, false, {"ON", "OFF", "ON", "40%", "21.5C", "OFF"}},
      {"dimmer status", "", 0x0d0e0f, 0x82, {0x81, 0x0c, 0x3e}, 0x50, true,
       {"ON", "OFF", "ON", "50%", "21.5C", "OFF"}},
      {"weak (46 %) from a listed channel passes", "", 0x0a1b23, 0x82, {0x94, 0x01, 0x00}, 0x00, true,
       {"OFF", "OFF", "OFF", "50%", "21.5C", "OFF"}},
      {"ack whose signal byte reads as a relay type", "@0d0e0f=30", 0x0d0e0f, 0x87, {}, 0x94, true,
       {"OFF", "OFF", "OFF", "30%", "21.5C", "OFF"}},
      {"two-channel dimmer", "", 0x0a1b21, 0x82, {0x82, 0x05, 0x00, 0x7d}, 0x50, true,
       {"100%", "0%", "OFF", "30%", "21.5C", "OFF"}},
  };
  uint8_t counter = 0;
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    if (*r.command) {
      EXPECT_EQ(g.raw(r.command, 300), "@OK\n");
    }
    counter = (uint8_t)((counter + 1) & 7);  // a new counter: never a duplicate
    ASSERT_TRUE(g.modem().send_report(radio_packet(r.id, r.cmd, r.data, r.rssi, counter)));
    std::string line = radio.line();  // cached and logged by now
    ASSERT_FALSE(line.empty());
    auto list = devices_listed(g);
    ASSERT_EQ(list.size(), 6u);
    for (size_t i = 0; i < 6; i++) EXPECT_EQ(list[i].str("val"), r.vals[i]) << list[i].str("id");
    EXPECT_EQ(g.read_file(log_today()).find("." + line) != std::string::npos, r.logged) << line;
  }
  // A list edit reloads the table: every device keeps its state, a new one has none.
  EXPECT_EQ(g.get("/&device/@0a1b22-"), H200 + "DEVICE DELETE");
  EXPECT_EQ(g.get("/&device/@0b0b0b/rel/New"), H200 + "DEVICE ADD");
  auto list = devices_listed(g);
  ASSERT_EQ(list.size(), 6u);
  EXPECT_EQ(list[0].str("rssi"), "86%");
  EXPECT_LE(std::labs(std::stol(list[0].str("time")) - (long)time(nullptr)), 5);
  std::string vals;
  for (auto &d : list) vals += d.str("val") + " ";
  EXPECT_EQ(vals, "100% OFF 30% 21.5C OFF  ");
}
