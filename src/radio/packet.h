// Received radio packets: the duplicate filter and the hand-offs.
#pragma once
#include <cstdint>

extern uint8_t g_rftimer;  // duplicate window in main-loop passes

// Dispatches one kind-1 input report (65 bytes).
void rf_got_packet(const uint8_t *packet);
// Writes the dotted hex text form (at most 130 characters and a NUL).
void pac_to_str(const uint8_t *packet, char *text);
void packet_filter_reset();
