// The modem table (see modems.h): the settings, each modem's reader or
// link, its arrival and removal, its reports and its writes. The house's
// radio (usb_handle and the hooks) follows the table: up with the first
// modem up, down with the last one gone.
//
// Input report (65 bytes, byte 0 is the kind):
//   kind 1  radio packet, handed to rf_got_packet with the modem's number
//   kind 2  touch/debug report, printed by touch_debug
//   other   dropped
#include "radio/modems.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <poll.h>

#include "core/clock.h"
#include "core/hooks.h"
#include "core/logs.h"
#include "core/settings.h"
#include "core/watch.h"
#include "radio/awaits.h"
#include "radio/modem.h"
#include "radio/modem_net.h"
#include "radio/modem_reader.h"
#include "radio/packet.h"

static_assert(MODEM_MAX <= MODEM_NET_MAX && MODEM_MAX <= MODEM_READER_MAX, "a link and a reader per modem");

modem_rec modems[MODEM_MAX];

namespace {

constexpr uint8_t KIND_PACKET = 1;
constexpr uint8_t KIND_TOUCH = 2;

char net_mark[MODEM_MAX];  // a network modem's handle while it is up; never dereferenced

bool several() { return modems_count() > 1; }

// The house's product string: the lowest-numbered open modem's.
void version_follow() {
  for (const modem_rec &m : modems)
    if (m.up) {
      memcpy(usb_version, m.product, sizeof usb_version);
      return;
    }
}

// Every message waiting from a USB modem's reader, in order.
void usb_ready(int fd, short) {
  int n = modem_reader_slot(fd);
  if (n < 0) return;
  uint8_t msg[MODEM_MSG_MAX];
  int len;
  while ((len = modem_reader_take(n, msg, sizeof msg)) > 0) {
    if (msg[0] == 'O' && len >= (int)(1 + sizeof(void *))) {
      hid_device *dev;
      memcpy(&dev, msg + 1, sizeof dev);
      wchar_t product[MODEM_PRODUCT_WCHARS] = {};
      memcpy(product, msg + 1 + sizeof dev, std::min(sizeof product, (size_t)len - 1 - sizeof dev));
      product[MODEM_PRODUCT_WCHARS - 1] = L'\0';
      modem_up(n, dev, product);
    } else if (msg[0] == 'L') {
      modem_down(n);  // a forgotten modem is not reported gone
    } else if (msg[0] == 'R') {
      modem_report(n, msg + 1, len - 1);
    }
  }
}

void net_opened(int n, const wchar_t *product) { modem_up(n, reinterpret_cast<hid_device *>(&net_mark[n]), product); }
void net_lost(int n) { modem_down(n); }
const modem_net_events NET_EVENTS = {net_opened, net_lost, modem_report};

// A modem setting: the settings reader reads MODEM, MODEM2, MODEMKEY, ...
// each from its own line only. A value too long for the table is said and
// taken as empty: cut, a key would only be refused as wrong by the daemon.
bool setting_exact(const char *key, char *value) {
  char v[SETTING_VALUE];
  if (setting_get(key, v) != 1) return false;
  if (strlen(v) >= (size_t)MODEM_TEXT_MAX) {
    printf("%s is longer than %d characters, not used\n", key, MODEM_TEXT_MAX - 1);
    v[0] = '\0';
  }
  snprintf(value, MODEM_TEXT_MAX, "%s", v);
  return true;
}

// "MODEM" for modem 1, "MODEM2".. for the others; with `suffix` ("KEY") appended.
void setting_name(int n, const char *suffix, char *out, size_t cap) {
  if (n == 0) snprintf(out, cap, "MODEM%s", suffix);
  else snprintf(out, cap, "MODEM%d%s", n + 1, suffix);
}

// Modem n's setting into the table; modem 1 is a USB modem without one.
void configure(int n) {
  modem_rec &m = modems[n];
  char name[16], value[MODEM_TEXT_MAX] = "";
  setting_name(n, "", name, sizeof name);
  bool set = setting_exact(name, value) && value[0];
  if (!set && n > 0) return;
  snprintf(m.where, sizeof m.where, "%s", set ? value : "");
  m.kind = modem_net_url(m.where) ? MODEM_NET : MODEM_USB;
}

bool start_net(int n) {
  char name[16], key[MODEM_TEXT_MAX] = "", label[MODEM_NET_LABEL_MAX] = "modem link";
  setting_name(n, "KEY", name, sizeof name);
  if (!setting_exact(name, key) || !key[0]) setting_exact("MODEMKEY", key);
  if (several()) snprintf(label, sizeof label, "modem %c link", (char)('1' + n));  // n < MODEM_MAX
  return modem_net_start(n, modems[n].where, key, &NET_EVENTS, label);
}

// A USB modem's reader; the one without a name skips the modems others name.
bool start_usb(int n) {
  const char *skip[MODEM_MAX];
  int nskip = 0;
  for (int i = 0; i < MODEM_MAX && !modems[n].where[0]; i++)
    if (i != n && modems[i].kind == MODEM_USB && modems[i].where[0]) skip[nskip++] = modems[i].where;
  int fd = modem_reader_start(n, modems[n].where, skip, nskip);
  return fd >= 0 && watch_set(fd, POLLIN, usb_ready);
}

}  // namespace

