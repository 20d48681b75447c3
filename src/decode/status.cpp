// Status, clock and temperature decoders. They read fixed byte positions of
// the payload they are given and write short texts into caller buffers; the
// only state they read is g_last_id_str (the reporting device's channel).
#include "decode/status.h"

#include <cstdio>

#include "decode/event.h"

// Status payload (data bytes of a 0x82 or 0x87 packet):
//   offset  content
//   0       device type (DEV_*)
//   1       version, unsigned
//   2       state of channel 1 (or of the only channel)
//   3       state of channel 2 (two-channel dimmer)
constexpr int ST_TYPE = 0;
constexpr int ST_VERSION = 1;
constexpr int ST_STATE1 = 2;
constexpr int ST_STATE2 = 3;

constexpr uint8_t DEV_RX1DIM = 0x81;
constexpr uint8_t DEV_RX1REL = 0x91;
constexpr uint8_t DEV_RX1RTC = 0x24;
constexpr uint8_t DEV_RX1LED = 0x0B;
constexpr uint8_t DEV_RX2DIM = 0x82;
constexpr uint8_t DEV_RX4REL = 0x94;

// The channel digit of the device being decoded: last digit of its id.
constexpr int ID_CHANNEL_POS = 5;

static const char *on_off(bool on) { return on ? "ON" : "OFF"; }

// Bit of d2 that carries the relay state of channel '1'..'4' (bit 7 down to
// bit 4); 0 for any other channel digit, which therefore reads as OFF.
static uint8_t relay_bit(char channel) {
  if (channel < '1' || channel > '4') return 0;
  return (uint8_t)(0x80 >> (channel - '1'));
}

bool status_decode(const uint8_t *payload, char *text) {
  const uint8_t state1 = payload[ST_STATE1];
  const char channel = g_last_id_str[ID_CHANNEL_POS];
  char value[6];  // "-128%", "OFF"
  const char *type;
  switch (payload[ST_TYPE]) {
    case DEV_RX1DIM:
      snprintf(value, sizeof value, "%i%%", dim_val((int8_t)state1));
      type = ",RX1DIM,V";
      break;
    case DEV_RX1REL:
      snprintf(value, sizeof value, "%s", on_off(state1 & 0x80));
      type = ",RX1REL,V";
      break;
    case DEV_RX1RTC:
      snprintf(value, sizeof value, "%s", on_off(state1 & 0x80));
      type = ",RX1RTC,V";
      break;
    case DEV_RX1LED: {
      // Level 0..250 as a percentage; 251..255 read above 100, as the device sends.
      const float level = (float)state1 * 100.0f / 250.0f;
      snprintf(value, sizeof value, "%i%%", (int)level);
      type = ",RX1LED,V";
      break;
    }
    case DEV_RX2DIM: {
      const uint8_t state = channel == '1' ? state1 : payload[ST_STATE2];
      snprintf(value, sizeof value, "%i%%", dim_val((int8_t)state));
      type = ",RX2DIM,V";
      break;
    }
    case DEV_RX4REL:
      snprintf(value, sizeof value, "%s", on_off(state1 & relay_bit(channel)));
      type = ",RX4REL,V";
      break;
    default:
      return false;
  }
  snprintf(text, STATUS_TEXT_SIZE, "%s%s%i", value, type, (int)payload[ST_VERSION]);
  return true;
}

int8_t dim_val(int8_t raw) {
  // Single precision, cut toward zero; raw -128..-35 give 202..128, which
  // wrap to -54..-128 as the devices' own 8-bit arithmetic does.
  const float level = (125.0f - (float)raw) * 100.0f / 125.0f;
  return (int8_t)(uint8_t)(int)level;
}

// Day names by the number of left shifts that empty the day byte.
static const char *const DAY_NAMES[8] = {"Err", "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Clock bytes:
//   offset  content
//   0       day: one bit, 0x80 = Sunday .. 0x02 = Saturday (lowest set bit decides)
//   1       hour
//   2       minute
//   3       second
constexpr int CLK_DAY = 0;
constexpr int CLK_HOUR = 1;
constexpr int CLK_MIN = 2;
constexpr int CLK_SEC = 3;

bool time_str(char *text, const uint8_t *clock) {
  uint8_t day = clock[CLK_DAY];
  int shifts = 0;
  while (day != 0) {
    day = (uint8_t)(day << 1);
    shifts++;
  }
  if (shifts > 7) shifts = 0;  // bit 0 alone names no day
  snprintf(text, CLOCK_TEXT_SIZE, "%s,%02u:%02u:%02u", DAY_NAMES[shifts], (unsigned)clock[CLK_HOUR],
           (unsigned)clock[CLK_MIN], (unsigned)clock[CLK_SEC]);
  return true;
}

// Temperature bytes:
//   offset  content
//   0       whole degrees toward zero, signed 8 bits
//   1       bit 7: half a degree further from zero; 0xFF: sensor error
// The sign lives in byte 0 alone, so -0.5 and 0.5 both arrive as 00 80: a
// reading between -1 and 0 cannot be told from its positive twin and is
// shown positive (docs/mqtt.md).
constexpr int TEMP_WHOLE = 0;
constexpr int TEMP_FLAGS = 1;
constexpr uint8_t TEMP_ERROR = 0xFF;

void temp_conv(char *text, const uint8_t *reading) {
  if (reading[TEMP_FLAGS] == TEMP_ERROR) {
    snprintf(text, TEMP_TEXT_SIZE, "ERROR");
    return;
  }
  snprintf(text, TEMP_TEXT_SIZE, "%i%s", (int)(int8_t)reading[TEMP_WHOLE],
           (reading[TEMP_FLAGS] & 0x80) ? ".5C" : ".0C");
}
