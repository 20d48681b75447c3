// The house's radio: every configured modem (radio/modems.h) seen by the
// rest of the gateway as one. It is there while at least one modem is open;
// "USB Found" and "USB Removed" (printed, logged, hook_usb) mark the first
// modem up and the last one gone.
#pragma once
#include <cstdint>
#include <cstddef>
#include <hidapi.h>

extern hid_device *usb_handle;  // an open modem's handle, or null when none is open
extern char usb_version[256];   // product string of the lowest-numbered open modem (the last one's when none is)

// Registers the radio's own tick: awaited replies time out.
void radio_start();
// Starts every configured modem (modems.h: MODEM, MODEM2..MODEM4 in
// setup.ini; without them the first USB modem found): a reader thread for a
// USB modem, a network link (modem_net.h) for tcp://host:port, each on a
// descriptor of the loop's poll set. From then on a modem is opened when it
// appears and every report is routed as soon as it arrives. False when one
// of them cannot start.
bool usb_start();
// The transmitter, the packet filter, the awaited replies, the heard table
// and the modem table back to their start state (tests and fuzz targets).
void radio_reset();
// Writes one output report through every open modem; -1 when none took it.
int usb_write(const uint8_t *report, size_t len);
// Writes one output report for the device `id` (three bytes) through the
// open modem that heard it best in the last hour, or through every open
// modem when none heard it; -1 when none took it.
int usb_write_for(const uint8_t *id, const uint8_t *report, size_t len);
// Prints the four channel values of a touch/debug report:
//   offset  content
//   0       2
//   1-2     channel 1, unsigned 16 bits, high byte first
//   3-4     channel 2
//   5-6     channel 3
//   7-8     channel 4
void touch_debug(const uint8_t *report);
// Forgets every open modem ("&usb0"); each is closed and opened again.
void usb_forget();
// Modem 1 opened with its product string / gone (fuzz targets drive the
// radio through these; the modems' own events are in modems.h).
void usb_opened(hid_device *dev, const wchar_t *product);
void usb_lost();
