// Received radio packets: the length test, the signal each modem hears
// (heard.h), the duplicate filter over every modem's packets, the radio
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
#include "radio/heard.h"
#include "radio/modems.h"

constexpr int64_t DUP_WINDOW_MS = 500;  // a repeat within this time is the same packet
constexpr int DUP_RECENT_MAX = 64;      // packets let through that the window remembers
constexpr int8_t WEAK_RSSI = 79;        // at or below: unlisted devices are dropped

// A packet let through: what makes a repeat the same packet (the counter,
// the command, the id), the modem that brought it, and until when a repeat
// is dropped.
struct dup_rec {
  uint8_t cnt, cmd, id[3];
  int modem;
  int64_t until;
};
static dup_rec recent[DUP_RECENT_MAX];  // a ring: the oldest makes room
static int recent_next = 0;             // the newest is the one before
static bool (*packet_listed)(const char *id) = nullptr;

void packet_set_listed(bool (*listed)(const char *id)) { packet_listed = listed; }

void packet_filter_reset() {
  for (dup_rec &r : recent) r = dup_rec{};
  recent_next = 0;
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

// True when the packet repeats, within its window, the last packet let
// through or one that another modem brought; else it is remembered. A copy
// heard by several modems is thus one packet however their reports
// interleave, and one modem's own reports are filtered as they always were.
static bool packet_is_duplicate(const uint8_t *packet, int modem) {
  if (!gfilter) return false;
  int64_t now = clock_mono_ms();
  dup_rec key = {(uint8_t)(packet[PK_CNT] & 7), packet[PK_CMD], {packet[PK_ID1], packet[PK_ID2], packet[PK_ID3]},
                 modem, now + DUP_WINDOW_MS};
  const dup_rec *newest = &recent[(recent_next + DUP_RECENT_MAX - 1) % DUP_RECENT_MAX];
  for (const dup_rec &r : recent)
    if (now < r.until && r.cnt == key.cnt && r.cmd == key.cmd && memcmp(r.id, key.id, 3) == 0 &&
        (&r == newest || r.modem != modem))
      return true;
  recent[recent_next] = key;
  recent_next = (recent_next + 1) % DUP_RECENT_MAX;
  return false;
}

void rf_got_packet(const uint8_t *packet, int modem) {
  uint8_t len = packet[PK_LEN];
  if (len < PK_LEN_MIN || len > PK_LEN_MAX) return hook_rx_drop.run(RX_DROP_LENGTH);
  heard_note(modem, packet);
  if (packet_is_duplicate(packet, modem)) {
    if (modem >= 0 && modem < MODEM_MAX) modems[modem].duplicates++;
    return hook_rx_drop.run(RX_DROP_DUPLICATE);
  }
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
