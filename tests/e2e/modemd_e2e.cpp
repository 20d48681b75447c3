// The network modem end to end: orvel-modemd with the virtual modem behind
// it, and gateways with MODEM=tcp://127.0.0.1:<port> in their setup.ini.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "harness.h"

using namespace e2e;

namespace {

const std::string KEY = "correct horse battery";

// orvel-modemd on a free loopback port, its modem the virtual one at
// `peer`; its output goes to a file that wait_log reads.
struct Daemon {
  char tmpl[32] = "/tmp/orvel-modemd-XXXXXX";
  std::string dir;
  int port;
  ModemPeer peer;
  pid_t pid = -1;
  size_t starts = 0;

  Daemon() : dir(mkdtemp(tmpl)), port(free_port()), peer(dir + "/modem.sock") {
    std::ofstream(dir + "/key") << KEY << "\n";
    chmod((dir + "/key").c_str(), 0600);
    peer.plug("NET MODEM");
    start();
  }
  ~Daemon() {
    stop(SIGKILL);
    std::filesystem::remove_all(dir);
  }
  void start() {
    std::string bin = std::filesystem::path(ORVEL_BIN).parent_path() / "orvel-modemd", log = dir + "/log";
    std::string args[] = {bin, "--listen", "127.0.0.1:" + std::to_string(port), "--key-file", dir + "/key"};
    std::string env[] = {std::string("LD_PRELOAD=") + ORVEL_VMODEM_LIB, "ORVEL_VMODEM=" + peer.path,
                         "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    char *argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(), nullptr};
    char *envp[] = {env[0].data(), env[1].data(), env[2].data(), nullptr};
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid = fork();
    if (pid == 0) {
      dup2(out, 1), dup2(out, 2);
      execve(bin.c_str(), argv, envp);
      _exit(121);
    }
    close(out);
    ASSERT_TRUE(wait_log("listening on", 5000, ++starts)) << log_text();
  }
  void stop(int sig) {
    if (pid > 0) kill(pid, sig), waitpid(pid, nullptr, 0);
    pid = -1;
  }
  std::string log_text() {
    std::stringstream ss;
    ss << std::ifstream(dir + "/log").rdbuf();
    return ss.str();
  }
  size_t count(const std::string &needle) {
    std::string t = log_text();
    size_t n = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) n++;
    return n;
  }
  bool wait_log(const std::string &needle, int ms, size_t n = 1) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
         std::chrono::steady_clock::now() < end; usleep(20000))
      if (count(needle) >= n) return true;
    return false;
  }
  Options gateway(const std::string &key = KEY, const std::string &host = "127.0.0.1") {
    return {.settings = "MODEM=tcp://" + host + ":" + std::to_string(port) + "\nMODEMKEY=" + key + "\n", .modem = false};
  }
};

constexpr int NOTICE_MS = 16500;  // 15 s of silence and a margin

}  // namespace

TEST(NetworkModem, ReportsAndCommandsCrossTheLinkThroughUnplugAndADaemonKilled) {
  Daemon d;
  Gateway g(d.gateway(KEY, "localhost"));  // a name, looked up off the loop
  ASSERT_TRUE(g.wait_output("USB Found\n")) << g.output();
  EXPECT_TRUE(g.wait_output("modem link up: localhost:" + std::to_string(d.port) + "\n"));
  Listener lis(g);
  EXPECT_EQ(lis.hello, "&OK\nUSB1\n");
  EXPECT_EQ(g.raw("ver", 300), "ORVEL V1.90\nNET MODEM\n");
  ASSERT_TRUE(d.peer.send_report(radio_packet(0x1a2b30, 0x85, {}, 0x50, 4)));
  EXPECT_EQ(lis.line(), "@1a2b30.00.04.85..50\n");
  EXPECT_EQ(g.raw("@1a2b30!", 300), "@OK\n");
  std::optional<Bytes> got = d.peer.next_write();
  Bytes toggle = {0x00, 0x01, 0x06, 0x1a, 0x2b, 0x30, 0x00, 0x00, 0x05};
  toggle.resize(65, 0);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(hex(*got), hex(toggle));

  // The modem unplugged and plugged behind the daemon, then the daemon killed and started again.
  d.peer.unplug();
  EXPECT_EQ(lis.line(), "USB0\n");
  d.peer.plug("NET MODEM");
  EXPECT_EQ(lis.line(), "USB1\n");
  d.stop(SIGKILL);
  EXPECT_EQ(lis.line(), "USB0\n");
  EXPECT_TRUE(g.wait_output("modem link down: "));
  usleep(1500000);  // the first retry, a second later, finds no daemon
  d.start();
  EXPECT_EQ(lis.line(5000), "USB1\n");
  EXPECT_TRUE(g.wait_output("USB Found\n", 3000, 3));
  EXPECT_EQ(g.count_output("modem link down"), 1u) << "an outage is said once";
  EXPECT_EQ(g.count_output("modem link up"), 2u);
  EXPECT_EQ(g.count_output("USB Removed\n"), 2u);
}

