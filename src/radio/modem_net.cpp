// Network modem links (see modem_net.h). Each link walks
//   WAIT -> RESOLVE -> CONNECT -> HELLO -> AUTH -> UP
// and back to WAIT on any failure. Sockets are non-blocking and watched in
// the loop's poll set; names are looked up with getaddrinfo_a (numeric
// addresses at once); one timerfd, armed for the earliest deadline of all
// links, drives the retries, keepalives and silence checks.
#include "radio/modem_net.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "core/logs.h"
#include "core/watch.h"
#include "modemlink/modemlink_auth.h"
#include "modemlink/modemlink_conn.h"

namespace {

constexpr int BACKOFF_FIRST_MS = 1000;
constexpr int BACKOFF_MAX_MS = 30000;
constexpr int RESOLVE_POLL_MS = 50;  // how often a name look-up is asked for its result
constexpr int HOST_MAX = MODEM_NET_TEXT_MAX;
constexpr int SERVICE_MAX = 8;
constexpr int REASON_MAX = 96;
const char URL_PREFIX[] = "tcp://";

enum link_state : uint8_t { WAIT, RESOLVE, CONNECT, HELLO, AUTH, UP };

struct net_link {
  bool used;
  link_state state;
  char label[MODEM_NET_LABEL_MAX];  // "modem link" or "modem 2 link": the log's name for it
  char host[HOST_MAX], service[SERVICE_MAX];
  uint8_t key[MODEM_NET_TEXT_MAX];
  size_t key_len;
  const modem_net_events *events;
  modemlink_conn conn;
  int64_t next_try_ms;
  int backoff_ms;
  bool outage_logged;  // "down" said for the current outage
  bool ever_up;
  bool modem_open;     // `opened` told and not yet `lost`
  uint8_t daemon_challenge[MODEMLINK_CHALLENGE_LEN], client_challenge[MODEMLINK_CHALLENGE_LEN];
  addrinfo hints;
  gaicb lookup;
  addrinfo *addrs, *next_addr;  // the look-up's answer and the next address to try
};

net_link links[MODEM_NET_MAX];
int timer_fd = -1;

void timer_arm();
void link_ready(int fd, short revents);

// A peer's text for the log: printable ASCII only.
void text_clean(const uint8_t *text, int len, char *out, size_t cap) {
  size_t n = 0;
  for (int i = 0; i < len && n + 1 < cap; i++) out[n++] = text[i] >= 0x20 && text[i] < 0x7F ? (char)text[i] : '?';
  out[n] = '\0';
}

void addrs_free(net_link *l) {
  if (l->addrs) freeaddrinfo(l->addrs);
  l->addrs = l->next_addr = nullptr;
}

void conn_drop(net_link *l) {
  if (l->conn.fd >= 0) watch_clear(l->conn.fd);
  modemlink_conn_close(&l->conn);
}

// The link failed: the modem is lost to the gateway, the outage said once,
// the next try scheduled with the back-off.
void link_down(net_link *l, int slot, const char *reason) {
  conn_drop(l);
  addrs_free(l);
  l->state = WAIT;
  if (l->modem_open) {
    l->modem_open = false;
    l->events->lost(slot);
  }
  if (!l->outage_logged) {
    printf("%s down: %s\n", l->label, reason);
    sys_log("%s down: %s", l->label, reason);
    l->outage_logged = true;
  }
  l->next_try_ms = modemlink_now_ms() + l->backoff_ms;
  l->backoff_ms = std::min(l->backoff_ms * 2, BACKOFF_MAX_MS);
}

// Starts a connection to the next address of the look-up's answer.
void connect_next(net_link *l, int slot, const char *why_last) {
  while (l->next_addr) {
    addrinfo *a = l->next_addr;
    l->next_addr = a->ai_next;
    int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      why_last = strerror(errno);
      continue;
    }
    modemlink_conn_open(&l->conn, fd);
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0 || errno == EINPROGRESS) {
      l->state = CONNECT;
      if (watch_set(fd, POLLOUT, link_ready)) return;
      why_last = "no room in the poll set";
    } else {
      why_last = strerror(errno);
    }
    conn_drop(l);
  }
  link_down(l, slot, why_last);
}