bool modems_start() {
  for (int n = 0; n < MODEM_MAX; n++) configure(n);
  bool ok = true;
  for (int n = 0; n < MODEM_MAX; n++) {
    modems[n].changed_ms = clock_mono_ms();
    if (modems[n].kind == MODEM_NET) ok = start_net(n) && ok;
    else if (modems[n].kind == MODEM_USB) ok = start_usb(n) && ok;
  }
  return ok;
}

int modems_count() {
  int count = 0;
  for (const modem_rec &m : modems) count += m.kind != MODEM_OFF;
  return count;
}

uint32_t modems_up() {
  uint32_t up = 0;
  for (int n = 0; n < MODEM_MAX; n++)
    if (modems[n].up) up |= 1u << n;
  return up;
}

void modem_up(int n, hid_device *handle, const wchar_t *product) {
  if (n < 0 || n >= MODEM_MAX) return;
  modem_rec &m = modems[n];
  bool house_was_up = modems_up() != 0;
  m.handle = handle;
  modem_text(product, m.product);
  if (!m.up) {
    m.up = true;
    m.changed_ms = clock_mono_ms();
    if (several()) {
      const char *where = m.where[0] ? m.where : "usb";
      printf("modem %d up: %s (%s)\n", n + 1, m.product, where);
      sys_log("modem %d up: %s (%s)", n + 1, m.product, where);
    }
  }
  version_follow();
  if (house_was_up) return;
  usb_handle = handle;
  puts("USB Found");
  sys_log("USB Found");
  hook_usb.run(true);
}

void modem_down(int n) {
  if (n < 0 || n >= MODEM_MAX || !modems[n].up) return;
  modem_rec &m = modems[n];
  m.up = false;
  m.handle = nullptr;
  m.losses++;
  m.changed_ms = clock_mono_ms();
  if (several()) {
    printf("modem %d down\n", n + 1);
    sys_log("modem %d down", n + 1);
  }
  for (const modem_rec &other : modems)
    if (other.up) {
      usb_handle = other.handle;
      version_follow();
      return;
    }
  puts("USB Removed");
  sys_log("USB Removed");
  usb_handle = nullptr;
  await_modem_removed();
  hook_usb.run(false);
}

void modem_report(int n, const uint8_t *report, int len) {
  if (n < 0 || n >= MODEM_MAX || !modems[n].up || len <= 0) return;
  modems[n].reports++;
  uint8_t full[MODEM_REPORT_LEN] = {};
  memcpy(full, report, std::min(len, MODEM_REPORT_LEN));
  if (full[0] == KIND_PACKET) rf_got_packet(full, n);
  else if (full[0] == KIND_TOUCH) touch_debug(full);
}

int modem_write(int n, const uint8_t *report, size_t len) {
  if (n < 0 || n >= MODEM_MAX || !modems[n].up) return -1;
  modem_rec &m = modems[n];
  int written;
  if (m.kind == MODEM_NET) written = modem_net_write(n, report, len);
  else if (modem_reader_running(n)) written = modem_reader_write(n, report, len);
  else written = hid_write(m.handle, report, len);  // opened by hand (fuzz targets, unit tests)
  if (written >= 0) m.sent++;
  return written;
}

void modems_forget() {
  for (int n = 0; n < MODEM_MAX; n++) {
    modem_rec &m = modems[n];
    m.up = false;
    m.handle = nullptr;
    if (m.kind == MODEM_NET) modem_net_forget(n);
    else if (modem_reader_running(n)) modem_reader_forget(n);
  }
}

void modem_text(const wchar_t *product, char *out) {
  // The environment's character set, so that a UTF-8 system converts
  // non-ASCII names; chosen once, the first time a modem is opened.
  static bool locale_chosen = false;
  if (!locale_chosen) {
    setlocale(LC_CTYPE, "");
    locale_chosen = true;
  }
  // Never writes a partial character; stops before one that does not fit.
  size_t n = wcstombs(out, product, MODEM_PRODUCT_MAX - 1);
  if (n == (size_t)-1) n = 0;  // unconvertible: empty text
  out[n] = '\0';
}

void modems_reset() {
  modem_net_reset();
  for (modem_rec &m : modems) m = modem_rec{};
}
