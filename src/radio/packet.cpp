// Received radio packets: the length test, the duplicate filter, and the
// hand-offs in their fixed order (scheduler watch, device-list filter,
// waiting HTTP connections, debug output, state cache and packet log, raw
// listeners).
//
// Radio packet (input report of kind 1, 65 bytes; L = byte 1):
//   offset  content
//   0       1: radio packet
//   1       L: offset of the signal byte = 8 + number of data bytes (8..63)
//   2..4    device id bytes 1..3 (low 4 bits of byte 4: channel)
//   5       carried into the text form only
//   6       bits 0-2: packet counter
//   7       command code (a reply carries the sent code | 0x80)
//   8..L-1  data
//   L       received signal strength, signed raw value
#include "radio/packet.h"

#include <cstring>

#include "core/flags.h"
#include "core/logs.h"
#include "core/text.h"
#include "decode/event.h"
#include "devices/device_list.h"
#include "net/listeners.h"
#include "net/waits.h"
#include "sched/cron.h"

constexpr int PK_LEN = 1, PK_ID1 = 2, PK_ID2 = 3, PK_ID3 = 4, PK_B5 = 5, PK_CNT = 6, PK_CMD = 7, PK_DATA = 8;
constexpr int PK_LEN_MIN = 8, PK_LEN_MAX = 63;
constexpr int DUP_WINDOW = 5;       // passes of the main loop
constexpr int8_t WEAK_RSSI = 79;    // at or below: unlisted devices are dropped

uint8_t g_rftimer = 0;
static uint8_t last_cnt, last_cmd, last_id1, last_id2, last_id3;

void packet_filter_reset() {
  g_rftimer = 0;
  last_cnt = last_cmd = last_id1 = last_id2 = last_id3 = 0;
}

void pac_to_str(const uint8_t *packet, char *text) {
  uint8_t len = packet[PK_LEN];
  char *p = text;
  *p++ = '@';
  sprint_hex(p, packet + PK_ID1, 3);
  p += 6;
  *p++ = '.';
  sprint_hex(p, packet + PK_B5, 1);
  p += 2;
  *p++ = '.';
  sprint_hex(p, packet + PK_CNT, 1);
  p += 2;
  *p++ = '.';
  sprint_hex(p, packet + PK_CMD, 1);
  p += 2;
  *p++ = '.';
  int ndata = len > PK_DATA ? len - PK_DATA : 0;
  sprint_hex(p, packet + PK_DATA, ndata);
  p += 2 * ndata;
  *p++ = '.';
  sprint_hex(p, packet + len, 1);
}

// True when the packet repeats the last one let through inside the window.
static bool packet_is_duplicate(const uint8_t *packet) {
  if (g_rftimer == 0) last_cmd = 0;
  if (!gfilter) return false;
  uint8_t cnt = packet[PK_CNT] & 7;
  if (cnt == last_cnt && packet[PK_CMD] == last_cmd && packet[PK_ID3] == last_id3 &&
      packet[PK_ID2] == last_id2 && packet[PK_ID1] == last_id1)
    return true;
  last_cnt = cnt;
  last_cmd = packet[PK_CMD];
  last_id3 = packet[PK_ID3];
  last_id2 = packet[PK_ID2];
  last_id1 = packet[PK_ID1];
  g_rftimer = DUP_WINDOW;
  return false;
}

void rf_got_packet(const uint8_t *packet) {
  uint8_t len = packet[PK_LEN];
  if (len < PK_LEN_MIN || len > PK_LEN_MAX) return;
  if (packet_is_duplicate(packet)) return;
  char event[256];
  memset(event, 0, sizeof event);
  pac_json(packet, event);
  cron_watch(packet);
  if (!root && g_rssi_i <= WEAK_RSSI && device_list_find_mask(g_last_id_str) == -1) return;
  http_con_answer(packet, event);
  dbug(event);
  pac_to_str(packet, event);
  dbug(event);
  if (device_list_cache(packet) >= 0) packet_log(event);
  listen_packet(event);
}
