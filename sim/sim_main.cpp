// orvel-sim: a simulated house of radio devices behind a virtual radio modem.
// It is the modem peer of the virtual modem interface: it listens on a Unix
// SOCK_SEQPACKET socket, sends the product string as the first message of each
// connection, then one input report per message, and takes every message the
// gateway writes as one output report. Operators drive it with control lines
// on standard input or, with --control, on a Unix stream socket; "orvel-sim
// ctl WORD..." is the client for that socket.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "sim_control.h"
#include "sim_ctl.h"
#include "sim_device.h"
#include "sim_house.h"

// The control socket scripts/run.sh gives the simulator, in the checkout the
// program was built from; "ctl" uses it unless told another.
#ifndef SIM_CHECKOUT_DIR
#define SIM_CHECKOUT_DIR "."
#endif
constexpr const char *CONTROL_DEFAULT = SIM_CHECKOUT_DIR "/run/sim.ctl";

constexpr int QUEUE_CAP = 256;        // packets waiting for their send time
constexpr int CONTROL_CLIENT_CAP = 8;  // control socket connections at once
constexpr int LINE_CAP = 512;
constexpr int REPLY_CAP = 16384;
constexpr int MESSAGE_CAP = 512;

struct queued {
  long long due_ms;
  uint8_t bytes[SIM_PACKET_SIZE];
};
struct line_client {
  int fd;  // -1 = free
  char buf[LINE_CAP];
  int len;
};

static queued queue[QUEUE_CAP];
static int queue_count;
static int modem_listen = -1, modem_conn = -1, control_listen = -1;
static line_client control_clients[CONTROL_CLIENT_CAP];
static line_client console = {STDIN_FILENO, {}, 0};
static const char *modem_path;
static const char *control_path;
static const char *product = "ORVEL SIMULATED RF MODEM";
static bool quiet;
static bool announce;  // every device reports its state when the gateway connects
static volatile sig_atomic_t stop_signal;

