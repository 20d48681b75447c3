// Bad luck and bad clients through the real binary: a full disk and a
// read-only directory during edits, clients that stall, reset, stop half-way
// or vanish, and a modem unplugged under parked requests. The state files
// stay whole, the replies say what happened, everyone else is served and no
// descriptor is leaked.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <atomic>
#include <thread>

#include "harness.h"

using namespace e2e;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string slurp(const std::string &path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

// Open descriptors of the gateway run from `dir`, once they settle at `want`.
int fd_settle(const std::string &dir, int want) {
  std::string exe = fs::weakly_canonical(dir + "/orvel").string(), fds;
  for (auto &e : fs::directory_iterator("/proc")) {
    std::error_code ec;
    if (fs::read_symlink(e.path() / "exe", ec) == exe) fds = (e.path() / "fd").string();
  }
  int n = -1;
  for (auto end = Clock::now() + std::chrono::seconds(8); Clock::now() < end;) {
    n = (int)std::distance(fs::directory_iterator(fds), fs::directory_iterator());
    if (n == want || want < 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return n;
}

// A gateway on a small tmpfs of its own (needs root); `ok` is false when the
// mount is refused.
struct TmpfsGateway {
  std::string dir, out;
  int port = 0;
  pid_t pid = -1;
  bool ok = false;
  explicit TmpfsGateway(const std::vector<std::pair<std::string, std::string>> &files) {
    char tmpl[] = "/tmp/orvel-fault-XXXXXX";
    dir = mkdtemp(tmpl);
    out = dir + ".out";
    std::string opts = "size=" + std::to_string(fs::file_size(ORVEL_BIN) / 1024 + 256) + "k";
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0) return;
    ok = true;
    fs::copy_file(ORVEL_BIN, dir + "/orvel");
    port = free_port();
    std::ofstream(dir + "/setup.ini") << "PORT=" << port << "\nDEBUG=1\n";
    for (auto &f : files) std::ofstream(dir + "/" + f.first, std::ios::binary) << f.second;
    pid = fork();
    if (pid == 0) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1), dup2(fd, 2);
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1), setenv("TZ", "UTC", 1), unsetenv("LD_PRELOAD");
      execl((dir + "/orvel").c_str(), "orvel", (char *)nullptr);
      _exit(121);
    }
    for (auto end = Clock::now() + std::chrono::seconds(10);
         slurp(out).find("Crons loaded:") == std::string::npos && Clock::now() < end;)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ~TmpfsGateway() {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    if (ok) umount2(dir.c_str(), MNT_DETACH);
    std::error_code ec;
    fs::remove_all(dir, ec), fs::remove(out, ec);
  }
  std::string body(const std::string &target) {
    int s = connect_to(port);
    std::string r = s >= 0 && send_all(s, "GET " + target + " HTTP/1.1\r\n\r\n") ? recv_until_close(s, 5000) : "";
    close(s);
    return http_body(r);
  }
  std::string file(const std::string &rel) { return slurp(dir + "/" + rel); }
  void fill() {
    int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, block.data(), 1) > 0) {
    }
    close(fd);
  }
  bool read_only(bool on) { return mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | (on ? MS_RDONLY : 0), nullptr) == 0; }
};

const std::string DEVICES = "@0a1b2c/rel/Kitchen\n@0d0e0f/dim/Hall\n";
const std::string CRON = "001/SMTWTFS/07:30/@0a1b2c=50\n";

}  // namespace

