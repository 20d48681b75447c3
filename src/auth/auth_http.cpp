// The HTTP door: the cross-site rule, the token check, and the routes that
// belong to authentication itself.
//
//   GET  /&auth?     public: {"auth":"off"}, {"auth":"ok"} (the request
//                    carries a valid token) or {"auth":"required"}
//   POST /&login     body "token=<token>" (form-encoded): sets the cookie
//                    orvel_token, or the 401 reply
//   GET  /&logout    clears the cookie
//
// Without TOKEN, &login and &logout are not routes (the router answers them
// as before); &auth? answers "off".
#include <cstdio>
#include <cstring>

#include "auth/auth.h"
#include "auth/headers.h"
#include "auth/lockout.h"
#include "core/text.h"
#include "net/http_reply.h"
#include "net/socket.h"

namespace {

const char UNAUTHORIZED[] = "{\"cmd\":\"ERROR\",\"data\":\"UNAUTHORIZED\"}";
const char FORBIDDEN[] = "{\"cmd\":\"ERROR\",\"data\":\"FORBIDDEN\"}";
const char COOKIE_ATTRS[] = "; HttpOnly; SameSite=Strict; Path=/";

// The router sends every target that starts with these to a gateway route;
// anything else is a file from www/, which stays public.
bool target_is_route(const char *t) {
  return t[0] == '@' || t[0] == '/' || t[0] == '&' || str_begin(t, "_set/") || str_begin(t, "_get/");
}

bool route_is(const char *t, const char *name) {
  size_t n = strlen(name);
  return strncmp(t, name, n) == 0 && (t[n] == ' ' || t[n] == '?' || t[n] == '\r' || t[n] == '\n' || t[n] == 0);
}

// A valid token in the request, from an address that is not locked out.
// A wrong token counts towards the lock-out when `count` is set.
bool token_valid(uint32_t sock, const auth_headers &h, bool count) {
  text_view tok;
  if (!auth_headers_token(h, &tok)) return false;
  uint32_t addr = soc_peer_ipv4(sock);
  if (lockout_refused(addr)) return false;
  if (auth_token_ok(tok.p, tok.n)) return true;
  if (count) lockout_fail(addr);
  return false;
}

void reply_cookie(uint32_t sock, const char *value, const char *extra) {
  char head[384];
  snprintf(head, sizeof head,
           "HTTP/1.1 200 OK\r\nContent-type: application/json\r\nCache-Control: no-cache no-store\r\n"
           "Set-Cookie: orvel_token=%.48s%s%s\r\nServer: ORVEL\r\nConnection: close\r\n\r\n{\"cmd\":\"OK\"}",
           value, COOKIE_ATTRS, extra);
  soc_msg(sock, head);
}

void route_login(uint32_t sock, const char *request, const auth_headers &h) {
  text_view field;
  char given[TOKEN_MAX * 3 + 1];  // still encoded: up to three bytes a character
  uint32_t addr = soc_peer_ipv4(sock);
  bool ok = false;
  if (request[0] == 'O' && form_field(h.body, "token", &field) && field.n < sizeof given) {
    memcpy(given, field.p, field.n);
    given[field.n] = 0;
    int len = url_decode(given);
    ok = !lockout_refused(addr) && auth_token_ok(given, (size_t)len);
    if (!ok) lockout_fail(addr);
    if (ok) reply_cookie(sock, given, "");
  } else if (request[0] == 'O') {
    lockout_fail(addr);
  }
  if (!ok) http_reply(sock, 401, UNAUTHORIZED);
}

}  // namespace

bool auth_http(uint32_t sock, char *request) {
  const char *t = request + 5;
  if (!target_is_route(t)) return true;
  auth_headers h;
  auth_headers_parse(request, &h);
  if (auth_cross_site(h, auth_allow_origin())) {
    http_reply(sock, 403, FORBIDDEN);
    return false;
  }
  if (route_is(t, "&auth")) {
    const char *state = !auth_on() ? "off" : token_valid(sock, h, false) ? "ok" : "required";
    char body[32];
    snprintf(body, sizeof body, "{\"auth\":\"%s\"}", state);
    http_reply(sock, 202, body);
    return false;
  }
  if (!auth_on()) return true;
  if (route_is(t, "&login")) {
    route_login(sock, request, h);
    return false;
  }
  if (route_is(t, "&logout")) {
    reply_cookie(sock, "", "; Max-Age=0");
    return false;
  }
  if (token_valid(sock, h, true)) return true;
  http_reply(sock, 401, UNAUTHORIZED);
  return false;
}

bool auth_preflight(uint32_t sock, const char *msg) {
  if (!auth_allow_origin()[0] || !str_begin(msg, "OPTIONS /")) return false;
  auth_headers h;
  auth_headers_parse(msg, &h);
  if (!origin_allowed(h.origin, auth_allow_origin())) return false;
  char reply[256];
  snprintf(reply, sizeof reply,
           "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: %.*s\r\n"
           "Access-Control-Allow-Methods: GET, POST\r\nAccess-Control-Allow-Headers: Authorization\r\n"
           "Access-Control-Max-Age: 600\r\nVary: Origin\r\nServer: ORVEL\r\nConnection: close\r\n\r\n",
           (int)(h.origin.n < 100 ? h.origin.n : 100), h.origin.p);
  soc_msg(sock, reply);
  return true;
}
