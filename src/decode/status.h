// Small decoders of a device's status, clock and temperature bytes into the
// texts of the radio event and the device list.
#pragma once
#include <cstdint>

constexpr int STATUS_TEXT_SIZE = 18;  // "-128%,RX2DIM,V255" and the NUL
constexpr int CLOCK_TEXT_SIZE = 16;   // "Err,255:255:255" and the NUL
constexpr int TEMP_TEXT_SIZE = 8;     // "-128.5C" and the NUL

// Status payload d0.. (device type, version, channel states) to
// "value,TYPE,Vversion". The channel of a multi-channel device is the last
// character of g_last_id_str. False (nothing written) for an unknown type.
bool status_decode(const uint8_t *payload, char *text);
// Dimmer state byte to its level: (125 - raw) * 100 / 125, wrapped to 8 bits.
int8_t dim_val(int8_t raw);
// 4 clock bytes (day bit, hour, minute, second) to "Day,hh:mm:ss". Always true.
bool time_str(char *text, const uint8_t *clock);
// 2 temperature bytes to "21.5C" / "-3.0C", or "ERROR" when byte 1 is 0xFF.
void temp_conv(char *text, const uint8_t *reading);