void lookup_done(net_link *l, int slot, int status) {
  if (status != 0) return link_down(l, slot, gai_strerror(status));
  l->addrs = l->next_addr = l->lookup.ar_result;
  connect_next(l, slot, "no address");
}

void attempt(net_link *l, int slot) {
  l->hints = {};
  l->hints.ai_socktype = SOCK_STREAM;
  l->hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  int r = getaddrinfo(l->host, l->service, &l->hints, &found);
  if (r == 0) {
    l->addrs = l->next_addr = found;
    return connect_next(l, slot, "no address");
  }
  // A name: looked up off the loop, asked for its answer by the timer.
  l->hints.ai_flags = AI_NUMERICSERV;
  l->lookup = {};
  l->lookup.ar_name = l->host;
  l->lookup.ar_service = l->service;
  l->lookup.ar_request = &l->hints;
  gaicb *list[1] = {&l->lookup};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) return link_down(l, slot, "name look-up failed to start");
  l->state = RESOLVE;
}

void link_up(net_link *l) {
  l->state = UP;
  l->backoff_ms = BACKOFF_FIRST_MS;
  l->outage_logged = false;
  l->ever_up = true;
  addrs_free(l);
  printf("%s up: %s:%s\n", l->label, l->host, l->service);
  sys_log("%s up: %s:%s", l->label, l->host, l->service);
}

struct frame_ctx {
  net_link *l;
  int slot;
};

// One frame from the daemon; false when it ended the connection.
bool link_frame(void *ctx_ptr, const modemlink_frame *f) {
  frame_ctx *ctx = (frame_ctx *)ctx_ptr;
  net_link *l = ctx->l;
  char text[REASON_MAX];
  if (f->type == MODEMLINK_REFUSED) {
    char said[REASON_MAX - 16];
    text_clean(f->body, f->len, said, sizeof said);
    snprintf(text, sizeof text, "refused: %s", said);
    link_down(l, ctx->slot, text);
    return false;
  }
  if (l->state == HELLO && f->type == MODEMLINK_HELLO) {
    if (f->body[0] != MODEMLINK_VERSION) {
      snprintf(text, sizeof text, "the daemon speaks version %u, not %u", f->body[0], MODEMLINK_VERSION);
      link_down(l, ctx->slot, text);
      return false;
    }
    memcpy(l->daemon_challenge, f->body + 1, MODEMLINK_CHALLENGE_LEN);
    uint8_t auth[MODEMLINK_CHALLENGE_LEN + MODEMLINK_PROOF_LEN];
    if (!modemlink_challenge_new(l->client_challenge)) {
      link_down(l, ctx->slot, "no random bytes");
      return false;
    }
    memcpy(auth, l->client_challenge, MODEMLINK_CHALLENGE_LEN);
    modemlink_proof(MODEMLINK_CLIENT, l->key, l->key_len, l->daemon_challenge, l->client_challenge,
                    auth + MODEMLINK_CHALLENGE_LEN);
    l->state = AUTH;
    if (modemlink_conn_send(&l->conn, MODEMLINK_AUTH, auth, sizeof auth)) return true;
    link_down(l, ctx->slot, "cannot send");
    return false;
  }
  if (l->state == AUTH && f->type == MODEMLINK_PROOF) {
    if (modemlink_proof_ok(MODEMLINK_DAEMON, l->key, l->key_len, l->daemon_challenge, l->client_challenge,
                           f->body)) {
      modemlink_seal_start(&l->conn.seal, MODEMLINK_CLIENT, l->key, l->key_len, l->daemon_challenge,
                           l->client_challenge);
      link_up(l);
      return true;
    }
    link_down(l, ctx->slot, "the daemon does not prove the key");
    return false;
  }
  if (l->state == UP) {
    if (f->type == MODEMLINK_KEEPALIVE) return true;
    if (f->type == MODEMLINK_REPORT) {
      if (l->modem_open) l->events->report(ctx->slot, f->body, f->len);
      return true;
    }
    if (f->type == MODEMLINK_LOST || f->type == MODEMLINK_OPENED) {
      if (l->modem_open) l->modem_open = false, l->events->lost(ctx->slot);
      if (f->type == MODEMLINK_LOST) return true;
      wchar_t product[MODEMLINK_BODY_MAX + 1];
      modemlink_product_get(f->body, f->len, product, MODEMLINK_BODY_MAX + 1);
      l->modem_open = true;
      l->events->opened(ctx->slot, product);
      return true;
    }
  }
  snprintf(text, sizeof text, "unexpected frame '%c'", f->type >= 0x20 && f->type < 0x7F ? f->type : '?');
  link_down(l, ctx->slot, text);
  return false;
}

