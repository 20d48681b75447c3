// The gateway and the simulated house together: the real orvel binary with the
// virtual modem preloaded, and orvel-sim as the modem peer on its socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::string sim_binary() { return std::filesystem::path(ORVEL_BIN).parent_path() / "orvel-sim"; }

// orvel-sim running on the gateway's modem socket, driven through its control socket.
class Sim {
 public:
  explicit Sim(Gateway &g) : control_path(g.dir + "/sim.ctl") {
    std::string house = g.dir + "/house.txt", modem = g.dir + "/modem.sock", log = g.dir + "/sim.log";
    g.write_file("house.txt", house_text);
    std::string bin = sim_binary();
    pid_ = fork();
    if (pid_ == 0) {
      int in = open("/dev/null", O_RDONLY), out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(120);
      execl(bin.c_str(), bin.c_str(), "--socket", modem.c_str(), "--house", house.c_str(), "--control",
            control_path.c_str(), (char *)nullptr);
      _exit(121);
    }
  }
  ~Sim() {
    control("quit");
    for (int i = 0; i < 50; i++) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  // Sends one control line; returns the simulator's answer ("" when it cannot be reached).
  std::string control(const std::string &line) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, control_path.c_str(), sizeof a.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
      close(fd);
      return "";
    }
    send_all(fd, line + "\n");
    shutdown(fd, SHUT_WR);
    std::string reply = recv_until_close(fd, 3000);
    close(fd);
    return reply;
  }
  bool wait_ready() {
    for (int i = 0; i < 100 && control("help").empty(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !control("help").empty();
  }
  const std::string control_path;

 private:
  pid_t pid_ = -1;
};

Options sim_options() {
  Options o;
  o.modem = false;  // orvel-sim is the modem
  o.files = {{"devices", devices_text}};
  return o;
}

// Starts the pair and waits until the gateway has opened the simulated modem.
#define START_HOUSE(g, sim)                                                                    \
  ASSERT_TRUE(std::filesystem::exists(sim_binary())) << sim_binary() << " not built";          \
  Sim sim(g);                                                                                  \
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
      {"/@2c3d10!", R"({"id":"@2c3d10","cmd":"TOGGLE.ACK","data":"","rssi":"92%"})"},
      {"/@2c3d10=?", R"({"id":"@2c3d10","cmd":"STATUS.ACK","data":"ON,RX1REL,V3","rssi":"92%"})"},
      {"/@5c6d72=100", R"({"id":"@5c6d72","cmd":"LEVEL.ACK","data":"100%","rssi":"92%"})"},
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
  for (const char *part : {R"("id":"@1a2b30","name":"Lamp","type":"dim","val":"60%")",
                           R"("id":"@2c3d10","name":"Kitchen","type":"rel","val":"ON")",
                           R"("id":"@5c6d71","name":"Hall 1","type":"dim","val":"100%")",
                           R"("id":"@5c6d72","name":"Hall 2","type":"dim","val":"100%")",
                           R"("id":"@8c9da0","name":"Lounge","type":"tmp","val":"-2.5C")"})
    EXPECT_NE(list.find(part), std::string::npos) << part << "\n" << list;
}


}  // namespace
