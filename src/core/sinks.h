// The places a radio event goes after the gateway's own tables have taken it:
// a short list of subsystems called in a fixed order (event stream, MQTT
// bridge, metrics, history). Each subsystem has one function per event kind,
// called only from here, and never reaches back into the caller.
#pragma once
#include <cstdint>

// A received packet that passed the filters; `event` is the JSON object a
// long-poll receives. Called once per packet, after the raw listeners.
void sinks_packet(const uint8_t *packet, const char *event);
// The cached state of listed device `index` (dev_list) was updated.
void sinks_device(int index);
// The device table was reloaded (an edit or a start); `count` devices.
void sinks_devices_loaded(int count);
// The modem came (true) or went (false).
void sinks_usb(bool connected);
// A connection is being closed: every table that holds it lets it go.
void sinks_close(uint32_t sock);
// Where a radio command came from.
enum tx_source : uint8_t { TX_HTTP, TX_RAW, TX_CRON, TX_MQTT, TX_SOURCES };
// A radio command from `source` was written to the modem.
void sinks_tx(tx_source source);
// Device `id` (six hex digits, no '@') did not answer a command in time.
void sinks_no_reply(const char *id);
// Why a packet from the modem was dropped before dispatch.
enum rx_drop : uint8_t { RX_DROP_LENGTH, RX_DROP_DUPLICATE, RX_DROP_WEAK, RX_DROPS };
// A packet from the modem was dropped (every other packet reaches sinks_packet).
void sinks_rx_drop(rx_drop reason);
// The scheduler sent a queued command for the first time (`given_up` false),
// or gave it up after its last try without a reply (true).
void sinks_cron(bool given_up);
// Once a second, from the loop's tick.
void sinks_tick();