TEST(NetworkModem, AWrongKeyAndASecondGatewayAreRefusedAndAnswerAsUnplugged) {
  Daemon d;
  Gateway served(d.gateway());
  ASSERT_TRUE(served.wait_output("USB Found\n"));
  Gateway unplugged({.modem = false});
  const struct {
    std::string key, gateway_says, daemon_says;
  } rows[] = {
      {"wrong key", "modem link down: refused: wrong key\n", "wrong key, refused\n"},
      {KEY, "modem link down: refused: busy", "refused, the modem is served to 127.0.0.1:"},
      {std::string(64, 'k'), "MODEMKEY is longer than 63 characters, not used\n", ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.key);
    Gateway g(d.gateway(row.key));
    EXPECT_TRUE(g.wait_output(row.gateway_says)) << g.output();
    if (!row.daemon_says.empty()) {
      EXPECT_TRUE(d.wait_log(row.daemon_says, 3000)) << d.log_text();
    }
    for (const char *cmd : {"@1a2b30!", "$0F", "ver"}) EXPECT_EQ(g.raw(cmd, 300), unplugged.raw(cmd, 300)) << cmd;
    for (const char *target : {"/&usb?", "/@1a2b30!"})
      EXPECT_EQ(http_body(g.get(target)), http_body(unplugged.get(target))) << target;
    EXPECT_NE(http_body(g.get("/&health")).find("\"modem\":false"), std::string::npos);
    EXPECT_EQ(g.count_output("USB Found"), 0u);
  }
  EXPECT_NE(http_body(served.get("/&health")).find("\"modem\":true"), std::string::npos);
  // Garbage from a stranger costs it the connection and nobody else anything.
  int stranger = connect_to(d.port);
  send_all(stranger, std::string("\x05Zjunk\x00\xff", 8));
  EXPECT_TRUE(wait_closed(stranger, 3000));
  close(stranger);
  EXPECT_TRUE(d.wait_log("gone (bad frame)\n", 3000)) << d.log_text();
  EXPECT_EQ(served.count_output("USB Removed"), 0u);
  EXPECT_EQ(http_body(served.get("/&usb?")), "USB:OK\n");
}

TEST(NetworkModem, AStalledDaemonIsNoticedAndTheLinkComesBack) {
  Daemon d;
  Gateway g(d.gateway());
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Listener lis(g);
  auto stalled = std::chrono::steady_clock::now();
  kill(d.pid, SIGSTOP);
  EXPECT_EQ(lis.line(NOTICE_MS), "USB0\n");
  // The daemon's last keepalive came at most 5 s before it stopped.
  EXPECT_GE(std::chrono::steady_clock::now() - stalled, std::chrono::seconds(9)) << "keepalives keep a live link up";
  EXPECT_TRUE(g.wait_output("modem link down: silent for 15 s\n", 100));
  kill(d.pid, SIGCONT);
  EXPECT_EQ(lis.line(5000), "USB1\n");
  EXPECT_TRUE(g.wait_output("modem link up", 3000, 2));
}

