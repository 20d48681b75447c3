// Run-time switches changed by client commands and never saved.
#pragma once
#include <cstdint>

extern uint8_t debug_mode;  // console debug output (dbug); off at start
extern uint8_t http_debug;  // print every received message through dbug; off at start
extern uint8_t root;        // root mode: protected registers, unlisted weak packets; off at start
extern uint8_t gfilter;     // radio duplicate filter; on at start

// Puts every switch back to its start value (tests).
void flags_reset();
