// The log viewer: day files out through the static file streamer, client
// lines in through sys_log. A client's text is data, never a format and never
// more than one line.
#include "net/logview.h"

#include <cstdio>
#include <cstring>

#include "core/logs.h"
#include "core/text.h"
#include "net/http_reply.h"
#include "net/static_files.h"

// Log route layout, t = the route text handed over by the router:
//
//   offset  bytes  content
//   0       4      "&log"
//   4       1      '=' (day file) or '/' (client line)
//   5       6      '=': six decimal digits YYMMDD; anything may follow
//   5       0..255 '/': the URL-encoded text, ended by the blank before the
//                  protocol version
constexpr int LOG_OFF_FORM = 4;
constexpr int LOG_OFF_ARG = 5;

static log_req_kind log_day_parse(const char *digits, char *out) {
  // isnumch refuses the NUL, so the scan never passes the text's end.
  for (int i = 0; i < LOG_DATE_DIGITS; i++)
    if (!isnumch(digits[i])) return LOG_REQ_BAD;
  snprintf(out, LOG_TEXT_SIZE, "logs/%.6s.log", digits);
  return LOG_REQ_DAY;
}

static log_req_kind log_line_parse(const char *text, char *out) {
  memset(out, 0, LOG_TEXT_SIZE);
  int n = 0;
  for (; text[n] != ' '; n++) {
    // The request line ended without a protocol version: what follows would
    // be header lines, not the client's text.
    if (text[n] == 0 || text[n] == '\r' || text[n] == '\n') return LOG_REQ_BAD;
    if (n == LOG_TEXT_SIZE - 1) return LOG_REQ_BAD;
    out[n] = text[n];
  }
  int len = url_decode(out);
  // Decoding may produce any byte: blank the control characters (a NUL
  // included) so the text stays whole and cannot start a forged line.
  for (int i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(out[i]);
    if (c < 0x20 || c == 0x7f) out[i] = ' ';
  }
  return LOG_REQ_LINE;
}

log_req_kind log_req_parse(const char *t, char *out) {
  if (!str_begin(t, "&log")) return LOG_REQ_BAD;
  if (t[LOG_OFF_FORM] == '=') return log_day_parse(t + LOG_OFF_ARG, out);
  if (t[LOG_OFF_FORM] == '/') return log_line_parse(t + LOG_OFF_ARG, out);
  return LOG_REQ_BAD;
}

bool logging(uint32_t sock, char *route) {
  char buf[LOG_TEXT_SIZE];
  switch (log_req_parse(route, buf)) {
    case LOG_REQ_DAY:
      return file_to_soc(buf, sock);
    case LOG_REQ_LINE:
      // The text itself, never a format; "OK" only once it is written.
      http_reply(sock, 200, sys_log("%s", buf) ? "OK" : "ERROR");
      return true;
    case LOG_REQ_BAD:
      break;
  }
  return false;
}
