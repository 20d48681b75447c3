// The USB radio modem link (hidapi): open, read one report per pass, removal.
#pragma once
#include <cstdint>
#include <hidapi.h>

extern hid_device *usb_handle;  // the open modem, or null
extern char usb_version[256];   // product string of the last modem opened

// Opens the modem when none is open, else reads and routes at most one report.
bool usb_rx();
// Prints the four channel values of a touch/debug report.
void touch_debug(const uint8_t *report);
// Converts the product string (wide characters) into usb_version with the
// environment's character set: at most 255 bytes, always terminated; an
// unconvertible string leaves the text empty.
void usb_version_set(const wchar_t *product);
// Forgets the open modem ("&usb0"); the next pass opens it again.
void usb_forget();
