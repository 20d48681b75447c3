// The house's radio as one modem: the handle and product string clients
// see, the start of every configured modem (modems.cpp), and writes routed
// to the modem that hears a device best (heard.h).
#include "radio/modem.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/hooks.h"
#include "radio/awaits.h"
#include "radio/heard.h"
#include "radio/modems.h"
#include "radio/packet.h"

namespace {

constexpr int TOUCH_CHANNELS = 4;
constexpr int TOUCH_FIRST = 1;

}  // namespace

hid_device *usb_handle = nullptr;
char usb_version[256] = "";

static_assert(sizeof usb_version == MODEM_PRODUCT_MAX, "the house's product string is a modem's");

void usb_opened(hid_device *dev, const wchar_t *product) { modem_up(0, dev, product); }

void usb_lost() { modem_down(0); }

bool usb_start() { return modems_start(); }

int usb_write_for(const uint8_t *id, const uint8_t *report, size_t len) {
  uint32_t up = modems_up();
  // A handle set by hand, without the table (fuzz targets): written directly.
  if (!up) return usb_handle ? hid_write(usb_handle, report, len) : -1;
  int best = id ? heard_best(id, up) : -1;
  if (best >= 0) return modem_write(best, report, len);
  int written = -1;
  for (int n = 0; n < MODEM_MAX; n++)
    if (up >> n & 1) written = std::max(written, modem_write(n, report, len));
  return written;
}

int usb_write(const uint8_t *report, size_t len) { return usb_write_for(nullptr, report, len); }

void touch_debug(const uint8_t *report) {
  fputs("\x1b" "c", stdout);  // clears the console
  for (int ch = 0; ch < TOUCH_CHANNELS; ch++) {
    const uint8_t *value = report + TOUCH_FIRST + 2 * ch;
    printf("CH%d: %d\r\n", ch + 1, value[0] * 256 + value[1]);
  }
}

void usb_forget() {
  usb_handle = nullptr;
  modems_forget();
}
