// End-to-end harness implementation: process control, the modem peer, and
// bounded socket helpers.
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace e2e {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- sockets

bool send_all(int fd, const std::string &data) {
  for (size_t off = 0; off < data.size();) {
    ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += (size_t)n;
  }
  return true;
}

// Reads until `stop` says so, the peer closes, or the deadline passes.
template <class Stop>
static std::string recv_loop(int fd, int ms, Stop stop, bool *closed = nullptr) {
  std::string got;
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  if (closed) *closed = false;
  while (!stop(got)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, left < 0 ? 0 : (int)left) <= 0) break;
    char buf[8192];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    got.append(buf, (size_t)n);
  }
  return got;
}

std::string recv_until(int fd, const std::string &needle, int ms) {
  return recv_loop(fd, ms, [&](const std::string &s) { return s.find(needle) != std::string::npos; });
}
std::string recv_for(int fd, int ms) {
  return recv_loop(fd, ms, [](const std::string &) { return false; });
}
std::string recv_until_close(int fd, int ms) { return recv_for(fd, ms); }
bool wait_closed(int fd, int ms) {
  bool closed = false;
  recv_loop(fd, ms, [](const std::string &) { return false; }, &closed);
  return closed;
}

int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  bind(s, (struct sockaddr *)&a, sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, (struct sockaddr *)&a, &len);
  close(s);
  return ntohs(a.sin_port);
}

Bytes radio_packet(uint32_t id, uint8_t cmd, const Bytes &data, uint8_t rssi_raw, uint8_t counter, uint8_t b5) {
  Bytes p(65, 0);
  const uint8_t head[] = {1, (uint8_t)(8 + data.size()), (uint8_t)(id >> 16), (uint8_t)(id >> 8), (uint8_t)id, b5, counter, cmd};
  std::copy(head, head + 8, p.begin());
  std::copy(data.begin(), data.begin() + std::min<size_t>(data.size(), 56), p.begin() + 8);
  p[p[1] < 65 ? p[1] : 64] = rssi_raw;
  return p;
}

std::string http_body(const std::string &response) {
  size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : response.substr(at + 4);
}

std::string http_head(const std::string &response) {
  size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? response : response.substr(0, at + 4);
}

std::string hex(const Bytes &b) {
  std::string s;
  for (uint8_t c : b) s += "0123456789abcdef"[c >> 4], s += "0123456789abcdef"[c & 15];
  return s;
}

Listener::Listener(Gateway &g) : fd(g.connect()) {
  send_all(fd, "&listen");
  // "&OK\n" and the modem state ("USB1\n" or "USB0\n"), or a refusal line.
  hello = recv_until(fd, "\n", 3000);
  if (hello.rfind("&OK\n", 0) == 0 && hello.find('\n', 4) == std::string::npos) hello += recv_until(fd, "\n", 1000);
}

Listener::~Listener() {
  if (fd >= 0) close(fd);
}

std::string Listener::line(int ms) {
  if (buf.find('\n') == std::string::npos) buf += recv_until(fd, "\n", ms);
  size_t at = buf.find('\n');
  if (at == std::string::npos) return "";
  std::string l = buf.substr(0, at + 1);
  buf.erase(0, at + 1);
  return l;
}

void Listener::reset() {
  struct linger lg = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(fd);
  fd = -1;
}

std::string log_today() {
  time_t now = time(nullptr);
  struct tm t;
  gmtime_r(&now, &t);
  char name[64];
  snprintf(name, sizeof name, "logs/%02d%02d%02d.log", t.tm_year - 100, t.tm_mon + 1, t.tm_mday);
  return name;
}

// ---------------------------------------------------------------- modem peer

ModemPeer::ModemPeer(std::string p) : path(std::move(p)) { thread_ = std::thread([this] { run(); }); }

ModemPeer::~ModemPeer() {
  {
    std::lock_guard<std::mutex> l(mu_);
    stop_ = true;
  }
  thread_.join();
  if (conn_fd_ >= 0) close(conn_fd_);
  close_listener();
}

void ModemPeer::close_listener() {
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
  unlink(path.c_str());
}

void ModemPeer::plug(const std::string &product) {
  std::lock_guard<std::mutex> l(mu_);
  product_ = product;
  plugged_ = true;
  if (listen_fd_ >= 0) return;
  unlink(path.c_str());
  listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un a {};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  bind(listen_fd_, (struct sockaddr *)&a, sizeof a);
  listen(listen_fd_, 4);
}

void ModemPeer::unplug() {
  std::lock_guard<std::mutex> l(mu_);
  plugged_ = false;
  if (conn_fd_ >= 0) close(conn_fd_);
  conn_fd_ = -1;
  close_listener();
  cv_.notify_all();
}

