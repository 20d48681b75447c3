// Benchmark driver: starts the gateway (with the virtual modem and without a
// modem), lighttpd and the ceiling server on free ports, drives them, and
// prints one table. The automations' rows come from two more gateways with
// the modem and no client or broker, one with 100 rules and one with a single
// rule: a button's report to the rule's first command written to the modem,
// the gateway's CPU time (/proc/<pid>/schedstat) per report that no rule
// matches, and idle CPU.
//   bench <ceiling bin> <lighttpd bin> <name>=<orvel bin>:<libvmodem.so> [more orvels]
// Environment: BENCH_SECS (seconds per load, default 4), BENCH_ROUNDS (3).
//
// The HTTP load client reads every reply until the server closes: the
// gateway's replies carry no Content-Length, so a client that stops at the
// end of the body (wrk) would only measure how fast the close follows.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
extern char **environ;

namespace {

double now_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
void sleep_ms(double ms) { std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms)); }

int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  bind(s, (sockaddr *)&a, sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, (sockaddr *)&a, &len);
  close(s);
  return ntohs(a.sin_port);
}

int tcp_connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons((uint16_t)port);
  if (connect(s, (sockaddr *)&a, sizeof a) == 0) return s;
  close(s);
  return -1;
}

// Reads into buf until `needle` is in it, the peer closes, or ms pass; true on the needle.
bool recv_until(int fd, std::string &buf, const std::string &needle, double ms) {
  double end = now_ms() + ms;
  while (buf.find(needle) == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    double left = end - now_ms();
    if (left <= 0 || poll(&p, 1, (int)left + 1) <= 0) return false;
    char b[8192];
    ssize_t n = recv(fd, b, sizeof b, 0);
    if (n <= 0) return buf.find(needle) != std::string::npos;
    buf.append(b, (size_t)n);
  }
  return true;
}

// 1..100 ms, spread evenly over the runs (a fixed sequence): a report comes at
// any moment of the gateway's wait, not just after it has handled the last.
double spacing_ms(int i) { return 1 + (i * 37 % 100); }

// A kind-1 input report (see src/radio/packet.h); the data byte 3 at signal 0x50.
Bytes report(uint32_t id, uint8_t counter) {
  Bytes p(65, 0);
  p[0] = 1, p[1] = 9, p[2] = (uint8_t)(id >> 16), p[3] = (uint8_t)(id >> 8), p[4] = (uint8_t)id;
  p[6] = counter & 7, p[7] = 0x0f, p[8] = 3, p[9] = 0x50;
  return p;
}
std::string id_text(uint32_t id) {
  char t[8];
  snprintf(t, sizeof t, "@%06x", id);
  return t;
}

// The modem's side of the virtual modem socket: accepts the gateway, sends
// the product string, notes when the gateway writes a report (and drops it);
// reports are sent from any thread.
struct Modem {
  std::string path;
  int lfd = -1;
  std::atomic<int> conn{-1};
  std::atomic<bool> stop{false};
  std::thread thread;
  std::mutex mu;
  std::condition_variable cv;
  std::deque<double> writes;  // when each report written by the gateway arrived
  explicit Modem(std::string p) : path(std::move(p)) {
    lfd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    bind(lfd, (sockaddr *)&a, sizeof a);
    listen(lfd, 4);
    thread = std::thread([this] { run(); });
  }
  ~Modem() {
    stop = true;
    thread.join();
    if (conn >= 0) close(conn);
    close(lfd);
  }
  void run() {
    while (!stop) {
      pollfd p{conn >= 0 ? conn.load() : lfd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      if (conn < 0) {
        int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0 && send(c, "ORVEL RF MODEM", 14, MSG_NOSIGNAL) == 14) conn = c;
      } else {
        char b[256];
        if (recv(conn, b, sizeof b, 0) <= 0) return;  // the gateway is gone
        std::lock_guard<std::mutex> l(mu);
        writes.push_back(now_ms());
        cv.notify_all();
      }
    }
  }
  bool send_report(const Bytes &r) { return conn >= 0 && send(conn, r.data(), r.size(), MSG_NOSIGNAL) > 0; }
  // When the next report written by the gateway arrived; false after ms.
  bool next_write(double ms, double *at) {
    std::unique_lock<std::mutex> l(mu);
    if (!cv.wait_for(l, std::chrono::duration<double, std::milli>(ms), [&] { return !writes.empty(); })) return false;
    *at = writes.front();
    writes.pop_front();
    return true;
  }
};

struct Server {
  std::string name, dir;
  pid_t pid = -1;
  int port = 0;
  Modem *modem = nullptr;
  pid_t daemon = -1;       // orvel-modemd serving `modem` (or `modem2`) to the gateway, if any
  Modem *modem2 = nullptr; // the modem behind orvel-modemd when `modem` is the gateway's USB one
  std::string daemon_dir = "";
};

