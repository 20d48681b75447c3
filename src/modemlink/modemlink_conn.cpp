// One end of a network modem link's connection (see modemlink_conn.h).
#include "modemlink/modemlink_conn.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int READ_CHUNK = 4096;
constexpr int READS_PER_CALL = 16;  // a peer that never stops sending cannot hold the loop

}  // namespace

int64_t modemlink_now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void modemlink_conn_open(modemlink_conn *c, int fd) {
  c->fd = fd;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  modemlink_parser_reset(&c->parser);
  c->seal = {};
  c->out_len = 0;
  c->last_rx_ms = c->last_tx_ms = modemlink_now_ms();
}

void modemlink_conn_close(modemlink_conn *c) {
  if (c->fd >= 0) close(c->fd);
  c->fd = -1;
  c->out_len = 0;
  modemlink_parser_reset(&c->parser);
  c->seal = {};  // the keys do not outlive the connection
}

bool modemlink_conn_flush(modemlink_conn *c) {
  int off = 0;
  while (off < c->out_len) {
    ssize_t n = send(c->fd, c->out + off, (size_t)(c->out_len - off), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      off += (int)n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN)) break;  // later
    return false;
  }
  memmove(c->out, c->out + off, (size_t)(c->out_len - off));
  c->out_len -= off;
  return true;
}

bool modemlink_conn_send(modemlink_conn *c, uint8_t type, const uint8_t *body, int len) {
  if (c->fd < 0 || c->out_len + MODEMLINK_FRAME_MAX > MODEMLINK_OUT_MAX) return false;
  int n;
  if (c->seal.on) {
    uint8_t sealed[MODEMLINK_BODY_MAX];
    int sealed_len = modemlink_seal_put(&c->seal, type, body, len, sealed);
    n = sealed_len ? modemlink_put(c->out + c->out_len, MODEMLINK_SEALED, sealed, sealed_len) : 0;
  } else {
    n = modemlink_put(c->out + c->out_len, type, body, len);
  }
  if (n == 0) return false;
  c->out_len += n;
  c->last_tx_ms = modemlink_now_ms();
  return modemlink_conn_flush(c);
}

const char *modemlink_conn_read(modemlink_conn *c, modemlink_frame_fn on_frame, void *ctx) {
  uint8_t buf[READ_CHUNK];
  for (int reads = 0; reads < READS_PER_CALL; reads++) {
    ssize_t n = recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return "closed by the peer";
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return nullptr;
      return strerror(errno);
    }
    c->last_rx_ms = modemlink_now_ms();
    for (size_t off = 0; off < (size_t)n;) {
      modemlink_frame f;
      size_t used;
      modemlink_result r = modemlink_parse(&c->parser, buf + off, (size_t)n - off, &used, &f);
      off += used;
      if (r == MODEMLINK_BAD) return "bad frame";
      if (r == MODEMLINK_FRAME && c->seal.on && !modemlink_seal_open(&c->seal, &f)) return "forged frame";
      if (r == MODEMLINK_FRAME && !on_frame(ctx, &f)) return nullptr;
    }
  }
  return nullptr;  // the rest on the next poll
}

bool modemlink_conn_keepalive_due(const modemlink_conn *c, int64_t now) {
  return now - c->last_tx_ms >= MODEMLINK_KEEPALIVE_MS;
}

bool modemlink_conn_silent(const modemlink_conn *c, int64_t now) {
  return now - c->last_rx_ms >= MODEMLINK_SILENT_MS;
}

int64_t modemlink_conn_deadline(const modemlink_conn *c) {
  return std::min(c->last_tx_ms + MODEMLINK_KEEPALIVE_MS, c->last_rx_ms + MODEMLINK_SILENT_MS);
}
