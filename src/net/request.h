// Whole HTTP requests: a request is handed to its route only once its
// header block has arrived whole (and a form's body with it), so that no
// header a door must see can be pushed past what was read. Pure functions
// over the bytes received so far.
#pragma once
#include <cstddef>

constexpr size_t HTTP_HEAD_MAX = 8192;  // request line and header lines, their end included
constexpr size_t HTTP_BODY_MAX = 4096;  // a body read whole before its route (a form)
constexpr int HTTP_HEAD_WAIT_S = 10;    // seconds a request may take to arrive whole

enum head_state {
  HEAD_MORE,           // not whole yet
  HEAD_DONE,           // the header block is whole: `head_len` bytes
  HEAD_LINE_TOO_LONG,  // the request line passes HTTP_HEAD_MAX: 414
  HEAD_TOO_LONG,       // the header block passes HTTP_HEAD_MAX: 431
};

struct head_scan {
  head_state state;
  size_t head_len;      // HEAD_DONE: bytes up to and with the blank line
  long content_length;  // HEAD_DONE: the Content-Length value, 0 when absent, -1 when unreadable
};

// True when the first bytes of a message are (or begin) "GET /" or "POST /".
bool http_request_start(const char *buf, size_t len);
// Reads the `len` bytes received so far of one request. The header block
// ends at a blank line (CRLF CRLF, or LF LF).
head_scan http_head_scan(const char *buf, size_t len);
// Bytes the whole request needs: the header block, then for a POST its body
// when it announces one of at most HTTP_BODY_MAX bytes (an upload's body is
// not waited for: `stream_body` true). 0 when the body is too long.
size_t http_request_len(const char *buf, const head_scan &h, bool stream_body);