int slot_of_fd(int fd) {
  for (int i = 0; i < MODEM_NET_MAX; i++)
    if (links[i].used && links[i].conn.fd == fd) return i;
  return -1;
}

void link_ready(int fd, short revents) {
  int slot = slot_of_fd(fd);
  if (slot < 0) return;
  net_link *l = &links[slot];
  if (l->state == CONNECT) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0 && !(revents & POLLOUT)) {
      if (!(revents & (POLLHUP | POLLERR))) return;  // not yet
      err = ECONNRESET;
    }
    if (err != 0) {
      conn_drop(l);
      connect_next(l, slot, strerror(err));
    } else {
      l->state = HELLO;
      l->conn.last_rx_ms = modemlink_now_ms();  // the daemon's hello is due from now
      watch_set(fd, POLLIN, link_ready);
    }
    timer_arm();
    return;
  }
  const char *why = nullptr;
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    frame_ctx ctx = {l, slot};
    why = modemlink_conn_read(&l->conn, link_frame, &ctx);
  }
  if (!why && l->conn.fd == fd && !modemlink_conn_flush(&l->conn)) why = "cannot send";
  if (why) link_down(l, slot, why);
  if (l->conn.fd == fd) watch_set(fd, POLLIN | (modemlink_conn_pending(&l->conn) ? POLLOUT : 0), link_ready);
  timer_arm();
}

// What is due for one link now.
void link_due(net_link *l, int slot, int64_t now) {
  if (l->state == WAIT && now >= l->next_try_ms) {
    attempt(l, slot);
  } else if (l->state == RESOLVE) {
    int r = gai_error(&l->lookup);
    if (r != EAI_INPROGRESS) lookup_done(l, slot, r);
  } else if (l->state >= CONNECT && modemlink_conn_silent(&l->conn, now)) {
    link_down(l, slot, l->state == UP ? "silent for 15 s" : "no answer for 15 s");
  } else if (l->state == UP && modemlink_conn_keepalive_due(&l->conn, now)) {
    if (!modemlink_conn_send(&l->conn, MODEMLINK_KEEPALIVE, nullptr, 0)) link_down(l, slot, "cannot send");
  }
}

int64_t link_deadline(const net_link *l, int64_t now) {
  switch (l->state) {
    case WAIT: return l->next_try_ms;
    case RESOLVE: return now + RESOLVE_POLL_MS;
    case UP: return modemlink_conn_deadline(&l->conn);
    default: return l->conn.last_rx_ms + MODEMLINK_SILENT_MS;
  }
}

void timer_arm() {
  if (timer_fd < 0) return;
  int64_t now = modemlink_now_ms(), at = INT64_MAX;
  for (const net_link &l : links)
    if (l.used) at = std::min(at, link_deadline(&l, now));
  itimerspec when = {};
  if (at != INT64_MAX) {
    at = std::max(at, now + 1);
    when.it_value = {(time_t)(at / 1000), (long)(at % 1000) * 1000000L};
  }
  timerfd_settime(timer_fd, TFD_TIMER_ABSTIME, &when, nullptr);
}