TEST(FaultsE2E, FullDiskAndReadOnlyDirectoryKeepOldFilesAndHonestReplies) {
  TmpfsGateway g({{"devices", DEVICES}, {"cron", CRON}});
  if (!g.ok) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  const struct { const char *name; std::function<bool()> on, off; } conditions[] = {
      {"full disk", [&] { g.fill(); return true; }, [&] { return unlink((g.dir + "/filler").c_str()) == 0; }},
      {"read-only directory", [&] { return g.read_only(true); }, [&] { return g.read_only(false); }},
  };
  // Every edit while the condition holds answers "ERROR" and changes
  // neither the file nor the table in memory (a delete of the last entry
  // writes an empty file, which even a full disk takes: a pause is tried).
  const struct { const char *target, *reply; } edits[] = {
      {"/&device/@112233/led/Desk", "ERROR"}, {"/&device/@0d0e0f-", "ERROR"},
      {"/&cron/002/SMTWTFS/08:00/@0d0e0f=20", "ERROR"}, {"/&cron/001!SMTWTFS/07:30/@0a1b2c=50", "ERROR"}};
  for (auto &c : conditions) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.on());
    for (auto &e : edits) {
      EXPECT_EQ(g.body(e.target), e.reply) << e.target;
      EXPECT_EQ(g.file("devices"), DEVICES);
      EXPECT_EQ(g.file("cron"), CRON);
      EXPECT_FALSE(fs::exists(g.dir + "/devices.tmp") || fs::exists(g.dir + "/cron.tmp"));
    }
    EXPECT_EQ(g.body("/&devices").find("112233"), std::string::npos);
    EXPECT_NE(g.body("/&health").find("\"reason\":\"the state directory cannot be written\""), std::string::npos);
    // A log line that could not be written is not answered "OK" (a full
    // disk may still take a short line into a page the file already has).
    if (std::string(c.name) == "read-only directory") {
      EXPECT_EQ(g.body("/&log/written?"), "ERROR");
    }
    std::string crons = g.body("/&cron?");
    EXPECT_EQ(crons.find("\"key\":\"002\""), std::string::npos) << crons;
    EXPECT_NE(crons.find("\"key\":\"001\",\"run\":1"), std::string::npos) << crons;
    ASSERT_TRUE(c.off());
    EXPECT_EQ(g.body("/&device/@112233/led/Desk"), "DEVICE ADD");
    EXPECT_EQ(g.file("devices"), DEVICES + "@112233/led/Desk\n");
    EXPECT_EQ(g.body("/&cron/003!smtwtfs/09:00/@112233=1"), "CRON SAVED");
    EXPECT_EQ(g.file("cron"), CRON + "003!smtwtfs/09:00/@112233=1\n");
    for (const char *t : {"/&device/@112233-", "/&cron/003-"}) EXPECT_NE(g.body(t), "ERROR") << t;
    EXPECT_EQ(g.file("devices"), DEVICES);
    EXPECT_EQ(g.file("cron"), CRON);
  }
  EXPECT_EQ(waitpid(g.pid, nullptr, WNOHANG), 0) << slurp(g.out);
}

TEST(FaultsE2E, BadClientsNeitherStopOthersNorLeakDescriptors) {
  constexpr size_t BIG = 16 << 20;
  const std::string INDEX = "<html>orvel</html>\n";
  Options o;
  o.files = {{"www/index.html", INDEX}, {"www/big.bin", std::string(BIG, 'b')}};
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("USB Found"));
  int base = fd_settle(g.dir, -1);
  const struct { const char *name; std::function<int()> start; std::function<void(int)> after; } rows[] = {
      {"stops reading during a large file",
       [&] {
         int s = connect_to(g.port, 4096);
         send_all(s, "GET /big.bin HTTP/1.1\r\n\r\n");
         return s;
       },
       [&](int s) { EXPECT_EQ(http_body(recv_until_close(s, 8000)).size(), BIG) << "the whole file, once read"; }},
      {"resets mid-reply",
       [&] {
         Listener r(g);  // a listener that vanishes too
         r.reset();
         int s = g.connect();
         send_all(s, "GET /big.bin HTTP/1.1\r\n\r\n");
         recv_until(s, std::string(60000, 'b'), 3000);
         struct linger lg = {1, 0};
         setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
         close(s);
         return -1;
       },
       nullptr},
      {"sends half a request and waits",
       [&] {
         int s = g.connect();
         send_all(s, "GET /inde");
         return s;
       },
       [](int s) { EXPECT_EQ(recv_for(s, 300), "") << "half a request is never served"; }},
  };
  uint8_t counter = 0;
  for (auto &row : rows) {
    SCOPED_TRACE(row.name);
    Listener l(g);
    int bad = row.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto t0 = Clock::now();
    EXPECT_EQ(http_body(g.get("/index.html", 12000)), INDEX);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 2.0) << "another client was held up";
    counter = (uint8_t)((counter + 1) & 7);
    ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a1b2c, 0x82, {0x91, 1, 0x80, 0}, 0x50, counter)));
    EXPECT_EQ(l.line(), "@0a1b2c.00.0" + std::to_string(counter) + ".82.91018000.50\n");
    if (row.after) row.after(bad);
    if (bad >= 0) close(bad);
    close(l.fd), l.fd = -1;
    EXPECT_EQ(fd_settle(g.dir, base), base) << "descriptors leaked";
  }
  EXPECT_TRUE(g.alive());
}