TEST(NetworkModem, ASilentGatewayIsDroppedAndANewcomerTakesOver) {
  Daemon d;
  Gateway first(d.gateway());
  ASSERT_TRUE(first.wait_output("USB Found\n"));
  kill(first.pid(), SIGSTOP);
  EXPECT_TRUE(d.wait_log("silent for 15 s, dropped\n", NOTICE_MS)) << d.log_text();
  Gateway second(d.gateway());
  EXPECT_TRUE(second.wait_output("USB Found\n")) << second.output();
  kill(first.pid(), SIGCONT);
  // The first finds its link gone and, trying again, is refused: the modem is the second's.
  EXPECT_TRUE(first.wait_output("USB Removed\n")) << first.output();
  EXPECT_TRUE(d.wait_log("refused, the modem is served to", 5000)) << d.log_text();
  EXPECT_EQ(http_body(second.get("/&usb?")), "USB:OK\n");
  EXPECT_EQ(http_body(first.get("/&usb?")), "USB:NONE\n");
}

TEST(NetworkModem, TheDaemonWillNotStartWithoutAKey) {
  Daemon d;  // its directory and key file
  std::string bin = std::filesystem::path(ORVEL_BIN).parent_path() / "orvel-modemd";
  std::ofstream(d.dir + "/empty") << " \n";
  const struct {
    std::string key_file, says;
  } rows[] = {
      {d.dir + "/none", "cannot read the key file " + d.dir + "/none: No such file or directory"},
      {d.dir + "/empty", "the key file " + d.dir + "/empty is empty"},
  };
  for (const auto &row : rows) {
    std::string cmd = bin + " --listen 127.0.0.1:" + std::to_string(free_port()) + " --key-file " + row.key_file + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    char out[512] = "";
    size_t n = fread(out, 1, sizeof out - 1, p);
    out[n] = '\0';
    EXPECT_EQ(WEXITSTATUS(pclose(p)), 2) << row.key_file;
    EXPECT_NE(std::string(out).find(row.says), std::string::npos) << out;
  }
}

// Several modems: the gateway's USB modem as modem 1, orvel-modemd's as modem 2.
TEST(Modems, OneReportHeardTwiceIsOnePacketCommandsGoWhereTheDeviceIsHeardAndOneModemLostIsNoOutage) {
  Daemon d;
  std::string net = "tcp://127.0.0.1:" + std::to_string(d.port);
  Gateway g({.settings = "MODEM2=" + net + "\nMODEMKEY=" + KEY + "\n"});
  ASSERT_TRUE(g.wait_output("modem 2 up: NET MODEM (" + net + ")\n")) << g.output();
  ASSERT_TRUE(g.wait_output("modem 1 up: ORVEL RF MODEM (usb)\n"));
  Listener lis(g);
  int stream = g.connect();
  send_all(stream, "GET /&events HTTP/1.1\r\nHost: localhost\r\n\r\n");
  ASSERT_NE(recv_until(stream, "\r\n\r\n", 3000), "");
  // Device a is heard better by modem 2, device b by modem 1; modem 2's copies
  // come after both of modem 1's, as two modems' reports interleave.
  Bytes a_usb = radio_packet(0x1a2b30, 0x85, {}, 0x50, 1), a_net = radio_packet(0x1a2b30, 0x85, {}, 0x70, 1);
  Bytes b_usb = radio_packet(0x4d5e60, 0x85, {}, 0x60, 2), b_net = radio_packet(0x4d5e60, 0x85, {}, 0x40, 2);
  ASSERT_TRUE(g.modem().send_report(a_usb) && g.modem().send_report(b_usb));
  EXPECT_EQ(lis.line(), "@1a2b30.00.01.85..50\n");
  EXPECT_EQ(lis.line(), "@4d5e60.00.02.85..60\n");
  ASSERT_TRUE(d.peer.send_report(a_net) && d.peer.send_report(b_net));
  ASSERT_TRUE(d.peer.send_report(radio_packet(0x0f0f00, 0x85, {}, 0x50, 3)));  // behind the copies
  EXPECT_EQ(lis.line(), "@0f0f00.00.03.85..50\n");
  std::string events = recv_until(stream, "@0f0f00", 3000);
  for (const char *id : {"\"@1a2b30\"", "\"@4d5e60\"", "\"@0f0f00\""}) {
    size_t at = events.find(id);
    EXPECT_TRUE(at != std::string::npos && events.find(id, at + 1) == std::string::npos) << id << events;
  }
  close(stream);
  std::string health = http_body(g.get("/&health")), metrics = http_body(g.get("/&metrics"));
  EXPECT_NE(health.find("\"via\":\"usb\",\"product\":\"ORVEL RF MODEM\",\"reports\":2,\"duplicates\":0,\"sent\":0,"
                        "\"losses\":0,\"signal\":{\"1a2b30\":86,\"4d5e60\":94}}"), std::string::npos) << health;
  EXPECT_NE(health.find("\"via\":\"" + net + "\",\"product\":\"NET MODEM\",\"reports\":3,\"duplicates\":2,\"sent\":0,"
                        "\"losses\":0,\"signal\":{\"1a2b30\":100,\"4d5e60\":78,\"0f0f00\":86}}"), std::string::npos) << health;
  for (const char *line : {"orvel_radio_modem_up{modem=\"2\",via=\"tcp://127.0.0.1:", "orvel_radio_modem_duplicates_total{modem=\"2\"} 2\n",
                           "orvel_radio_modem_device_signal_ratio{modem=\"2\",id=\"1a2b30\"} 1\n"})
    EXPECT_NE(metrics.find(line), std::string::npos) << line;

  // Each command through the modem that heard its device best (a's other
  // channel too), through both for a device never heard.
  for (const char *cmd : {"@1a2b30!", "@1a2b31!", "@4d5e60!", "@777770!"}) EXPECT_EQ(g.raw(cmd, 300), "@OK\n") << cmd;
  auto ids = [](ModemPeer &peer, int n) {
    std::string got;
    for (int i = 0; i < n; i++)
      if (std::optional<Bytes> w = peer.next_write()) got += hex(Bytes(w->begin() + 3, w->begin() + 6)) + " ";
    return got;
  };
  EXPECT_EQ(ids(g.modem(), 2), "4d5e60 777770 ");
  EXPECT_EQ(ids(d.peer, 3), "1a2b30 1a2b31 777770 ");

  // Modem 2 lost: the house keeps its radio, and a's commands take modem 1.
  d.stop(SIGKILL);
  EXPECT_TRUE(g.wait_output("modem 2 down\n")) << g.output();
  EXPECT_TRUE(g.wait_output("modem 2 link down: "));
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x0f0f00, 0x85, {}, 0x50, 4)));
  EXPECT_EQ(lis.line(), "@0f0f00.00.04.85..50\n");
  EXPECT_EQ(g.raw("@1a2b30!", 300), "@OK\n");
  EXPECT_EQ(ids(g.modem(), 1), "1a2b30 ");
  g.modem().unplug();
  EXPECT_EQ(lis.line(), "USB0\n");
  EXPECT_TRUE(g.wait_output("USB Removed\n"));
  EXPECT_EQ(g.count_output("USB Found\n"), 1u);
}