bool ModemPeer::connected() {
  std::lock_guard<std::mutex> l(mu_);
  return conn_fd_ >= 0;
}

bool ModemPeer::wait_connected(int ms) {
  std::unique_lock<std::mutex> l(mu_);
  return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return conn_fd_ >= 0; });
}

bool ModemPeer::send_report(const Bytes &report) {
  std::lock_guard<std::mutex> l(mu_);
  return conn_fd_ >= 0 && send(conn_fd_, report.data(), report.size(), MSG_NOSIGNAL) == (ssize_t)report.size();
}

std::optional<Bytes> ModemPeer::next_write(int ms) {
  std::unique_lock<std::mutex> l(mu_);
  if (!cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return !writes_.empty(); })) return std::nullopt;
  Bytes b = writes_.front();
  writes_.pop_front();
  return b;
}

void ModemPeer::clear_writes() {
  std::lock_guard<std::mutex> l(mu_);
  writes_.clear();
}

// Accepts the gateway while plugged (and sends the product string), then
// records every message it writes.
void ModemPeer::run() {
  for (;;) {
    int lfd, cfd;
    {
      std::lock_guard<std::mutex> l(mu_);
      if (stop_) return;
      lfd = plugged_ && conn_fd_ < 0 ? listen_fd_ : -1;
      cfd = conn_fd_;
    }
    struct pollfd p = {lfd >= 0 ? lfd : cfd, POLLIN, 0};
    if (p.fd < 0) {
      usleep(20000);
      continue;
    }
    if (poll(&p, 1, 20) <= 0) continue;
    std::lock_guard<std::mutex> l(mu_);
    if (lfd >= 0 && lfd == listen_fd_ && conn_fd_ < 0 && plugged_) {
      int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      send(c, product_.data(), product_.size(), MSG_NOSIGNAL);
      conn_fd_ = c;
      cv_.notify_all();
    } else if (cfd >= 0 && cfd == conn_fd_) {
      uint8_t buf[1024];
      ssize_t n = recv(cfd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) writes_.emplace_back(buf, buf + n);
      if (n == 0) close(cfd), conn_fd_ = -1;  // the gateway closed its handle
      if (n >= 0) cv_.notify_all();
    }
  }
}

// ---------------------------------------------------------------- gateway

Gateway::Gateway(Options opts) : opts_(std::move(opts)) {
  char tmpl[] = "/tmp/orvel-e2e-XXXXXX";
  dir = mkdtemp(tmpl);
  fs::copy_file(ORVEL_BIN, dir + "/orvel");
  port = free_port();
  if (opts_.write_settings) write_file("setup.ini", "PORT=" + std::to_string(port) + "\n" + opts_.settings);
  for (auto &f : opts_.files) write_file(f.first, f.second);
  modem_ = new ModemPeer(dir + "/modem.sock");
  if (opts_.modem) modem_->plug(opts_.product);

  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) abort();
  std::string preload = ORVEL_VMODEM_LIB, faketime;
  for (const char *arch : {"x86_64", "aarch64"}) {
    std::string lib = std::string("/usr/lib/") + arch + "-linux-gnu/faketime/libfaketime.so.1";
    if (access(lib.c_str(), R_OK) == 0) faketime = lib;
  }
  if (!opts_.faketime.empty() && !faketime.empty()) preload += ":" + faketime;
  std::string cwd = opts_.cwd.empty() ? dir : opts_.cwd, exe = dir + "/orvel";
  // The child's environment is built before fork: only async-signal-safe
  // calls happen between fork and exec.
  std::vector<std::string> env;
  for (char **e = environ; *e; e++) {
    std::string key = std::string(*e).substr(0, std::string(*e).find('='));
    if (key != "TZ" && key != "LD_PRELOAD" && key != "ORVEL_VMODEM" && key != "ASAN_OPTIONS" &&
        key.rfind("FAKETIME", 0) != 0)
      env.push_back(*e);
  }
  env.insert(env.end(), {"TZ=UTC", "LD_PRELOAD=" + preload, "ORVEL_VMODEM=" + modem_->path,
                         "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"});
  if (!opts_.faketime.empty()) env.insert(env.end(), {"FAKETIME=" + opts_.faketime, "FAKETIME_DONT_FAKE_MONOTONIC=1"});
  std::vector<char *> envp;
  for (auto &kv : env) envp.push_back(kv.data());
  envp.push_back(nullptr);
  char *argv[] = {exe.data(), nullptr};
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipefd[1], 1);
    dup2(pipefd[1], 2);
    if (chdir(cwd.c_str()) != 0) _exit(120);
    execve(exe.c_str(), argv, envp.data());
    _exit(121);
  }
  close(pipefd[1]);
  out_fd_ = pipefd[0];
  reader_ = std::thread([this] { reader(); });
  if (opts_.wait_listening && opts_.write_settings)
    wait_output("Listening on Port: " + std::to_string(port), 10000);
}

