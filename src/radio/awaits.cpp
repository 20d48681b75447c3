// The awaited-reply table (see awaits.h). An entry is freed before its
// callback runs, so a callback may add entries (a retry) or cancel others.
#include "radio/awaits.h"

#include <cstring>

#include "core/text.h"
#include "radio/packet.h"

namespace {

constexpr uint8_t CHANNEL_BITS = 0x0F;

struct await_rec {
  await_done_fn done;  // null = free
  uint32_t owner;
  tx_target target;
  int ticks_left;
};

await_rec awaits[AWAIT_MAX];

void await_finish(await_rec *a, await_end end, const char *event) {
  await_rec was = *a;
  *a = await_rec{};
  was.done(was.owner, end, was.target, event);
}

}  // namespace

bool await_add(await_done_fn done, uint32_t owner, const tx_target &target, int ticks) {
  for (auto &a : awaits) {
    if (a.done) continue;
    a = {done, owner, target, ticks};
    return true;
  }
  return false;
}

bool await_room() {
  for (const auto &a : awaits)
    if (!a.done) return true;
  return false;
}

void await_cancel(await_done_fn done, uint32_t owner) {
  for (auto &a : awaits)
    if (a.done == done && a.owner == owner) a = await_rec{};
}

void await_packet(const uint8_t *packet, const char *event) {
  for (auto &a : awaits) {
    if (!a.done) continue;
    if (a.target.cmd == packet[PK_CMD] && a.target.id[0] == packet[PK_ID1] && a.target.id[1] == packet[PK_ID2] &&
        (a.target.id[2] & ~CHANNEL_BITS) == (packet[PK_ID3] & ~CHANNEL_BITS))
      await_finish(&a, AWAIT_REPLY, event);
  }
}

void await_tick() {
  for (auto &a : awaits) {
    if (!a.done) continue;
    if (a.ticks_left > 0) a.ticks_left--;
    if (a.ticks_left == 0) await_finish(&a, AWAIT_TIMEOUT, nullptr);
  }
}

void await_modem_removed() {
  for (auto &a : awaits)
    if (a.done) await_finish(&a, AWAIT_REMOVED, nullptr);
}

void await_target_id(const tx_target &target, char *out) { sprint_hex(out, target.id, 3); }

void await_reset() {
  for (auto &a : awaits) a = await_rec{};
}