// Runs argv[0] in dir with `env` added to ours, its output in dir/out.txt.
// Everything is prepared before fork: other threads may hold the heap's lock.
pid_t spawn(const std::string &dir, std::vector<std::string> argv, std::vector<std::string> env) {
  std::vector<char *> args, envp;
  for (auto &a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  for (auto &e : env) envp.push_back(e.data());
  for (char **e = environ; *e; e++)  // none inherited that would change the run
    if (strncmp(*e, "LD_PRELOAD=", 11) && strncmp(*e, "ORVEL_VMODEM=", 13) && strncmp(*e, "TZ=", 3)) envp.push_back(*e);
  envp.push_back(nullptr);
  std::string out = dir + "/out.txt";
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(dir.c_str()) != 0 || fd < 0) _exit(120);
    dup2(fd, 1), dup2(fd, 2);
    execve(args[0], args.data(), envp.data());
    _exit(121);
  }
  return pid;
}

bool wait_port(int port, double ms) {
  for (double end = now_ms() + ms; now_ms() < end; sleep_ms(20)) {
    int s = tcp_connect(port);
    if (s >= 0) return close(s), true;
  }
  return false;
}

// SIGTERM, SIGKILL after a second; `sender` (a thread using the modem) is
// joined once the gateway is gone, before the modem goes.
void stop_server(Server &s, std::thread *sender = nullptr) {
  kill(s.pid, SIGTERM);
  for (int i = 0; i < 50 && waitpid(s.pid, nullptr, WNOHANG) == 0; i++) sleep_ms(20);
  if (kill(s.pid, SIGKILL) == 0) waitpid(s.pid, nullptr, 0);
  if (s.daemon > 0 && kill(s.daemon, SIGKILL) == 0) waitpid(s.daemon, nullptr, 0);
  if (sender) sender->join();
  delete s.modem;
  delete s.modem2;
  s.modem = s.modem2 = nullptr;
}

// The gateway copied into a fresh directory with www/ holding the test files.
Server start_orvel(const std::string &name, const std::string &bin, const std::string &vmodem, const std::string &www,
                   const std::string &setup_extra = "", const std::string &rules = "") {
  Server s{name, fs::temp_directory_path() / ("orvel-bench-" + std::to_string(getpid()) + "-XXXXXX")};
  s.dir = mkdtemp(s.dir.data());
  fs::copy_file(bin, s.dir + "/orvel");
  fs::create_directory(s.dir + "/www");
  for (auto &f : fs::directory_iterator(www)) fs::create_hard_link(f.path(), s.dir + "/www/" + f.path().filename().string());
  s.port = free_port();
  std::ofstream(s.dir + "/setup.ini") << "PORT=" << s.port << "\nMAXPERADDR=64\n" << setup_extra;  // every load client comes from one address
  if (!rules.empty()) std::ofstream(s.dir + "/rules") << rules;
  std::vector<std::string> env = {"TZ=UTC"};
  if (!vmodem.empty()) {
    s.modem = new Modem(s.dir + "/modem.sock");
    env.push_back("LD_PRELOAD=" + vmodem);
    env.push_back("ORVEL_VMODEM=" + s.modem->path);
  }
  s.pid = spawn(s.dir, {s.dir + "/orvel"}, env);
  bool up = wait_port(s.port, 5000);
  for (int i = 0; s.modem && i < 150 && s.modem->conn < 0; i++) sleep_ms(20);
  if (!up || (s.modem && s.modem->conn < 0)) fprintf(stderr, "bench: %s did not start (see %s/out.txt)\n", name.c_str(), s.dir.c_str());
  return s;
}

bool file_has(const std::string &path, const std::string &needle, double ms) {
  for (double end = now_ms() + ms; now_ms() < end; sleep_ms(20)) {
    std::stringstream ss;
    ss << std::ifstream(path).rdbuf();
    if (ss.str().find(needle) != std::string::npos) return true;
  }
  return false;
}

// The gateway with its modem behind orvel-modemd (the one beside `bin`) on
// loopback; pid -1 when that gateway has no orvel-modemd. `two`: the
// gateway's USB modem is modem 1 and orvel-modemd's modem 2; pid -1 when
// that gateway has no second modem.
Server start_orvel_net(const std::string &name, const std::string &bin, const std::string &vmodem,
                       const std::string &www, bool two = false) {
  std::string modemd = (fs::path(bin).parent_path() / "orvel-modemd").string();
  if (!fs::exists(modemd)) return Server{name, ""};
  std::string dir = fs::temp_directory_path() / ("orvel-bench-modemd-" + std::to_string(getpid()) + "-XXXXXX");
  dir = mkdtemp(dir.data());
  std::ofstream(dir + "/key") << "bench key\n";
  int port = free_port();
  Modem *modem = new Modem(dir + "/modem.sock");
  pid_t daemon = spawn(dir, {modemd, "--listen", "127.0.0.1:" + std::to_string(port), "--key-file", dir + "/key"},
                       {"LD_PRELOAD=" + vmodem, "ORVEL_VMODEM=" + modem->path});
  if (!wait_port(port, 5000)) fprintf(stderr, "bench: orvel-modemd did not start (see %s/out.txt)\n", dir.c_str());
  std::string url = "tcp://127.0.0.1:" + std::to_string(port) + "\nMODEMKEY=bench key\n";
  Server s = start_orvel(name, bin, two ? vmodem : "", www, (two ? "MODEM2=" : "MODEM=") + url);
  (two ? s.modem2 : s.modem) = modem, s.daemon = daemon, s.daemon_dir = dir;
  if (!file_has(s.dir + "/out.txt", two ? "modem 2 up" : "USB Found", 5000)) {
    if (two) return stop_server(s), fs::remove_all(s.dir), fs::remove_all(dir), Server{name, ""};
    fprintf(stderr, "bench: %s found no modem\n", name.c_str());
  }
  return s;
}