Gateway::~Gateway() {
  kill_now();
  if (reader_.joinable()) reader_.join();
  if (out_fd_ >= 0) close(out_fd_);
  delete modem_;
  std::error_code ec;
  if (!getenv("ORVEL_KEEP_E2E")) fs::remove_all(dir, ec);
}

void Gateway::reader() {
  char buf[4096];
  for (ssize_t n; (n = read(out_fd_, buf, sizeof buf)) > 0;) {
    std::lock_guard<std::mutex> l(mu_);
    out_.append(buf, (size_t)n);
    cv_.notify_all();
  }
}

std::string Gateway::output() {
  std::lock_guard<std::mutex> l(mu_);
  return out_;
}

static size_t count_in(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) n++;
  return n;
}

size_t Gateway::count_output(const std::string &needle) { return count_in(output(), needle); }

bool Gateway::wait_output(const std::string &needle, int ms, size_t count) {
  std::unique_lock<std::mutex> l(mu_);
  return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return count_in(out_, needle) >= count; });
}

int Gateway::wait_exit(int ms) {
  for (auto deadline = Clock::now() + std::chrono::milliseconds(ms); !exited_;) {
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    } else if (Clock::now() >= deadline) {
      return -1;
    } else {
      usleep(10000);
    }
  }
  return status_;
}

bool Gateway::alive() { return wait_exit(0) == -1; }

void Gateway::kill_now() {
  if (pid_ > 0 && !exited_) ::kill(pid_, SIGKILL), wait_exit(5000);
}

int connect_to(int port, int rcvbuf) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{AF_INET, htons((uint16_t)port), {htonl(INADDR_LOOPBACK)}, {}};
  if (::connect(s, (sockaddr *)&a, sizeof a) == 0) return s;
  close(s);
  return -1;
}

int connect_from(int port, int host) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in src{AF_INET, 0, {htonl(0x7f000000u | (uint32_t)host)}, {}};
  sockaddr_in a{AF_INET, htons((uint16_t)port), {htonl(INADDR_LOOPBACK)}, {}};
  if (bind(s, (sockaddr *)&src, sizeof src) == 0 && ::connect(s, (sockaddr *)&a, sizeof a) == 0) return s;
  close(s);
  return -1;
}

int Gateway::connect() { return connect_to(port); }

std::string Gateway::request(const std::string &raw_req, int ms) {
  int s = connect();
  if (s < 0) return "";
  send_all(s, raw_req);
  std::string got = recv_until_close(s, ms);
  close(s);
  return got;
}

std::string Gateway::get(const std::string &target, int ms) {
  return request("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n", ms);
}

std::string Gateway::raw(const std::string &line, int ms) { return request(line, ms); }

void Gateway::write_file(const std::string &rel, const std::string &content) {
  fs::path p = fs::path(dir) / rel;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

std::string Gateway::read_file(const std::string &rel) {
  std::stringstream ss;
  ss << std::ifstream(fs::path(dir) / rel, std::ios::binary).rdbuf();
  return ss.str();
}

bool Gateway::file_exists(const std::string &rel) { return fs::exists(fs::path(dir) / rel); }

SimHouse::SimHouse(Gateway &g, const std::string &house_text) : control_path(g.dir + "/sim.ctl") {
  std::string house = g.dir + "/house.txt", modem = g.dir + "/modem.sock", log = g.dir + "/sim.log";
  g.write_file("house.txt", house_text);
  std::string bin = (fs::path(ORVEL_BIN).parent_path() / "orvel-sim").string();
  pid_ = fork();
  if (pid_ == 0) {
    int in = open("/dev/null", O_RDONLY), out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(120);
    execl(bin.c_str(), bin.c_str(), "--socket", modem.c_str(), "--house", house.c_str(), "--control",
          control_path.c_str(), (char *)nullptr);
    _exit(121);
  }
}

SimHouse::~SimHouse() {
  control("quit");
  for (int i = 0; i < 50; i++) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string SimHouse::control(const std::string &line) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, control_path.c_str(), sizeof a.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return "";
  }
  send_all(fd, line + "\n");
  shutdown(fd, SHUT_WR);
  std::string reply = recv_until_close(fd, 3000);
  close(fd);
  return reply;
}

bool SimHouse::wait_ready(int ms) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (!control("help").empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace e2e
