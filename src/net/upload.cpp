// File upload. Each upload is a record of the upload table: its body is
// written, as it arrives, to "mem/~up<handle>" (the '~' keeps it out of the
// value store's names) and renamed over the target only when complete and
// synced, so the old target stays whole until the new one replaces it.
// Uploads never wait: the loop calls upload_rx when data is there.
#include "net/upload.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/hooks.h"
#include "core/logs.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/conn.h"
#include "net/http_reply.h"
#include "net/mem_quota.h"
#include "net/router.h"
#include "net/socket.h"

// First receive of an upload, msg = the request text:
//
//   offset  bytes  content
//   0       12     "POST /&save/"
//   12      1..15  name, ended by '/' or a blank
//   ...            rest of the request line and the header lines, among them
//                  "Content-Length:" with the decimal body length
//   h       4      "\r\n\r\n", the end of the header
//   h + 4   ...    the first body bytes, up to nbytes
constexpr const char *UPLOAD_PREFIX = "POST /&save/";
constexpr int UPLOAD_OFF_NAME = 12;
constexpr const char *UPLOAD_LENGTH_HDR = "Content-Length:";  // exactly so spelled
constexpr const char *UPLOAD_HDR_END = "\r\n\r\n";

// The positive decimal after the header name, blanks skipped, read only up to
// `end`; -1 when there is none, it is not positive or it overflows.
static long upload_length_parse(const char *p, const char *end) {
  while (p < end && (*p == ' ' || *p == '\t')) p++;
  bool neg = false;
  if (p < end && (*p == '+' || *p == '-')) neg = *p++ == '-';
  long v = 0;
  for (; p < end && isnumch(*p); p++) {
    if (v > (LONG_MAX - 9) / 10) return -1;
    v = v * 10 + (*p - '0');
  }
  return (neg || v == 0) ? -1 : v;
}

bool upload_req_parse(const char *msg, size_t nbytes, upload_req *out) {
  if (!str_begin(msg, UPLOAD_PREFIX)) return false;
  char name[MEM_KEY_MAX + 1];
  if (mem_key_parse(msg + UPLOAD_OFF_NAME, name) < 0) return false;
  snprintf(out->target, sizeof out->target, "mem/%s", name);
  // strstr stops at the first NUL, which the caller puts at nbytes at most.
  const char *hdr_end = strstr(msg, UPLOAD_HDR_END);
  if (!hdr_end) return false;
  size_t hdr_len = size_t(hdr_end - msg);
  if (hdr_len + 4 > nbytes) return false;
  const char *len_hdr = static_cast<const char *>(
      memmem(msg, hdr_len, UPLOAD_LENGTH_HDR, strlen(UPLOAD_LENGTH_HDR)));
  if (!len_hdr) return false;
  out->expected = upload_length_parse(len_hdr + strlen(UPLOAD_LENGTH_HDR), hdr_end);
  if (out->expected < 0) return false;
  out->body_off = hdr_len + 4;
  out->body_len = nbytes - out->body_off;
  return true;
}

struct upload_rec {
  uint32_t sock;                // 0 = free
  int fd;                       // the temporary file
  char tmp[MEM_NAME_SIZE + 8];  // "mem/~up<handle>"
  char target[MEM_NAME_SIZE];
  long expected, received;
  int64_t started, last_rx;     // monotonic milliseconds
};

static upload_rec uploads[UPLOAD_MAX];
static long upload_size_max = UPLOAD_SIZE_DEFAULT;

void upload_reset() {
  for (auto &u : uploads) {
    if (u.sock) {
      close(u.fd);
      unlink(u.tmp);
    }
    u = upload_rec{};
  }
  upload_size_max = UPLOAD_SIZE_DEFAULT;
}

static upload_rec *upload_find(uint32_t sock) {
  for (auto &u : uploads)
    if (u.sock == sock) return &u;
  return nullptr;
}

static void upload_free(upload_rec *u, bool keep_file) {
  mem_inflight_add(-u->expected);
  close(u->fd);
  if (!keep_file) unlink(u->tmp);
  conn_role_set((int)u->sock, ROLE_UPLOAD, false);
  *u = upload_rec{};
}

