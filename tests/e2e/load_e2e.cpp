// A bounded load on loopback: 60 clients mix raw commands, raw listeners,
// long-polls, radio requests, static files, the value store and device and
// schedule edits for a fixed time, while the modem peer injects radio
// packets as fast as the gateway reads them and answers every radio request.
// Afterwards the gateway is alive, every reply was complete and well formed,
// every listener received every packet in order, descriptors and memory are
// back to their starting level, and the state files hold exactly the edits.
#include <gtest/gtest.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/json_check.h"
#include "harness.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int LOAD_SECONDS = 10;
constexpr int LISTENERS = 8;      // raw listeners (the table holds 10)
constexpr int LONG_POLLS = 4;     // with the radio requests: the 10 waits
constexpr int RADIO_HTTP = 6;
constexpr int RADIO_RAW = 6;
constexpr int STATIC = 20;
constexpr int DEVICE_EDITORS = 6;
constexpr int MIXED = 10;
static_assert(LISTENERS + LONG_POLLS + RADIO_HTTP + RADIO_RAW + STATIC + DEVICE_EDITORS + MIXED == 60);

pid_t gateway_pid(const std::string &dir) {
  std::string exe = fs::weakly_canonical(dir + "/orvel").string();
  for (const auto &e : fs::directory_iterator("/proc")) {
    std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    if (fs::read_symlink(e.path() / "exe", ec).string() == exe) return (pid_t)std::stol(name);
  }
  return -1;
}

int fd_count(pid_t pid) {
  std::error_code ec;
  int n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    n++;
  return n;
}

// A "Vm..." figure of /proc/<pid>/status in kB.
long vm_kb(pid_t pid, const char *key) {
  std::istringstream in([&] {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }());
  for (std::string l; std::getline(in, l);)
    if (l.rfind(key, 0) == 0) return std::stol(l.substr(strlen(key) + 1));
  return -1;
}

// Everything the clients saw, gathered under one lock.
struct Tally {
  std::mutex mu;
  long requests = 0;       // complete HTTP replies and raw replies checked
  long refused_full = 0;   // well-formed "TOO MANY CONNECTIONS"/"Sockets Full" answers
  double slowest = 0;      // the longest HTTP exchange, in seconds
  std::vector<std::string> faults;
  void ok(long n = 1) {
    std::lock_guard<std::mutex> l(mu);
    requests += n;
  }
  void fault(const std::string &what) {
    std::lock_guard<std::mutex> l(mu);
    if (faults.size() < 20) faults.push_back(what);
  }
};

// Pause of a client between two connections. The gateway accepts one
// connection per pass of its loop with a backlog of 10: clients that
// reconnect without pause overflow the kernel's accept queue and then wait
// seconds for the handshake to be retried, which measures the kernel, not
// the gateway.
constexpr int THINK_MS = 25;

// One HTTP exchange: the reply must have a status line, a header end and a
// complete body as `check` judges it.
void http_check(Gateway &g, Tally &t, const std::string &target, const std::function<bool(const std::string &)> &check,
                int ms = 6000) {
  auto t0 = Clock::now();
  int s = g.connect();
  if (s < 0) {
    t.fault(target + ": connect failed");
    return;
  }
  bool closed = false;
  send_all(s, "GET " + target + " HTTP/1.1\r\nHost: load\r\n\r\n");
  std::string r = recv_until_close(s, ms);
  closed = wait_closed(s, 0);
  close(s);
  size_t end = r.find("\r\n\r\n");
  if (r.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) {
    char why[96];
    snprintf(why, sizeof why, ": incomplete reply after %.2f s (%s): ",
             std::chrono::duration<double>(Clock::now() - t0).count(), closed ? "closed" : "open");
    t.fault(target + why + r.substr(0, 200));
    return;
  }
  std::string body = r.substr(end + 4);
  {
    std::lock_guard<std::mutex> l(t.mu);
    t.slowest = std::max(t.slowest, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(THINK_MS));
  if (body.find("TOO MANY CONNECTIONS") != std::string::npos || body.find("Sockets Full") != std::string::npos) {
    std::lock_guard<std::mutex> l(t.mu);
    t.refused_full++;
  }
  if (!check(body)) {
    char why[96];
    snprintf(why, sizeof why, ": bad body after %.2f s (%s): ", std::chrono::duration<double>(Clock::now() - t0).count(),
             closed ? "closed" : "open");
    t.fault(target + why + body.substr(0, 300));
  }
  else t.ok();
}

bool json_ok(const std::string &body) { return json_check::valid(body); }

std::string packet_line(uint32_t id, uint8_t counter, uint8_t cmd, const Bytes &data, uint8_t rssi) {
  char b[32];
  snprintf(b, sizeof b, "@%06x.00.%02x.%02x.", id, counter, cmd);
  std::string s = b;
  for (uint8_t d : data) {
    snprintf(b, sizeof b, "%02x", d);
    s += b;
  }
  snprintf(b, sizeof b, ".%02x\n", rssi);
  return s + b;
}

const std::string DEVICES = "@0a1b2c/rel/Kitchen\n@0d0e0f/dim/Hall\n@445566/tmp/Garden\n";
const std::string CRON = "001/SMTWTFS/07:30/@0a1b2c=50\n";

}  // namespace

