// The connection table and its output queues (see conn.h).
#include "net/conn.h"

#include <cerrno>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/clock.h"

static conn_rec conns[CONN_MAX];
static bool conns_ready = false;

static void conn_clear(conn_rec *c) {
  c->fd = -1;
  c->peer = 0;
  c->roles = 0;
  c->opened = c->last_rx = c->last_tx = 0;
  c->corked = c->closing = c->told = c->dead = c->discard_line = false;
  c->reason = CLOSE_DONE;
  std::string().swap(c->in);  // gives the memory back
  std::string().swap(c->out);
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

int conn_count() {
  int n = 0;
  for (int i = 0; i < CONN_MAX; i++) n += conn_at(i) != nullptr;
  return n;
}

int conn_count_role(uint16_t roles) {
  int n = 0;
  for (int i = 0; i < CONN_MAX; i++)
    if (const conn_rec *c = conn_at(i)) n += (c->roles & roles) != 0;
  return n;
}

void conn_role_set(int fd, uint16_t roles, bool on) {
  conn_rec *c = conn_find(fd);
  if (!c || (on && c->closing)) return;
  c->roles = on ? uint16_t(c->roles | roles) : uint16_t(c->roles & ~roles);
}

bool conn_has_role(int fd, uint16_t roles) {
  const conn_rec *c = conn_find(fd);
  return c && (c->roles & roles);
}

bool conn_open(int fd, uint32_t peer) {
  if (fd < 0 || conn_find(fd)) return false;
  for (auto &c : conns) {
    if (c.fd >= 0) continue;
    conn_clear(&c);
    c.fd = fd;
    c.peer = peer;
    c.opened = c.last_rx = c.last_tx = clock_mono_s();
    return true;
  }
  return false;
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
    c->last_tx = clock_mono_s();
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
    c->last_tx = clock_mono_s();
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
  if (!c || c->dead || c->closing) return false;
  if (c->out.size() - c->out_head + len > CONN_QUEUE_MAX || c->file_fd >= 0) {
    // A reader this far behind is not coming back; and bytes after a file
    // would have to wait for it, which nothing arranges.
    c->dead = true;
    return false;
  }
  if (conn_queued(c) == 0) c->last_tx = clock_mono_s();
  c->out.append(static_cast<const char *>(data), len);
  if (c->corked) return true;
  return conn_flush(c);
}

bool conn_send_file(int fd, int file, off_t size) {
  conn_rec *c = conn_find(fd);
  if (!c || c->dead || c->closing || c->file_fd >= 0) {
    close(file);
    return false;
  }
  if (conn_queued(c) == 0) c->last_tx = clock_mono_s();
  c->file_fd = file;
  c->file_off = 0;
  c->file_end = size;
  if (c->corked) return true;
  return conn_flush(c);
}

void conn_close(int fd, close_reason reason) {
  conn_rec *c = conn_find(fd);
  if (!c || c->closing) return;
  c->closing = true;
  c->reason = reason;
  c->roles = 0;
}

void conn_reap(void (*closed)(int fd)) {
  for (auto &c : conns) {
    if (c.fd < 0 || !c.closing) continue;
    if (!c.told) {
      c.told = true;
      hook_close.run(uint32_t(c.fd), c.reason);
    }
    if (!c.dead && conn_queued(&c) > 0 && conn_flush(&c) && conn_queued(&c) > 0) continue;
    int fd = c.fd;
    if (closed) closed(fd);
    if (c.file_fd >= 0) close(c.file_fd);
    conn_clear(&c);
    close(fd);
  }
}

int conn_idlest(int min_idle) {
  time_t now = clock_mono_s();
  int best = -1;
  time_t best_rx = 0;
  for (auto &c : conns) {
    if (c.fd < 0 || c.closing || (c.roles & ROLES_HELD)) continue;
    if (now - c.last_rx < min_idle) continue;
    if (best < 0 || c.last_rx < best_rx) {
      best = c.fd;
      best_rx = c.last_rx;
    }
  }
  return best;
}
