// Bad luck and bad clients, through the real binary: a full disk and a
// read-only directory during device and schedule edits, SIGKILL in the
// middle of a stream of edits, clients that stall, reset, stop half-way or
// vanish, and a modem unplugged at awkward moments. In every case the state
// files stay whole (old or new, never partial), the replies say what
// happened, everyone else keeps being served and no descriptor is leaked.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double secs_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// ------------------------------------------------------------ process view

// The gateway's process: the one whose executable is <dir>/orvel.
pid_t gateway_pid(const std::string &dir) {
  std::string exe = fs::weakly_canonical(dir + "/orvel").string();
  DIR *d = opendir("/proc");
  pid_t found = -1;
  while (struct dirent *e = readdir(d)) {
    char *end;
    long pid = strtol(e->d_name, &end, 10);
    if (*end || pid <= 0) continue;
    char link[4096];
    std::string path = std::string("/proc/") + e->d_name + "/exe";
    ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    link[n] = 0;
    if (exe == link) {
      found = (pid_t)pid;
      break;
    }
  }
  closedir(d);
  return found;
}

int fd_count(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  int n = 0;
  DIR *d = opendir(dir.c_str());
  if (!d) return -1;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') n++;
  closedir(d);
  return n;
}

// Waits until the descriptor count is back to `want`; returns the last count.
int fd_settle(pid_t pid, int want, int ms = 8000) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  int n = fd_count(pid);
  while (n != want && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    n = fd_count(pid);
  }
  return n;
}

int connect_port(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons((uint16_t)port);
  if (connect(s, (struct sockaddr *)&a, sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

std::string get_port(int port, const std::string &target, int ms = 5000) {
  int s = connect_port(port);
  if (s < 0) return "";
  send_all(s, "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string r = recv_until_close(s, ms);
  close(s);
  return r;
}

std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void expect_clean_output(const std::string &out) {
  EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
  EXPECT_EQ(out.find("runtime error"), std::string::npos) << out;
}

// ------------------------------------------------------------ a gateway on a small tmpfs

// The gateway keeps its files beside its executable, so for a file system of
// its own the executable itself is copied onto a small tmpfs. Needs root (CI
// runs as root); `ok` is false when the mount is refused.
struct TmpfsGateway {
  std::string dir, out;
  int port = 0;
  pid_t pid = -1;
  bool ok = false;

  explicit TmpfsGateway(const std::vector<std::pair<std::string, std::string>> &files) {
    char tmpl[] = "/tmp/orvel-fault-XXXXXX";
    dir = mkdtemp(tmpl);
    out = dir + ".out";
    uintmax_t bin = fs::file_size(ORVEL_BIN);
    std::string opts = "size=" + std::to_string(bin / 1024 + 256) + "k";
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0) return;
    ok = true;
    fs::copy_file(ORVEL_BIN, dir + "/orvel");
    fs::permissions(dir + "/orvel", fs::perms::owner_all);
    port = free_port();
    std::ofstream(dir + "/setup.ini") << "PORT=" << port << "\n";
    for (auto &f : files) std::ofstream(dir + "/" + f.first, std::ios::binary) << f.second;
    pid = fork();
    if (pid == 0) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
      setenv("TZ", "UTC", 1);
      unsetenv("LD_PRELOAD");
      std::string exe = dir + "/orvel";
      execl(exe.c_str(), exe.c_str(), (char *)nullptr);
      _exit(121);
    }
    auto end = Clock::now() + std::chrono::seconds(10);
    while (slurp(out).find("Crons loaded:") == std::string::npos && Clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ~TmpfsGateway() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (ok) umount2(dir.c_str(), MNT_DETACH);
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::remove(out, ec);
  }
  bool alive() { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }
  std::string body(const std::string &target) { return http_body(get_port(port, target)); }
  std::string file(const std::string &rel) { return slurp(dir + "/" + rel); }
  bool exists(const std::string &rel) { return fs::exists(dir + "/" + rel); }

  // Fills the file system to the last byte.
  void fill() {
    int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, block.data(), 1) > 0) {
    }
    close(fd);
  }
  void unfill() { unlink((dir + "/filler").c_str()); }
  bool read_only(bool on) {
    unsigned long flags = MS_REMOUNT | (on ? MS_RDONLY : 0);
    return mount(nullptr, dir.c_str(), nullptr, flags, nullptr) == 0;
  }
};

const std::string DEVICES = "@0a1b2c/rel/Kitchen\n@0d0e0f/dim/Hall\n";
const std::string CRON = "001/SMTWTFS/07:30/@0a1b2c=50\n";

}  // namespace