static long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Seconds since Sunday 00:00 of the local clock: the house clock device clocks follow.
static uint32_t week_now() {
  time_t t = time(nullptr);
  tm local;
  localtime_r(&t, &local);
  return static_cast<uint32_t>(local.tm_wday * 86400 + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
}

static void say(const char *fmt, const char *text) {
  printf(fmt, text);
  fflush(stdout);
}

// Dotted hex of a received radio packet, the way the gateway's listeners see it.
static void packet_text(const uint8_t *b, char *text, size_t cap) {
  int l = b[SIM_RX_LEN];
  int n = snprintf(text, cap, "@%02x%02x%02x.%02x.%02x.%02x.", b[2], b[3], b[4], b[5], b[6], b[7]);
  for (int i = SIM_RX_DATA; i < l && n + 3 < static_cast<int>(cap); i++) n += snprintf(text + n, cap - n, "%02x", b[i]);
  snprintf(text + n, cap - n, ".%02x", b[l]);
}

static void queue_add(const sim_out *out) {
  long long now = now_ms();
  for (int i = 0; i < out->count; i++) {
    if (queue_count >= QUEUE_CAP) {
      say("%s", "orvel-sim: send queue full, packet dropped\n");
      return;
    }
    queue[queue_count].due_ms = now + out->packets[i].delay_ms;
    memcpy(queue[queue_count].bytes, out->packets[i].bytes, SIM_PACKET_SIZE);
    queue_count++;
  }
}

// Sends every packet that is due, in order; without a gateway they are lost, as on the air.
static void queue_flush() {
  long long now = now_ms();
  int kept = 0;
  for (int i = 0; i < queue_count; i++) {
    if (queue[i].due_ms > now) {
      queue[kept++] = queue[i];
      continue;
    }
    char text[160];
    packet_text(queue[i].bytes, text, sizeof text);
    if (modem_conn >= 0 && send(modem_conn, queue[i].bytes, SIM_PACKET_SIZE, MSG_NOSIGNAL) == SIM_PACKET_SIZE) {
      if (!quiet) say("  radio -> %s\n", text);
    } else if (!quiet) {
      say("  radio -> %s (no gateway connected: lost)\n", text);
    }
  }
  queue_count = kept;
}

static void modem_drop_connection() {
  if (modem_conn >= 0) close(modem_conn);
  modem_conn = -1;
}

static bool modem_plug() {
  if (modem_listen >= 0) return true;
  int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  if (fd < 0) {
    perror("orvel-sim: socket");
    return false;
  }
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", modem_path);
  struct stat st;
  if (lstat(modem_path, &st) == 0 && S_ISSOCK(st.st_mode)) unlink(modem_path);
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || listen(fd, 4) < 0) {
    perror("orvel-sim: bind/listen on the modem socket");
    close(fd);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  modem_listen = fd;
  return true;
}

// Unplugging: the gateway's reads fail and new opens find nothing until plug.
static void modem_unplug() {
  modem_drop_connection();
  if (modem_listen >= 0) {
    close(modem_listen);
    unlink(modem_path);
  }
  modem_listen = -1;
}

static void modem_accept() {
  int fd = accept(modem_listen, nullptr, nullptr);
  if (fd < 0) return;
  if (modem_conn >= 0) say("%s", "orvel-sim: gateway opened the modem again; old connection dropped\n");
  modem_drop_connection();
  modem_conn = fd;
  send(fd, product, strlen(product), MSG_NOSIGNAL);
  say("orvel-sim: gateway connected (product string \"%s\")\n", product);
  if (!announce) return;
  // Power-on reports, spaced out so the gateway reads each one on its own pass.
  sim_out out;
  out.count = 0;
  for (int i = 0; i < sim_device_count; i++) {
    int before = out.count;
    if (!sim_device_status(i, 0, &out)) sim_device_temp(i, &out);
    for (int k = before; k < out.count; k++) out.packets[k].delay_ms = static_cast<uint16_t>(500 + 250 * i);
  }
  queue_add(&out);
}

static void modem_read() {
  uint8_t msg[MESSAGE_CAP];
  ssize_t n = recv(modem_conn, msg, sizeof msg, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    say("%s", "orvel-sim: gateway closed the modem\n");
    modem_drop_connection();
    return;
  }
  if (n == 2 && msg[0] == SIM_TX_LED) {
    char value[8];
    snprintf(value, sizeof value, "%02x", msg[1]);
    if (!quiet) say("  modem LED = %s\n", value);
    return;
  }
  if (!quiet && n > SIM_TX_CMD && msg[SIM_TX_KIND] == SIM_TX_RADIO) {
    char text[200];
    int len = snprintf(text, sizeof text, "@%02x%02x%02x cmd %02x data", msg[3], msg[4], msg[5], msg[8]);
    int count = msg[SIM_TX_LEN] - 6;
    for (int i = 0; i < count && SIM_TX_DATA + i < n && len + 4 < static_cast<int>(sizeof text); i++)
      len += snprintf(text + len, sizeof text - len, " %02x", msg[SIM_TX_DATA + i]);
    say("  radio <- %s\n", text);
  }
  sim_out out;
  out.count = 0;
  sim_device_command(msg, static_cast<int>(n), week_now(), &out);
  queue_add(&out);
}

static bool control_run(const char *line, int reply_fd) {
  static char reply[REPLY_CAP];
  sim_out out;
  out.count = 0;
  sim_action act = sim_control_line(line, &out, reply, sizeof reply);
  queue_add(&out);
  if (act == SIM_ACT_UNPLUG) modem_unplug();
  if (act == SIM_ACT_PLUG && !modem_plug()) snprintf(reply, sizeof reply, "error: cannot listen on %s\n", modem_path);
  if (reply_fd == STDIN_FILENO)
    say("%s", reply);
  else
    send(reply_fd, reply, strlen(reply), MSG_NOSIGNAL);
  return act != SIM_ACT_QUIT;
}

// Reads what is waiting on a line client and runs its complete lines; false at
// end of input (the client is then done) or after "quit" (sets stop_signal).
static bool client_read(line_client *c) {
  ssize_t n = read(c->fd, c->buf + c->len, static_cast<size_t>(LINE_CAP - 1 - c->len));
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  bool open = n > 0;
  if (open) c->len += static_cast<int>(n);
  c->buf[c->len] = 0;
  for (;;) {
    char *nl = strchr(c->buf, '\n');
    if (!nl && (open && c->len < LINE_CAP - 1)) break;
    if (!nl && c->len == 0) break;
    if (nl) *nl = 0;
    if (!control_run(c->buf, c->fd)) stop_signal = 1;
    int used = nl ? static_cast<int>(nl - c->buf) + 1 : c->len;
    memmove(c->buf, c->buf + used, static_cast<size_t>(c->len - used + 1));
    c->len -= used;
  }
  return open;
}

static bool control_listen_open() {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", control_path);
  struct stat st;
  if (lstat(control_path, &st) == 0 && S_ISSOCK(st.st_mode)) unlink(control_path);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || listen(fd, 4) < 0) {
    perror("orvel-sim: control socket");
    if (fd >= 0) close(fd);
    return false;
  }
  control_listen = fd;
  return true;
}

