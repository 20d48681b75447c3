// The USB radio modem link, main-thread side. Owns usb_handle and
// usb_version: takes the reader thread's events from the loop's poll set
// (modem_reader.cpp), routes each input report by kind as soon as it
// arrives, and reports the modem's arrival and removal.
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
#include <algorithm>
#include <cstring>
#include <poll.h>

#include "core/hooks.h"
#include "core/logs.h"
#include "core/settings.h"
#include "core/watch.h"
#include "radio/awaits.h"
#include "radio/modem_net.h"
#include "radio/modem_reader.h"
#include "radio/packet.h"

namespace {

constexpr int REPORT_LEN = MODEM_REPORT_LEN;
constexpr size_t VERSION_BYTES = sizeof(usb_version) - 1;  // 255 and a NUL

constexpr uint8_t KIND_PACKET = 1;
constexpr uint8_t KIND_TOUCH = 2;
constexpr int TOUCH_CHANNELS = 4;
constexpr int TOUCH_FIRST = 1;

void usb_report(const uint8_t *report, int len) {
  uint8_t full[REPORT_LEN] = {};
  memcpy(full, report, len < REPORT_LEN ? len : REPORT_LEN);
  if (full[0] == KIND_PACKET) rf_got_packet(full);
  else if (full[0] == KIND_TOUCH) touch_debug(full);
}

// Every message waiting from the reader, in order.
void usb_ready(int, short) {
  uint8_t msg[MODEM_MSG_MAX];
  int n;
  while ((n = modem_reader_take(msg, sizeof msg)) > 0) {
    if (msg[0] == 'O' && n >= (int)(1 + sizeof(void *))) {
      hid_device *dev;
      memcpy(&dev, msg + 1, sizeof dev);
      wchar_t product[MODEM_PRODUCT_WCHARS] = {};
      memcpy(product, msg + 1 + sizeof dev, std::min(sizeof product, (size_t)n - 1 - sizeof dev));
      product[MODEM_PRODUCT_WCHARS - 1] = L'\0';
      usb_opened(dev, product);
    } else if (msg[0] == 'L') {
      if (usb_handle) usb_lost();  // a forgotten modem is not reported gone
    } else if (msg[0] == 'R' && usb_handle) {
      usb_report(msg + 1, n - 1);
    }
  }
}

// MODEM=tcp://host:port: a network modem link stands in for the USB modem,
// and its arrival and removal are the modem's plugging and unplugging.
int net_slot = -1;
char net_mark;  // usb_handle while the network modem is open; never dereferenced

void net_opened(int, const wchar_t *product) { usb_opened(reinterpret_cast<hid_device *>(&net_mark), product); }
void net_lost(int) {
  if (usb_handle) usb_lost();
}
void net_report(int, const uint8_t *report, int len) {
  if (usb_handle) usb_report(report, len);
}
const modem_net_events NET_EVENTS = {net_opened, net_lost, net_report};

bool net_start() {
  char url[SETTING_VALUE], key[SETTING_VALUE] = "";
  if (setting_get("MODEM", url) != 1 || !modem_net_url(url)) return false;
  setting_get("MODEMKEY", key);
  net_slot = modem_net_start(0, url, key, &NET_EVENTS) ? 0 : -1;
  return true;
}

}  // namespace

hid_device *usb_handle = nullptr;
char usb_version[256] = "";

// Opened modem: product string, then everyone on hook_usb.
void usb_opened(hid_device *dev, const wchar_t *product) {
  usb_handle = dev;
  puts("USB Found");
  sys_log("USB Found");
  usb_version_set(product);
  hook_usb.run(true);
}

// The modem went away: every awaited reply ends, then hook_usb.
void usb_lost() {
  puts("USB Removed");
  sys_log("USB Removed");
  usb_handle = nullptr;
  await_modem_removed();
  hook_usb.run(false);
}

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

bool usb_start() {
  if (net_start()) return net_slot >= 0;
  int fd = modem_reader_start();
  return fd >= 0 && watch_set(fd, POLLIN, usb_ready);
}

int usb_write(const uint8_t *report, size_t len) {
  if (net_slot >= 0) return modem_net_write(net_slot, report, len);
  // Without the reader (fuzz targets and unit tests) the handle is written directly.
  if (!modem_reader_running()) return usb_handle ? hid_write(usb_handle, report, len) : -1;
  return modem_reader_write(report, len);
}

void touch_debug(const uint8_t *report) {
  fputs("\x1b" "c", stdout);  // clears the console
  for (int ch = 0; ch < TOUCH_CHANNELS; ch++) {
    const uint8_t *value = report + TOUCH_FIRST + 2 * ch;
    printf("CH%d: %d\r\n", ch + 1, value[0] * 256 + value[1]);
  }
}

void usb_forget() {
  usb_handle = nullptr;
  if (net_slot >= 0) modem_net_forget(net_slot);
  if (modem_reader_running()) modem_reader_forget();
}
