// The socket server (see socket.h): the listening socket and each client
// connection sit in the loop's poll set; a ready connection sends what it has
// queued and reads one message.
#include "net/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/settings.h"
#include "core/text.h"
#include "core/watch.h"
#include "net/conn.h"
#include "net/http_reply.h"
#include "net/request.h"
#include "net/upload.h"

int master_soc = -1;
bool (*soc_send_hook)(uint32_t sock, const void *data, size_t len) = nullptr;
static socket_handler_fn handler = nullptr;
static socket_door_fn door = nullptr;

// Silence after which a connection may make room for a newcomer when every
// place is taken (held connections are never chosen).
constexpr int EVICT_IDLE_S = 10;
// Connections accepted in one pass: the rest wait in the backlog for the
// next, so clients that reconnect as fast as they are served never keep the
// modem, the tick and the other connections waiting.
constexpr int ACCEPT_PER_PASS = 16;
constexpr int PER_ADDR_DEFAULT = 16;  // MAXPERADDR: connections one client address may hold
static int per_addr_max = PER_ADDR_DEFAULT;

void socket_handler_set(socket_handler_fn fn) { handler = fn; }

void socket_door_set(socket_door_fn fn) { door = fn; }

uint32_t soc_peer_ipv4(uint32_t sock) {
  const conn_rec *c = conn_find((int)sock);
  return c ? c->peer : 0;
}

static void socket_closed(int fd) { watch_clear(fd); }

void socket_reap() { conn_reap(socket_closed); }


// Sends what a connection has queued; a failed one is closed.
static void socket_drain(conn_rec *c) {
  if (!conn_flush(c)) conn_close(c->fd, CLOSE_FAILED);
}

static short socket_events(int fd) {
  const conn_rec *c = conn_find(fd);
  return c ? conn_events(c) : 0;
}

static void socket_ready(int fd, short revents) {
  conn_rec *c = conn_find(fd);
  if (!c) return;
  if (revents & (POLLOUT | POLLERR | POLLHUP)) socket_drain(c);
  if (!c->closing && (revents & (POLLIN | POLLHUP | POLLERR))) socket_receive((uint32_t)fd);
}

bool socket_adopt(int fd, uint32_t peer) {
  if (!conn_open(fd, peer)) return false;
  if (!watch_set_query(fd, socket_events, socket_ready)) {
    conn_close(fd, CLOSE_REFUSED);
    return false;
  }
  return true;
}

// Serves the connections whose client has hung up (or failed) but that this
// pass has not read yet, then closes what is closing, so their places are
// free before a newcomer is judged.
static void socket_make_room() {
  struct pollfd fds[CONN_MAX];
  nfds_t n = 0;
  for (int i = 0; i < CONN_MAX; i++)
    if (const conn_rec *c = conn_at(i); c && !c->closing) fds[n++] = {c->fd, POLLRDHUP, 0};
  if (poll(fds, n, 0) > 0)
    for (nfds_t i = 0; i < n; i++)
      if (fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) socket_receive((uint32_t)fds[i].fd);
  socket_reap();
  if (conn_count() < CONN_MAX) return;
  int idle = conn_idlest(EVICT_IDLE_S);
  if (idle < 0) return;
  dbug("closing the longest silent connection to make room");
  if (conn_rec *c = conn_find(idle)) c->dead = true;  // whatever it still has queued
  conn_close(idle, CLOSE_EVICTED);
  socket_reap();
}

// Takes one new connection; when every place is taken, the connection
// silent longest (if silent long enough) makes room, else the newcomer is
// refused rather than left unread.
static int socket_peer_count(uint32_t peer) {
  int n = 0;
  for (int i = 0; i < CONN_MAX; i++)
    if (const conn_rec *c = conn_at(i); c && !c->closing && c->peer == peer) n++;
  return n;
}

static void socket_take(int fd, uint32_t peer) {
  if (socket_peer_count(peer) >= per_addr_max) {
    close(fd);  // one client may not take every place
    return;
  }
  if (conn_count() >= CONN_MAX) socket_make_room();
  if (!socket_adopt(fd, peer)) {
    close(fd);
    return;
  }
  // A request sent with the connection is usually here already: serving it
  // now saves a wait of the loop per request.
  socket_receive((uint32_t)fd);
}

// Accepts the connections waiting, at most ACCEPT_PER_PASS.
static void socket_accept(int, short) {
  for (int taken = 0; taken < ACCEPT_PER_PASS; taken++) {
    struct sockaddr_in clientaddr;
    socklen_t addrlen = sizeof clientaddr;
    int newfd = accept4(master_soc, (struct sockaddr *)&clientaddr, &addrlen, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (newfd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) perror("accept() error");
      return;
    }
    socket_take(newfd, clientaddr.sin_family == AF_INET ? ntohl(clientaddr.sin_addr.s_addr) : 0);
  }
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
  char bind_to[SETTING_VALUE];  // BIND: one IPv4 address to listen on; all by default
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
  watch_set(s, POLLIN, socket_accept);
  char value[SETTING_VALUE];
  if (setting_get("MAXPERADDR", value) == 1 && atoi(value) > 0) per_addr_max = atoi(value);
  printf("Listening on Port: %d\n", port);
  if (serveraddr.sin_addr.s_addr != htonl(INADDR_ANY)) printf("Listening on Address: %s\n", bind_to);
  return true;
}

