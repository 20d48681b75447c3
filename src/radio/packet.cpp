// Received radio packets: the length test, the duplicate filter, the radio
// event and the hand-offs: first the awaited replies (a reply to our own
// command is never a neighbour's noise), then the weak-signal filter, then
// every subsystem on hook_packet in the order they were started.
// The packet layout is documented beside its constants in radio/packet.h.
#include "radio/packet.h"

#include <cstring>

#include "core/clock.h"
#include "core/flags.h"
#include "core/hooks.h"
#include "core/text.h"
#include "decode/event.h"
#include "radio/awaits.h"

constexpr int64_t DUP_WINDOW_MS = 500;  // a repeat within this time is the same packet
constexpr int8_t WEAK_RSSI = 79;        // at or below: unlisted devices are dropped

static int64_t window_end = 0;  // the duplicate window is open until then
static uint8_t last_cnt, last_cmd, last_id1, last_id2, last_id3;
static bool (*packet_listed)(const char *id) = nullptr;

void packet_set_listed(bool (*listed)(const char *id)) { packet_listed = listed; }

void packet_filter_reset() {
  window_end = 0;
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
  int64_t now = clock_mono_ms();
  if (now >= window_end) last_cmd = 0;
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
  window_end = now + DUP_WINDOW_MS;
  return false;
}

void rf_got_packet(const uint8_t *packet) {
  uint8_t len = packet[PK_LEN];
  if (len < PK_LEN_MIN || len > PK_LEN_MAX) return hook_rx_drop.run(RX_DROP_LENGTH);
  if (packet_is_duplicate(packet)) return hook_rx_drop.run(RX_DROP_DUPLICATE);
  char event[EVENT_SIZE];
  memset(event, 0, sizeof event);
  pac_json(packet, event);
  await_packet(packet, event);
  if (!root && g_rssi_i <= WEAK_RSSI && !(packet_listed && packet_listed(g_last_id_str)))
    return hook_rx_drop.run(RX_DROP_WEAK);
  dbug(event);
  char line[EVENT_SIZE];
  pac_to_str(packet, line);
  dbug(line);
  hook_packet.run(packet_view{packet, event, line});
}