// ---------------------------------------------------------------- HTTP load

struct Load {
  long ok = 0, errors = 0;
  double rps = 0;
};

// `conns` connections, each one GET after another, every reply read until the
// server closes; a reply counts when it is a 200 of at least 1 KiB.
Load http_load(int port, int conns, double secs) {
  static const std::string req = "GET /f1k.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  struct Conn {
    int fd = -1;
    bool sent = false;
    std::string got;
  };
  std::vector<Conn> cs((size_t)conns);
  int ep = epoll_create1(EPOLL_CLOEXEC);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons((uint16_t)port);
  Load r;
  auto open_conn = [&](uint32_t i) {
    Conn &c = cs[i];
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    c.sent = false;
    c.got.clear();
    connect(c.fd, (sockaddr *)&a, sizeof a);  // EINPROGRESS: writable once connected
    epoll_event ev{EPOLLOUT | EPOLLIN, {.u32 = i}};
    epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
  };
  auto finish = [&](uint32_t i, bool ok, bool count) {
    close(cs[i].fd);
    if (count) ok ? r.ok++ : r.errors++;
    open_conn(i);
  };
  for (uint32_t i = 0; i < (uint32_t)conns; i++) open_conn(i);
  double start = now_ms(), end = start + secs * 1000;
  epoll_event evs[128];
  while (now_ms() < end) {
    int n = epoll_wait(ep, evs, 128, 50);
    bool counting = now_ms() < end;
    for (int k = 0; k < n; k++) {
      uint32_t i = evs[k].data.u32;
      Conn &c = cs[i];
      if (!c.sent && (evs[k].events & EPOLLOUT)) {
        if (send(c.fd, req.data(), req.size(), MSG_NOSIGNAL) != (ssize_t)req.size()) {
          finish(i, false, counting);
          continue;
        }
        c.sent = true;
        epoll_event ev{EPOLLIN, {.u32 = i}};
        epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        continue;
      }
      for (;;) {
        char b[16384];
        ssize_t got = recv(c.fd, b, sizeof b, 0);
        if (got > 0) {
          c.got.append(b, (size_t)got);
          continue;
        }
        if (got < 0 && errno == EAGAIN) break;
        finish(i, got == 0 && c.got.size() >= 1024 && c.got.compare(0, 12, "HTTP/1.1 200") == 0, counting);
        break;
      }
    }
  }
  for (auto &c : cs) close(c.fd);
  close(ep);
  r.rps = r.ok / secs;
  return r;
}

// ---------------------------------------------------------------- radio

// A raw listener: "&listen" answered "&OK\n" and the modem state line.
int listener_open(int port) {
  int s = tcp_connect(port);
  std::string hello;
  send(s, "&listen", 7, MSG_NOSIGNAL);
  if (!recv_until(s, hello, "USB1\n", 3000)) fprintf(stderr, "bench: listener hello %s\n", hello.c_str());
  return s;
}

// The next line holding `want` (other lines are skipped); false after ms.
bool line_with(int fd, std::string &buf, const std::string &want, double ms) {
  double end = now_ms() + ms;
  for (;;) {
    size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
      bool hit = buf.compare(0, want.size(), want) == 0;
      buf.erase(0, nl + 1);
      if (hit) return true;
    }
    double left = end - now_ms();
    if (left <= 0 || !recv_until(fd, buf, "\n", left)) return false;
  }
}

struct Pcts {
  double p50 = -1, p99 = -1;
  int lost = 0;
};
Pcts percentiles(std::vector<double> v, int lost) {
  Pcts p;
  p.lost = lost;
  if (v.empty()) return p;
  std::sort(v.begin(), v.end());
  p.p50 = v[v.size() / 2];
  p.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  return p;
}

// Report to a raw listener, one report at a time, spaced.
Pcts latency_listener(Server &s, int n) {
  int l = listener_open(s.port);
  std::string buf;
  std::vector<double> t;
  for (int i = 0; i < n; i++) {
    uint32_t id = 0x200000 + (uint32_t)i * 16;
    double t0 = now_ms();
    s.modem->send_report(report(id, (uint8_t)i));
    if (line_with(l, buf, id_text(id), 1000)) t.push_back(now_ms() - t0);
    sleep_ms(spacing_ms(i));
  }
  close(l);
  return percentiles(t, n - (int)t.size());
}

