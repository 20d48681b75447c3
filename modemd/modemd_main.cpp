// orvel-modemd --listen ADDR:PORT --key-file FILE [--modem SERIAL|PATH]
//
// Opens the radio modem of this machine through hidapi (the gateway's own
// modem reader: one look a second while none is there, reopened after an
// unplug; the first one found, or the one --modem names) and serves it over TCP to one gateway that proves the shared key,
// the key file's first line (blanks around it ignored). One poll loop: the
// listening socket, the modem reader's descriptor and the connections.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "modemd/modemd.h"
#include "modemlink/modemlink.h"
#include "modemlink/modemlink_auth.h"
#include "modemlink/modemlink_conn.h"
#include "radio/modem_reader.h"

namespace {

const char DEFAULT_LISTEN[] = "0.0.0.0:2021";
constexpr size_t GATEWAY_KEY_MAX = 63;  // the longest MODEMKEY the gateway keeps
constexpr int ACCEPT_BACKLOG = 8;
constexpr int EXIT_USAGE = 2;

void usage(FILE *to) {
  fprintf(to,
          "usage: orvel-modemd [--listen ADDR:PORT] --key-file FILE [--modem SERIAL|PATH]\n"
          "  --listen ADDR:PORT  where gateways connect (default %s; [v6addr]:port for IPv6)\n"
          "  --key-file FILE     the shared key is the file's first line (MODEMKEY in the gateway's setup.ini)\n"
          "  --modem SERIAL|PATH the modem with that serial number, or at that hidraw path (default: the first found)\n",
          DEFAULT_LISTEN);
}

// The key file's first line without its line end and surrounding blanks;
// exits with a clear message when there is none.
std::string key_read(const char *path) {
  FILE *f = fopen(path, "r");
  if (!f) {
    fprintf(stderr, "orvel-modemd: cannot read the key file %s: %s\n", path, strerror(errno));
    exit(EXIT_USAGE);
  }
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && (st.st_mode & S_IROTH))
    printf("warning: the key file %s is readable by everyone (chmod o-r it)\n", path);
  char line[MODEMLINK_KEY_MAX + 2] = "";
  if (!fgets(line, sizeof line, f)) line[0] = '\0';
  fclose(f);
  std::string key(line);
  size_t end = key.find_last_not_of(" \t\r\n"), start = key.find_first_not_of(" \t\r\n");
  key = end == std::string::npos ? "" : key.substr(start, end - start + 1);
  if (key.empty()) {
    fprintf(stderr, "orvel-modemd: the key file %s is empty: write the shared key on its first line\n", path);
    exit(EXIT_USAGE);
  }
  if (key.size() > GATEWAY_KEY_MAX)
    printf("warning: the key is longer than the %zu characters a gateway's MODEMKEY holds\n", GATEWAY_KEY_MAX);
  return key;
}

int listen_on(const char *where) {
  std::string s(where), host, port;
  size_t colon = s.rfind(':');
  if (colon == std::string::npos) return -1;
  host = s.substr(0, colon), port = s.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  addrinfo hints = {}, *found = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  if (getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int one = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd >= 0 && (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, ACCEPT_BACKLOG) != 0)) {
    int err = errno;
    close(fd);
    fd = -1;
    errno = err;
  }
  freeaddrinfo(found);
  return fd;
}

void accept_all(int listen_fd) {
  for (;;) {
    sockaddr_storage addr;
    socklen_t len = sizeof addr;
    int fd = accept4(listen_fd, (sockaddr *)&addr, &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    char host[INET6_ADDRSTRLEN] = "?", serv[8] = "?", peer[sizeof host + sizeof serv + 4];
    getnameinfo((sockaddr *)&addr, len, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV);
    snprintf(peer, sizeof peer, addr.ss_family == AF_INET6 ? "[%s]:%s" : "%s:%s", host, serv);
    modemd_client_accept(fd, peer);
  }
}

// Every event the modem reader has queued (layout in radio/modem_reader.cpp).
void modem_events() {
  uint8_t msg[MODEM_MSG_MAX];
  int n;
  while ((n = modem_reader_take(0, msg, sizeof msg)) > 0) {
    if (msg[0] == 'O') {
      wchar_t product[MODEM_PRODUCT_WCHARS] = {};
      size_t have = (size_t)n - 1 - sizeof(void *);
      memcpy(product, msg + 1 + sizeof(void *), have < sizeof product ? have : sizeof product);
      product[MODEM_PRODUCT_WCHARS - 1] = L'\0';
      uint8_t text[MODEMLINK_BODY_MAX];
      int len = modemlink_product_put(product, text);
      printf("modem opened: %.*s\n", len, (const char *)text);
      modemd_modem_opened(text, len);
    } else if (msg[0] == 'L') {
      puts("modem lost");
      modemd_modem_lost();
    } else if (msg[0] == 'R' && n > 1) {
      modemd_modem_report(msg + 1, n - 1);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  const char *listen_at = DEFAULT_LISTEN, *key_file = nullptr, *which = "";
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    }
    if ((a == "--listen" || a == "--key-file" || a == "--modem") && i + 1 < argc) {
      (a == "--listen" ? listen_at : a == "--modem" ? which : key_file) = argv[++i];
      continue;
    }
    fprintf(stderr, "orvel-modemd: unknown argument %s\n", argv[i]);
    usage(stderr);
    return EXIT_USAGE;
  }
  if (!key_file) {
    fprintf(stderr, "orvel-modemd: --key-file is required\n");
    usage(stderr);
    return EXIT_USAGE;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);  // one line per event, as it happens
  signal(SIGPIPE, SIG_IGN);
  std::string key = key_read(key_file);
  modemd_clients_key((const uint8_t *)key.data(), key.size());
  errno = 0;
  int listen_fd = listen_on(listen_at);
  if (listen_fd < 0) {
    fprintf(stderr, "orvel-modemd: cannot listen on %s: %s\n", listen_at, errno ? strerror(errno) : "bad address");
    return 1;
  }
  if (strlen(which) >= MODEM_READER_WHICH_MAX) {
    fprintf(stderr, "orvel-modemd: --modem names at most %d characters\n", MODEM_READER_WHICH_MAX - 1);
    return EXIT_USAGE;
  }
  int modem_fd = modem_reader_start(0, which);
  if (modem_fd < 0) {
    fprintf(stderr, "orvel-modemd: the modem reader cannot start\n");
    return 1;
  }
  printf("orvel-modemd listening on %s\n", listen_at);
  for (int64_t next = -1;;) {
    struct pollfd fds[2 + MODEMD_CLIENT_MAX] = {{listen_fd, POLLIN, 0}, {modem_fd, POLLIN, 0}};
    int n = 2 + modemd_clients_poll(fds + 2);
    int64_t wait = next < 0 ? -1 : next - modemlink_now_ms();
    if (poll(fds, (nfds_t)n, next < 0 ? -1 : (int)(wait < 0 ? 0 : wait)) < 0 && errno != EINTR) return 1;
    if (fds[1].revents) modem_events();
    for (int i = 2; i < n; i++)
      if (fds[i].revents) modemd_client_ready(fds[i].fd, fds[i].revents);
    if (fds[0].revents) accept_all(listen_fd);  // last: a descriptor closed above may be handed out again
    next = modemd_clients_tick(modemlink_now_ms());
  }
}
