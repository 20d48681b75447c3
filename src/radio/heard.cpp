// The heard table (see heard.h). A linear table: a packet's device is looked
// up among at most HEARD_MAX entries, a few hundred compares per packet.
#include "radio/heard.h"

#include <cstring>

#include "core/clock.h"
#include "core/text.h"
#include "decode/event.h"
#include "decode/packet_layout.h"

namespace {

constexpr uint8_t CHANNEL_BITS = 0x0F;

struct signal_rec {
  int8_t best, last;
  int64_t best_ms, last_ms;  // monotonic; 0 = never
};

struct heard_rec {
  uint8_t key[3];  // the id with the channel bits cleared; all zero = free
  uint8_t id[3];   // the id as last heard
  int64_t newest_ms;
  signal_rec by_modem[MODEM_MAX];
};

heard_rec table[HEARD_MAX];

bool fresh(int64_t at, int64_t now) { return at > 0 && now - at < HEARD_KEEP_MS; }

// What one modem's record says now: the strongest within the hour, else the latest within it.
int8_t signal_now(const signal_rec &s, int64_t now) {
  if (fresh(s.best_ms, now)) return s.best;
  if (fresh(s.last_ms, now)) return s.last;
  return HEARD_NONE;
}

void key_of(const uint8_t *id, uint8_t *key) {
  key[0] = id[0], key[1] = id[1], key[2] = (uint8_t)(id[2] & ~CHANNEL_BITS);
}

bool is_free(const heard_rec &h) { return h.newest_ms == 0; }

heard_rec *find(const uint8_t *id) {
  uint8_t key[3];
  key_of(id, key);
  for (heard_rec &h : table)
    if (!is_free(h) && memcmp(h.key, key, 3) == 0) return &h;
  return nullptr;
}

// A free entry, else the one heard longest ago.
heard_rec *room() {
  heard_rec *oldest = &table[0];
  for (heard_rec &h : table) {
    if (is_free(h)) return &h;
    if (h.newest_ms < oldest->newest_ms) oldest = &h;
  }
  return oldest;
}

}  // namespace

void heard_note(int modem, const uint8_t *packet) {
  if (modem < 0 || modem >= MODEM_MAX) return;
  int64_t now = clock_mono_ms();
  if (now <= 0) now = 1;  // 0 marks a free entry
  const uint8_t *id = packet + PK_ID1;
  heard_rec *h = find(id);
  if (!h) {
    h = room();
    *h = heard_rec{};
    key_of(id, h->key);
  }
  memcpy(h->id, id, 3);
  h->newest_ms = now;
  int len = packet[PK_LEN] < PACKET_SIZE ? packet[PK_LEN] : PACKET_SIZE - 1;
  int8_t signal = rssi((int8_t)packet[len]);
  signal_rec &s = h->by_modem[modem];
  s.last = signal, s.last_ms = now;
  if (!fresh(s.best_ms, now) || signal >= s.best) s.best = signal, s.best_ms = now;
}

int heard_best(const uint8_t *id, uint32_t up) {
  const heard_rec *h = find(id);
  if (!h) return -1;
  int64_t now = clock_mono_ms();
  int best = -1;
  int8_t best_signal = HEARD_NONE;
  for (int m = 0; m < MODEM_MAX; m++) {
    int8_t s = signal_now(h->by_modem[m], now);
    if ((up >> m & 1) && s != HEARD_NONE && (best < 0 || s > best_signal)) best = m, best_signal = s;
  }
  return best;
}

bool heard_at(int i, heard_device *out) {
  if (i < 0 || i >= HEARD_MAX || is_free(table[i])) return false;
  int64_t now = clock_mono_ms();
  bool any = false;
  for (int m = 0; m < MODEM_MAX; m++) {
    out->signal[m] = signal_now(table[i].by_modem[m], now);
    any = any || out->signal[m] != HEARD_NONE;
  }
  sprint_hex(out->id, table[i].id, 3);
  return any;
}

void heard_reset() {
  for (heard_rec &h : table) h = heard_rec{};
}
