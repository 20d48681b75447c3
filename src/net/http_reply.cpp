// HTTP reply framing (see http_reply.h).
#include "net/http_reply.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "net/socket.h"

static const char OK_LINE[] = "HTTP/1.1 200 OK\r\n";
static const char CORS[] = "Access-Control-Allow-Origin: *\r\n";
static const char NO_CACHE[] = "Cache-Control: no-cache no-store\r\n";
static const char EXPIRES[] = "Expires: -1\r\n";
static const char TAIL[] = "Server: ORVEL\r\nConnection: close\r\n\r\n";

// The header lines of each kind, before the common tail.
static const char *reply_head(int kind, char *buf, size_t cap) {
  switch (kind) {
    case 200: snprintf(buf, cap, "%s%s%s%s", OK_LINE, NO_CACHE, CORS, EXPIRES); break;
    case 201: snprintf(buf, cap, "%s%sCache-Control: max-age=3600\r\n", OK_LINE, CORS); break;
    case 202: snprintf(buf, cap, "%s%sContent-type: application/json\r\n%s%s", OK_LINE, CORS, NO_CACHE, EXPIRES); break;
    case 203: snprintf(buf, cap, "%s%sContent-type: text/css\r\n", OK_LINE, CORS); break;
    case 204: snprintf(buf, cap, "%s%sContent-type: text/javascript\r\n", OK_LINE, CORS); break;
    case 205: snprintf(buf, cap, "%s%sContent-type: text/html\r\n", OK_LINE, CORS); break;
    case 401:
      snprintf(buf, cap, "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Bearer\r\n%sContent-type: application/json\r\n%s",
               CORS, NO_CACHE);
      break;
    case 403: snprintf(buf, cap, "HTTP/1.1 403 Forbidden\r\nContent-type: application/json\r\n%s", NO_CACHE); break;
    case 404: snprintf(buf, cap, "HTTP/1.1 404 Not Found\r\n"); break;
    default: return nullptr;
  }
  return buf;
}

void http_reply(uint32_t sock, int kind, const char *body) {
  char head[256];
  std::string reply;
  if (kind == 301) {
    reply = "HTTP/1.1 301 Moved Permanently\r\nLocation:";
    reply += body ? body : "";
    reply += "\r\n\r\n";
  } else {
    if (!reply_head(kind, head, sizeof head - sizeof TAIL)) return;
    strcat(head, TAIL);
    reply = head;
    if (body) reply += body;
  }
  soc_send(sock, reply.data(), reply.size());  // header and body in one send
}

void http_respond(uint32_t sock, const char *status, const char *type, const char *extra, const char *body,
                  size_t len) {
  std::string r = "HTTP/1.1 ";
  r += status;
  r += "\r\n";
  if (type) {
    r += "Content-Type: ";
    r += type;
    r += "\r\n";
  }
  if (extra) r += extra;
  r += TAIL;
  if (body) r.append(body, len);
  soc_send(sock, r.data(), r.size());
}

void http_respond_text(uint32_t sock, const char *status, const char *type, const char *extra, const char *body) {
  http_respond(sock, status, type, extra, body, body ? strlen(body) : 0);
}
