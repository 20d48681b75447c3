// The awaited-reply table: every radio command whose answer somebody waits
// for (a parked HTTP request, an MQTT request, the scheduler's command in
// progress) has one entry here, matched by one rule and timed out by one
// rule. A device answers with the command code | 0x80 from its own id; a
// multi-channel device answers for all its channels from the channel-0 id,
// so the channel bits (the low four of the third id byte) are not compared.
#pragma once
#include <cstdint>

constexpr int AWAIT_MAX = 32;  // 10 HTTP waits, 10 MQTT requests, the scheduler, room to spare

// How an awaited reply ended.
enum await_end : uint8_t {
  AWAIT_REPLY,    // the device answered: `event` is its radio event
  AWAIT_TIMEOUT,  // no answer within the entry's ticks
  AWAIT_REMOVED,  // the modem went away
};

// What a command awaits, as the transmitter records it after a send.
struct tx_target {
  uint8_t id[3];  // the device id as addressed (channel bits included)
  uint8_t cmd;    // the awaited reply: the sent code | 0x80
};

// Called once when the entry ends. `owner` is the value given to await_add;
// `target` the entry's target; `event` the radio event for AWAIT_REPLY, else null.
using await_done_fn = void (*)(uint32_t owner, await_end end, const tx_target &target, const char *event);

// Adds an entry that ends at the first matching packet, or after `ticks`
// ticks (the tick it is added in not counted). False when the table is full.
bool await_add(await_done_fn done, uint32_t owner, const tx_target &target, int ticks);
// True when the table has room for one more entry.
bool await_room();
// Forgets the entries of (done, owner) without calling them.
void await_cancel(await_done_fn done, uint32_t owner);
// Ends every entry the packet answers (before the packet's other hand-offs).
void await_packet(const uint8_t *packet, const char *event);
// Once a second: ends entries whose ticks ran out.
void await_tick();
// The modem went away: ends every entry with AWAIT_REMOVED.
void await_modem_removed();
// The six hex digits of a target's id as addressed, into `out` (7 bytes).
void await_target_id(const tx_target &target, char *out);
void await_reset();
