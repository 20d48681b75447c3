// The radio event: one received packet as a line of JSON, and the globals
// that describe the last packet decoded (read next by the dispatcher and the
// device state cache).
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int EVENT_SIZE = 256;      // the caller's event buffer
constexpr int DATA_TEXT_SIZE = 129;  // a whole 55-byte hex dump (110 chars) fits

extern char g_last_id_str[7];  // 6 lower-case hex digits of the last packet's id
extern char g_data[64];        // the last event's data text, cut to 63 characters
extern char g_rssi[5];         // the last signal percentage as text, "%d%%"
extern int8_t g_rssi_i;        // the last signal percentage, -18 to 100

// Writes the radio event of a 65-byte report (byte 0 = 1, byte 1 = L) into
// `event` (EVENT_SIZE bytes) and sets the four globals. Always true.
bool pac_json(const uint8_t *packet, char *event);
// Names the command and writes its data text. `len_byte` points at packet
// byte 1; `name` holds 64 bytes, `data` DATA_TEXT_SIZE bytes, both zeroed by
// the caller. Reads only inside the 65-byte packet. Always true.
bool cmd_info(const uint8_t *len_byte, char *name, char *data);
// Raw signal byte to a percentage: 46 + raw/2, at most 100 (lowest -18).
int8_t rssi(int8_t raw);
// Writes the error object {"id":"","cmd":"ERROR","data":"<msg>","rssi":""}
// for `msg` (escaped as a JSON string) into dst (`cap` bytes). Always true.
bool jerror(char *dst, size_t cap, const char *msg);
// Clears the four globals (tests).
void decode_reset();
