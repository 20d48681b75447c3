// Each listed device's last known state (val, time, rssi in dev_list), taken
// from received status, level and temperature reports, and the JSON listing
// of the whole table.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/hooks.h"
#include "core/logs.h"
#include "core/text.h"
#include "decode/event.h"
#include "decode/status.h"
#include "devices/device_list.h"
#include "net/http_reply.h"
#include "net/router.h"
#include "net/socket.h"
#include "radio/packet.h"
#include "radio/transmit.h"

// Data bytes of a status or level report read here (packet layout in
// radio/packet.h):
//   d0  the device kind
//   d2  channel 1 level (dimmer) or channel bits (four relays)
//   d3  channel 2 level (two-channel dimmer)

constexpr uint8_t CMD_TEMP = 0x10;
constexpr uint8_t CMD_STATUS_ACK = 0x82;
constexpr uint8_t CMD_LEVEL_ACK = 0x87;

constexpr uint8_t KIND_DIM2 = 0x82;  // two-channel dimmer
constexpr uint8_t KIND_REL4 = 0x94;  // four-channel relay

constexpr int D_KIND = 0;
constexpr int D_CH1 = 2;
constexpr int D_CH2 = 3;

int status_by_chan(char *out, const uint8_t *data, char chan) {
  if (data[D_KIND] == KIND_DIM2) {
    int8_t level = dim_val((int8_t)data[chan == 1 ? D_CH1 : D_CH2]);
    snprintf(out, 8, "%i%%", level);
    return 1;
  }
  if (data[D_KIND] == KIND_REL4) {
    bool on = chan >= 1 && chan <= 4 && (data[D_CH1] & (0x80 >> (chan - 1)));
    strcpy(out, on ? "ON" : "OFF");
    return 1;
  }
  return 0;
}

// Copies `src` up to `stop`, its NUL or `cap - 1` characters, and terminates.
static void field_set(char *dst, size_t cap, const char *src, char stop) {
  size_t n = 0;
  while (n < cap - 1 && src[n] && src[n] != stop) n++;
  memcpy(dst, src, n);
  dst[n] = 0;
}

// A state update of `d` at `now`: its time and signal, the last non-zero
// level its new value tells, and the firmware version a status text
// ("50%,RX1DIM,V12") tells.
static void time_set(dev_rec *d, const char *now, const char *rssi) {
  field_set(d->time, sizeof d->time, now, 0);
  field_set(d->rssi, sizeof d->rssi, rssi, 0);
  int level = atoi(d->val);
  if (d->val[0] >= '0' && d->val[0] <= '9' && strchr(d->val, '%') && level > 0 && level <= 100)
    d->level_on = (uint8_t)level;
  const char *v = strstr(g_data, ",V");
  if (v && strchr(g_data, ',') < v && v[2] >= '0' && v[2] <= '9') field_set(d->version, sizeof d->version, v + 2, 0);
}

// Data bytes a channel's state needs: up to d2, or d3 for dimmer channel 2.
static int chan_need(uint8_t kind, int chan) { return kind == KIND_DIM2 && chan != 1 ? D_CH2 + 1 : D_CH1 + 1; }