// ====================================================================== state files

TEST(FaultsE2E, FullDiskAndReadOnlyDirectoryKeepOldFilesAndHonestReplies) {
  TmpfsGateway g({{"devices", DEVICES}, {"cron", CRON}});
  if (!g.ok) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  ASSERT_TRUE(g.alive()) << slurp(g.out);
  struct Condition {
    const char *name;
    std::function<bool()> on, off;
  } conditions[] = {
      {"full disk", [&] { g.fill(); return true; }, [&] { g.unfill(); return true; }},
      {"read-only directory", [&] { return g.read_only(true); }, [&] { return g.read_only(false); }},
  };
  // Every edit while the condition holds answers "ERROR" and changes
  // neither the file nor the table in memory.
  struct Edit {
    const char *target, *reply;
  } edits[] = {
      {"/&device/@112233/led/Desk", "ERROR"},
      {"/&device/@0a1b2c/rel/Renamed", "ERROR"},
      {"/&device/@0d0e0f-", "ERROR"},
      {"/&cron/002/SMTWTFS/08:00/@0d0e0f=20", "ERROR"},
      {"/&cron/001!SMTWTFS/07:30/@0a1b2c=50", "ERROR"},  // (a delete of the last entry writes nothing)
  };
  for (auto &c : conditions) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.on());
    for (auto &e : edits) {
      SCOPED_TRACE(e.target);
      EXPECT_EQ(g.body(e.target), e.reply);
      EXPECT_EQ(g.file("devices"), DEVICES);
      EXPECT_EQ(g.file("cron"), CRON);
      EXPECT_FALSE(g.exists("devices.tmp"));
      EXPECT_FALSE(g.exists("cron.tmp"));
    }
    // The table still lists what the file says.
    std::string list = g.body("/&devices");
    EXPECT_NE(list.find("\"id\":\"@0a1b2c\",\"name\":\"Kitchen\""), std::string::npos) << list;
    EXPECT_NE(list.find("\"id\":\"@0d0e0f\""), std::string::npos) << list;
    EXPECT_EQ(list.find("112233"), std::string::npos) << list;
    // So does the schedule.
    std::string crons = g.body("/&cron?");
    EXPECT_EQ(crons.find("\"key\":\"002\""), std::string::npos) << crons;
    EXPECT_NE(crons.find("\"key\":\"001\",\"run\":1"), std::string::npos) << crons;
    ASSERT_TRUE(c.off());
    // Once the disk takes writes again, edits land.
    EXPECT_EQ(g.body("/&device/@112233/led/Desk"), "DEVICE ADD");
    EXPECT_EQ(g.file("devices"), DEVICES + "@112233/led/Desk\n");
    EXPECT_EQ(g.body("/&cron/003!smtwtfs/09:00/@112233=1"), "CRON SAVED");
    EXPECT_EQ(g.file("cron"), CRON + "003!smtwtfs/09:00/@112233=1\n");
    // Back to the starting files for the next condition.
    EXPECT_EQ(g.body("/&device/@112233-"), "DEVICE DELETE");
    EXPECT_EQ(g.body("/&cron/003-"), "CRON SAVED");
    EXPECT_EQ(g.file("devices"), DEVICES);
    EXPECT_EQ(g.file("cron"), CRON);
  }
  EXPECT_TRUE(g.alive());
  expect_clean_output(slurp(g.out));
}

