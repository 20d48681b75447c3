// The wait table http_con: parked HTTP requests whose body is written later
// by the packet dispatcher (an answer or a long-poll event), or by the tick
// ("NO REPLY" after two ticks, "USB REMOVED" after the modem went away).
// The reply header was sent when the request was parked; the body ends the
// connection.
#include "net/waits.h"

#include <cstdio>
#include <cstring>

#include "core/sinks.h"
#include "core/text.h"
#include "net/socket.h"
#include "radio/packet.h"
#include "radio/transmit.h"

con_rec http_con[HTTP_CON_MAX];
uint8_t usb_removed = 0;

constexpr int WAIT_TICKS = 2;

void http_con_reset() {
  memset(http_con, 0, sizeof http_con);
  usb_removed = 0;
}

bool http_con_has(uint32_t sock) {
  for (int i = 0; i < HTTP_CON_MAX; i++)
    if (http_con[i].sock == sock) return true;
  return false;
}

// First free entry, or null. A connection waits at most once.
static con_rec *http_con_slot(uint32_t sock) {
  if (http_con_has(sock)) return nullptr;
  for (int i = 0; i < HTTP_CON_MAX; i++)
    if (http_con[i].sock == 0) return &http_con[i];
  return nullptr;
}

bool comet_add(uint32_t sock) {
  con_rec *e = http_con_slot(sock);
  if (!e) return false;
  memset(e, 0, sizeof *e);
  e->sock = sock;
  e->comet = 1;
  return true;
}

bool http_con_reg(uint32_t sock) {
  con_rec *e = http_con_slot(sock);
  if (!e) return false;
  e->sock = sock;
  e->id1 = last_tx.id1;
  e->id2 = last_tx.id2;
  e->id3 = last_tx.id3 & 0xF0;
  e->cmd = last_tx.cmd;
  e->ticks_left = WAIT_TICKS;
  e->comet = 0;
  return true;
}

static void http_con_free(con_rec *e) {
  e->sock = 0;
  e->comet = 0;
}

void http_con_close(uint32_t sock) {
  for (int i = 0; i < HTTP_CON_MAX; i++)
    if (http_con[i].sock == sock) http_con_free(&http_con[i]);
}

// Writes the body, closes the connection and frees the entry.
// soc_drop also clears the handle from the listener table, so no table keeps
// a handle that a later connection may reuse.
static void http_con_finish(con_rec *e, const char *body) {
  uint32_t sock = e->sock;
  soc_msg(sock, body);
  soc_drop(sock);
  http_con_free(e);
}

bool jerror(char *dst, size_t cap, const char *msg) {
  snprintf(dst, cap, "{\"id\":\"\",\"cmd\":\"ERROR\",\"data\":\"");
  static const char TAIL[] = "\",\"rssi\":\"\"}";
  json_escape_append(dst, cap - (sizeof TAIL - 1), msg);
  strcat(dst, TAIL);
  return true;
}

void http_con_timer() {
  for (int i = 0; i < HTTP_CON_MAX; i++) {
    con_rec *e = &http_con[i];
    if (!e->sock) continue;
    char body[64];
    if (usb_removed) {
      jerror(body, sizeof body, "USB REMOVED");
      http_con_finish(e, body);
      continue;
    }
    if (e->comet) continue;
    if (e->ticks_left != 0) e->ticks_left--;
    if (e->ticks_left == 0) {
      char id[7];
      dechex(id, e->id1);
      dechex(id + 2, e->id2);
      dechex(id + 4, e->id3);
      id[6] = 0;
      snprintf(body, sizeof body, "{\"id\":\"@%s\",\"cmd\":\"ERROR\",\"data\":\"NO REPLY\",\"rssi\":\"\"}", id);
      http_con_finish(e, body);
      sinks_no_reply(id);
    }
  }
  usb_removed = 0;
}

void http_con_answer(const uint8_t *packet, const char *event) {
  for (int i = 0; i < HTTP_CON_MAX; i++) {
    con_rec *e = &http_con[i];
    if (!e->sock) continue;
    bool match = e->id1 == packet[PK_ID1] && e->id2 == packet[PK_ID2] &&
                 e->id3 == (packet[PK_ID3] & 0xF0) && e->cmd == packet[PK_CMD];
    if (e->comet || match) http_con_finish(e, event);
  }
}
