// orvel-modemd's connections. A table of MODEMD_CLIENT_MAX: at most one is
// the gateway served (it has proved the key), the others are newcomers that
// have 15 s to prove it. A newcomer with a wrong key is refused; one with the
// right key is refused while the gateway served is alive, and takes over
// when that one has been silent for 15 s. Every event is logged once, on
// stdout.
#include <cstdio>
#include <cstring>

#include "modemd/modemd.h"
#include "modemlink/modemlink_auth.h"
#include "modemlink/modemlink_conn.h"
#include "radio/modem_reader.h"

namespace {

constexpr int PEER_MAX = 64;

struct client {
  bool used;
  bool served;  // proved the key and holds the modem
  modemlink_conn conn;
  char peer[PEER_MAX];
  uint8_t challenge[MODEMLINK_CHALLENGE_LEN];
};

client clients[MODEMD_CLIENT_MAX];
uint8_t key[MODEMLINK_KEY_MAX];
size_t key_len = 0;

bool modem_open = false;
uint8_t product[MODEMLINK_BODY_MAX];
int product_len = 0;

void client_drop(client *c, const char *why) {
  if (why) printf("%s: %s\n", c->peer, why);
  modemlink_conn_close(&c->conn);
  c->used = c->served = false;
}

// The last refusal logged, as "<host> <reason>": a gateway that keeps trying
// is logged once, not once per try.
char last_refusal[PEER_MAX + 64] = "";

// Refuses with a reason the gateway logs, then closes.
void client_refuse(client *c, const char *reason, const char *log) {
  modemlink_conn_send(&c->conn, MODEMLINK_REFUSED, (const uint8_t *)reason, (int)strlen(reason));
  char now[sizeof last_refusal];
  const char *port = strrchr(c->peer, ':');
  snprintf(now, sizeof now, "%.*s %s", (int)(port ? port - c->peer : (long)strlen(c->peer)), c->peer, reason);
  bool again = strcmp(now, last_refusal) == 0;
  memcpy(last_refusal, now, sizeof now);
  client_drop(c, again ? nullptr : log);
}

client *client_served() {
  for (client &c : clients)
    if (c.used && c.served) return &c;
  return nullptr;
}

client *client_of_fd(int fd) {
  for (client &c : clients)
    if (c.used && c.conn.fd == fd) return &c;
  return nullptr;
}

// Tells the modem's state; false when the connection had to be dropped.
bool send_modem_state(client *c) {
  bool ok = modem_open ? modemlink_conn_send(&c->conn, MODEMLINK_OPENED, product, product_len)
                       : modemlink_conn_send(&c->conn, MODEMLINK_LOST, nullptr, 0);
  if (!ok) client_drop(c, "not reading, dropped");
  return ok;
}

// The newcomer's auth frame: proof checked, then served, refused or taking over.
bool client_auth(client *c, const modemlink_frame *f) {
  const uint8_t *their_challenge = f->body, *proof = f->body + MODEMLINK_CHALLENGE_LEN;
  if (!modemlink_proof_ok(MODEMLINK_CLIENT, key, key_len, c->challenge, their_challenge, proof)) {
    client_refuse(c, "wrong key", "wrong key, refused");
    return false;
  }
  client *held = client_served();
  if (held && !modemlink_conn_silent(&held->conn, modemlink_now_ms())) {
    char log[PEER_MAX + 48];
    snprintf(log, sizeof log, "refused, the modem is served to %s", held->peer);
    client_refuse(c, "busy: the modem is served to another gateway", log);
    return false;
  }
  if (held) {
    printf("%s: silent for 15 s, %s takes over\n", held->peer, c->peer);
    client_drop(held, nullptr);
  }
  uint8_t mine[MODEMLINK_PROOF_LEN];
  modemlink_proof(MODEMLINK_DAEMON, key, key_len, c->challenge, their_challenge, mine);
  if (!modemlink_conn_send(&c->conn, MODEMLINK_PROOF, mine, sizeof mine)) {
    client_drop(c, "not reading, dropped");
    return false;
  }
  modemlink_seal_start(&c->conn.seal, MODEMLINK_DAEMON, key, key_len, c->challenge, their_challenge);
  c->served = true;
  last_refusal[0] = '\0';
  printf("%s: gateway served\n", c->peer);
  return send_modem_state(c);
}

bool client_frame(void *ctx, const modemlink_frame *f) {
  client *c = (client *)ctx;
  if (!c->served && f->type == MODEMLINK_AUTH) return client_auth(c, f);
  if (c->served && f->type == MODEMLINK_KEEPALIVE) return true;
  if (c->served && f->type == MODEMLINK_REPORT) {
    if (modem_open) modem_reader_write(0, f->body, (size_t)f->len);  // a lost modem shows at the next read
    return true;
  }
  client_drop(c, "unexpected frame, dropped");
  return false;
}

}  // namespace

