// The event stream's client table and its writes (see stream.h). Every event
// is first added to the event ring, then its frame is written to each client;
// a reconnecting client is given the kept frames after its last id first.
#include "events/stream.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>

#include "core/clock.h"
#include "core/hooks.h"
#include "core/settings.h"
#include "core/text.h"
#include "devices/device_list.h"
#include "events/event_ring.h"
#include "net/conn.h"
#include "net/http_reply.h"
#include "net/router.h"
#include "net/socket.h"

namespace {

struct stream_rec {
  uint32_t sock;    // 0 = free
  long last_write;  // monotonic second of the last write, for the keepalive
};

static_assert(EVENT_DATA_MAX >= DEV_OBJ_SIZE, "a device object fits an event");

stream_rec streams[CONN_MAX];
int keepalive_s = 0;  // 0 until read from the settings
int streams_max = STREAMS_DEFAULT;

const char HEAD[] =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: text/event-stream\r\n"
    "Cache-Control: no-cache\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Server: ORVEL\r\n"
    "\r\n"
    "retry: 2000\n\n";
const char KEEPALIVE[] = ": keepalive\n\n";
constexpr int STREAM_SNDBUF = 64 * 1024;  // the kernel doubles it

void settings_load() {
  char value[SETTING_VALUE];
  keepalive_s = setting_get("EVENTS_KEEPALIVE", value) == 1 ? atoi(value) : 0;
  if (keepalive_s <= 0) keepalive_s = STREAM_KEEPALIVE_S;
  streams_max = setting_get("EVENTS_MAX", value) == 1 ? atoi(value) : 0;
  if (streams_max <= 0 || streams_max > CONN_MAX) streams_max = STREAMS_DEFAULT;
}

// Writes to client `s`; false when the client was closed (a failed send, or,
// when `bounded`, more than STREAM_QUEUE_MAX bytes it has not taken yet). A
// replay is written unbounded: at most EVENT_RING_MAX frames, which a client
// that reads takes long before the next live event checks the bound.
bool stream_write(stream_rec *s, const char *data, size_t len, bool bounded = true) {
  uint32_t sock = s->sock;
  if (!soc_send(sock, data, len) || (bounded && soc_queued(sock) > STREAM_QUEUE_MAX)) {
    conn_close((int)sock, CLOSE_STALLED);  // its entry goes at the close
    return false;
  }
  s->last_write = (long)clock_mono_s();
  return true;
}

void stream_broadcast(event_kind kind, const char *json) {
  size_t len;
  const char *frame = event_ring_add(kind, json, &len);
  for (auto &s : streams)
    if (s.sock && conn_has_role((int)s.sock, ROLE_STREAM)) stream_write(&s, frame, len);
}

// The client's last id: the Last-Event-ID header, else "since=" in the query;
// null when it gave neither.
const char *stream_since(const char *request, const char *target) {
  for (const char *line = strchr(request, '\n'); line; line = strchr(line, '\n')) {
    line++;
    if (*line == '\r' || *line == '\n') break;  // end of the header
    static const char NAME[] = "Last-Event-ID:";
    if (strncasecmp(line, NAME, sizeof NAME - 1) != 0) continue;
    const char *v = line + sizeof NAME - 1;
    while (*v == ' ' || *v == '\t') v++;
    return *v == '\r' || *v == '\n' ? nullptr : v;
  }
  if (target[7] != '?') return nullptr;
  for (const char *p = target + 8; *p && *p != ' ' && *p != '\r' && *p != '\n'; p++)
    if ((p == target + 8 || p[-1] == '&') && strncmp(p, "since=", 6) == 0) return p + 6;
  return nullptr;
}

}  // namespace

