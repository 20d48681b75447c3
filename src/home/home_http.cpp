// The household subsystem's doors: the sink calls that feed it radio events,
// and its three HTTP routes.
//   GET /&home                      {"rooms":..,"presses":..,"unreachable":..,"sensors":..}
//   GET /&history/<id>              [[unix_seconds,degrees],...] oldest first ("[]" when none)
//   GET /&room/<id>/<url-encoded>   sets the device's room (empty name: none);
//                                   "ROOM SAVED" or "ERROR"
// <id> is six hex digits with or without '@'.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/hooks.h"
#include "core/text.h"
#include "decode/status.h"
#include "devices/device_list.h"
#include "home/home.h"
#include "net/http_reply.h"
#include "net/router.h"
#include "net/socket.h"
#include "radio/packet.h"

constexpr uint8_t CMD_PRESS = 0x0F;  // d0: the button number
constexpr uint8_t CMD_TEMP = 0x10;   // d0 d1: the reading (decode/status.h temp_conv)

static void home_load(time_t now) {
  history_load(now);
  state_load();
}

static void home_packet(const packet_view &p) {
  const uint8_t *packet = p.bytes;
  time_t now = time(nullptr);
  home_load(now);
  char id[7];
  sprint_hex(id, packet + PK_ID1, 3);
  int data_len = packet[PK_LEN] - PK_DATA;
  if (device_list_find(id) < 0) return;  // a neighbour's device is not ours to remember
  if (packet[PK_CMD] == CMD_PRESS && data_len >= 1) press_add(id, packet[PK_DATA], now);
  if (packet[PK_CMD] == CMD_TEMP && data_len >= 2) {
    char text[TEMP_TEXT_SIZE];
    temp_conv(text, packet + PK_DATA);
    char *end;
    double degrees = strtod(text, &end);
    if (end != text && *end == 'C') history_add(id, now, degrees);
  }
}

static void home_tick(time_t) {
  time_t now = time(nullptr);
  home_load(now);
  state_save();
  history_save(now);
}

// Reads "<id>" (an optional '@' and six hex digits) into `id`; returns the
// character after it, or nullptr.
static const char *id_parse(const char *text, char *id) {
  if (!isID(text)) return nullptr;
  if (text[0] == '@') text++;
  memcpy(id, text, 6);
  id[6] = 0;
  return text + 6;
}

struct reply_buf {
  uint32_t sock;
  size_t n;
  char text[2048];
};

static void reply_put(void *ctx, const char *piece) {
  reply_buf *b = (reply_buf *)ctx;
  size_t len = strlen(piece);
  if (b->n + len >= sizeof b->text) {
    b->text[b->n] = 0;
    soc_msg(b->sock, b->text);
    b->n = 0;
  }
  if (len >= sizeof b->text) {
    soc_msg(b->sock, piece);
    return;
  }
  memcpy(b->text + b->n, piece, len);
  b->n += len;
}

static void route_home(uint32_t sock) {
  http_reply(sock, 202, nullptr);
  reply_buf b;
  b.sock = sock;
  b.n = 0;
  state_json(reply_put, &b);
  b.text[b.n] = 0;
  soc_msg(sock, b.text);
}

static void route_history(uint32_t sock, const char *text) {
  char id[7];
  const char *end = id_parse(text, id);
  if (!end || (*end != ' ' && *end != 0)) {
    http_reply(sock, 404, "");
    return;
  }
  static char json[HOME_SLOTS * 24 + 4];
  history_json(id, json, sizeof json);
  http_reply(sock, 202, json);
}

static void route_room(uint32_t sock, const char *text) {
  char id[7];
  const char *end = id_parse(text, id);
  if (!end || *end != '/') {
    http_reply(sock, 200, "ERROR");
    return;
  }
  char name[129];
  str_copy_till(name, end + 1, ' ');
  name[strcspn(name, "\r\n")] = 0;
  url_decode(name);
  bool saved = room_set(id, name);
  http_reply(sock, 200, saved ? "ROOM SAVED" : "ERROR");
  if (saved) hook_config.run(CONFIG_ROOMS, "");
}

static route_verdict home_route(http_req &req) {
  home_load(time(nullptr));
  char *t = req.target;
  if (t[1] == 'h' && t[2] == 'o')
    route_home(req.sock);
  else if (t[1] == 'h')
    route_history(req.sock, t + 9);
  else
    route_room(req.sock, t + 6);
  return ROUTE_CLOSE;
}

void home_reset() {
  state_reset();
  history_reset();
}

void home_start() {
  constexpr uint8_t ANY = HTTP_GET | HTTP_POST;
  route_add({"&home", MATCH_WORD, ANY, DOOR_TOKEN, "home", home_route});
  route_add({"&home?", MATCH_WORD, ANY, DOOR_TOKEN, "home", home_route});
  route_add({"&history/", MATCH_PREFIX, ANY, DOOR_TOKEN, "home", home_route});
  route_add({"&room/", MATCH_PREFIX, ANY, DOOR_TOKEN, "home", home_route});
  hook_packet.add(home_packet);
  hook_tick.add(home_tick);
}