void modemd_clients_key(const uint8_t *k, size_t len) {
  key_len = len < sizeof key ? len : sizeof key;
  memcpy(key, k, key_len);
}

void modemd_client_accept(int fd, const char *peer) {
  client *c = nullptr;
  for (client &slot : clients)
    if (!slot.used) c = &slot;
  client spare = {};
  client *target = c ? c : &spare;
  *target = {};
  target->used = true;
  snprintf(target->peer, sizeof target->peer, "%s", peer);
  modemlink_conn_open(&target->conn, fd);
  if (!c) return client_refuse(target, "busy: too many connections", "refused, too many connections");
  uint8_t hello[1 + MODEMLINK_CHALLENGE_LEN] = {MODEMLINK_VERSION};
  if (!modemlink_challenge_new(c->challenge)) return client_refuse(c, "no random bytes", "no random bytes, refused");
  memcpy(hello + 1, c->challenge, MODEMLINK_CHALLENGE_LEN);
  if (!modemlink_conn_send(&c->conn, MODEMLINK_HELLO, hello, sizeof hello)) client_drop(c, "cannot send, dropped");
}

int modemd_clients_poll(struct pollfd *out) {
  int n = 0;
  for (const client &c : clients)
    if (c.used) out[n++] = {c.conn.fd, (short)(POLLIN | (modemlink_conn_pending(&c.conn) ? POLLOUT : 0)), 0};
  return n;
}

void modemd_client_ready(int fd, short revents) {
  client *c = client_of_fd(fd);
  if (!c) return;
  const char *why = nullptr;
  if (revents & (POLLIN | POLLHUP | POLLERR)) why = modemlink_conn_read(&c->conn, client_frame, c);
  if (!why && c->used && c->conn.fd == fd && !modemlink_conn_flush(&c->conn)) why = "cannot send";
  if (why && c->used && c->conn.fd == fd) {
    char log[96];
    snprintf(log, sizeof log, "%s (%s)", c->served ? "gateway gone" : "gone", why);
    client_drop(c, log);
  }
}

int64_t modemd_clients_tick(int64_t now) {
  int64_t next = -1;
  for (client &c : clients) {
    if (!c.used) continue;
    if (modemlink_conn_silent(&c.conn, now)) {
      client_drop(&c, c.served ? "silent for 15 s, dropped" : "no proof in 15 s, dropped");
      continue;
    }
    if (c.served && modemlink_conn_keepalive_due(&c.conn, now) &&
        !modemlink_conn_send(&c.conn, MODEMLINK_KEEPALIVE, nullptr, 0)) {
      client_drop(&c, "not reading, dropped");
      continue;
    }
    int64_t at = c.served ? modemlink_conn_deadline(&c.conn) : c.conn.last_rx_ms + MODEMLINK_SILENT_MS;
    if (next < 0 || at < next) next = at;
  }
  return next;
}

void modemd_modem_opened(const uint8_t *text, int len) {
  modem_open = true;
  product_len = len < MODEMLINK_BODY_MAX ? len : MODEMLINK_BODY_MAX;
  memcpy(product, text, (size_t)product_len);
  if (client *c = client_served()) send_modem_state(c);
}

void modemd_modem_lost() {
  modem_open = false;
  if (client *c = client_served()) send_modem_state(c);
}

void modemd_modem_report(const uint8_t *report, int len) {
  client *c = client_served();
  if (c && !modemlink_conn_send(&c->conn, MODEMLINK_REPORT, report, len)) client_drop(c, "not reading, dropped");
}
