// The connection table and its output queues (see conn.h).
#include "net/conn.h"

#include <cerrno>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

static conn_rec conns[CONN_MAX];
static bool conns_ready = false;

static void conn_clear(conn_rec *c) {
  c->fd = -1;
  c->peer = 0;
  c->last_rx = c->last_tx = 0;
  c->corked = c->closing = c->dead = c->discard_line = false;
  std::string().swap(c->out);  // gives the memory back
  c->out_head = 0;
  c->file_fd = -1;
  c->file_off = c->file_end = 0;
}

void conn_reset() {
  for (auto &c : conns) {
    if (conns_ready && c.file_fd >= 0) close(c.file_fd);
    conn_clear(&c);
  }
  conns_ready = true;
}

time_t conn_now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}

conn_rec *conn_at(int i) {
  if (!conns_ready) conn_reset();
  return (i >= 0 && i < CONN_MAX && conns[i].fd >= 0) ? &conns[i] : nullptr;
}

conn_rec *conn_find(int fd) {
  if (!conns_ready) conn_reset();
  if (fd < 0) return nullptr;
  for (auto &c : conns)
    if (c.fd == fd) return &c;
  return nullptr;
}

bool conn_open(int fd, uint32_t peer) {
  if (!conns_ready) conn_reset();
  conn_rec *c = nullptr;
  for (auto &slot : conns)
    if (slot.fd < 0) {
      c = &slot;
      break;
    }
  if (!c || fd < 0) return false;
  conn_clear(c);
  c->fd = fd;
  c->peer = peer;
  c->last_rx = c->last_tx = conn_now();
  return true;
}

void conn_release(int fd) {
  conn_rec *c = conn_find(fd);
  if (!c) return;
  if (c->file_fd >= 0) close(c->file_fd);
  conn_clear(c);
}

size_t conn_queued(const conn_rec *c) {
  size_t n = c->out.size() - c->out_head;
  if (c->file_fd >= 0) n += size_t(c->file_end - c->file_off);
  return n;
}

short conn_events(const conn_rec *c) {
  short ev = c->closing ? 0 : POLLIN;
  if (conn_queued(c) > 0) ev |= POLLOUT;
  return ev;
}

// Sends queued memory bytes; false on a failed send. Stops when the socket
// is full.
static bool flush_memory(conn_rec *c) {
  while (c->out_head < c->out.size()) {
    ssize_t n = send(c->fd, c->out.data() + c->out_head, c->out.size() - c->out_head,
                     MSG_NOSIGNAL | MSG_DONTWAIT | (c->file_fd >= 0 ? MSG_MORE : 0));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;
    c->out_head += size_t(n);
    c->last_tx = conn_now();
  }
  c->out.clear();
  c->out_head = 0;
  return true;
}

static bool flush_file(conn_rec *c) {
  while (c->file_fd >= 0 && c->file_off < c->file_end) {
    ssize_t n = sendfile(c->fd, c->file_fd, &c->file_off, size_t(c->file_end - c->file_off));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;  // an error, or the file shrank under us
    c->last_tx = conn_now();
  }
  if (c->file_fd >= 0) {
    close(c->file_fd);
    c->file_fd = -1;
  }
  return true;
}

bool conn_flush(conn_rec *c) {
  if (c->dead) return false;
  if (!flush_memory(c) || (c->out_head == c->out.size() && !flush_file(c))) {
    c->dead = true;
    return false;
  }
  return true;
}

bool conn_send(int fd, const void *data, size_t len) {
  conn_rec *c = conn_find(fd);
  if (!c || c->dead) return false;
  if (c->out.size() - c->out_head + len > CONN_QUEUE_MAX) {
    c->dead = true;  // a reader this far behind is not coming back
    return false;
  }
  if (conn_queued(c) == 0) c->last_tx = conn_now();
  if (c->file_fd >= 0) {
    // Bytes after a file would have to wait for it; nothing sends them.
    c->dead = true;
    return false;
  }
  c->out.append(static_cast<const char *>(data), len);
  if (c->corked) return true;
  return conn_flush(c);
}

bool conn_send_file(int fd, int file, off_t size) {
  conn_rec *c = conn_find(fd);
  if (!c || c->dead || c->file_fd >= 0) {
    close(file);
    return false;
  }
  if (conn_queued(c) == 0) c->last_tx = conn_now();
  c->file_fd = file;
  c->file_off = 0;
  c->file_end = size;
  if (c->corked) return true;
  return conn_flush(c);
}

int conn_idlest(bool (*held)(uint32_t sock), int min_idle) {
  time_t now = conn_now();
  int best = -1;
  time_t best_rx = 0;
  for (auto &c : conns) {
    if (c.fd < 0 || c.closing || held(uint32_t(c.fd))) continue;
    if (now - c.last_rx < min_idle) continue;
    if (best < 0 || c.last_rx < best_rx) {
      best = c.fd;
      best_rx = c.last_rx;
    }
  }
  return best;
}