bool stream_open(uint32_t sock, const char *request, const char *target) {
  if (conn_count_role(ROLE_STREAM) >= streams_max) {
    http_respond_text(sock, "503 Service Unavailable", "text/plain", nullptr, "too many event streams\n");
    return false;
  }
  stream_rec *s = nullptr;
  for (auto &e : streams)
    if (!e.sock) {
      s = &e;
      break;
    }
  if (!s) return false;  // cannot happen: one entry per possible connection
  *s = {sock, 0};
  conn_role_set((int)sock, ROLE_STREAM, true);
  // Each event goes out when it happens: without this, an event written
  // while the last one is unacknowledged waits for the peer's delayed ACK.
  int one = 1;
  setsockopt((int)sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // The kernel's share of a stalled client's backlog is bounded too (it would
  // otherwise grow to the system's maximum, megabytes per client).
  int sndbuf = STREAM_SNDBUF;
  setsockopt((int)sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  if (!stream_write(s, HEAD, sizeof HEAD - 1)) return true;
  const char *since = stream_since(request, target);
  if (!since) return true;
  event_resume r = event_ring_resume(since);
  if (r.gap) {
    char gap[96];
    int n = snprintf(gap, sizeof gap, "id: %llu\nevent: gap\ndata: {\"reason\":\"%s\"}\n\n",
                     (unsigned long long)r.gap_id, r.reason);
    if (!stream_write(s, gap, (size_t)n)) return true;
  }
  if (!r.from) return true;
  for (uint64_t id = r.from, last = event_ring_last_id(); id <= last; id++) {
    size_t len;
    const char *frame = event_ring_frame(id, &len);
    if (frame && !stream_write(s, frame, len, false)) break;
  }
  return true;
}

namespace {

void stream_packet(const packet_view &p) { stream_broadcast(EVENT_PACKET, p.event); }

void stream_device(int index) {
  char obj[DEV_OBJ_SIZE];
  device_object(obj, &dev_list[index]);
  stream_broadcast(EVENT_DEVICE, obj);
}

void stream_usb(bool connected) { stream_broadcast(EVENT_USB, connected ? "{\"connected\":true}" : "{\"connected\":false}"); }

void stream_config(config_what what, const char *key) {
  static const char *const WHAT[] = {"devices", "rooms", "schedule", "rules", "value"};
  char json[160] = "{\"what\":\"";
  strcat(json, WHAT[what]);
  if (key && *key) {
    strcat(json, "\",\"key\":\"");
    json_escape_append(json, sizeof json - 3, key);
  }
  strcat(json, "\"}");
  stream_broadcast(EVENT_CONFIG, json);
}

void stream_rule(const char *id, const char *text) {
  char json[EVENT_DATA_MAX] = "{\"id\":\"";
  json_escape_append(json, 96, id);
  strcat(json, "\",\"text\":\"");
  json_escape_append(json, sizeof json - 3, text);
  strcat(json, "\"}");
  stream_broadcast(EVENT_RULE, json);
}

void stream_reach(const char *id, bool reachable) {
  char obj[48];
  snprintf(obj, sizeof obj, "{\"id\":\"@%.6s\",\"available\":%s}", id, reachable ? "true" : "false");
  stream_broadcast(EVENT_AVAILABILITY, obj);
}

void stream_close(uint32_t sock, close_reason) {
  for (auto &s : streams)
    if (s.sock == sock) s = {0, 0};
}

// Keepalives for quiet clients, and the output bound for those that stopped
// reading while nothing was sent to them.
void stream_tick(time_t) {
  long now = (long)clock_mono_s();
  for (auto &s : streams) {
    if (!s.sock || !conn_has_role((int)s.sock, ROLE_STREAM)) continue;
    if (soc_queued(s.sock) > STREAM_QUEUE_MAX)
      conn_close((int)s.sock, CLOSE_STALLED);
    else if (now - s.last_write >= keepalive_s)
      stream_write(&s, KEEPALIVE, sizeof KEEPALIVE - 1);
  }
}

route_verdict stream_route(http_req &req) {
  return stream_open(req.sock, req.text, req.target) ? ROUTE_KEEP : ROUTE_CLOSE;
}

}  // namespace

void events_start() {
  settings_load();
  route_add({"&events", MATCH_NAME, HTTP_GET | HTTP_POST, DOOR_TOKEN, "events", stream_route});
  hook_packet.add(stream_packet);
  hook_device.add(stream_device);
  hook_usb.add(stream_usb);
  hook_config.add(stream_config);
  hook_rule.add(stream_rule);
  hook_reach.add(stream_reach);
  hook_close.add(stream_close);
  hook_tick.add(stream_tick);
}

void stream_reset() {
  memset(streams, 0, sizeof streams);
  keepalive_s = 0;
  event_ring_reset();
}
