// End-to-end harness: runs the real orvel binary, copied into a fresh
// temporary directory, on a free port, with the virtual modem preloaded and
// TZ=UTC; a ModemPeer plays the radio modem on the virtual modem socket.
#pragma once
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

using Bytes = std::vector<uint8_t>;

// The modem's side of the virtual modem socket (SOCK_SEQPACKET): while
// plugged it accepts the gateway and sends the product string; each message
// either way is one report.
class ModemPeer {
 public:
  explicit ModemPeer(std::string path);
  ~ModemPeer();
  ModemPeer(const ModemPeer &) = delete;
  ModemPeer &operator=(const ModemPeer &) = delete;

  void plug(const std::string &product = "ORVEL RF MODEM");
  void unplug();  // closes the connection and stops listening
  bool wait_connected(int ms = 5000);
  bool connected();
  // Sends one input report exactly as given.
  bool send_report(const Bytes &report);
  // The next output report written by the gateway, in order.
  std::optional<Bytes> next_write(int ms = 3000);
  void clear_writes();
  const std::string path;

 private:
  void run();
  void close_listener();
  std::mutex mu_;
  std::condition_variable cv_;
  int listen_fd_ = -1;
  int conn_fd_ = -1;
  bool plugged_ = false;
  bool stop_ = false;
  std::string product_;
  std::deque<Bytes> writes_;
  std::thread thread_;
};

struct Options {
  std::string settings;          // setup.ini lines after "PORT=<port>"
  bool write_settings = true;    // false: no setup.ini at all
  bool modem = true;             // plug the modem peer before start
  std::string product = "ORVEL RF MODEM";
  std::string faketime;          // FAKETIME value (libfaketime preloaded) when set
  std::string cwd;               // working directory to start in (default: the run dir)
  std::vector<std::pair<std::string, std::string>> files;  // written before start
  bool wait_listening = true;
};

class Gateway {
 public:
  explicit Gateway(Options opts = {});
  ~Gateway();
  Gateway(const Gateway &) = delete;
  Gateway &operator=(const Gateway &) = delete;

  std::string dir;  // run directory holding the copied binary and its files
  int port = 0;
  ModemPeer &modem() { return *modem_; }
  pid_t pid() const { return pid_; }

  std::string output();                                 // everything printed so far
  bool wait_output(const std::string &needle, int ms = 5000, size_t count = 1);
  size_t count_output(const std::string &needle);
  int wait_exit(int ms = 5000);                         // exit status, or -1 still running
  bool alive();
  void kill_now();

  int connect();                                        // a raw TCP client
  std::string request(const std::string &raw, int ms = 5000);  // send, read until close
  std::string get(const std::string &target, int ms = 5000);
  std::string raw(const std::string &line, int ms = 2000);     // one raw command's reply

  void write_file(const std::string &rel, const std::string &content);
  std::string read_file(const std::string &rel);
  bool file_exists(const std::string &rel);

 private:
  void reader();
  Options opts_;
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int status_ = -1;
  bool exited_ = false;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string out_;
  std::thread reader_;
  ModemPeer *modem_ = nullptr;
};

// orvel-sim (built beside orvel) as the gateway's modem: start the Gateway
// with Options.modem = false; the house file `house` is written into its
// directory. Driven through the simulator's control socket.
class SimHouse {
 public:
  SimHouse(Gateway &g, const std::string &house);
  ~SimHouse();
  SimHouse(const SimHouse &) = delete;
  SimHouse &operator=(const SimHouse &) = delete;
  // Sends one control line; returns the simulator's answer ("" when it cannot be reached).
  std::string control(const std::string &line);
  bool wait_ready(int ms = 5000);
  const std::string control_path;

 private:
  pid_t pid_ = -1;
};

// Socket helpers (all bounded in time).
bool send_all(int fd, const std::string &data);
std::string recv_until(int fd, const std::string &needle, int ms);
std::string recv_for(int fd, int ms);          // whatever arrives within ms
std::string recv_until_close(int fd, int ms);
bool wait_closed(int fd, int ms);
// A TCP client of 127.0.0.1:port, -1 when refused; a `rcvbuf` given is set
// before connecting (a client that reads slowly).
int connect_to(int port, int rcvbuf = 0);
// The same from the loopback source address 127.0.0.<host> (another client).
int connect_from(int port, int host);

// A raw-protocol listener ("&listen") that reads whole lines.
struct Listener {
  explicit Listener(Gateway &g);
  ~Listener();
  std::string line(int ms = 3000);  // the next line with its "\n"; "" when none comes
  void reset();                     // closes with a reset instead of an orderly shutdown
  int fd;
  std::string hello;  // the reply to "&listen"
  std::string buf;
};

// Today's daily log file, "logs/YYMMDD.log" (the gateway runs with TZ=UTC).
std::string log_today();

// A 65-byte kind-1 input report: id, command, data, raw signal byte.
Bytes radio_packet(uint32_t id, uint8_t cmd, const Bytes &data, uint8_t rssi_raw = 0x50,
                   uint8_t counter = 0, uint8_t b5 = 0);
std::string http_body(const std::string &response);
std::string http_head(const std::string &response);
std::string hex(const Bytes &b);
int free_port();

}  // namespace e2e
