// The listening socket and the set of open connections (sockets_set). One
// receive is one message; there is no framing and no reassembly.
#include "net/socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/settings.h"
#include "core/sinks.h"
#include "core/watch.h"
#include "core/text.h"
#include "events/stream.h"
#include "net/conn.h"
#include "net/dispatch.h"
#include "net/listeners.h"
#include "net/upload.h"
#include "net/waits.h"

socket_set sockets_set;
int master_soc = -1;
int fdmax = 0;
ssize_t g_nbytes = 0;
bool (*soc_send_hook)(uint32_t sock, const void *data, size_t len) = nullptr;

// Silence after which a connection may make room for a newcomer when every
// place is taken (listeners and parked requests are never chosen).
constexpr int EVICT_IDLE_S = 10;

uint32_t soc_peer_ipv4(uint32_t sock) {
  const conn_rec *c = conn_find((int)sock);
  return c ? ntohl(c->peer) : 0;
}

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
  conn_reset();
  master_soc = -1;
  fdmax = 0;
  g_nbytes = 0;
}

bool socket_init() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
  if (listen(s, SOMAXCONN) < 0) {
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

// Ends a connection now, whatever it still has queued.
static void socket_end_now(uint32_t sock) {
  if (conn_rec *c = conn_find((int)sock)) c->dead = true;
  soc_drop(sock);
}

// A connection is "held" while something waits to write to it: a raw
// listener, a parked request, an event stream. Those are never closed to
// make room.
static bool socket_held(uint32_t sock) { return http_con_has(sock) || listen_has(sock) || stream_has(sock); }

static void socket_serve(uint32_t h);

// Serves the connections whose client has hung up (or failed) but that this
// pass has not read yet, so their places are free before a newcomer is judged.
static void socket_reap() {
  struct pollfd fds[SOCKETS_MAX];
  nfds_t n = 0;
  for (uint32_t i = 0; i < sockets_set.count; i++)
    if ((int)sockets_set.fd[i] != master_soc) fds[n++] = {(int)sockets_set.fd[i], POLLRDHUP, 0};
  if (poll(fds, n, 0) <= 0) return;
  for (nfds_t i = 0; i < n; i++) {
    const conn_rec *c = conn_find(fds[i].fd);
    if ((fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) && c && !c->closing) socket_serve((uint32_t)fds[i].fd);
  }
}

// Takes one new connection; when every place is taken, the connection
// silent longest (if silent long enough) makes room, else the newcomer is
// refused rather than left unread.
static void socket_take(int fd, uint32_t peer) {
  if (sockets_set.count >= SOCKETS_MAX) socket_reap();
  if (sockets_set.count >= SOCKETS_MAX) {
    int idle = conn_idlest(socket_held, EVICT_IDLE_S);
    if (idle >= 0) {
      dbug("closing the longest silent connection to make room");
      socket_end_now((uint32_t)idle);
    }
  }
  if (!socket_set_add((uint32_t)fd)) {
    close(fd);
    return;
  }
  conn_open(fd, peer);
  if (fd > fdmax) fdmax = fd;
  // A request sent with the connection is usually here already: serving it
  // now saves a wait of the loop per request.
  socket_serve((uint32_t)fd);
}

// Accepts every connection waiting, so a burst is taken in one pass.
static void socket_accept() {
  for (;;) {
    struct sockaddr_in clientaddr;
    socklen_t addrlen = sizeof clientaddr;
    int newfd = accept4(master_soc, (struct sockaddr *)&clientaddr, &addrlen, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (newfd < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) perror("accept() error");
      if (errno == ECONNABORTED) continue;
      return;
    }
    socket_take(newfd, clientaddr.sin_family == AF_INET ? clientaddr.sin_addr.s_addr : 0);
  }
}

// The part of a receive that is a message. A receive that fills the whole
// buffer without ending its line was cut: the rest of that line is never a
// message of its own, so it is dropped as it arrives, up to its '\n'.
static char *socket_message(conn_rec *c, char *buf, ssize_t *n) {
  if (!c) return buf;
  char *msg = buf;
  if (c->discard_line) {
    char *eol = (char *)memchr(buf, '\n', (size_t)*n);
    if (!eol) return nullptr;
    c->discard_line = false;
    *n -= (eol + 1 - buf);
    msg = eol + 1;
    if (*n == 0) return nullptr;
  }
  if (msg == buf && *n == RX_BUF - 1 && buf[*n - 1] != '\n') c->discard_line = true;
  return msg;
}

// Sends what a connection has queued; a closing connection whose queue is
// empty, or one whose send failed, is closed.
static void socket_drain(uint32_t h) {
  conn_rec *c = conn_find((int)h);
  if (!c) return;
  if (!conn_flush(c)) {
    soc_drop(h);  // a failed connection closes at once
    return;
  }
  if ((c->closing || c->dead) && conn_queued(c) == 0) soc_close(h);
}

static void socket_serve(uint32_t h) {
  if (upload_has(h)) {
    upload_rx(h);
    return;
  }
  char buf[RX_BUF];
  ssize_t n = recv((int)h, buf, RX_BUF - 1, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  g_nbytes = n;
  if (n > 0) {
    buf[n] = 0;
    conn_rec *c = conn_find((int)h);
    if (c) c->last_rx = conn_now();
    char *msg = socket_message(c, buf, &n);
    if (!msg) return;
    g_nbytes = n;
    if (msg != buf) memmove(buf, msg, (size_t)n + 1);  // an upload reuses the whole buffer
    // Everything the handler sends leaves in as few sends as possible.
    if (c) c->corked = true;
    bool keep = soc_got_msg(h, buf);
    if ((c = conn_find((int)h)) != nullptr) {
      c->corked = false;
      conn_flush(c);
    }
    if (!keep) soc_drop(h);
    else socket_drain(h);  // a handler that ended its connection itself
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
    const conn_rec *c = conn_find(fds[i].fd);
    fds[i].events = c ? conn_events(c) : POLLIN;
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
  struct ready_rec {
    uint32_t h;
    short revents;
  } ready[SOCKETS_MAX];
  int nready = 0;
  for (nfds_t i = 0; i < nfds; i++)
    if (fds[i].revents) ready[nready++] = {(uint32_t)fds[i].fd, fds[i].revents};
  std::sort(ready, ready + nready, [](const ready_rec &a, const ready_rec &b) { return a.h < b.h; });
  for (int i = 0; i < nready; i++) {
    uint32_t h = ready[i].h;
    if (!socket_set_has(h)) continue;
    if ((int)h == master_soc) {
      socket_accept();
      continue;
    }
    if (ready[i].revents & (POLLOUT | POLLERR | POLLHUP)) socket_drain(h);
    const conn_rec *c = conn_find((int)h);
    if (c && c->closing) continue;
    if (socket_set_has(h) && (ready[i].revents & (POLLIN | POLLHUP | POLLERR))) socket_serve(h);
  }
  for (int i = 0; i < nw; i++)
    if (fds[nfds + i].revents) watch_dispatch(fds[nfds + i].fd, fds[nfds + i].revents);
}

void socket_tick() {
  time_t now = conn_now();
  for (int i = 0; i < CONN_MAX; i++) {
    conn_rec *c = conn_at(i);
    if (!c) continue;
    uint32_t h = (uint32_t)c->fd;
    bool stalled = conn_queued(c) > 0 && now - c->last_tx >= CONN_STALL_S;
    if (c->dead || stalled) socket_end_now(h);
  }
}

bool soc_send(uint32_t sock, const void *data, size_t len) {
  if (soc_send_hook) return soc_send_hook(sock, data, len);
  if (conn_find((int)sock)) return conn_send((int)sock, data, len);
  // Not a client connection of the table: a plain blocking send.
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

void soc_flush(uint32_t sock) {
  if (conn_rec *c = conn_find((int)sock)) {
    c->corked = false;
    conn_flush(c);
  }
}

size_t soc_queued(uint32_t sock) {
  const conn_rec *c = conn_find((int)sock);
  return c ? conn_queued(c) : 0;
}

bool soc_send_file(uint32_t sock, int file, off_t size) {
  if (!soc_send_hook && conn_find((int)sock) && size > (off_t)CONN_INLINE_FILE)
    return conn_send_file((int)sock, file, size);
  // A small file leaves with the bytes before it; the test seam and plain
  // handles take it through soc_send too.
  std::string body((size_t)size, '\0');
  size_t got = 0;
  while (got < body.size()) {
    ssize_t n = read(file, body.data() + got, body.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += (size_t)n;
  }
  close(file);
  return got == body.size() && soc_send(sock, body.data(), got);
}

bool soc_msg(uint32_t sock, const char *text) { return soc_send(sock, text, strlen(text)); }

void soc_close(uint32_t sock) {
  conn_release((int)sock);
  if (close((int)sock) != 0) dbug("CLOSE ERROR");
  socket_set_remove(sock);
}

void soc_drop(uint32_t sock) {
  http_con_close(sock);
  listen_close(sock);
  upload_close(sock);
  sinks_close(sock);
  // What the connection still has to send leaves first.
  conn_rec *c = conn_find((int)sock);
  if (c && !c->dead && conn_queued(c) > 0) {
    c->closing = true;
    return;
  }
  soc_close(sock);
}
