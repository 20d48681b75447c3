// The gateway and the simulated house together: the real orvel binary with the
// virtual modem preloaded, and orvel-sim as the modem peer on its socket.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "harness.h"

using namespace e2e;

namespace {

// The house of these tests: no sensor reports on their own and no jitter, so
// every radio event is one the test caused and every signal strength is exact.
const char house_text[] = "dim  1a2b30 12 60   rssi=93 Lamp\nrel  2c3d10 3  off  Kitchen\ndim2 5c6d70 5  100,0 Hall\n"
                          "rel4 6e7f80 3  1010 Garage\ntmp  8c9da0 1  21.5 every=0 Lounge\nrel  9dae10 1  off  deaf Broken\n";
const char devices_text[] = "@1a2b30/dim/Lamp\n@2c3d10/rel/Kitchen\n@5c6d71/dim/Hall 1\n@5c6d72/dim/Hall 2\n@8c9da0/tmp/Lounge\n";

Options sim_options() {
  Options o;
  o.modem = false;  // orvel-sim is the modem
  o.files = {{"devices", devices_text}};
  return o;
}

// Starts the pair and waits until the gateway has opened the simulated modem.
#define START_HOUSE(g, sim)                                                                    \
  ASSERT_TRUE(std::filesystem::exists(sim_binary())) << sim_binary() << " not built";          \
  SimHouse sim(g, house_text);                                                                 \
  ASSERT_TRUE(sim.wait_ready()) << "orvel-sim did not start: " << g.read_file("sim.log");      \
  ASSERT_TRUE(g.wait_output("USB Found\n", 5000)) << g.output() << g.read_file("sim.log")

TEST(SimGateway, HttpCommandsComeBackAsDeviceEventsAndTheListShowsStates) {
  Gateway g(sim_options());
  START_HOUSE(g, sim);
  std::string before = http_body(g.get("/&devices"));
  EXPECT_NE(before.find(R"("id":"@1a2b30","name":"Lamp","type":"dim","val":"","time":"","rssi":"")"), std::string::npos)
      << before;
  // Rows run in order on one house: the toggle before "=?" switched the relay on.
  const struct { const char *target, *body; } rows[] = {
      {"/@1a2b30?", R"({"id":"@1a2b30","cmd":"STATUS.ACK","data":"60%,RX1DIM,V12","rssi":"93%"})"},
      {"/@1a2b30=25", R"({"id":"@1a2b30","cmd":"LEVEL.ACK","data":"25%","rssi":"93%"})"},
      {"/@2c3d10!", R"({"id":"@2c3d10","cmd":"TOGGLE.ACK","data":"","rssi":"92%"})"},
      {"/@2c3d10=?", R"({"id":"@2c3d10","cmd":"STATUS.ACK","data":"ON,RX1REL,V3","rssi":"92%"})"},
      {"/@5c6d72=100", R"({"id":"@5c6d72","cmd":"LEVEL.ACK","data":"100%","rssi":"92%"})"},
      {"/@5c6d72?", R"({"id":"@5c6d72","cmd":"STATUS.ACK","data":"100%,RX2DIM,V5","rssi":"92%"})"},
      {"/@6e7f83?", R"({"id":"@6e7f83","cmd":"STATUS.ACK","data":"ON,RX4REL,V3","rssi":"92%"})"},
      {"/@1a2b30/get/0302", R"({"id":"@1a2b30","cmd":"READ.ACK","data":"03810c","rssi":"93%"})"},
      {"/@9dae10?", R"({"id":"@9dae10","cmd":"ERROR","data":"NO REPLY","rssi":""})"},  // deaf
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.target);
    EXPECT_EQ(http_body(g.get(row.target)), row.body);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // a toggle's follow-up status passes
  }
  sim.control("temp 8c9da0 -2.5");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::string list = http_body(g.get("/&devices"));
  for (const char *part : {R"("id":"@1a2b30","name":"Lamp","type":"dim","val":"25%")",
                           R"("id":"@2c3d10","name":"Kitchen","type":"rel","val":"ON")",
                           R"("id":"@5c6d71","name":"Hall 1","type":"dim","val":"100%")",
                           R"("id":"@5c6d72","name":"Hall 2","type":"dim","val":"100%")",
                           R"("id":"@8c9da0","name":"Lounge","type":"tmp","val":"-2.5C")"})
    EXPECT_NE(list.find(part), std::string::npos) << part << "\n" << list;
}

TEST(SimGateway, ScheduledCommandReachesDevice) {
  // Sunday 4 January 2026, three seconds before the entry's minute.
  Options o = sim_options();
  o.faketime = "@2026-01-04 07:29:57";
  o.files.push_back({"cron", "001/SMTWTFS/07:30/@2c3d10=1\n"});
  Gateway g(o);
  START_HOUSE(g, sim);
  std::string shown;
  for (int i = 0; i < 80 && shown.find("@2c3d10 rel  v3   ON") == std::string::npos; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    shown = sim.control("show");
  }
  EXPECT_NE(shown.find("@2c3d10 rel  v3   ON"), std::string::npos) << shown << g.read_file("sim.log");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_NE(http_body(g.get("/&devices")).find(R"("id":"@2c3d10","name":"Kitchen","type":"rel","val":"ON")"),
            std::string::npos);
}

}  // namespace
