// Whole HTTP requests (see request.h).
#include "net/request.h"

#include <cstring>
#include <strings.h>

bool http_request_start(const char *buf, size_t len) {
  static const char *const METHODS[] = {"GET /", "POST /"};
  for (const char *m : METHODS) {
    size_t n = strlen(m);
    if (memcmp(buf, m, len < n ? len : n) == 0) return true;
  }
  return false;
}

// The decimal value of a Content-Length header line's value, or -1.
static long length_value(const char *p, const char *end) {
  while (p < end && (*p == ' ' || *p == '\t')) p++;
  long v = 0;
  const char *digits = p;
  for (; p < end && *p >= '0' && *p <= '9'; p++) {
    if (v > 1000000000L) return -1;
    v = v * 10 + (*p - '0');
  }
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\r')) p++;
  return (p == digits || p != end) ? -1 : v;
}

head_scan http_head_scan(const char *buf, size_t len) {
  head_scan h = {HEAD_MORE, 0, 0};
  size_t look = len < HTTP_HEAD_MAX ? len : HTTP_HEAD_MAX;
  const char *first_lf = (const char *)memchr(buf, '\n', look);
  if (!first_lf) {
    if (len > HTTP_HEAD_MAX) h.state = HEAD_LINE_TOO_LONG;
    return h;
  }
  // Line by line from the second: a blank line ends the block.
  for (const char *line = first_lf + 1; line < buf + look;) {
    const char *lf = (const char *)memchr(line, '\n', (size_t)(buf + look - line));
    if (!lf) break;
    size_t n = (size_t)(lf - line);
    if (n == 0 || (n == 1 && line[0] == '\r')) {
      h.state = HEAD_DONE;
      h.head_len = (size_t)(lf + 1 - buf);
      return h;
    }
    static const char NAME[] = "content-length:";
    if (n > sizeof NAME - 1 && strncasecmp(line, NAME, sizeof NAME - 1) == 0)
      h.content_length = length_value(line + sizeof NAME - 1, lf);
    line = lf + 1;
  }
  if (len > HTTP_HEAD_MAX) h.state = HEAD_TOO_LONG;
  return h;
}

size_t http_request_len(const char *buf, const head_scan &h, bool stream_body) {
  if (strncmp(buf, "POST ", 5) != 0 || stream_body || h.content_length == 0) return h.head_len;
  if (h.content_length < 0 || (size_t)h.content_length > HTTP_BODY_MAX) return 0;
  return h.head_len + (size_t)h.content_length;
}