// The state files as the edit stream believes them to be, and the one edit
// that may be half-way when the process is killed.
struct EditModel {
  std::vector<std::string> devices;   // lines, in file order
  std::map<int, std::string> crons;   // key -> line, the file is in key order
  std::string dev_text() const {
    std::string s;
    for (auto &l : devices) s += l + "\n";
    return s;
  }
  std::string cron_text() const {
    std::string s;
    for (auto &c : crons) s += c.second + "\n";
    return s;
  }
  static EditModel parse(const std::string &dev, const std::string &cron) {
    EditModel m;
    std::istringstream d(dev), c(cron);
    for (std::string l; std::getline(d, l);) m.devices.push_back(l);
    for (std::string l; std::getline(c, l);) m.crons[std::stoi(l.substr(0, 3))] = l;
    return m;
  }
};

TEST(FaultsE2E, SigkillDuringEditsLeavesOldOrNewFilesNeverPartial) {
  std::mt19937 rng(20260107);
  EditModel model = EditModel::parse(DEVICES, CRON);
  int rounds = 8, edits_total = 0, landed_inflight = 0;
  for (int round = 0; round < rounds; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    Options o;
    o.modem = false;
    o.files = {{"devices", model.dev_text()}, {"cron", model.cron_text()}};
    Gateway g(o);
    ASSERT_TRUE(g.wait_output("Crons loaded: " + std::to_string(model.crons.size()) + "\n")) << g.output();
    ASSERT_NE(g.output().find("Devices Loaded:" + std::to_string(model.devices.size()) + "\n"), std::string::npos)
        << g.output();

    std::mutex mu;
    EditModel done = model;  // the files after the last answered edit
    EditModel next = model;  // the files once the edit in flight lands
    std::atomic<bool> stop{false}, killing{false};
    std::atomic<int> sent{0};
    std::thread client([&] {
      std::mt19937 r(round * 7919u + 1);
      while (!stop) {
        EditModel after = done;
        std::string target, want;
        int op = (int)(r() % 4);
        char id[8];
        snprintf(id, sizeof id, "%06x", (unsigned)(0x100000 + r() % 24));
        char name[24];
        snprintf(name, sizeof name, "Dev%u-%d", (unsigned)(r() % 1000), round);
        if (op == 0 || (op == 1 && after.devices.size() < 3)) {  // add or edit a device
          std::string line = std::string("@") + id + "/rel/" + name;
          bool found = false;
          for (auto &l : after.devices)
            if (l.compare(0, 7, line, 0, 7) == 0) l = line, found = true;
          if (!found) after.devices.push_back(line);
          target = "/&device/" + line;
          want = found ? "DEVICE EDIT" : "DEVICE ADD";
        } else if (op == 1) {  // delete a listed device
          std::string line = after.devices[r() % after.devices.size()];
          std::string key = line.substr(0, 7);
          std::vector<std::string> kept;
          for (auto &l : after.devices)
            if (l.compare(0, 7, key) != 0) kept.push_back(l);
          after.devices = kept;
          target = "/&device/" + key + "-";
          want = "DEVICE DELETE";
        } else if (op == 2 || after.crons.empty()) {  // store a schedule entry
          int key = 1 + (int)(r() % 30);
          char line[64];
          snprintf(line, sizeof line, "%03d/SMTWTFS/%02u:%02u/@%s=%u", key, (unsigned)(r() % 24),
                   (unsigned)(r() % 60), id, (unsigned)(r() % 101));
          after.crons[key] = line;
          target = std::string("/&cron/") + line;
          want = "CRON SAVED";
        } else {  // delete a schedule entry
          auto it = after.crons.begin();
          std::advance(it, r() % after.crons.size());
          char line[8];
          snprintf(line, sizeof line, "%03d-", it->first);
          after.crons.erase(it);
          target = std::string("/&cron/") + line;
          want = "CRON SAVED";
        }
        {
          std::lock_guard<std::mutex> l(mu);
          next = after;
        }
        std::string reply = g.get(target, 3000);
        if (reply.empty()) break;  // the gateway is gone
        std::lock_guard<std::mutex> l(mu);
        if (http_body(reply) != want) {
          // A reply cut by the kill leaves this edit in flight; anything
          // else is a wrong answer.
          if (!killing) ADD_FAILURE() << target << " answered " << reply;
          break;
        }
        done = after;
        sent++;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 400));
    killing = true;
    g.kill_now();
    stop = true;
    client.join();
    edits_total += sent;

    std::string dev = g.read_file("devices"), cron = g.read_file("cron");
    std::lock_guard<std::mutex> l(mu);
    bool dev_old = dev == done.dev_text(), dev_new = dev == next.dev_text();
    bool cron_old = cron == done.cron_text(), cron_new = cron == next.cron_text();
    EXPECT_TRUE(dev_old || dev_new) << "devices file is neither version:\n" << dev << "--- old:\n"
                                    << done.dev_text() << "--- new:\n" << next.dev_text();
    EXPECT_TRUE(cron_old || cron_new) << "cron file is neither version:\n" << cron << "--- old:\n"
                                      << done.cron_text() << "--- new:\n" << next.cron_text();
    // Only the one edit in flight may have landed unanswered.
    EXPECT_FALSE(!dev_old && !cron_old) << "two edits landed unanswered";
    if ((!dev_old && dev_new) || (!cron_old && cron_new)) landed_inflight++;
    model = EditModel::parse(dev, cron);
  }
  // The next start reads the surviving files whole.
  Options o;
  o.modem = false;
  o.files = {{"devices", model.dev_text()}, {"cron", model.cron_text()}};
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("Crons loaded: " + std::to_string(model.crons.size()) + "\n")) << g.output();
  EXPECT_NE(g.output().find("Devices Loaded:" + std::to_string(model.devices.size()) + "\n"), std::string::npos);
  printf("[ figures  ] SIGKILL: %d rounds, %d answered edits, %d unanswered edits found landed\n", rounds,
         edits_total, landed_inflight);
  EXPECT_GT(edits_total, rounds) << "the edit stream hardly ran";
}