// The same report through both modems of a two-modem gateway, first through
// one and then the other in turn: the time to the listener's line, and in
// `twice` the copies that came through as a line of their own.
Pcts latency_two_modems(Server &s, int n, int *twice) {
  int l = listener_open(s.port), lines = 0;
  std::string buf;
  std::vector<double> t;
  // Reads lines until one starts with `want` (or ms pass), counting the reports' lines.
  auto until = [&](const std::string &want, double ms) {
    for (double end = now_ms() + ms;;) {
      for (size_t nl; (nl = buf.find('\n')) != std::string::npos;) {
        std::string line = buf.substr(0, nl);
        buf.erase(0, nl + 1);
        lines += line.compare(0, 2, "@6") == 0;
        if (!want.empty() && line.compare(0, want.size(), want) == 0) return true;
      }
      double left = end - now_ms();
      if (left <= 0 || !recv_until(l, buf, "\n", left)) return false;
    }
  };
  for (int i = 0; i < n; i++) {
    uint32_t id = 0x600000 + (uint32_t)i * 16;
    Bytes r = report(id, (uint8_t)i);
    double t0 = now_ms();
    (i % 2 ? s.modem2 : s.modem)->send_report(r);
    (i % 2 ? s.modem : s.modem2)->send_report(r);
    if (until(id_text(id), 1000)) t.push_back(now_ms() - t0);
    sleep_ms(spacing_ms(i));
  }
  until("", 600);  // copies later than the last line
  close(l);
  *twice = lines - (int)t.size();
  return percentiles(t, n - (int)t.size());
}

// Report to a long-poll: once the 202 head is in, the request is parked; the
// report follows it after a spacing.
Pcts latency_longpoll(Server &s, int n) {
  std::vector<double> t;
  for (int i = 0; i < n; i++) {
    uint32_t id = 0x300000 + (uint32_t)i * 16;
    int c = tcp_connect(s.port);
    std::string got, req = "GET /&listen HTTP/1.1\r\nHost: localhost\r\n\r\n";
    send(c, req.data(), req.size(), MSG_NOSIGNAL);
    if (recv_until(c, got, "\r\n\r\n", 2000)) {
      sleep_ms(spacing_ms(i));
      double t0 = now_ms();
      s.modem->send_report(report(id, (uint8_t)i));
      recv_until(c, got, "\x01", 1000);  // never in a reply: reads until the close
      if (got.find(id_text(id)) != std::string::npos) t.push_back(now_ms() - t0);
    }
    close(c);
  }
  return percentiles(t, n - (int)t.size());
}

struct Burst {
  int delivered = 0, lost = -1;  // lost: -1 while reports were still being taken at the cutoff
  bool in_order = true;
  double rate = 0, ms = 0;
};

// n reports back to back (as fast as the socket takes them) while a listener
// counts them; gives up 2 s after the last line or 10 s after the start. The
// sender may still be blocked then: it ends when the gateway is stopped.
Burst burst(Server &s, int n, std::thread &sender) {
  int l = listener_open(s.port);
  Burst b;
  double t0 = now_ms(), last = t0;
  static std::atomic<int> sent;
  sent = 0;
  sender = std::thread([&s, n] {
    for (int i = 0; i < n; i++, sent++)
      if (!s.modem->send_report(report(0x400000 + (uint32_t)i * 16, (uint8_t)i))) return;
  });
  std::string buf;
  int prev = -1;
  while (b.delivered < n && now_ms() - t0 < 10000 && now_ms() - last < 2000) {
    if (!recv_until(l, buf, "\n", 100)) continue;
    for (size_t nl; (nl = buf.find('\n')) != std::string::npos; buf.erase(0, nl + 1)) {
      unsigned id;
      if (sscanf(buf.c_str(), "@%6x.", &id) != 1 || id < 0x400000 || id >= 0x500000) continue;
      int i = (int)(id - 0x400000) / 16;
      if (i <= prev) b.in_order = false;
      prev = i;
      b.delivered++;
      last = now_ms();
    }
  }
  close(l);
  if (b.delivered == n || (sent == n && now_ms() - last >= 2000)) b.lost = n - b.delivered;
  b.ms = last - t0;
  b.rate = b.ms > 0 ? b.delivered * 1000.0 / b.ms : 0;
  return b;
}

struct Slow {
  double worst = 0;
  int requests = 0, sent = 0, heard = 0;
  double gap = 0;
};