static void upload_close(uint32_t sock, close_reason) {
  if (upload_rec *u = sock ? upload_find(sock) : nullptr) upload_free(u, false);
}

static bool write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}


// Makes the temporary file durable, then moves it over the target and
// answers; on any failure the target stays as it was.
static void upload_finish(upload_rec *u) {
  uint32_t sock = u->sock;
  struct stat st;
  long before = stat(u->target, &st) == 0 && S_ISREG(st.st_mode) ? (long)st.st_size : 0;
  bool ok = fsync(u->fd) == 0 && rename(u->tmp, u->target) == 0;
  if (ok) mem_used_add(u->received - before);
  upload_free(u, ok);
  if (ok) {
    int dir = open("mem", O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
      fsync(dir);  // the rename itself survives a power cut
      close(dir);
    }
    http_reply(sock, 200, nullptr);
  }
  conn_close((int)sock, CLOSE_DONE);
}

bool upload_begin(uint32_t sock, char *msg, size_t nbytes) {
  upload_req req;
  if (!upload_req_parse(msg, nbytes, &req)) return false;
  dbug(req.target);
  // A refusal of the size is said before the close: 413 over MAXUPLOAD,
  // 507 when the store has no room for it.
  bool too_big = req.expected > upload_size_max;
  if (too_big || !mem_room(req.expected)) {
    sys_log("Upload refused: %ld bytes for %s", req.expected, req.target);
    http_respond_text(sock, too_big ? "413 Content Too Large" : "507 Insufficient Storage", nullptr, nullptr, nullptr);
    return false;
  }
  upload_rec *u = upload_find(0);
  if (!u || upload_find(sock)) return false;
  snprintf(u->tmp, sizeof u->tmp, "mem/~up%u", unsigned(sock));
  u->fd = open(u->tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (u->fd < 0) return false;
  u->sock = sock;
  memcpy(u->target, req.target, sizeof u->target);
  u->expected = req.expected;
  mem_inflight_add(u->expected);
  u->received = long(req.body_len);
  u->started = u->last_rx = clock_mono_ms();
  conn_role_set((int)sock, ROLE_UPLOAD, true);
  if (!write_all(u->fd, msg + req.body_off, req.body_len)) {
    upload_free(u, false);
    return false;
  }
  // Every byte of each read is kept, so a read that passes the expected
  // length is stored whole.
  if (u->received >= u->expected) upload_finish(u);
  return true;
}

void upload_rx(uint32_t sock) {
  upload_rec *u = upload_find(sock);
  if (!u) return;
  char buf[RX_BUF];
  ssize_t got = recv(int(sock), buf, sizeof buf, MSG_DONTWAIT);
  if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (got <= 0 || !write_all(u->fd, buf, size_t(got))) {  // the client gave up, or the disk is full
    upload_free(u, false);
    conn_close((int)sock, got <= 0 ? CLOSE_PEER : CLOSE_FAILED);
    return;
  }
  u->last_rx = clock_mono_ms();
  u->received += long(got);
  if (u->received >= u->expected) upload_finish(u);
}

static void upload_tick(time_t) {
  int64_t now = clock_mono_ms();
  for (auto &u : uploads) {
    if (!u.sock) continue;
    bool idle = now - u.last_rx >= UPLOAD_IDLE_MAX * 1000;
    if (!idle && now - u.started < UPLOAD_TIME_MAX * 1000) continue;
    if (idle) {
      fputs("\nPOST TIMEOUT!", stdout);
      fflush(stdout);
    }
    uint32_t sock = u.sock;
    upload_free(&u, false);
    conn_close((int)sock, CLOSE_TIMEOUT);
  }
}

static route_verdict upload_route(http_req &req) {
  return upload_begin(req.sock, req.text, req.len) ? ROUTE_KEEP : ROUTE_CLOSE;
}

void upload_start() {
  char value[SETTING_VALUE];
  if (setting_get("MAXUPLOAD", value) == 1 && atol(value) > 0) upload_size_max = atol(value);
  route_add({"&save/", MATCH_PREFIX, HTTP_POST, DOOR_TOKEN, "upload", upload_route});
  hook_close.add(upload_close);
  hook_tick.add(upload_tick);
}
