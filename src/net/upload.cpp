// File upload. The body is streamed to "tmp_file" in reads of at most
// RX_BUF - 1 bytes and renamed over the target only when complete and synced,
// so the old target stays whole until the new one replaces it. The upload runs
// inside the request's handling and holds the main loop while it waits.
#include "net/upload.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/text.h"
#include "net/http_reply.h"
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

static int upload_abort(FILE *tmp) {
  fclose(tmp);
  remove(UPLOAD_TMP);
  return 0;
}

// Makes the temporary file durable, then moves it over the target.
static int upload_finish(uint32_t sock, FILE *tmp, const char *target) {
  bool ok = fflush(tmp) == 0 && fsync(fileno(tmp)) == 0;
  ok = (fclose(tmp) == 0) && ok;
  if (!ok || rename(UPLOAD_TMP, target) != 0) {
    remove(UPLOAD_TMP);
    return 0;
  }
  int dir = open("mem", O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    fsync(dir);  // the rename itself survives a power cut
    close(dir);
  }
  http_reply(sock, 200, nullptr);
  return 1;
}

int POST_save(uint32_t sock, char *msg) {
  size_t nbytes = g_nbytes < 0 ? 0 : size_t(g_nbytes);
  if (nbytes > size_t(RX_BUF - 1)) nbytes = RX_BUF - 1;
  upload_req req;
  if (!upload_req_parse(msg, nbytes, &req)) return 0;
  dbug(req.target);

  FILE *tmp = fopen(UPLOAD_TMP, "w");
  if (!tmp) return 0;
  if (req.body_len > 0 && fwrite(msg + req.body_off, 1, req.body_len, tmp) != req.body_len)
    return upload_abort(tmp);
  long received = long(req.body_len);

  int fd = int(sock);
  int fl = fcntl(fd, F_GETFL);
  if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0) {
    perror("fcntl() failed");
    return upload_abort(tmp);
  }

  // Every byte of each read is kept, so a read that passes the expected
  // length is stored whole.
  int idle = 0;
  for (;;) {
    if (received >= req.expected) return upload_finish(sock, tmp, req.target);
    ssize_t got = recv(fd, msg, RX_BUF - 1, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        perror("recv() failed");
        return upload_abort(tmp);
      }
      // Nothing waiting: wait up to a second. Only a wait that ends without
      // data counts as idle; one cut short by data (or the close) is followed
      // by the read that takes it.
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, UPLOAD_IDLE_WAIT_MS) > 0) continue;
      if (++idle >= UPLOAD_IDLE_MAX) {
        fputs("\nPOST TIMEOUT!", stdout);
        fflush(stdout);
        return upload_abort(tmp);
      }
      continue;
    }
    if (got == 0) return upload_abort(tmp);  // the client gave up
    idle = 0;
    if (fwrite(msg, 1, size_t(got), tmp) != size_t(got)) return upload_abort(tmp);
    received += long(got);
  }
}
