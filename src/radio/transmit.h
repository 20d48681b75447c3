// The RF command transmitter: radio text commands ("@1a2b30=50") and modem
// LED commands ("$0F") turned into output reports and written to the modem.
#pragma once
#include <cstdint>

#include "core/hooks.h"
#include "radio/awaits.h"

constexpr int RF_REPORT_LEN = 65;      // output report, report-number byte included
constexpr int RF_DATA_MAX = 55;        // data bytes that fit after the command code
constexpr int LED_REPORT_LEN = 2;      // 0x02, LED value
constexpr uint8_t LEVEL_NONE = 255;    // g_last_set_level: no level pending

// Result codes of usb_rf_tx and rf_tx_build.
constexpr uint8_t RF_TX_NO_MODEM = 255;  // nothing done, nothing changed
constexpr uint8_t RF_TX_BAD = 0;         // bad command, nothing written
constexpr uint8_t RF_TX_AWAIT = 1;       // written, the device's reply is awaited
constexpr uint8_t RF_TX_NO_REPLY = 2;    // written, raw form ended by '-'

// Device and awaited reply (code | 0x80) of the last command accepted.
extern tx_target last_tx;
// Level of the last set-level command; LEVEL_NONE after any other command.
extern uint8_t g_last_set_level;

// True for the results that mean a report was written to the modem.
inline bool rf_tx_sent(uint8_t result) { return result == RF_TX_AWAIT || result == RF_TX_NO_REPLY; }

// Sends one radio text command (it may run on, as in an HTTP request line)
// through the modem that hears the device best (usb_write_for)
// for `source`, which hook_tx hears when a report was written. Returns
// RF_TX_NO_MODEM, RF_TX_BAD, RF_TX_AWAIT or RF_TX_NO_REPLY.
uint8_t usb_rf_tx(const char *text, tx_source source);
// Writes the LED value of positions 1-2; false with no modem or non-hex digits.
bool usb_led(const char *text);
// Clock bytes of "timeset" from the local time: weekday bit (0x80 >> wday),
// hour, minute, second.
void time_hex(uint8_t *bytes);

// Parses one radio text command into `report` (RF_REPORT_LEN bytes, zeroed
// here) without touching the modem. `clock` gives the 4 "timeset" bytes.
// Keeps the packet counter, g_last_set_level and last_tx exactly as a send
// does: a bad id changes nothing, a good id advances the counter and clears
// the pending level even when the rest turns out bad, and last_tx is written
// only for a good command. Returns RF_TX_BAD, RF_TX_AWAIT or RF_TX_NO_REPLY.
uint8_t rf_tx_build(const char *text, uint8_t *report, bool root_mode,
                    const uint8_t *clock);
// The LED report for `text`; false when positions 1-2 are not two hex digits.
bool led_report_build(const char *text, uint8_t *report);

// Counter to 0, last_tx zeroed, no level pending (tests).
void transmit_reset();
