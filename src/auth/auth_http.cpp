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
#include "net/router.h"
#include "net/socket.h"

namespace {

const char UNAUTHORIZED[] = "{\"cmd\":\"ERROR\",\"data\":\"UNAUTHORIZED\"}";
const char FORBIDDEN[] = "{\"cmd\":\"ERROR\",\"data\":\"FORBIDDEN\"}";
const char COOKIE_ATTRS[] = "; HttpOnly; SameSite=Strict; Path=/";

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
  char head[256];
  snprintf(head, sizeof head,
           "Content-type: application/json\r\nCache-Control: no-cache no-store\r\nSet-Cookie: orvel_token=%.48s%s%s\r\n",
           value, COOKIE_ATTRS, extra);
  http_respond_text(sock, "200 OK", nullptr, head, "{\"cmd\":\"OK\"}");
}

route_verdict route_login(http_req &req) {
  uint32_t sock = req.sock;
  auth_headers h;
  auth_headers_parse(req.text, &h);
  text_view field;
  char given[TOKEN_MAX * 3 + 1];  // still encoded: up to three bytes a character
  uint32_t addr = soc_peer_ipv4(sock);
  bool ok = false;
  if (req.method == HTTP_POST && form_field(h.body, "token", &field) && field.n < sizeof given) {
    memcpy(given, field.p, field.n);
    given[field.n] = 0;
    int len = url_decode(given);
    ok = !lockout_refused(addr) && auth_token_ok(given, (size_t)len);
    if (!ok) lockout_fail(addr);
    if (ok) reply_cookie(sock, given, "");
  } else if (req.method == HTTP_POST) {
    lockout_fail(addr);
  }
  if (!ok) http_reply(sock, 401, UNAUTHORIZED);
  return ROUTE_CLOSE;
}

route_verdict route_logout(http_req &req) {
  reply_cookie(req.sock, "", "; Max-Age=0");
  return ROUTE_CLOSE;
}

route_verdict route_auth(http_req &req) {
  auth_headers h;
  auth_headers_parse(req.text, &h);
  const char *state = !auth_on() ? "off" : token_valid(req.sock, h, false) ? "ok" : "required";
  char body[32];
  snprintf(body, sizeof body, "{\"auth\":\"%s\"}", state);
  http_reply(req.sock, 202, body);
  return ROUTE_CLOSE;
}

// The HTTP door: the cross-site rule for every gateway route, then the token
// for those that need it.
bool auth_http(http_req &req, const route_row &row) {
  auth_headers h;
  auth_headers_parse(req.text, &h);
  if (auth_cross_site(h, auth_allow_origin())) {
    http_reply(req.sock, 403, FORBIDDEN);
    return false;
  }
  if (row.door != DOOR_TOKEN || !auth_on() || token_valid(req.sock, h, true)) return true;
  http_reply(req.sock, 401, UNAUTHORIZED);
  return false;
}

}  // namespace

void auth_http_start() {
  constexpr uint8_t ANY = HTTP_GET | HTTP_POST;
  route_door_set(auth_http);
  route_add({"&auth", MATCH_NAME, ANY, DOOR_SITE, "auth", route_auth});
  if (!auth_on()) return;
  route_add({"&login", MATCH_NAME, ANY, DOOR_SITE, "auth", route_login});
  route_add({"&logout", MATCH_NAME, ANY, DOOR_SITE, "auth", route_logout});
}

bool auth_preflight(uint32_t sock, const char *msg) {
  if (!auth_allow_origin()[0] || !str_begin(msg, "OPTIONS /")) return false;
  auth_headers h;
  auth_headers_parse(msg, &h);
  if (!origin_allowed(h.origin, auth_allow_origin())) return false;
  char extra[256];
  snprintf(extra, sizeof extra,
           "Access-Control-Allow-Origin: %.*s\r\nAccess-Control-Allow-Methods: GET, POST\r\n"
           "Access-Control-Allow-Headers: Authorization\r\nAccess-Control-Max-Age: 600\r\nVary: Origin\r\n",
           (int)(h.origin.n < 100 ? h.origin.n : 100), h.origin.p);
  http_respond_text(sock, "204 No Content", nullptr, extra, nullptr);
  return true;
}