// ====================================================================== clients

namespace {

// A client served while a bad one holds the gateway: the time until its
// complete reply, or -1 when none came.
double served_in(Gateway &g, const std::string &target, const std::string &want_body, int ms) {
  auto t0 = Clock::now();
  std::string r = g.get(target, ms);
  if (http_body(r) != want_body) return -1;
  return secs_since(t0);
}

const std::string INDEX = "<html>orvel</html>\n";

struct BadClient {
  const char *name;
  double max_hold_s;  // how long the gateway may be held up for everyone else
  // Starts the bad client; returns its socket (kept open by the test).
  std::function<int(Gateway &)> start;
  // Afterwards, on the bad client's socket.
  std::function<void(Gateway &, int)> after;
};

}  // namespace

TEST(FaultsE2E, BadClientsNeitherStopOthersNorLeakDescriptors) {
  constexpr size_t BIG = 16 << 20;
  Options o;
  o.files = {{"www/index.html", INDEX}, {"www/big.bin", std::string(BIG, 'b')}, {"mem/up.txt", "old"}};
  Gateway g(o);
  ASSERT_TRUE(g.modem().wait_connected());
  ASSERT_TRUE(g.wait_output("USB Found"));
  pid_t pid = gateway_pid(g.dir);
  ASSERT_GT(pid, 0);
  int base = fd_count(pid);
  ASSERT_GT(base, 0);

  BadClient rows[] = {
      {"stops reading during a large file", 1.0,
       [](Gateway &g) {
         int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
         int small = 4096;
         setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
         struct sockaddr_in a {};
         a.sin_family = AF_INET;
         a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
         a.sin_port = htons((uint16_t)g.port);
         connect(s, (struct sockaddr *)&a, sizeof a);
         send_all(s, "GET /big.bin HTTP/1.1\r\n\r\n");
         return s;
       },
       [&](Gateway &, int s) {
         // The file waited for the reader: once it reads again, it gets all of it.
         std::this_thread::sleep_for(std::chrono::milliseconds(200));
         std::string got = http_body(recv_until_close(s, 8000));
         EXPECT_EQ(got.size(), BIG);
       }},
      {"resets mid-reply", 2.0,
       [](Gateway &g) {
         int s = g.connect();
         send_all(s, "GET /big.bin HTTP/1.1\r\n\r\n");
         recv_until(s, std::string(60000, 'b'), 3000);
         struct linger lg = {1, 0};
         setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
         close(s);  // RST
         return -1;
       },
       nullptr},
      {"sends half a request and waits", 2.0,
       [](Gateway &g) {
         int s = g.connect();
         send_all(s, "GET /inde");
         return s;
       },
       [](Gateway &, int s) {
         // One receive is one message: the half target is answered and closed.
         std::string got = recv_until_close(s, 3000);
         EXPECT_EQ(got.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << got;
       }},
      {"stalls an upload", 1.0,
       [](Gateway &g) {
         int s = g.connect();
         send_all(s, "POST /&save/up.txt HTTP/1.1\r\nContent-Length: 100000\r\n\r\n0123456789");
         return s;
       },
       [](Gateway &g, int s) {
         EXPECT_TRUE(wait_closed(s, 10000));
         EXPECT_TRUE(g.wait_output("POST TIMEOUT!", 3000));
         EXPECT_EQ(g.read_file("mem/up.txt"), "old");
         EXPECT_FALSE(g.file_exists("tmp_file"));
       }},
      {"listens and vanishes", 2.0,
       [](Gateway &g) {
         int s = g.connect();
         send_all(s, "&listen");
         recv_until(s, "USB1\n", 2000);
         struct linger lg = {1, 0};
         setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
         close(s);
         g.modem().send_report(radio_packet(0x0a1b2c, 0x05, {}, 0x50, 1));
         return -1;
       },
       nullptr},
  };
  uint8_t counter = 0;
  for (auto &row : rows) {
    SCOPED_TRACE(row.name);
    counter = (uint8_t)((counter + 1) & 7);  // never a repeat inside the duplicate window
    int listener = g.connect();
    ASSERT_TRUE(send_all(listener, "&listen"));
    ASSERT_EQ(recv_until(listener, "USB1\n", 2000), "&OK\nUSB1\n");
    int bad = row.start(g);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double t = served_in(g, "/index.html", INDEX, (int)(row.max_hold_s * 1000) + 3000);
    EXPECT_GE(t, 0) << "another client was not served";
    EXPECT_LE(t, row.max_hold_s);
    // A listener that stayed gets the next packet.
    ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a1b2c, 0x82, {0x91, 1, 0x80, 0}, 0x50, counter)));
    std::string line = "@0a1b2c.00.0" + std::to_string(counter) + ".82.91018000.50\n";
    EXPECT_NE(recv_until(listener, line, 3000).find(line), std::string::npos);
    if (row.after) row.after(g, bad);
    if (bad >= 0) close(bad);
    close(listener);
    EXPECT_EQ(fd_settle(pid, base), base) << "descriptors leaked";
    printf("[ figures  ] bad client \"%s\": another client served after %.2f s\n", row.name, t);
  }
  EXPECT_TRUE(g.alive());
  expect_clean_output(g.output());
}