static void on_signal(int) { stop_signal = 1; }

static int usage() {
  fprintf(stderr,
          "usage: orvel-sim --socket PATH --house FILE [--product TEXT] [--control PATH]\n"
          "                 [--write-devices FILE] [--announce] [--quiet]\n"
          "       orvel-sim ctl [--control PATH] WORD...   (a running simulator; default %s)\n"
          "  --socket PATH         virtual modem socket (give the gateway ORVEL_VMODEM=PATH)\n"
          "  --house FILE          the simulated devices (see sim/house.txt)\n"
          "  --product TEXT        modem product string (default \"%s\")\n"
          "  --control PATH        also take control lines on this Unix stream socket\n"
          "  --write-devices FILE  write the gateway's device list for this house if FILE is missing\n"
          "  --announce            every device reports its state when the gateway connects\n"
          "  --quiet               do not print the radio traffic\n",
          CONTROL_DEFAULT, product);
  return 2;
}

int main(int argc, char **argv) {
  if (argc >= 2 && strcmp(argv[1], "ctl") == 0) return sim_ctl_main(argc - 2, argv + 2, CONTROL_DEFAULT);
  const char *house = nullptr, *devices_out = nullptr;
  for (int i = 1; i < argc; i++) {
    bool more = i + 1 < argc;
    if (strcmp(argv[i], "--socket") == 0 && more) modem_path = argv[++i];
    else if (strcmp(argv[i], "--house") == 0 && more) house = argv[++i];
    else if (strcmp(argv[i], "--product") == 0 && more) product = argv[++i];
    else if (strcmp(argv[i], "--control") == 0 && more) control_path = argv[++i];
    else if (strcmp(argv[i], "--write-devices") == 0 && more) devices_out = argv[++i];
    else if (strcmp(argv[i], "--quiet") == 0) quiet = true;
    else if (strcmp(argv[i], "--announce") == 0) announce = true;
    else return usage();
  }
  if (!modem_path || !house) return usage();
  if (strlen(modem_path) >= sizeof(sockaddr_un::sun_path) ||
      (control_path && strlen(control_path) >= sizeof(sockaddr_un::sun_path))) {
    fprintf(stderr, "orvel-sim: socket path too long\n");
    return 2;
  }
  if (strlen(product) > 512) {
    fprintf(stderr, "orvel-sim: product string longer than 512 bytes\n");
    return 2;
  }

  char err[256];
  int count = sim_house_load(house, err, sizeof err);
  if (count < 0) {
    fprintf(stderr, "orvel-sim: %s\n", err);
    return 1;
  }
  sim_random_seed(static_cast<uint32_t>(time(nullptr)));
  if (devices_out && access(devices_out, F_OK) != 0) {
    static char text[REPLY_CAP];
    size_t len = sim_house_devices_text(text, sizeof text);
    FILE *f = fopen(devices_out, "w");
    if (!f || fwrite(text, 1, len, f) != len) fprintf(stderr, "orvel-sim: cannot write %s\n", devices_out);
    if (f) fclose(f);
  }

  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  for (line_client &c : control_clients) c.fd = -1;
  if (!modem_plug()) return 1;
  if (control_path && !control_listen_open()) return 1;

  printf("orvel-sim: simulated house of %d devices from %s\n", count, house);
  printf("orvel-sim: modem socket %s; run the gateway with ORVEL_VMODEM=%s LD_PRELOAD=build/libvmodem.so\n",
         modem_path, modem_path);
  if (control_path) printf("orvel-sim: control socket %s\n", control_path);
  if (isatty(STDIN_FILENO)) printf("orvel-sim: type 'help' for commands, 'show' for the house\n");
  fflush(stdout);

  bool console_open = true;
  long long next_tick = now_ms() + 1000;
  while (!stop_signal) {
    pollfd fds[4 + CONTROL_CLIENT_CAP];
    int nfds = 0, at_listen = -1, at_conn = -1, at_console = -1, at_control = -1, at_clients = 0;
    if (modem_listen >= 0) fds[at_listen = nfds++] = {modem_listen, POLLIN, 0};
    if (modem_conn >= 0) fds[at_conn = nfds++] = {modem_conn, POLLIN, 0};
    if (console_open) fds[at_console = nfds++] = {STDIN_FILENO, POLLIN, 0};
    if (control_listen >= 0) fds[at_control = nfds++] = {control_listen, POLLIN, 0};
    at_clients = nfds;
    for (line_client &c : control_clients) fds[nfds++] = {c.fd, POLLIN, 0};

    long long now = now_ms(), wake = next_tick;
    for (int i = 0; i < queue_count; i++)
      if (queue[i].due_ms < wake) wake = queue[i].due_ms;
    int timeout = wake > now ? static_cast<int>(wake - now) : 0;
    if (poll(fds, static_cast<nfds_t>(nfds), timeout) < 0 && errno != EINTR) {
      perror("orvel-sim: poll");
      break;
    }
    if (at_conn >= 0 && fds[at_conn].revents) modem_read();
    if (at_listen >= 0 && modem_listen >= 0 && fds[at_listen].revents & POLLIN) modem_accept();
    if (at_console >= 0 && fds[at_console].revents && !client_read(&console)) console_open = false;
    if (at_control >= 0 && fds[at_control].revents & POLLIN) {
      int fd = accept(control_listen, nullptr, nullptr);
      line_client *slot = nullptr;
      for (line_client &c : control_clients)
        if (c.fd < 0 && !slot) slot = &c;
      if (fd >= 0 && slot) {
        slot->fd = fd;
        slot->len = 0;
      } else if (fd >= 0) {
        close(fd);
      }
    }
    for (int i = 0; i < CONTROL_CLIENT_CAP; i++) {
      line_client *c = &control_clients[i];
      if (c->fd >= 0 && fds[at_clients + i].fd == c->fd && fds[at_clients + i].revents && !client_read(c)) {
        close(c->fd);
        c->fd = -1;
      }
    }
    if (now_ms() >= next_tick) {
      next_tick += 1000;
      if (next_tick < now_ms()) next_tick = now_ms() + 1000;
      sim_out out;
      out.count = 0;
      sim_device_tick(&out);
      queue_add(&out);
    }
    queue_flush();
  }
  say("%s", "orvel-sim: stopping\n");
  modem_unplug();
  if (control_listen >= 0) {
    close(control_listen);
    unlink(control_path);
  }
  return 0;
}
