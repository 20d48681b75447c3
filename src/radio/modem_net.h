// Network modem links: a radio modem served by orvel-modemd on another
// machine, reached over TCP (frames and proofs in modemlink/). A leaf of the
// radio layer: the layer starts a link in a slot of its own choosing and is
// told, through the events it gives, when the modem behind the link opens,
// when it is lost and every report it sends. Links live in a small table, so
// several can run at once, each on its own descriptor in the loop's poll set
// and one shared timer; nothing here ever blocks the loop.
//
// A link reconnects for ever, waiting 1 s after a failure and twice as long
// after each further one, up to 30 s. It prints and logs "<label> down:
// <reason>" once per outage and "<label> up: <address>" when it is back.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int MODEM_NET_MAX = 4;          // links at once
constexpr int MODEM_NET_TEXT_MAX = 64;    // "tcp://host:port" and the key, terminated
constexpr int MODEM_NET_LABEL_MAX = 16;   // the link's name in the log, terminated

struct modem_net_events {
  // The link is up and the modem behind it is open; `product` as hidapi gave it.
  void (*opened)(int slot, const wchar_t *product);
  // The modem behind the link went away, or the link did (only after opened).
  void (*lost)(int slot);
  // One input report from the open modem, as it arrived.
  void (*report)(int slot, const uint8_t *report, int len);
};

// True when `setting` names a network modem ("tcp://...").
bool modem_net_url(const char *setting);
// Starts link `slot` (0..MODEM_NET_MAX-1) to "tcp://host:port" ("[v6]:port"
// for an IPv6 address) proving `key`; the first attempt is made at once.
// `label` names the link in the log ("modem link", "modem 2 link").
// False, with the reason printed, for a bad address, an empty key, a slot
// out of range or taken, or no timer.
bool modem_net_start(int slot, const char *url, const char *key, const modem_net_events *events,
                     const char *label = "modem link");
// Sends one output report to the modem behind link `slot`; `len` on success,
// -1 when the link is down or its modem closed (a failed send shows as the
// link going down on the next pass).
int modem_net_write(int slot, const uint8_t *report, size_t len);
// Drops the link without reporting the modem lost and connects again at once
// (the caller has already forgotten the modem).
void modem_net_forget(int slot);
// Stops every link and the timer (tests).
void modem_net_reset();