TEST(FaultsE2E, ModemUnpluggedWithParkedRequestsAnswersEveryoneThenRecovers) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found"));
  int base = fd_settle(g.dir, -1);
  std::vector<int> waiting;
  for (const char *t : {"/@0a1b20?", "/@0a1b21?", "/&listen"}) {
    waiting.push_back(g.connect());
    send_all(waiting.back(), std::string("GET ") + t + " HTTP/1.1\r\n\r\n");
  }
  for (int i = 0; i < 2; i++) ASSERT_TRUE(g.modem().next_write().has_value());
  g.modem().unplug();
  for (int s : waiting) {
    EXPECT_EQ(http_body(recv_until_close(s, 4000)), "{\"id\":\"\",\"cmd\":\"ERROR\",\"data\":\"USB REMOVED\",\"rssi\":\"\"}");
    close(s);
  }
  g.modem().plug();
  ASSERT_TRUE(g.wait_output("USB Found", 5000, 2));
  g.modem().clear_writes();
  int s = g.connect();
  send_all(s, "GET /@0a1b2c? HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(g.modem().next_write().has_value()) << "nothing written after the re-plug";
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a1b2c, 0x82, {0x91, 1, 0x80, 0}, 0x50, 5)));
  EXPECT_EQ(http_body(recv_until_close(s, 4000)),
            "{\"id\":\"@0a1b2c\",\"cmd\":\"STATUS.ACK\",\"data\":\"ON,RX1REL,V1\",\"rssi\":\"86%\"}");
  close(s);
  EXPECT_EQ(fd_settle(g.dir, base), base);
}

// Every report waiting is read at once: a burst sent just before an unplug
// reaches a listener whole and in order, then the notice.
TEST(FaultsE2E, BurstBeforeAnUnplugArrivesWholeThenTheNotice) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found"));
  Listener l(g);
  std::string want, got;
  for (int i = 0; i < 500; i++) {
    ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a1b2c, 0x11, {(uint8_t)(i >> 8), (uint8_t)i}, 0x50, (uint8_t)(i & 7))));
    char line[64];
    snprintf(line, sizeof line, "@0a1b2c.00.%02x.11.%02x%02x.50\n", i & 7, (i >> 8) & 255, i & 255);
    want += line;
  }
  g.modem().unplug();
  for (std::string x; (x = l.line()) != "" && x != "USB0\n";) got += x;
  EXPECT_EQ(got, want);
}

// Four clients that reconnect as fast as they are answered never keep the
// modem, the tick or another client waiting: a deaf device's NO REPLY comes
// at its second tick and a button press reaches a listener at once.
TEST(FaultsE2E, BackToBackClientsLeaveTheLoopFree) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found"));
  Listener l(g);
  std::atomic<bool> stop{false};
  std::vector<std::thread> load;
  for (int t = 0; t < 4; t++)
    load.emplace_back([&, t] {
      for (int n = 0; !stop; n++) g.request("GET /&set/k" + std::to_string(t) + "/v" + std::to_string(n) + " HTTP/1.1\r\n\r\n", 2000);
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the load is running
  auto t0 = Clock::now();
  EXPECT_NE(g.get("/@9dae10=1", 10000).find("NO REPLY"), std::string::npos);
  double waited = std::chrono::duration<double>(Clock::now() - t0).count();
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x7a8b90, 0x0f, {1})));
  auto t1 = Clock::now();
  EXPECT_EQ(l.line(2000), "@7a8b90.00.00.0f.01.50\n");
  double heard = std::chrono::duration<double>(Clock::now() - t1).count();
  stop = true;
  for (auto &th : load) th.join();
  EXPECT_LT(waited, 3.0) << "a command's answer waited behind the load";
  EXPECT_LT(heard, 0.5) << "a press reached the listener late";
}