// One client downloads big.bin reading ~1 MB/s for `secs`, then closes;
// meanwhile another client GETs f1k.txt every 50 ms, and a report goes to a
// raw listener every 100 ms.
Slow slow_download(Server &s, double secs) {
  Slow r;
  std::atomic<bool> done{false};
  int l = listener_open(s.port);
  std::thread slow([&] {
    int c = socket(AF_INET, SOCK_STREAM, 0);
    int rcv = 64 * 1024;
    setsockopt(c, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)s.port);
    connect(c, (sockaddr *)&a, sizeof a);
    std::string req = "GET /big.bin HTTP/1.1\r\nHost: localhost\r\n\r\n";
    send(c, req.data(), req.size(), MSG_NOSIGNAL);
    for (double end = now_ms() + secs * 1000; now_ms() < end; sleep_ms(100)) {
      char b[65536];
      for (size_t took = 0; took < 100000;) {
        ssize_t n = recv(c, b, sizeof b, MSG_DONTWAIT);
        if (n <= 0) break;
        took += (size_t)n;
      }
    }
    close(c);
    done = true;
  });
  std::thread other([&] {
    sleep_ms(300);  // the download is under way
    while (!done) {
      double t0 = now_ms();
      int c = tcp_connect(s.port);
      std::string got, req = "GET /f1k.txt HTTP/1.1\r\nHost: localhost\r\n\r\n";
      send(c, req.data(), req.size(), MSG_NOSIGNAL);
      recv_until(c, got, "\x01", 30000);
      close(c);
      r.worst = std::max(r.worst, now_ms() - t0);
      r.requests++;
      sleep_ms(50);
    }
  });
  std::string buf;
  double next = now_ms() + 300, last = next;
  while (!done) {
    if (now_ms() >= next) {
      s.modem->send_report(report(0x500000 + (uint32_t)r.sent * 16, (uint8_t)r.sent));
      r.sent++;
      next += 100;
    }
    if (recv_until(l, buf, "\n", next - now_ms()))
      for (size_t nl; (nl = buf.find('\n')) != std::string::npos; buf.erase(0, nl + 1)) {
        if (buf.compare(0, 3, "@50") != 0) continue;
        r.heard++;
        r.gap = std::max(r.gap, now_ms() - last);
        last = now_ms();
      }
  }
  r.gap = std::max(r.gap, now_ms() - last);
  slow.join();
  other.join();
  close(l);
  return r;
}

// ---------------------------------------------------------------- process figures

long status_kb(pid_t pid, const char *key) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind(key, 0) == 0) return atol(line.c_str() + strlen(key) + 1);
  return -1;
}

// CPU time used so far, in ms: schedstat (ns) when the kernel keeps it, else utime+stime.
double cpu_ms(pid_t pid) {
  std::ifstream ss("/proc/" + std::to_string(pid) + "/schedstat");
  double ns;
  if (ss >> ns) return ns / 1e6;
  std::ifstream st("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(st)), {});
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string f;
  long ut = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> f; i++) {
    if (i == 14) ut = atol(f.c_str());
    if (i == 15) stime = atol(f.c_str());
  }
  return (ut + stime) * 1000.0 / (double)sysconf(_SC_CLK_TCK);
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string loadavg() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

// ---------------------------------------------------------------- automations

constexpr uint32_t RULE_BUTTON = 0x600000;  // rule i fires on a press of RULE_BUTTON + i * 16
constexpr uint32_t NO_RULE_BUTTON = 0x700000;
constexpr int RULE_COUNT = 100;

// `n` rules as the file "rules" holds them. Each fires on a press of its own
// button and sends one command at once; each also has a state trigger and a
// sunset trigger, and three conditions that hold (no broker: the hub is away).
std::string rules_file(int n) {
  std::string out = "[";
  for (int i = 0; i < n; i++) {
    char r[640];
    snprintf(r, sizeof r,
             R"(%s{"id":"r%d","when":[{"button":"%s"},{"state":{"device":"@%06x","to":"on"}},{"time":{"at":"sunset"}}],)"
             R"("if":[{"time":{"after":"00:00"}},{"days":"SMTWTFS"},{"hub":"offline"}],)"
             R"("then":[{"send":"@%06x=80"},{"delay":600},{"send":"@%06x=0"}]})",
             i ? ",\n" : "\n", i, id_text(RULE_BUTTON + (uint32_t)i * 16).c_str(), 0x800000 + i * 16, 0x900000 + i * 16,
             0x900000 + i * 16);
    out += r;
  }
  return out + "\n]\n";
}

// A button's report at the modem to the rule's first command written to it,
// one press at a time, spaced; the buttons take turns, so that no rule fires
// often enough for the loop guard.
Pcts latency_rule(Server &s, int n) {
  std::vector<double> t;
  for (int i = 0; i < n; i++) {
    double t0 = now_ms(), at;
    s.modem->send_report(report(RULE_BUTTON + (uint32_t)(i % RULE_COUNT) * 16, (uint8_t)i));
    if (s.modem->next_write(1000, &at)) t.push_back(at - t0);
    sleep_ms(spacing_ms(i));
  }
  return percentiles(t, n - (int)t.size());
}

// The gateway's CPU time per report of a button no rule knows (µs): `n`
// reports back to back, then a press of rule 0's button, whose command says
// that all were handled. -1 when that command never comes.
double cpu_per_report(Server &s, int n) {
  double c0 = cpu_ms(s.pid), at;
  for (int i = 0; i < n; i++) s.modem->send_report(report(NO_RULE_BUTTON + (uint32_t)(i % 4096) * 16, (uint8_t)i));
  s.modem->send_report(report(RULE_BUTTON, (uint8_t)(n + 1)));
  if (!s.modem->next_write(10000, &at)) return -1;
  return (cpu_ms(s.pid) - c0) * 1000 / (n + 1);
}

struct RuleFigures {
  Pcts latency;
  double cpu[2] = {-1, -1};   // µs per report: 100 rules, 1 rule
  double idle[2] = {-1, -1};  // % of a core
};

// Two gateways with the modem and no client or broker: one with 100 rules,
// one with rule 0 alone (the same work apart from the rules).
RuleFigures rules_bench(const std::string &name, const std::string &bin, const std::string &vm, const std::string &www) {
  const std::string place = "LAT=52.5\nLON=13.4\n";
  Server s[2] = {start_orvel(name + " 100 rules", bin, vm, www, place, rules_file(RULE_COUNT)),
                 start_orvel(name + " 1 rule", bin, vm, www, place, rules_file(1))};
  RuleFigures f;
  f.latency = latency_rule(s[0], 200);
  std::vector<double> cpu[2];
  for (int round = 0; round < 5; round++)
    for (int k = 0; k < 2; k++) cpu[k].push_back(cpu_per_report(s[k], 20000));
  sleep_ms(1500);  // the reports' after-effects (files written on the tick) are over
  double c0[2] = {cpu_ms(s[0].pid), cpu_ms(s[1].pid)};
  sleep_ms(5000);
  std::error_code ec;
  for (int k = 0; k < 2; k++) {
    f.cpu[k] = median(cpu[k]);
    f.idle[k] = (cpu_ms(s[k].pid) - c0[k]) / 5000 * 100;
    stop_server(s[k]);
    fs::remove_all(s[k].dir, ec);
  }
  return f;
}

}  // namespace