// ====================================================================== modem

namespace {

// Parks a radio request on a new connection; returns the socket.
int park(Gateway &g, const std::string &target) {
  int s = g.connect();
  send_all(s, "GET " + target + " HTTP/1.1\r\n\r\n");
  return s;
}

const std::string USB_REMOVED = "{\"id\":\"\",\"cmd\":\"ERROR\",\"data\":\"USB REMOVED\",\"rssi\":\"\"}";

// After a re-plug: a radio request is written to the modem and answered by
// the device's reply.
void expect_recovered(Gateway &g) {
  ASSERT_TRUE(g.modem().wait_connected(5000));
  ASSERT_TRUE(g.wait_output("USB Found", 5000, 2));
  g.modem().clear_writes();
  int s = park(g, "/@0a1b2c?");
  auto w = g.modem().next_write(3000);
  ASSERT_TRUE(w.has_value()) << "no report written after the re-plug";
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a1b2c, 0x82, {0x91, 1, 0x80, 0}, 0x50, 5)));
  std::string body = http_body(recv_until_close(s, 4000));
  EXPECT_EQ(body, "{\"id\":\"@0a1b2c\",\"cmd\":\"STATUS.ACK\",\"data\":\"ON,RX1REL,V1\",\"rssi\":\"86%\"}");
  close(s);
}

}  // namespace

