// The USB radio modem link (hidapi): arrival, reports as they come, removal.
#pragma once
#include <cstdint>
#include <cstddef>
#include <hidapi.h>

extern hid_device *usb_handle;  // the open modem, or null
extern char usb_version[256];   // product string of the last modem opened

// Registers the radio's own tick: awaited replies time out.
void radio_start();
// Starts the reader thread and puts its descriptor in the loop's poll set:
// from then on the modem is opened when it appears and every report is
// routed as soon as it arrives. False when the thread cannot start.
// With MODEM=tcp://host:port in setup.ini (and MODEMKEY) a network modem link
// (modem_net.h) stands in for the USB modem instead; false when it cannot start.
bool usb_start();
// The transmitter, the packet filter and the awaited replies back to their
// start state (tests and fuzz targets).
void radio_reset();
// Writes one output report to the open modem; -1 when none is open.
int usb_write(const uint8_t *report, size_t len);
// Prints the four channel values of a touch/debug report.
void touch_debug(const uint8_t *report);
// Converts the product string (wide characters) into usb_version with the
// environment's character set: at most 255 bytes, always terminated; an
// unconvertible string leaves the text empty.
void usb_version_set(const wchar_t *product);
// Forgets the open modem ("&usb0"); the reader closes it and opens it again.
void usb_forget();
// The modem link's two events, as the reader's messages deliver them (and
// fuzz targets): a modem opened with its product string, the modem gone.
void usb_opened(hid_device *dev, const wchar_t *product);
void usb_lost();
