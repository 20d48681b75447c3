// The house's modems: modem 1 (MODEM in setup.ini) and modems 2 to 4
// (MODEM2 .. MODEM4), each a USB modem or a network link to orvel-modemd.
// The table holds each one's state and counters; the house as a whole has a
// radio while at least one of them is open (usb_handle, "USB Found" and
// "USB Removed", hook_usb: radio/modem.h).
//
// Settings (each value as setup.ini holds it, at most 62 characters):
//   MODEM, MODEMn   ""/absent  modem 1: the first USB modem found (not one
//                              that another setting names); modems 2-4: none
//                   /dev/...   the USB modem at that hidraw path
//                   tcp://h:p  orvel-modemd at host h, port p ("[v6]:p")
//                   other      the USB modem with that serial number
//   MODEMnKEY       modem n's key for a network link; without it MODEMKEY,
//                   the key of modem 1 and of every modem without its own
#pragma once
#include <cstddef>
#include <cstdint>
#include <hidapi.h>

constexpr int MODEM_MAX = 4;         // MODEM, MODEM2, MODEM3, MODEM4
constexpr int MODEM_TEXT_MAX = 64;   // a setting's value, terminated
constexpr int MODEM_PRODUCT_MAX = 256;

enum modem_kind : uint8_t {
  MODEM_OFF,  // not configured (fuzz targets and unit tests open modem 1 by hand)
  MODEM_USB,
  MODEM_NET,
};

struct modem_rec {
  modem_kind kind;
  char where[MODEM_TEXT_MAX];      // the setting: "" any USB modem, a path, a serial number or tcp://...
  bool up;                         // open: its reports are heard, commands may go through it
  hid_device *handle;              // while up: the reader's handle, or a mark for a network link
  char product[MODEM_PRODUCT_MAX]; // product string of its last opening
  int64_t changed_ms;              // monotonic time of its last opening or loss (or of the start)
  uint64_t reports;                // input reports received
  uint64_t duplicates;             // radio packets it heard that another copy had brought already
  uint64_t sent;                   // output reports written through it
  uint64_t losses;                 // times it went away
};
extern modem_rec modems[MODEM_MAX];

// Reads the settings and starts a reader thread (USB) or a link (network)
// for each configured modem; each descriptor joins the loop's poll set.
// False when one of them cannot start (the reason printed); the others run.
bool modems_start();
// Configured modems; with more than one, each one's changes are printed and
// logged with its number ("modem 2 up: <product> (<where>)", "modem 2 down").
int modems_count();
// Bit n set while modem n is up.
uint32_t modems_up();

// Modem `n` opened with its product string / went away / sent an input
// report. The first modem up brings the house's radio up; the last one gone
// takes it down (every awaited reply ends). Reports are routed by kind.
void modem_up(int n, hid_device *handle, const wchar_t *product);
void modem_down(int n);
void modem_report(int n, const uint8_t *report, int len);
// Writes one output report through modem `n`; -1 when it is not up.
int modem_write(int n, const uint8_t *report, size_t len);
// Forgets every open modem without reporting it gone (each is opened again).
void modems_forget();
// The wide product string as the environment's character set: at most
// MODEM_PRODUCT_MAX - 1 bytes, never a cut character; unconvertible: empty.
void modem_text(const wchar_t *product, char *out);

// Stops the links, empties the table (tests and fuzz targets).
void modems_reset();