TEST(LoadE2E, SixtyClientsAndAPacketStream) {
  std::string app_js(64 * 1024, 'j');
  const std::string index = "<html>orvel under load</html>\n";
  Options o;
  o.files = {{"devices", DEVICES}, {"cron", CRON}, {"www/index.html", index}, {"www/app.js", app_js}};
  Gateway g(o);
  ASSERT_TRUE(g.modem().wait_connected());
  ASSERT_TRUE(g.wait_output("USB Found"));
  pid_t pid = gateway_pid(g.dir);
  ASSERT_GT(pid, 0);

  // The modem side: every status request written is answered by its device.
  // Level commands (the raw clients') get no answer: the gateway reads one
  // report per pass of its loop, and a peer that answered faster than that
  // would only fill the modem's queue.
  std::atomic<bool> stop_modem{false};
  std::atomic<int> counter{0};  // every packet sent gets the next counter: no duplicates
  std::mutex order_mu;          // keeps "counter taken" and "packet sent" in one order
  auto send_packet = [&](uint32_t id, uint8_t cmd, const Bytes &data) {
    std::lock_guard<std::mutex> l(order_mu);
    uint8_t c = (uint8_t)(counter++ & 7);
    return g.modem().send_report(radio_packet(id, cmd, data, 0x50, c));
  };
  std::atomic<long> answered{0};
  std::thread responder([&] {
    while (!stop_modem) {
      auto w = g.modem().next_write(100);
      if (!w || w->size() < 9 || (*w)[1] != 1) continue;
      uint32_t id = (uint32_t)(*w)[3] << 16 | (uint32_t)(*w)[4] << 8 | (*w)[5];
      uint8_t cmd = (*w)[8];
      if (cmd != 0x02) continue;
      send_packet(id, 0x82, {0x91, 1, 0x80, 0});
      answered++;
    }
  });

  // Warm-up: every route once, so the baseline holds every buffer the load touches.
  Tally warm;
  for (const char *t : {"/index.html", "/app.js", "/&devices", "/&cron?", "/&set/w/1", "/&get/w", "/@0a1b2c?",
                        "/&usb?"})
    http_check(g, warm, t, [](const std::string &) { return true; });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int fd_base = fd_count(pid);
  long rss_base = vm_kb(pid, "VmRSS:");
  ASSERT_GT(fd_base, 0);

  Tally tally;
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;

  // Raw listeners: every line they get, in order.
  std::vector<std::string> heard(LISTENERS);
  std::mutex heard_mu;
  std::atomic<long> stream_heard{0};
  std::atomic<int> listening{0};
  std::atomic<bool> stop_listeners{false};
  for (int i = 0; i < LISTENERS; i++)
    clients.emplace_back([&, i] {
      int s = g.connect();
      send_all(s, "&listen");
      std::string head = recv_until(s, "USB1\n", 3000);
      if (head != "&OK\nUSB1\n") tally.fault("listener start: " + head);
      listening++;
      size_t scanned = 0;
      while (!stop_listeners) {
        // Whatever one receive brings, at once: the pacer waits on it.
        struct pollfd pf = {s, POLLIN, 0};
        if (poll(&pf, 1, 50) <= 0) continue;
        char buf[16384];
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        std::string got(buf, (size_t)n);
        std::lock_guard<std::mutex> l(heard_mu);
        heard[i] += got;
        if (i != 0) continue;
        // The pacer's count: stream packets (command 0x11) heard whole.
        for (size_t nl; (nl = heard[0].find('\n', scanned)) != std::string::npos; scanned = nl + 1)
          if (heard[0].compare(scanned, 11, "@445566.00.") == 0 && heard[0].compare(scanned + 13, 3, ".11") == 0)
            stream_heard++;
      }
      close(s);
    });
  while (listening < LISTENERS) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  // Long-polls: each answer is a radio event (or the table-full error).
  for (int i = 0; i < LONG_POLLS; i++)
    clients.emplace_back([&] {
      while (!stop) http_check(g, tally, "/&listen", json_ok);
    });
  // Radio requests over HTTP: answered by the device (or "NO REPLY").
  for (int i = 0; i < RADIO_HTTP; i++)
    clients.emplace_back([&, i] {
      const char *ids[] = {"0a1b2c", "0d0e0f", "445566"};
      while (!stop) http_check(g, tally, std::string("/@") + ids[i % 3] + "?", json_ok);
    });
  // Raw radio commands on one connection each.
  for (int i = 0; i < RADIO_RAW; i++)
    clients.emplace_back([&, i] {
      int s = g.connect();
      while (!stop) {
        send_all(s, "@0a1b2c=" + std::to_string(i * 10) + "\r\n");
        std::string r = recv_until(s, "\n", 3000);
        if (r != "@OK\n") tally.fault("raw radio: " + r);
        else tally.ok();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      close(s);
    });
  // Static files, byte for byte.
  for (int i = 0; i < STATIC; i++)
    clients.emplace_back([&, i] {
      while (!stop) {
        if (i % 2) http_check(g, tally, "/index.html", [&](const std::string &b) { return b == index; });
        else http_check(g, tally, "/app.js", [&](const std::string &b) { return b == app_js; });
      }
    });
  // Device editors: each adds, renames and deletes a device of its own.
  std::vector<int> last_step(DEVICE_EDITORS, -1);
  for (int i = 0; i < DEVICE_EDITORS; i++)
    clients.emplace_back([&, i] {
      char id[8];
      snprintf(id, sizeof id, "5000%02x", i);
      for (int step = 0; !stop; step++) {
        std::string t, want;
        switch (step % 4) {
          case 0: t = std::string("/&device/@") + id + "/rel/Load" + std::to_string(i), want = "DEVICE ADD"; break;
          case 1: t = std::string("/&device/@") + id + "/dim/Load%20" + std::to_string(i), want = "DEVICE EDIT"; break;
          case 2: t = "/&devices", want = ""; break;
          default: t = std::string("/&device/@") + id + "-", want = "DEVICE DELETE"; break;
        }
        http_check(g, tally, t, [&](const std::string &b) { return want.empty() ? json_ok(b) : b == want; });
        last_step[i] = step;
      }
    });
  // Mixed: raw words, the value store, the schedule, flags.
  std::vector<int> cron_writes(MIXED, 0);
  for (int i = 0; i < MIXED; i++)
    clients.emplace_back([&, i] {
      for (int step = 0; !stop; step++) {
        std::string key = "k" + std::to_string(i), v = std::to_string(step);
        switch (step % 5) {
          case 0: {
            int c = g.connect();
            send_all(c, "ver\n");
            std::string r = recv_until(c, "ORVEL V1.90\nORVEL RF MODEM\n", 6000);
            close(c);
            if (r != "ORVEL V1.90\nORVEL RF MODEM\n") tally.fault("ver: " + r);
            else tally.ok();
            std::this_thread::sleep_for(std::chrono::milliseconds(THINK_MS));
            break;
          }
          case 1:
            http_check(g, tally, "/&set/" + key + "/" + v, [](const std::string &b) { return b == "OK"; });
            http_check(g, tally, "/&get/" + key, [&](const std::string &b) { return b == v; });
            break;
          case 2: {
            char line[64];
            snprintf(line, sizeof line, "%03d/SMTWTFS/%02d:%02d/@0a1b2c=%d", 50 + i, step % 24, step % 60, step % 101);
            http_check(g, tally, std::string("/&cron/") + line, [](const std::string &b) { return b == "CRON SAVED"; });
            cron_writes[i] = step;
            break;
          }
          case 3: http_check(g, tally, "/&cron?", json_ok); break;
          default: http_check(g, tally, "/&usb?", [](const std::string &b) { return b == "USB:OK\n"; }); break;
        }
      }
    });

  // The packet stream: each packet is sent once the previous one reached the
  // first listener, i.e. as fast as the gateway reads them. It runs until
  // every other client has finished, so a long-poll is never left waiting.
  std::vector<std::string> injected;
  std::atomic<bool> stop_stream{false};
  std::atomic<long> peak_kb{0};
  std::thread injector([&] {
    for (int n = 0; !stop_stream; n++) {
      Bytes data = {(uint8_t)(n >> 8), (uint8_t)n};
      std::string line;
      {
        std::lock_guard<std::mutex> l(order_mu);
        uint8_t c = (uint8_t)(counter++ & 7);
        line = packet_line(0x445566, c, 0x11, data, 0x50);
        if (!g.modem().send_report(radio_packet(0x445566, 0x11, data, 0x50, c))) break;
      }
      injected.push_back(line);
      auto wait_end = Clock::now() + std::chrono::seconds(2);
      while (stream_heard < (long)injected.size() && Clock::now() < wait_end)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      if (n % 50 == 0) peak_kb = std::max(peak_kb.load(), vm_kb(pid, "VmRSS:"));
    }
  });
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(LOAD_SECONDS));
  stop = true;
  for (size_t i = LISTENERS; i < clients.size(); i++) clients[i].join();
  double load_s = std::chrono::duration<double>(Clock::now() - t0).count();
  stop_stream = true;
  injector.join();
  // The last packets reach every listener.
  auto drain = Clock::now() + std::chrono::seconds(3);
  for (;;) {
    bool all = true;
    {
      std::lock_guard<std::mutex> l(heard_mu);
      for (auto &h : heard) all = all && h.size() == heard[0].size();
    }
    if ((all && stream_heard >= (long)injected.size()) || Clock::now() > drain) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stop_listeners = true;
  for (int i = 0; i < LISTENERS; i++) clients[i].join();
  stop_modem = true;
  responder.join();

  // ---- afterwards
  EXPECT_TRUE(g.alive());
  for (auto &f : tally.faults) ADD_FAILURE() << f;

  // Every listener heard the same lines, and among them every packet of the
  // stream, in the order sent.
  long delivered = 0;
  for (int i = 0; i < LISTENERS; i++) {
    SCOPED_TRACE("listener " + std::to_string(i));
    EXPECT_EQ(heard[i], heard[0]);
    std::vector<std::string> stream;
    std::istringstream in(heard[i]);
    for (std::string l; std::getline(in, l);) {
      delivered++;
      if (l.compare(0, 11, "@445566.00.") == 0 && l.compare(13, 3, ".11") == 0) stream.push_back(l + "\n");
    }
    EXPECT_EQ(stream, injected);
    EXPECT_EQ(heard[i].empty() ? '\n' : heard[i].back(), '\n');
  }

  // Descriptors and memory back to the starting level.
  auto settle = Clock::now() + std::chrono::seconds(8);
  while (fd_count(pid) != fd_base && Clock::now() < settle) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  int fd_after = fd_count(pid);
  long rss_after = vm_kb(pid, "VmRSS:"), hwm = vm_kb(pid, "VmHWM:");
  EXPECT_EQ(fd_after, fd_base);
  // The gateway allocates nothing of its own; stdio streams come and go. A
  // sanitizer build keeps every freed block in quarantine (up to 256 MB), so
  // its resident size says nothing about leaks there and is only printed.
  if (!ORVEL_SANITIZED) {
    EXPECT_LE(rss_after, rss_base + 1024) << "resident memory grew";
  }

  // The state files hold exactly the edits.
  std::set<std::string> want_dev;
  std::istringstream d0(DEVICES);
  for (std::string l; std::getline(d0, l);) want_dev.insert(l);
  for (int i = 0; i < DEVICE_EDITORS; i++) {
    char id[8];
    snprintf(id, sizeof id, "5000%02x", i);
    int st = last_step[i] % 4;  // the last step done
    if (last_step[i] < 0 || st == 3) continue;
    want_dev.insert(std::string("@") + id + (st == 0 ? "/rel/Load" : "/dim/Load ") + std::to_string(i));
  }
  std::string dev_file = g.read_file("devices");
  std::set<std::string> got_dev;
  std::istringstream d1(dev_file);
  for (std::string l; std::getline(d1, l);) got_dev.insert(l);
  EXPECT_EQ(got_dev, want_dev) << dev_file;
  EXPECT_EQ(dev_file.back(), '\n');
  std::string want_cron = CRON;
  for (int i = 0; i < MIXED; i++) {
    int step = cron_writes[i];
    if (!step) continue;
    char line[64];
    snprintf(line, sizeof line, "%03d/SMTWTFS/%02d:%02d/@0a1b2c=%d\n", 50 + i, step % 24, step % 60, step % 101);
    want_cron += line;
  }
  EXPECT_EQ(g.read_file("cron"), want_cron);
  std::string out = g.output();
  EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out.substr(0, 4000);
  EXPECT_EQ(out.find("runtime error"), std::string::npos) << out.substr(0, 4000);

  printf("[ figures  ] load: %d clients for %.1f s: %ld requests served (%ld answered \"table full\"), "
         "%zu stream packets injected, %ld packet lines delivered to %d listeners, %ld status requests answered, "
         "slowest HTTP exchange %.2f s\n",
         60, load_s, tally.requests, tally.refused_full, injected.size(), delivered, LISTENERS, answered.load(),
         tally.slowest);
  printf("[ figures  ] load: descriptors %d -> %d, VmRSS %ld kB -> %ld kB, peak sampled %ld kB, VmHWM %ld kB\n",
         fd_base, fd_after, rss_base, rss_after, peak_kb.load(), hwm);
}
