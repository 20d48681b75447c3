// Which modem hears which device, and how well: the table that chooses the
// modem a command goes out through. Every radio packet a modem hears (the
// copies the duplicate filter drops included) records that modem's signal
// for the device; a command then goes out through the modem that heard the
// device best in the last hour.
//
// A device is one radio: its ids that differ only in the channel bits (the
// low four of the third id byte) share one entry. Per device and modem the
// table keeps the strongest signal heard and the latest one; the strongest
// counts for an hour, after which the latest heard within the hour stands in
// until the next report.
#pragma once
#include <cstdint>

#include "radio/modems.h"

constexpr int HEARD_MAX = 256;                   // devices remembered; the longest unheard one makes room
constexpr int64_t HEARD_KEEP_MS = 3600 * 1000;   // a signal counts this long
constexpr int8_t HEARD_NONE = INT8_MIN;          // a modem that has not heard the device within the hour

// One device as heard: its id as last heard (six hex digits) and the signal
// (percent, as in the radio event) each modem heard it with in the last hour.
struct heard_device {
  char id[7];
  int8_t signal[MODEM_MAX];
};

// Modem `modem` heard `packet` (a kind-1 report with a valid length byte).
void heard_note(int modem, const uint8_t *packet);
// The modem among `up` (bit n: modem n may be used) that heard the device
// `id` (three bytes, as addressed) best in the last hour; ties go to the
// lower number. -1 when none of them heard it.
int heard_best(const uint8_t *id, uint32_t up);
// Entry `i` of the table (0..HEARD_MAX-1) into `out`; false when it is empty
// or nothing in it is younger than an hour.
bool heard_at(int i, heard_device *out);
// Forgets everything (tests).
void heard_reset();