int device_list_cache(const uint8_t *packet) {
  if (!dev_list[0].id[0]) return -1;
  int len = packet[PK_LEN];
  if (len < PK_DATA || len > PK_LEN_MAX) return -1;
  uint8_t cmd = packet[PK_CMD];
  if (cmd != CMD_STATUS_ACK && cmd != CMD_LEVEL_ACK && cmd != CMD_TEMP) return -1;
  int data_len = len - PK_DATA;
  const uint8_t *data = packet + PK_DATA;
  char now[16];
  snprintf(now, sizeof now, "%lu", (unsigned long)time(nullptr));

  // One report carries every channel; byte 8 is a kind only when it is data.
  if (cmd != CMD_TEMP && data_len > 0 && (data[D_KIND] == KIND_DIM2 || data[D_KIND] == KIND_REL4)) {
    int channels = data[D_KIND] == KIND_REL4 ? 4 : 2;
    char id[7];
    field_set(id, 6, g_last_id_str, 0);  // the first five characters
    size_t n = strlen(id);
    for (int chan = channels; chan >= 1; chan--) {
      id[n] = (char)('0' + chan);
      id[n + 1] = 0;
      int i = device_list_find(id);
      if (i < 0) continue;
      char state[8];
      if (data_len >= chan_need(data[D_KIND], chan) && status_by_chan(state, data, (char)chan))
        field_set(dev_list[i].val, sizeof dev_list[i].val, state, 0);
      time_set(&dev_list[i], now, g_rssi);
      hook_device.run(i);
    }
    return 0;
  }

  int i = device_list_find(g_last_id_str);
  if (i < 0) return -1;
  char text[64];
  if (cmd == CMD_LEVEL_ACK && data_len == 0) {
    // Only "done": the state is the level of the last level command sent.
    if (g_last_set_level == LEVEL_NONE) return -1;
    if (dev_list[i].type[0] == 'r')
      strcpy(text, g_last_set_level ? "ON," : "OFF,");
    else
      snprintf(text, sizeof text, "%i%%", (int)(int8_t)g_last_set_level);
  } else {
    field_set(text, sizeof text, g_data, 0);
  }
  // The value is the text before its first ',', cut to what val holds.
  field_set(dev_list[i].val, sizeof dev_list[i].val, text, ',');
  time_set(&dev_list[i], now, g_rssi);
  hook_device.run(i);
  return i;
}

static void obj_field(char *obj, const char *key, const char *value) {
  strcat(obj, key);
  json_escape_append(obj, DEV_OBJ_SIZE, value);
}

void device_object(char *obj, const dev_rec *d) {
  strcpy(obj, "{");
  obj_field(obj, "\"id\":\"@", d->id);
  obj_field(obj, "\",\"name\":\"", d->name);
  obj_field(obj, "\",\"type\":\"", d->type);
  obj_field(obj, "\",\"val\":\"", d->val);
  obj_field(obj, "\",\"time\":\"", d->time);
  obj_field(obj, "\",\"rssi\":\"", d->rssi);
  strcat(obj, "\"}");
}

void device_list_get(uint32_t sock) {
  if (!dev_list[0].id[0]) {
    http_reply(sock, 202, "[]");
    return;
  }
  http_reply(sock, 202, "[");
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++) {
    char obj[DEV_OBJ_SIZE];
    device_object(obj, &dev_list[i]);
    bool last = i + 1 >= DEV_MAX || !dev_list[i + 1].id[0];
    strcat(obj, last ? "]" : ",");
    soc_msg(sock, obj);
  }
}

// A packet the cache took is written to the packet log; any packet makes its
// device reachable.
static void device_cache_packet(const packet_view &p) {
  if (device_list_cache(p.bytes) >= 0) packet_log(p.line);
  char id[7];
  sprint_hex(id, p.bytes + PK_ID1, 3);
  device_reach_heard(id);
}

static bool device_listed(const char *id) { return device_list_find_mask(id) != -1; }

// "&devices" lists the table; "&device/..." edits the file, then reloads it.
static route_verdict device_route(http_req &req) {
  if (req.target[7] == '/') {
    if (device_list_http(req.sock, req.target)) hook_config.run(CONFIG_DEVICES, "");
    device_list_load();
  } else {
    device_list_get(req.sock);
  }
  return ROUTE_CLOSE;
}

void devices_start() {
  hook_packet.add(device_cache_packet);
  hook_no_reply.add(device_reach_lost);
  packet_set_listed(device_listed);
  route_add({"&device", MATCH_PREFIX, HTTP_GET | HTTP_POST, DOOR_TOKEN, "devices", device_route});
}