// The part of a receive that is a message. A receive that fills the whole
// buffer without ending its line was cut: the rest of that line is never a
// message of its own, so it is dropped as it arrives, up to its '\n'.
static char *socket_message(conn_rec *c, char *buf, ssize_t *n) {
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

// Ends a request that can never be served whole with its status line.
static void socket_refuse(conn_rec *c, const char *status) {
  c->in.clear();
  http_respond_text((uint32_t)c->fd, status, nullptr, nullptr, nullptr);
  conn_close(c->fd, CLOSE_REFUSED);
}

// Adds received bytes to the connection's HTTP request; once the request is
// whole it goes to the door and its route as one message (bytes after it are
// not read as another: one request per connection).
static void socket_request(conn_rec *c, char *buf, size_t n) {
  // The usual request comes whole in one receive: it is handed on from the
  // receive buffer; only a request in parts is gathered in `in`.
  bool gathering = !c->in.empty();
  if (gathering) c->in.append(buf, n);
  char *text = gathering ? c->in.data() : buf;
  size_t len = gathering ? c->in.size() : n;
  head_scan h = http_head_scan(text, len);
  if (h.state == HEAD_LINE_TOO_LONG) return socket_refuse(c, "414 URI Too Long");
  if (h.state == HEAD_TOO_LONG) return socket_refuse(c, "431 Request Header Fields Too Large");
  bool upload = len >= 12 && memcmp(text, "POST /&save/", 12) == 0;
  size_t need = h.state == HEAD_DONE ? http_request_len(text, h, upload) : len + 1;
  if (h.state == HEAD_DONE && need == 0) return socket_refuse(c, "413 Content Too Large");
  if (len < need) {
    if (!gathering) c->in.assign(buf, n);
    return;
  }
  if (!gathering) {
    if (!upload) buf[need] = 0;
    socket_deliver((uint32_t)c->fd, buf, upload ? n : need);
    return;
  }
  std::string msg;
  msg.swap(c->in);
  if (!upload) msg.resize(need);
  socket_deliver((uint32_t)c->fd, msg.data(), msg.size());
}

void socket_receive(uint32_t h) {
  conn_rec *c = conn_find((int)h);
  if (!c || c->closing) return;
  if (c->roles & ROLE_UPLOAD) {
    c->last_rx = clock_mono_s();
    upload_rx(h);
    return;
  }
  char buf[RX_BUF];
  ssize_t n = recv((int)h, buf, RX_BUF - 1, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n == 0) {
    dbug("socket hung up");
    conn_close((int)h, CLOSE_PEER);
    return;
  }
  if (n < 0) {
    perror("recv() error");
    conn_close((int)h, CLOSE_FAILED);
    return;
  }
  buf[n] = 0;
  c->last_rx = clock_mono_s();
  // A parked request or a stream belongs to its answer: whatever else
  // arrives there (the rest of a split request) is not a new message.
  if (c->roles & ROLES_PARKED) return;
  if (!c->in.empty() || (!c->discard_line && http_request_start(buf, (size_t)n))) {
    socket_request(c, buf, (size_t)n);
    return;
  }
  char *msg = socket_message(c, buf, &n);
  if (!msg) return;
  if (msg != buf) memmove(buf, msg, (size_t)n + 1);  // an upload reuses the whole buffer
  socket_deliver(h, buf, (size_t)n);
}

void socket_deliver(uint32_t h, char *msg, size_t len) {
  conn_rec *c = conn_find((int)h);
  if (!c || c->closing || !handler) return;
  // Everything the handler sends leaves in as few sends as possible.
  c->corked = true;
  msg_verdict v = door ? door(h, msg, len) : MSG_PASS;
  bool keep = v == MSG_PASS ? handler(h, msg, len) : v == MSG_KEEP;
  if ((c = conn_find((int)h)) == nullptr) return;
  c->corked = false;
  socket_drain(c);
  if (!keep) conn_close((int)h, CLOSE_DONE);
}

void socket_tick(time_t) {
  time_t now = clock_mono_s();
  for (int i = 0; i < CONN_MAX; i++) {
    conn_rec *c = conn_at(i);
    if (!c) continue;
    if (!c->in.empty() && now - c->last_rx >= HTTP_HEAD_WAIT_S) socket_refuse(c, "408 Request Timeout");
    bool stalled = conn_queued(c) > 0 && now - c->last_tx >= CONN_STALL_S;
    if (c->dead || stalled) {
      c->dead = true;
      conn_close(c->fd, stalled ? CLOSE_STALLED : CLOSE_FAILED);
    }
  }
}

bool soc_send(uint32_t sock, const void *data, size_t len) {
  if (soc_send_hook) return soc_send_hook(sock, data, len);
  return conn_send((int)sock, data, len);
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
  // A small file leaves with the bytes before it; the test seam takes it
  // through soc_send too.
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

void socket_reset() {
  conn_reset();
  master_soc = -1;
  per_addr_max = PER_ADDR_DEFAULT;
  handler = nullptr;
  door = nullptr;
  soc_send_hook = nullptr;
}
