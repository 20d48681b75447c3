// The modem stand-in of the fuzz targets that reach the radio: hidapi's
// calls answered in memory, the modem present or not as modem_plug says.
#include <hidapi.h>

#include <cstring>

#include "fuzz_support.h"
#include "radio/modem.h"

namespace fuzz {

uint8_t modem_last_write[65];
int modem_writes = 0;
static int g_fake_device;

void modem_plug() { usb_handle = reinterpret_cast<hid_device *>(&g_fake_device); }
void modem_unplug() { usb_handle = nullptr; }

}  // namespace fuzz

// hidapi stand-in: the modem is whatever modem_plug says; nothing is read.
extern "C" {
hid_device *hid_open(unsigned short, unsigned short, const wchar_t *) { return nullptr; }
hid_device *hid_open_path(const char *) { return nullptr; }
hid_device_info *hid_enumerate(unsigned short, unsigned short) { return nullptr; }
void hid_free_enumeration(hid_device_info *) {}
int hid_init() { return 0; }
int hid_read(hid_device *, unsigned char *, size_t) { return 0; }
int hid_read_timeout(hid_device *, unsigned char *, size_t, int) { return 0; }
int hid_write(hid_device *, const unsigned char *data, size_t length) {
  size_t n = length < sizeof fuzz::modem_last_write ? length : sizeof fuzz::modem_last_write;
  memcpy(fuzz::modem_last_write, data, n);
  fuzz::modem_writes++;
  return (int)length;
}
void hid_close(hid_device *) {}
int hid_get_product_string(hid_device *, wchar_t *s, size_t n) {
  if (n) s[0] = 0;
  return 0;
}
int hid_set_nonblocking(hid_device *, int) { return 0; }
}
