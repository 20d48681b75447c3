// The radio layer's start and reset.
#include "core/hooks.h"
#include "radio/awaits.h"
#include "radio/heard.h"
#include "radio/modem.h"
#include "radio/modems.h"
#include "radio/packet.h"
#include "radio/transmit.h"

void radio_start() {
  hook_tick.add([](time_t) { await_tick(); });
}

void radio_reset() {
  transmit_reset();
  packet_filter_reset();
  await_reset();
  heard_reset();
  modems_reset();
}
