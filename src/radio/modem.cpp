// The USB radio modem link. Owns usb_handle and usb_version: opens the modem
// whenever none is open, reads at most one input report per call without
// blocking, routes it by kind, and reports the modem's arrival and removal.
//
// Input report (65 bytes, byte 0 is the kind):
//   kind 1  radio packet, handed to rf_got_packet
//   kind 2  touch/debug report:
//             offset  content
//             0       2
//             1-2     channel 1, unsigned 16 bits, high byte first
//             3-4     channel 2
//             5-6     channel 3
//             7-8     channel 4
//   other   dropped
#include "radio/modem.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "core/logs.h"
#include "core/sinks.h"
#include "net/listeners.h"
#include "net/waits.h"
#include "radio/packet.h"

namespace {

constexpr unsigned short MODEM_VENDOR = 0x04D8;
constexpr unsigned short MODEM_PRODUCT = 0x2005;
constexpr int REPORT_LEN = 65;
// One wide character more than usb_version holds bytes: hidapi keeps the
// last place for the terminator, and a 255-character name must still fill
// all 255 bytes.
constexpr int PRODUCT_WCHARS = 256;
constexpr size_t VERSION_BYTES = sizeof(usb_version) - 1;  // 255 and a NUL

constexpr uint8_t KIND_PACKET = 1;
constexpr uint8_t KIND_TOUCH = 2;
constexpr int TOUCH_CHANNELS = 4;
constexpr int TOUCH_FIRST = 1;

// Opened modem: product string, non-blocking mode, listeners told.
void usb_opened() {
  puts("USB Found");
  sys_log("USB Found");
  wchar_t product[PRODUCT_WCHARS] = {};
  int got = hid_get_product_string(usb_handle, product, PRODUCT_WCHARS);
  product[PRODUCT_WCHARS - 1] = L'\0';
  if (got < 0) product[0] = L'\0';  // unreadable: empty text
  usb_version_set(product);
  hid_set_nonblocking(usb_handle, 1);
  listen_usb(true);
  sinks_usb(true);
}

// The modem went away: close it and tell the waits and the listeners.
void usb_lost() {
  puts("USB Removed");
  sys_log("USB Removed");
  hid_close(usb_handle);
  usb_handle = nullptr;
  usb_removed = 1;
  listen_usb(false);
  sinks_usb(false);
}

}  // namespace

hid_device *usb_handle = nullptr;
char usb_version[256] = "";

void usb_version_set(const wchar_t *product) {
  // The environment's character set, so that a UTF-8 system converts
  // non-ASCII names; chosen once, the first time a modem is opened.
  static bool locale_chosen = false;
  if (!locale_chosen) {
    setlocale(LC_CTYPE, "");
    locale_chosen = true;
  }
  // Never writes a partial character; stops before one that does not fit.
  size_t n = wcstombs(usb_version, product, VERSION_BYTES);
  if (n == (size_t)-1) n = 0;  // unconvertible: empty text
  usb_version[n] = '\0';
}

bool usb_rx() {
  if (usb_handle == nullptr) {
    usb_handle = hid_open(MODEM_VENDOR, MODEM_PRODUCT, nullptr);
    if (usb_handle == nullptr) return false;
    usb_opened();
  }
  uint8_t report[REPORT_LEN] = {};
  int got = hid_read(usb_handle, report, REPORT_LEN);
  if (got < 0) {
    usb_lost();
    return false;
  }
  if (got == 0) return false;
  if (report[0] == KIND_PACKET) {
    rf_got_packet(report);
    return true;
  }
  if (report[0] == KIND_TOUCH) {
    touch_debug(report);
    return true;
  }
  return false;
}

void touch_debug(const uint8_t *report) {
  fputs("\x1b" "c", stdout);  // clears the console
  for (int ch = 0; ch < TOUCH_CHANNELS; ch++) {
    const uint8_t *value = report + TOUCH_FIRST + 2 * ch;
    printf("CH%d: %d\r\n", ch + 1, value[0] * 256 + value[1]);
  }
}

void usb_forget() {
  if (usb_handle != nullptr) hid_close(usb_handle);
  usb_handle = nullptr;
}