void timer_ready(int fd, short) {
  uint64_t expirations;
  while (read(fd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
  }
  int64_t now = modemlink_now_ms();
  for (int i = 0; i < MODEM_NET_MAX; i++)
    if (links[i].used) link_due(&links[i], i, now);
  timer_arm();
}

// "tcp://host:port" or "tcp://[v6]:port" into host and service.
bool url_split(const char *url, char *host, char *service) {
  if (!modem_net_url(url)) return false;
  const char *h = url + strlen(URL_PREFIX);
  const char *colon;
  size_t hlen;
  if (*h == '[') {
    const char *close = strchr(h, ']');
    if (!close || close[1] != ':') return false;
    hlen = (size_t)(close - h - 1), h++, colon = close + 1;
  } else {
    colon = strrchr(h, ':');
    if (!colon) return false;
    hlen = (size_t)(colon - h);
  }
  size_t slen = strlen(colon + 1);
  if (hlen == 0 || hlen >= HOST_MAX || slen == 0 || slen >= SERVICE_MAX) return false;
  for (const char *p = colon + 1; *p; p++)
    if (*p < '0' || *p > '9') return false;
  memcpy(host, h, hlen);
  host[hlen] = '\0';
  memcpy(service, colon + 1, slen + 1);
  return true;
}

}  // namespace

bool modem_net_url(const char *setting) { return strncmp(setting, URL_PREFIX, strlen(URL_PREFIX)) == 0; }

bool modem_net_start(int slot, const char *url, const char *key, const modem_net_events *events, const char *label) {
  if (slot < 0 || slot >= MODEM_NET_MAX || links[slot].used) {
    printf("modem link: slot %d is not free\n", slot);
    return false;
  }
  net_link *l = &links[slot];
  *l = {};
  l->conn.fd = -1;
  snprintf(l->label, sizeof l->label, "%s", label);
  if (!url_split(url, l->host, l->service)) {
    printf("%s: \"%s\" is not tcp://host:port\n", l->label, url);
    return false;
  }
  l->key_len = strlen(key);
  if (l->key_len == 0 || l->key_len >= sizeof l->key) {
    printf("%s: MODEMKEY is missing\n", l->label);
    return false;
  }
  memcpy(l->key, key, l->key_len);
  if (timer_fd < 0) {
    timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_fd < 0 || !watch_set(timer_fd, POLLIN, timer_ready)) {
      printf("modem link: no timer\n");
      return false;
    }
  }
  l->used = true;
  l->events = events;
  l->state = WAIT;
  l->backoff_ms = BACKOFF_FIRST_MS;
  l->next_try_ms = modemlink_now_ms();
  attempt(l, slot);
  timer_arm();
  return true;
}

int modem_net_write(int slot, const uint8_t *report, size_t len) {
  if (slot < 0 || slot >= MODEM_NET_MAX) return -1;
  net_link *l = &links[slot];
  if (!l->used || l->state != UP || !l->modem_open) return -1;
  int n = (int)std::min(len, (size_t)MODEMLINK_REPORT_MAX);
  if (modemlink_conn_send(&l->conn, MODEMLINK_REPORT, report, n)) {
    if (modemlink_conn_pending(&l->conn)) watch_set(l->conn.fd, POLLIN | POLLOUT, link_ready);
    return n;
  }
  shutdown(l->conn.fd, SHUT_RDWR);  // seen as a hang-up on the next pass
  return -1;
}

void modem_net_forget(int slot) {
  if (slot < 0 || slot >= MODEM_NET_MAX || !links[slot].used) return;
  net_link *l = &links[slot];
  if (l->state == RESOLVE) return;  // a new connection is on its way already
  conn_drop(l);
  addrs_free(l);
  l->modem_open = false;
  l->state = WAIT;
  l->next_try_ms = modemlink_now_ms();
  timer_arm();
}

void modem_net_reset() {
  for (net_link &l : links) {
    if (!l.used) continue;
    conn_drop(&l);
    if (l.state != RESOLVE || gai_cancel(&l.lookup) != EAI_NOTCANCELED) addrs_free(&l);
    l.used = false;
  }
  if (timer_fd >= 0) {
    watch_clear(timer_fd);
    close(timer_fd);
  }
  timer_fd = -1;
}