// Four clients that open a new connection as soon as the last one closes
// (GET /&set/... in a loop): another client's radio command to a device that
// never answers (its NO REPLY comes at the second tick, ~1.5 s when the loop
// is free) and a raw listener's delay per report, at their worst.
struct Crowd {
  double no_reply_worst = 0, listener_worst = 0;
  int commands = 0, sets = 0, heard = 0, sent = 0;
};

Crowd back_to_back(Server &s, double secs) {
  Crowd r;
  std::atomic<bool> done{false};
  std::atomic<int> sets{0};
  int l = listener_open(s.port);
  std::vector<std::thread> crowd;
  for (int t = 0; t < 4; t++)
    crowd.emplace_back([&, t] {
      for (int n = 0; !done; n++) {
        int c = tcp_connect(s.port);
        std::string got, req = "GET /&set/k" + std::to_string(t) + "/v" + std::to_string(n) + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
        send(c, req.data(), req.size(), MSG_NOSIGNAL);
        recv_until(c, got, "\x01", 5000);
        close(c);
        sets++;
      }
    });
  std::thread other([&] {
    sleep_ms(300);  // the crowd is under way
    while (!done) {
      double t0 = now_ms();
      int c = tcp_connect(s.port);
      std::string got, req = "GET /@9dae10=1 HTTP/1.1\r\nHost: localhost\r\n\r\n";
      send(c, req.data(), req.size(), MSG_NOSIGNAL);
      recv_until(c, got, "\x01", 120000);
      close(c);
      r.no_reply_worst = std::max(r.no_reply_worst, now_ms() - t0);
      r.commands++;
    }
  });
  std::string buf;
  double end = now_ms() + secs * 1000, sent_at = 0;
  while (now_ms() < end) {
    sleep_ms(100);
    s.modem->send_report(report(0x600000 + (uint32_t)r.sent * 16, (uint8_t)r.sent));
    sent_at = now_ms();
    r.sent++;
    if (line_with(l, buf, "@6", 30000)) {
      r.heard++;
      r.listener_worst = std::max(r.listener_worst, now_ms() - sent_at);
    }
  }
  done = true;
  for (auto &t : crowd) t.join();
  other.join();
  close(l);
  r.sets = sets;
  return r;
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: bench <ceiling> <lighttpd> <name>=<orvel>:<libvmodem.so> [...]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  double secs = getenv("BENCH_SECS") ? atof(getenv("BENCH_SECS")) : 4;
  int rounds = getenv("BENCH_ROUNDS") ? atoi(getenv("BENCH_ROUNDS")) : 3;
  std::string load_before = loadavg();

  // The files every server serves: 1 KiB and 30 MB.
  std::string root = fs::temp_directory_path() / "orvel-bench-XXXXXX";
  root = mkdtemp(root.data());
  std::string www = root + "/www";
  fs::create_directory(www);
  std::string kib;
  for (int i = 0; i < 1024; i++) kib += (char)('a' + i % 26);
  std::ofstream(www + "/f1k.txt") << kib;
  std::ofstream big(www + "/big.bin", std::ios::binary);
  for (int i = 0; i < 30 * 1024; i++) big << kib;
  big.close();

  // Servers: each orvel with the modem and without, then lighttpd and the ceiling.
  std::vector<Server> servers;
  std::vector<std::string> names;
  std::vector<std::pair<std::string, std::string>> orvels;  // binary, virtual modem
  for (int i = 3; i < argc; i++) {
    std::string a = argv[i], name = a.substr(0, a.find('='));
    std::string rest = a.substr(a.find('=') + 1), bin = rest.substr(0, rest.find(':'));
    std::string vm = rest.substr(rest.find(':') + 1);
    names.push_back(name);
    orvels.push_back({bin, vm});
    servers.push_back(start_orvel(name + " modem", bin, vm, www));
    servers.push_back(start_orvel(name + " no modem", bin, "", www));
  }
  Server lt{"lighttpd", root + "/lighttpd"};
  fs::create_directory(lt.dir);
  lt.port = free_port();
  std::ofstream(lt.dir + "/lighttpd.conf") << "server.document-root = \"" << www << "\"\nserver.port = " << lt.port
                                             << "\nserver.bind = \"127.0.0.1\"\nserver.errorlog = \"" << lt.dir
                                             << "/error.log\"\nserver.max-connections = 1024\n";
  lt.pid = spawn(lt.dir, {argv[2], "-D", "-f", lt.dir + "/lighttpd.conf"}, {});
  if (!wait_port(lt.port, 5000)) fprintf(stderr, "bench: lighttpd did not start (see %s)\n", lt.dir.c_str());
  servers.push_back(lt);
  Server ceil{"ceiling", root};
  ceil.port = free_port();
  ceil.pid = spawn(root, {fs::absolute(argv[1]), std::to_string(ceil.port), www + "/f1k.txt"}, {});
  if (!wait_port(ceil.port, 5000)) fprintf(stderr, "bench: the ceiling server did not start\n");
  servers.push_back(ceil);
  size_t nlt = servers.size() - 2, nceil = servers.size() - 1;

  // HTTP: alternating rounds; each round starts at the next server.
  const int concs[2] = {32, 60};
  std::map<std::pair<size_t, int>, std::vector<double>> rps;
  std::map<std::pair<size_t, int>, long> errors;
  for (int r = 0; r < rounds; r++)
    for (int c : concs)
      for (size_t k = 0; k < servers.size(); k++) {
        size_t i = (k + (size_t)r) % servers.size();
        Load l = http_load(servers[i].port, c, secs);
        rps[{i, c}].push_back(l.rps);
        errors[{i, c}] += l.errors;
        sleep_ms(200);
      }

  // Idle CPU of every orvel at once, after the load.
  std::vector<double> cpu0;
  for (auto &s : servers) cpu0.push_back(cpu_ms(s.pid));
  sleep_ms(10000);
  std::vector<double> idle;
  for (size_t i = 0; i < servers.size(); i++) idle.push_back((cpu_ms(servers[i].pid) - cpu0[i]) / 10000 * 100);

  // Table.
  printf("orvel benchmark: %s, %ld cores, load average %s at start\n", names.size() > 1 ? "side by side" : "one build",
         sysconf(_SC_NPROCESSORS_ONLN), load_before.c_str());
  printf("HTTP close-per-request GET of a 1 KiB file, every reply read until the close; median of %d rounds x %.0f s\n",
         rounds, secs);
  printf("%-22s", "server");
  for (int c : concs) printf(" | %2d clients: req/s  /lighttpd  /ceiling  errors", c);
  printf("\n");
  for (size_t i = 0; i < servers.size(); i++) {
    printf("%-22s", servers[i].name.c_str());
    for (int c : concs) {
      double m = median(rps[{i, c}]), ml = median(rps[{nlt, c}]), mc = median(rps[{nceil, c}]);
      printf(" |            %6.0f     %5.2f     %5.2f  %6ld", m, ml ? m / ml : 0, mc ? m / mc : 0, errors[{i, c}]);
    }
    printf("\n");
  }
  printf("\n%-54s", "");
  for (auto &n : names) printf(" %24s", n.c_str());
  printf("\n");
  auto row = [&](const char *label, auto cell) {
    printf("%-54s", label);
    for (size_t k = 0; k < names.size(); k++) printf(" %24s", cell(k).c_str());
    printf("\n");
  };
  auto fmt = [](const char *f, auto... v) {
    char b[128];
    snprintf(b, sizeof b, f, v...);
    return std::string(b);
  };
  row("peak RSS after the load, modem / no modem (MB)", [&](size_t k) {
    return fmt("%.1f / %.1f", status_kb(servers[2 * k].pid, "VmHWM:") / 1024.0, status_kb(servers[2 * k + 1].pid, "VmHWM:") / 1024.0);
  });
  printf("%-54s %24.1f\n", "peak RSS after the load, lighttpd (MB)", status_kb(lt.pid, "VmHWM:") / 1024.0);
  row("idle CPU over 10 s, modem / no modem (% of a core)",
      [&](size_t k) { return fmt("%.2f / %.2f", idle[2 * k], idle[2 * k + 1]); });
  fflush(stdout);

  // Radio and slow download, through each gateway with the modem.
  std::vector<Pcts> lis, lp, net, two;
  std::vector<int> twice;
  std::vector<Burst> bu;
  std::vector<Slow> sl;
  std::vector<Crowd> crowd;
  std::error_code ec;
  for (size_t k = 0; k < names.size(); k++) {
    Server &s = servers[2 * k];
    lis.push_back(latency_listener(s, 200));
    lp.push_back(latency_longpoll(s, 200));
    Server remote = start_orvel_net(names[k] + " network modem", orvels[k].first, orvels[k].second, www);
    net.push_back(remote.pid > 0 ? latency_listener(remote, 200) : Pcts{});
    if (remote.pid > 0) stop_server(remote);
    fs::remove_all(remote.dir, ec);
    fs::remove_all(remote.daemon_dir, ec);
    Server both = start_orvel_net(names[k] + " two modems", orvels[k].first, orvels[k].second, www, true);
    twice.push_back(0);
    two.push_back(both.pid > 0 ? latency_two_modems(both, 200, &twice.back()) : Pcts{});
    if (both.pid > 0) stop_server(both);
    fs::remove_all(both.dir, ec);
    fs::remove_all(both.daemon_dir, ec);
    sl.push_back(slow_download(s, 8));
    crowd.push_back(back_to_back(s, 8));
    stop_server(s);
    // The burst on a fresh gateway: reports still queued from the above would mix in.
    Server fresh = start_orvel(names[k] + " burst", orvels[k].first, orvels[k].second, www);
    std::thread sender;
    bu.push_back(burst(fresh, 1000, sender));
    stop_server(fresh, &sender);  // also ends a sender still blocked on a full socket
    fs::remove_all(fresh.dir, ec);
  }
  row("report -> raw listener, p50 / p99 ms (lost)",
      [&](size_t k) { return fmt("%.2f / %.2f (%d)", lis[k].p50, lis[k].p99, lis[k].lost); });
  row("report via orvel-modemd -> raw listener, p50 / p99 ms", [&](size_t k) {
    return net[k].p50 < 0 ? std::string("no orvel-modemd") : fmt("%.2f / %.2f (%d)", net[k].p50, net[k].p99, net[k].lost);
  });
  row("  network modem's extra over USB, p50 / p99 ms", [&](size_t k) {
    return net[k].p50 < 0 ? std::string("-") : fmt("%+.2f / %+.2f", net[k].p50 - lis[k].p50, net[k].p99 - lis[k].p99);
  });
  row("report heard by two modems -> raw listener, p50 / p99 ms (lost, twice)", [&](size_t k) {
    return two[k].p50 < 0 ? std::string("one modem only")
                          : fmt("%.2f / %.2f (%d, %d)", two[k].p50, two[k].p99, two[k].lost, twice[k]);
  });
  row("report -> long-poll, p50 / p99 ms (lost)",
      [&](size_t k) { return fmt("%.2f / %.2f (%d)", lp[k].p50, lp[k].p99, lp[k].lost); });
  row("burst of 1000 (10 s at most): delivered, order, lost", [&](size_t k) {
    std::string lost = bu[k].lost < 0 ? fmt("%d pending", 1000 - bu[k].delivered) : fmt("%d lost", bu[k].lost);
    return fmt("%d %s, ", bu[k].delivered, bu[k].in_order ? "in order" : "OUT OF ORDER") + lost;
  });
  row("burst: reports/s (ms to the last one)", [&](size_t k) { return fmt("%.0f (%.0f)", bu[k].rate, bu[k].ms); });
  row("8 s slow download: another GET's worst wait (ms)",
      [&](size_t k) { return fmt("%.0f (%d GETs)", sl[k].worst, sl[k].requests); });
  row("  meanwhile the listener got / longest gap (ms)",
      [&](size_t k) { return fmt("%d/%d / %.0f", sl[k].heard, sl[k].sent, sl[k].gap); });
  row("4 back-to-back clients: a deaf device's NO REPLY, worst (ms)",
      [&](size_t k) { return fmt("%.0f (%d commands)", crowd[k].no_reply_worst, crowd[k].commands); });
  row("  meanwhile: a listener's worst delay (ms), heard/sent, sets",
      [&](size_t k) { return fmt("%.1f, %d/%d, %d", crowd[k].listener_worst, crowd[k].heard, crowd[k].sent, crowd[k].sets); });
  std::vector<RuleFigures> rf;
  for (size_t k = 0; k < names.size(); k++) rf.push_back(rules_bench(names[k], orvels[k].first, orvels[k].second, www));
  auto ok = [&](size_t k) { return rf[k].latency.lost < 200; };
  const char *none = "no automations";
  row("button report -> rule's first command, p50 / p99 ms", [&](size_t k) {
    return ok(k) ? fmt("%.2f / %.2f (%d)", rf[k].latency.p50, rf[k].latency.p99, rf[k].latency.lost) : std::string(none);
  });
  row("report no rule matches: CPU/report, 100 rules / 1 (us)", [&](size_t k) {
    return ok(k) ? fmt("%.1f / %.1f (%+.1f)", rf[k].cpu[0], rf[k].cpu[1], rf[k].cpu[0] - rf[k].cpu[1]) : std::string(none);
  });
  row("idle CPU over 5 s, 100 rules / 1 rule (% of a core)",
      [&](size_t k) { return ok(k) ? fmt("%.3f / %.3f", rf[k].idle[0], rf[k].idle[1]) : std::string(none); });
  printf("load average at the end %s (other work on the machine makes these figures noisy)\n", loadavg().c_str());

  for (size_t i = 0; i < servers.size(); i++)
    if (i % 2 == 1 || i >= nlt) stop_server(servers[i]);
  for (auto &s : servers)
    if (s.dir.rfind(root, 0) != 0) fs::remove_all(s.dir, ec);
  fs::remove_all(root, ec);
}