TEST(Modems, TwoUsbModemsTheSecondByItsSerialNumberEitherLostAlone) {
  Gateway g({.settings = "MODEM2=B2\n"});
  ModemPeer second(g.dir + "/modem.sock.B2");  // the virtual modem with serial number B2
  second.plug("SECOND MODEM");
  ASSERT_TRUE(g.wait_output("modem 2 up: SECOND MODEM (B2)\n")) << g.output();
  ASSERT_TRUE(g.wait_output("modem 1 up: ORVEL RF MODEM (usb)\n"));
  Listener lis(g);
  ModemPeer *peers[] = {&g.modem(), &second};
  for (int lost = 0; lost < 2; lost++) {
    SCOPED_TRACE(lost);
    ModemPeer &gone = *peers[lost], &stays = *peers[1 - lost];
    gone.unplug();
    EXPECT_TRUE(g.wait_output("modem " + std::to_string(lost + 1) + " down\n"));
    ASSERT_TRUE(stays.send_report(radio_packet(0x0f0f00, 0x85, {}, 0x50, (uint8_t)lost)));
    EXPECT_EQ(lis.line(), "@0f0f00.00.0" + std::to_string(lost) + ".85..50\n");
    gone.plug(lost ? "SECOND MODEM" : "ORVEL RF MODEM");
    EXPECT_TRUE(g.wait_output(lost ? "modem 2 up: SECOND MODEM (B2)\n" : "modem 1 up: ORVEL RF MODEM (usb)\n", 5000, 2));
  }
  EXPECT_EQ(g.count_output("USB Found\n"), 1u);
  EXPECT_EQ(g.count_output("USB Removed\n"), 0u);
}
