// The token, the settings that configure authentication, and the raw line
// protocol's door: a raw connection proves itself with "auth <token>" before
// any other message is handled.
#include "auth/auth.h"

#include <cstdio>
#include <cstring>

#include "auth/lockout.h"
#include "auth/sessions.h"
#include "core/clock.h"
#include "core/hooks.h"
#include "core/logs.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/conn.h"
#include "net/socket.h"

namespace {

char token[TOKEN_MAX + 1];
size_t token_len;  // 0 = no TOKEN: authentication is off
char allow_origin[SETTING_VALUE];
char allow_host[SETTING_VALUE];

// Raw connections that sent "auth": one record per connection at most, so
// the capacity is that of the connection table. A connection that gave the
// token has the role ROLE_AUTHED.
struct raw_rec {
  uint32_t sock;
  bool used;
  uint8_t fails;  // wrong "auth" lines on this connection
};
raw_rec raws[CONN_MAX];

raw_rec *raw_find(uint32_t sock, bool add) {
  raw_rec *free_slot = nullptr;
  for (auto &r : raws) {
    if (r.used && r.sock == sock) return &r;
    if (!r.used && !free_slot) free_slot = &r;
  }
  if (!add || !free_slot) return nullptr;
  *free_slot = {sock, true, 0};
  return free_slot;
}

// Visible ASCII only: a token travels in a header, a cookie-free form and a
// raw line, all of which end at a blank.
const char *token_problem(const char *v) {
  static char why[96];
  size_t n = strlen(v);
  if (n < (size_t)TOKEN_MIN) {
    snprintf(why, sizeof why, "must be at least %d characters long (it has %zu)", TOKEN_MIN, n);
    return why;
  }
  for (size_t i = 0; i < n; i++)
    if ((unsigned char)v[i] <= ' ' || (unsigned char)v[i] >= 0x7f) return "may hold no blank or control character";
  return nullptr;
}

}  // namespace

// Reads the settings; false when TOKEN is unusable.
static bool auth_settings() {
  char v[SETTING_VALUE];
  token_len = 0;
  allow_origin[0] = allow_host[0] = 0;
  if (setting_get("ALLOW_ORIGIN", v) == 1) snprintf(allow_origin, sizeof allow_origin, "%s", v);
  if (setting_get("ALLOW_HOST", v) == 1) snprintf(allow_host, sizeof allow_host, "%s", v);
  if (setting_get("TOKEN", v) != 1) {
    puts("AUTH OFF: anyone on the network can control this gateway");
    sys_log("AUTH OFF: anyone on the network can control this gateway");
    return true;
  }
  if (const char *why = token_problem(v)) {
    printf("setup.ini: TOKEN %s; the gateway does not start\n", why);
    return false;
  }
  token_len = strlen(v);
  memcpy(token, v, token_len + 1);
  printf("TOKEN set: gateway routes need it\n");
  return true;
}

bool auth_on() { return token_len > 0; }

const char *auth_allow_origin() { return allow_origin; }

const char *auth_allow_host() { return allow_host; }

bool auth_token_ok(const char *given, size_t len) {
  if (!token_len) return false;
  // Every byte given is compared, against the token repeated, whether or not
  // an earlier byte differed: the time says nothing about the token.
  size_t diff = len ^ token_len;
  for (size_t i = 0; i < len; i++) diff |= (uint8_t)given[i] ^ (uint8_t)token[i % token_len];
  return diff == 0;
}

// The raw door, before every message: HTTP requests go on to the router's
// door; a raw connection proves itself with "auth <token>" first.
static msg_verdict auth_msg(uint32_t sock, char *msg, size_t) {
  if (str_begin(msg, "GET") || str_begin(msg, "POST")) return MSG_PASS;
  if (auth_preflight(sock, msg)) return MSG_CLOSE;
  if (!auth_on()) return MSG_PASS;
  bool is_auth = str_begin(msg, "auth") && (msg[4] == ' ' || msg[4] == '\r' || msg[4] == '\n' || msg[4] == 0);
  if (!is_auth) {
    if (conn_has_role((int)sock, ROLE_AUTHED)) return MSG_PASS;
    soc_msg(sock, "ERR\n");
    return MSG_KEEP;
  }
  raw_rec *r = raw_find(sock, true);
  const char *given = msg + 4;
  while (*given == ' ') given++;
  size_t len = strcspn(given, " \r\n");
  uint32_t addr = soc_peer_ipv4(sock);
  if (!lockout_refused(addr) && auth_token_ok(given, len)) {
    conn_role_set((int)sock, ROLE_AUTHED, r != nullptr);
    soc_msg(sock, r ? "AUTH OK\n" : "AUTH ERR\n");
    return r ? MSG_KEEP : MSG_CLOSE;
  }
  lockout_fail(addr);
  soc_msg(sock, "AUTH ERR\n");
  return (!r || ++r->fails >= RAW_AUTH_TRIES) ? MSG_CLOSE : MSG_KEEP;
}

static void auth_close(uint32_t sock, close_reason) {
  if (raw_rec *r = raw_find(sock, false)) *r = raw_rec{};
}

// With a token, a connection that has neither given it ("auth") nor spoken
// HTTP within RAW_AUTH_WAIT_S holds a place for nothing: it is closed.
static void auth_tick(time_t now) {
  sessions_tick(now);
  time_t mono = clock_mono_s();
  for (int i = 0; i < CONN_MAX; i++) {
    const conn_rec *c = conn_at(i);
    if (c && !c->closing && !(c->roles & (ROLE_AUTHED | ROLE_REQUEST)) && c->in.empty() &&
        mono - c->opened >= RAW_AUTH_WAIT_S)
      conn_close(c->fd, CLOSE_TIMEOUT);
  }
}

bool auth_start() {
  if (!auth_settings()) return false;
  socket_door_set(auth_msg);
  hook_close.add(auth_close);
  auth_http_start();
  if (auth_on()) {
    sessions_load(token, token_len);
    hook_tick.add(auth_tick);
  }
  return true;
}

void auth_reset() {
  token_len = 0;
  allow_origin[0] = allow_host[0] = 0;
  for (auto &r : raws) r = raw_rec{};
  lockout_reset();
  sessions_reset();
}
