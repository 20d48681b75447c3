// Parked HTTP requests (see waits.h).
#include "proto/waits.h"

#include <cstdio>
#include <cstring>

#include "core/hooks.h"
#include "core/text.h"
#include "decode/event.h"
#include "net/conn.h"
#include "net/http_reply.h"
#include "net/router.h"
#include "net/socket.h"
#include "radio/awaits.h"
#include "radio/transmit.h"

namespace {

constexpr uint16_t PARKED = ROLE_WAIT | ROLE_LONGPOLL;
const char OK_OBJECT[] = "{\"id\":\"\",\"cmd\":\"OK\",\"data\":\"\",\"rssi\":\"\"}";

// Room to park `sock` as `role`.
bool park_room(uint32_t sock, uint16_t role) {
  return !conn_has_role((int)sock, PARKED) && conn_count_role(role) < HTTP_CON_MAX &&
         (role != ROLE_WAIT || await_room());
}

// Writes the body and ends the connection.
void wait_finish(uint32_t sock, const char *body) {
  soc_msg(sock, body);
  conn_close((int)sock, CLOSE_DONE);
}

void wait_done(uint32_t sock, await_end end, const tx_target &target, const char *event) {
  char body[96];
  if (end == AWAIT_REPLY) return wait_finish(sock, event);
  if (end == AWAIT_REMOVED) {
    jerror(body, sizeof body, "USB REMOVED");
    return wait_finish(sock, body);
  }
  // The id as commanded: the channel that did not answer.
  char id[7];
  await_target_id(target, id);
  snprintf(body, sizeof body, "{\"id\":\"@%s\",\"cmd\":\"ERROR\",\"data\":\"NO REPLY\",\"rssi\":\"\"}", id);
  wait_finish(sock, body);
  hook_no_reply.run(id);
}

route_verdict reply_error(uint32_t sock, const char *msg) {
  char body[128];
  jerror(body, sizeof body, msg);
  http_reply(sock, 202, body);
  return ROUTE_CLOSE;
}

// "@...": a radio command, answered by its result code or parked. Without a
// place to wait for its reply nothing is sent: the refusal means that
// nothing happened.
route_verdict route_radio(http_req &req) {
  if (!park_room(req.sock, ROLE_WAIT)) return reply_error(req.sock, "TOO MANY CONNECTIONS");
  uint8_t result = usb_rf_tx(req.target, TX_HTTP);
  if (result == RF_TX_NO_REPLY) {
    http_reply(req.sock, 202, OK_OBJECT);
    return ROUTE_CLOSE;
  }
  if (result == RF_TX_BAD) return reply_error(req.sock, "BAD DATA");
  if (result == RF_TX_NO_MODEM) return reply_error(req.sock, "USB MODEM NOT CONNECTED");
  if (!http_con_reg(req.sock)) return reply_error(req.sock, "TOO MANY CONNECTIONS");
  http_reply(req.sock, 202, "");
  return ROUTE_KEEP;
}

route_verdict route_longpoll(http_req &req) {
  if (!comet_add(req.sock)) return reply_error(req.sock, "ERROR: Sockets Full\n");
  http_reply(req.sock, 202, "");
  return ROUTE_KEEP;
}

// Every long-poll takes the next event.
void longpoll_packet(const packet_view &p) {
  for (int i = 0; i < CONN_MAX; i++)
    if (const conn_rec *c = conn_at(i); c && (c->roles & ROLE_LONGPOLL)) wait_finish((uint32_t)c->fd, p.event);
}

void longpoll_usb(bool connected) {
  if (connected) return;
  char body[64];
  jerror(body, sizeof body, "USB REMOVED");
  for (int i = 0; i < CONN_MAX; i++)
    if (const conn_rec *c = conn_at(i); c && (c->roles & ROLE_LONGPOLL)) wait_finish((uint32_t)c->fd, body);
}

void waits_close(uint32_t sock, close_reason) { await_cancel(wait_done, sock); }

}  // namespace

bool comet_add(uint32_t sock) {
  if (!park_room(sock, ROLE_LONGPOLL)) return false;
  conn_role_set((int)sock, ROLE_LONGPOLL, true);
  return true;
}

bool http_con_reg(uint32_t sock) {
  if (!park_room(sock, ROLE_WAIT) || !await_add(wait_done, sock, last_tx, WAIT_TICKS)) return false;
  conn_role_set((int)sock, ROLE_WAIT, true);
  return true;
}

void waits_start() {
  route_add({"@", MATCH_PREFIX, HTTP_GET | HTTP_POST, DOOR_TOKEN, "radio", route_radio});
  route_add({"&listen", MATCH_PREFIX, HTTP_GET | HTTP_POST, DOOR_TOKEN, "longpoll", route_longpoll});
  hook_packet.add(longpoll_packet);
  hook_usb.add(longpoll_usb);
  hook_close.add(waits_close);
}
