// The listening socket and the set of open connections (sockets_set). One
// receive is one message; there is no framing and no reassembly.
#include "net/socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/settings.h"
#include "core/sinks.h"
#include "core/watch.h"
#include "core/text.h"
#include "net/dispatch.h"
#include "net/listeners.h"
#include "net/waits.h"

socket_set sockets_set;
int master_soc = -1;
int fdmax = 0;
ssize_t g_nbytes = 0;
bool (*soc_send_hook)(uint32_t sock, const void *data, size_t len) = nullptr;

// A client that stops reading holds a send up for at most this long; the
// send then counts as failed and the gateway goes on with everyone else.
constexpr int SEND_TIMEOUT_S = 3;

// Peer addresses by handle, recorded at accept (handles past the end: unknown).
constexpr int PEER_HANDLES = 1024;
static uint32_t peer_v4[PEER_HANDLES];

uint32_t soc_peer_ipv4(uint32_t sock) { return sock < PEER_HANDLES ? peer_v4[sock] : 0; }

bool socket_set_has(uint32_t fd) {
  for (uint32_t i = 0; i < sockets_set.count; i++)
    if (sockets_set.fd[i] == fd) return true;
  return false;
}

bool socket_set_add(uint32_t fd) {
  if (socket_set_has(fd)) return true;
  if (sockets_set.count >= SOCKETS_MAX) return false;
  sockets_set.fd[sockets_set.count++] = fd;
  return true;
}

void socket_set_remove(uint32_t fd) {
  for (uint32_t i = 0; i < sockets_set.count; i++) {
    if (sockets_set.fd[i] != fd) continue;
    for (uint32_t j = i + 1; j < sockets_set.count; j++) sockets_set.fd[j - 1] = sockets_set.fd[j];
    sockets_set.count--;
    return;
  }
}

void sockets_reset() {
  sockets_set.count = 0;
  master_soc = -1;
  fdmax = 0;
  g_nbytes = 0;
}

bool socket_init() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    perror("socket() error");
    return false;
  }
  // Lets a restarted gateway bind while old connections linger in TIME_WAIT;
  // a port held by a running listener still fails at bind.
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in serveraddr;
  memset(&serveraddr, 0, sizeof serveraddr);
  serveraddr.sin_family = AF_INET;
  serveraddr.sin_addr.s_addr = htonl(INADDR_ANY);
  char bind_to[64];  // BIND: one IPv4 address to listen on; all by default
  if (setting_get("BIND", bind_to) == 1 && inet_pton(AF_INET, bind_to, &serveraddr.sin_addr) != 1) {
    printf("setup.ini: BIND=%s is not an IPv4 address; the gateway does not start\n", bind_to);
    close(s);
    return false;
  }
  serveraddr.sin_port = htons((uint16_t)(port & 0xFFFF));
  if (bind(s, (struct sockaddr *)&serveraddr, sizeof serveraddr) < 0) {
    perror("bind() error");
    return false;
  }
  if (listen(s, 10) < 0) {
    perror("listen() error");
    return false;
  }
  master_soc = s;
  socket_set_add((uint32_t)s);
  fdmax = s;
  printf("Listening on Port: %d\n", port);
  if (serveraddr.sin_addr.s_addr != htonl(INADDR_ANY)) printf("Listening on Address: %s\n", bind_to);
  return true;
}

static void socket_accept() {
  struct sockaddr_in clientaddr;
  socklen_t addrlen = sizeof clientaddr;
  int newfd = accept4(master_soc, (struct sockaddr *)&clientaddr, &addrlen, SOCK_CLOEXEC);
  if (newfd < 0) {
    perror("accept() error");
    return;
  }
  if (!socket_set_add((uint32_t)newfd)) {
    close(newfd);  // the set is full: refuse rather than leave it unread
    return;
  }
  struct timeval tv = {SEND_TIMEOUT_S, 0};
  setsockopt(newfd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (newfd > fdmax) fdmax = newfd;
  if (newfd < PEER_HANDLES) peer_v4[newfd] = ntohl(clientaddr.sin_addr.s_addr);
}

static void socket_serve(uint32_t h) {
  char buf[RX_BUF];
  ssize_t n = recv((int)h, buf, RX_BUF - 1, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  g_nbytes = n;
  if (n > 0) {
    buf[n] = 0;
    if (!soc_got_msg(h, buf)) soc_drop(h);
  } else if (n == 0) {
    dbug("socket hung up");
    soc_drop(h);
  } else {
    perror("recv() error");
    soc_drop(h);
  }
}

void socket_rx_wait(int ms) {
  struct pollfd fds[SOCKETS_MAX + WATCH_MAX];
  nfds_t nfds = sockets_set.count;
  for (nfds_t i = 0; i < nfds; i++) {
    fds[i].fd = (int)sockets_set.fd[i];
    fds[i].events = POLLIN;
    fds[i].revents = 0;
  }
  watch_rec w[WATCH_MAX];
  int nw = watch_list(w);
  for (int i = 0; i < nw; i++) fds[nfds + i] = {w[i].fd, w[i].events, 0};
  int r = poll(fds, nfds + nw, ms);
  if (r < 0) {
    if (errno != EINTR) perror("select() error");
    return;
  }
  if (r == 0) return;
  // Serve in order of handle value; a handle closed by an earlier handler in
  // this pass (or reused by an accept) is skipped or read without blocking.
  uint32_t ready[SOCKETS_MAX];
  int nready = 0;
  for (nfds_t i = 0; i < nfds; i++)
    if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ready[nready++] = (uint32_t)fds[i].fd;
  std::sort(ready, ready + nready);
  for (int i = 0; i < nready; i++) {
    uint32_t h = ready[i];
    if (!socket_set_has(h)) continue;
    if ((int)h == master_soc)
      socket_accept();
    else
      socket_serve(h);
  }
  for (int i = 0; i < nw; i++)
    if (fds[nfds + i].revents) watch_dispatch(fds[nfds + i].fd, fds[nfds + i].revents);
}

bool soc_send(uint32_t sock, const void *data, size_t len) {
  if (soc_send_hook) return soc_send_hook(sock, data, len);
  const char *p = (const char *)data;
  while (len > 0) {
    ssize_t n = send((int)sock, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= (size_t)n;
  }
  return true;
}

size_t soc_queued(uint32_t sock) {
  (void)sock;
  return 0;  // sends complete before soc_send returns
}

bool soc_msg(uint32_t sock, const char *text) { return soc_send(sock, text, strlen(text)); }

void soc_close(uint32_t sock) {
  if (close((int)sock) != 0) dbug("CLOSE ERROR");
  if (sock < PEER_HANDLES) peer_v4[sock] = 0;
  socket_set_remove(sock);
}

void soc_drop(uint32_t sock) {
  soc_close(sock);
  http_con_close(sock);
  listen_close(sock);
  sinks_close(sock);
}
