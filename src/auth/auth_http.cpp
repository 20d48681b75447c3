// The HTTP door: the cross-site rule, the host rule, the credentials, and
// the routes that belong to authentication itself.
//
//   GET  /&auth?     {"auth":"off"}, {"auth":"ok"} (the request carries a
//                    valid credential) or {"auth":"required"}
//   POST /&login     body "token=<token>" (form-encoded): a new session in
//                    the cookie orvel_session, or the 401 reply
//   GET  /&logout    revokes the session and clears the cookie
//
// Without TOKEN, &login and &logout are not routes (the router answers them
// as before); &auth? answers "off". A credential is the token as a bearer
// header, or a session cookie together with a sign that the request comes
// from a page of the gateway's own origin (auth_same_origin): a page of
// another origin on the same host, to which the browser sends the cookie
// too, can show neither without a preflight, and preflights are refused.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "auth/auth.h"
#include "auth/headers.h"
#include "auth/lockout.h"
#include "auth/sessions.h"
#include "core/text.h"
#include "net/http_reply.h"
#include "net/router.h"
#include "net/socket.h"

namespace {

const char UNAUTHORIZED[] = "{\"cmd\":\"ERROR\",\"data\":\"UNAUTHORIZED\"}";
const char FORBIDDEN[] = "{\"cmd\":\"ERROR\",\"data\":\"FORBIDDEN\"}";
const char COOKIE[] = "orvel_session";
const char COOKIE_ATTRS[] = "; HttpOnly; SameSite=Strict; Path=/";

// The machine's own host name, for the host rule.
const char *own_host() {
  static char name[256] = "";
  if (!name[0] && gethostname(name, sizeof name - 1) != 0) name[0] = 0;
  return name;
}

// A valid credential in the request, from an address that is not locked
// out. A wrong token counts towards the lock-out.
bool credential_valid(uint32_t sock, const auth_headers &h) {
  uint32_t addr = soc_peer_ipv4(sock);
  if (lockout_refused(addr)) return false;
  text_view v;
  if (auth_headers_bearer(h, &v)) {
    if (auth_token_ok(v.p, v.n)) return true;
    lockout_fail(addr);
    return false;
  }
  return auth_headers_cookie(h, COOKIE, &v) && auth_same_origin(h) && session_valid(v.p, v.n);
}

void reply_cookie(uint32_t sock, const char *value, const char *extra) {
  char head[256];
  snprintf(head, sizeof head,
           "Content-type: application/json\r\nCache-Control: no-cache no-store\r\nSet-Cookie: %s=%s%s%s\r\n", COOKIE,
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
    char id[SESSION_ID_HEX + 1];
    if (ok && session_new(id)) {
      reply_cookie(sock, id, "");
      return ROUTE_CLOSE;
    }
    if (ok) {
      http_respond_text(sock, "503 Service Unavailable", "application/json", nullptr,
                        "{\"cmd\":\"ERROR\",\"data\":\"NO SESSION\"}");
      return ROUTE_CLOSE;
    }
  } else if (req.method == HTTP_POST) {
    lockout_fail(addr);
  }
  http_reply(sock, 401, UNAUTHORIZED);
  return ROUTE_CLOSE;
}

route_verdict route_logout(http_req &req) {
  auth_headers h;
  auth_headers_parse(req.text, &h);
  text_view v;
  if (auth_headers_cookie(h, COOKIE, &v)) session_end(v.p, v.n);
  reply_cookie(req.sock, "", "; Max-Age=0");
  return ROUTE_CLOSE;
}

route_verdict route_auth(http_req &req) {
  auth_headers h;
  auth_headers_parse(req.text, &h);
  const char *state = !auth_on() ? "off" : credential_valid(req.sock, h) ? "ok" : "required";
  char body[32];
  snprintf(body, sizeof body, "{\"auth\":\"%s\"}", state);
  http_reply(req.sock, 202, body);
  return ROUTE_CLOSE;
}

// The HTTP door: the cross-site rule and, without a token, the host rule for
// every gateway route; then the credential for those that need it.
bool auth_http(http_req &req, const route_row &row) {
  auth_headers h;
  auth_headers_parse(req.text, &h);
  if (auth_cross_site(h, auth_allow_origin()) ||
      (!auth_on() && !auth_host_ok(h, own_host(), auth_allow_host()))) {
    http_reply(req.sock, 403, FORBIDDEN);
    return false;
  }
  if (row.door != DOOR_TOKEN || !auth_on() || credential_valid(req.sock, h)) return true;
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
