// Received radio packets: the duplicate filter and the hand-offs.
#pragma once
#include <cstdint>

#include "decode/packet_layout.h"

// Dispatches one kind-1 input report (65 bytes) heard by modem `modem`
// (0 = modem 1): the length test, the modem's signal for the device, the
// duplicate filter, the radio event, the awaited replies, the weak-signal
// filter, then hook_packet. The duplicate filter spans every modem: a
// packet that repeats (same counter, command and id) one let through less
// than 500 ms before is dropped when that one came through another modem
// or was the last let through.
void rf_got_packet(const uint8_t *packet, int modem = 0);
// Tells the weak-signal filter which devices are the household's own: a
// packet below 80 % from a device `listed` does not know is dropped unless
// root mode is on. Without it no device counts as listed.
void packet_set_listed(bool (*listed)(const char *id));
// Writes the dotted hex text form (at most 130 characters and a NUL).
void pac_to_str(const uint8_t *packet, char *text);
void packet_filter_reset();