TEST(FaultsE2E, ModemUnpluggedWithParkedRequestsAnswersEveryone) {
  Gateway g;
  ASSERT_TRUE(g.modem().wait_connected());
  ASSERT_TRUE(g.wait_output("USB Found"));
  pid_t pid = gateway_pid(g.dir);
  int base = fd_count(pid);
  std::vector<int> waiting;
  for (int i = 0; i < 5; i++) waiting.push_back(park(g, "/@0a1b2" + std::to_string(i) + "?"));
  waiting.push_back(park(g, "/&listen"));
  for (int i = 0; i < 5; i++) ASSERT_TRUE(g.modem().next_write(3000).has_value());
  g.modem().unplug();
  for (size_t i = 0; i < waiting.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(http_body(recv_until_close(waiting[i], 4000)), USB_REMOVED);
    close(waiting[i]);
  }
  g.modem().plug();
  expect_recovered(g);
  EXPECT_EQ(fd_settle(pid, base), base);
  expect_clean_output(g.output());
}

TEST(FaultsE2E, ModemUnpluggedDuringScheduleRunGivesUpAndRecovers) {
  Options o;
  o.settings = "DEBUG=1\nCRONRETRY=3\n";
  o.faketime = "@2026-01-07 07:29:58";
  o.files = {{"cron", "001/SMTWTFS/07:30/@0a1b2c=50@0d0e0f=20\n"}};
  Gateway g(o);
  ASSERT_TRUE(g.modem().wait_connected());
  auto first = g.modem().next_write(6000);
  ASSERT_TRUE(first.has_value()) << "the schedule did not run";
  g.modem().unplug();
  // The runner goes on without a modem and gives both commands up.
  auto log_has = [&](const std::string &needle) {
    auto end = Clock::now() + std::chrono::seconds(12);
    while (Clock::now() < end) {
      if (g.read_file("logs/260107.log").find(needle) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  EXPECT_TRUE(log_has("Cron NOREPLY: @0a1b2c=50"));
  EXPECT_TRUE(log_has("Cron NOREPLY: @0d0e0f=20"));
  g.modem().plug();
  expect_recovered(g);
  EXPECT_TRUE(g.alive());
  expect_clean_output(g.output());
}

TEST(FaultsE2E, ModemUnpluggedDuringPacketBurstListenersSeeOrderAndRecovery) {
  Gateway g;
  ASSERT_TRUE(g.modem().wait_connected());
  ASSERT_TRUE(g.wait_output("USB Found"));
  int listener = g.connect();
  send_all(listener, "&listen");
  ASSERT_EQ(recv_until(listener, "USB1\n", 2000), "&OK\nUSB1\n");
  // Distinct packets (data byte and counter change), so none is a duplicate.
  auto pkt = [](int i) { return radio_packet(0x0a1b2c, 0x11, {(uint8_t)(i >> 8), (uint8_t)i}, 0x50, (uint8_t)(i & 7)); };
  auto line = [](int i) {
    char b[64];
    snprintf(b, sizeof b, "@0a1b2c.00.%02x.11.%02x%02x.50\n", i & 7, (i >> 8) & 255, i & 255);
    return std::string(b);
  };
  // Every report waiting is read at once: a burst sent just before the
  // unplug reaches the listener whole and in order, then the notice.
  constexpr int BURST = 500;
  std::string want;
  for (int i = 0; i < BURST; i++) {
    ASSERT_TRUE(g.modem().send_report(pkt(i)));
    want += line(i);
  }
  g.modem().unplug();
  std::string got = recv_until(listener, "USB0\n", 10000);
  EXPECT_EQ(got, want + "USB0\n");
  g.modem().plug();
  EXPECT_NE(recv_until(listener, "USB1\n", 5000).find("USB1\n"), std::string::npos);
  ASSERT_TRUE(g.modem().wait_connected());
  for (int i = 1000; i < 1010; i++) ASSERT_TRUE(g.modem().send_report(pkt(i)));
  std::string after = recv_until(listener, line(1009), 5000);
  want.clear();
  for (int i = 1000; i < 1010; i++) want += line(i);
  EXPECT_EQ(after, want);
  close(listener);
  expect_recovered(g);
  expect_clean_output(g.output());
}
