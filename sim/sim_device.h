// Simulated radio devices: the house table and what each device answers.
// Pure models: output reports from the gateway come in as bytes, radio packets
// go out as bytes; nothing here touches a socket or reads the clock (callers
// pass the time of the week in).
#pragma once
#include <cstdint>

// Output report of the gateway (one message of 65 bytes on the modem socket):
//   offset  content
//   0       report number, 0x00
//   1       kind, 0x01 = radio packet
//   2       length: 6 + data count (a raw-form command counts one more byte)
//   3-5     device id bytes 1-3 (multi-channel: low nibble of byte 5 = channel)
//   6       zero
//   7       packet counter 0-7
//   8       command code
//   9..     data
// A modem LED report is the 2 bytes 0x02, value.
constexpr int SIM_TX_KIND = 1;
constexpr int SIM_TX_LEN = 2;
constexpr int SIM_TX_ID = 3;
constexpr int SIM_TX_CMD = 8;
constexpr int SIM_TX_DATA = 9;
constexpr uint8_t SIM_TX_RADIO = 0x01;
constexpr uint8_t SIM_TX_LED = 0x02;

// Radio packet sent to the gateway (input report kind 1, 65 bytes):
//   offset  content
//   0       kind, 1
//   1       L = 8 + data count: the offset of the signal byte
//   2-4     device id bytes 1-3
//   5       zero
//   6       packet counter 0-7 (the device's own, advanced per packet)
//   7       command code (a reply: the command's code with bit 7 set)
//   8..L-1  data
//   L       signal strength, raw signed byte: percent = 46 + raw / 2
constexpr int SIM_PACKET_SIZE = 65;
constexpr int SIM_RX_LEN = 1;
constexpr int SIM_RX_ID = 2;
constexpr int SIM_RX_COUNTER = 6;
constexpr int SIM_RX_CMD = 7;
constexpr int SIM_RX_DATA = 8;
constexpr int SIM_DATA_MAX = 55;

// Command codes the devices know.
constexpr uint8_t SIM_CMD_STATUS = 0x02;
constexpr uint8_t SIM_CMD_SAVE = 0x03;
constexpr uint8_t SIM_CMD_READ = 0x04;
constexpr uint8_t SIM_CMD_TOGGLE = 0x05;
constexpr uint8_t SIM_CMD_LEVEL = 0x07;
constexpr uint8_t SIM_CMD_TIMER = 0x0A;
constexpr uint8_t SIM_CMD_PRESS = 0x0F;
constexpr uint8_t SIM_CMD_TEMP = 0x10;
constexpr uint8_t SIM_CMD_CLOCK = 0x13;
constexpr uint8_t SIM_CMD_ACK = 0x80;

enum sim_kind : uint8_t { SIM_DIM, SIM_REL, SIM_RTC, SIM_LED, SIM_DIM2, SIM_REL4, SIM_BTN, SIM_TMP, SIM_KIND_COUNT };

// One row per kind: the house-file word, the status type byte (0: the device
// only transmits and ignores every command), channels, and the type code the
// gateway's device list uses for it.
struct sim_kind_info {
  const char *word;
  uint8_t status_type;
  uint8_t channels;
  const char *list_type;
  const char *text;
};
extern const sim_kind_info sim_kinds[SIM_KIND_COUNT];

constexpr int SIM_DEVICE_CAP = 64;
constexpr int SIM_CHANNEL_CAP = 4;
constexpr int SIM_REG_COUNT = 32;
constexpr uint32_t SIM_WEEK_SECONDS = 7 * 86400;

struct sim_device {
  uint8_t id[3];                     // radio id; multi-channel devices keep the low nibble 0
  sim_kind kind;
  uint8_t version;
  uint8_t level[SIM_CHANNEL_CAP];    // per channel 0-100; relays 0 (off) or 100 (on)
  uint8_t last_on[SIM_CHANNEL_CAP];  // level a toggle restores, never 0
  uint16_t timer[SIM_CHANNEL_CAP];   // off-timer seconds left, 0 = none
  int16_t temp_half;                 // sensor reading in half degrees
  uint16_t every;                    // sensor report period in seconds, 0 = on demand only
  uint16_t every_left;               // seconds to the next sensor report
  uint8_t rssi;                      // signal percent the gateway hears it at
  uint8_t jitter;                    // +- percent points of random variation per packet
  bool deaf;                         // ignores every command
  uint8_t counter;                   // own packet counter 0-7
  uint32_t clock_shift;              // device clock minus the house clock, seconds mod week
  uint8_t regs[SIM_REG_COUNT];       // register memory: 0-2 id, 3 type, 4 version, rest 0
  char name[32];
};

extern sim_device sim_devices[SIM_DEVICE_CAP];
extern int sim_device_count;
void sim_devices_reset();

// Packets produced by one call; `delay_ms` is how long after the call to send it.
struct sim_packet {
  uint8_t bytes[SIM_PACKET_SIZE];
  uint16_t delay_ms;
};
constexpr int SIM_OUT_CAP = SIM_DEVICE_CAP;
struct sim_out {
  sim_packet packets[SIM_OUT_CAP];
  int count;
};

// Delay of the status report that follows a toggle acknowledgement.
constexpr uint16_t SIM_TOGGLE_STATUS_DELAY_MS = 300;

// Adds a device with the given kind and id, defaults for the rest; -1 when full.
int sim_device_add(sim_kind kind, const uint8_t id[3]);
// Index of the device that an id addresses (multi-channel: any channel digit), or -1.
int sim_device_find(const uint8_t id[3]);
// Seeds the signal-variation generator (tests use a fixed seed or jitter 0).
void sim_random_seed(uint32_t seed);

// Dimmer level byte: 0 = 100 %, 125 = 0 %; rounded so the gateway reads the same level back.
uint8_t sim_dim_raw(uint8_t level);
// LED level byte: 250 = 100 %, rounded likewise.
uint8_t sim_led_raw(uint8_t level);
// Raw signal byte for a percentage (46 + raw / 2 = percent).
int8_t sim_rssi_raw(int percent);
// Status payload (type, version, channel states); returns the byte count, 0 for transmit-only kinds.
int sim_device_payload(const sim_device *dev, uint8_t *data);

// Handles one message the gateway wrote; `week_now` is seconds since Sunday 00:00.
void sim_device_command(const uint8_t *report, int len, uint32_t week_now, sim_out *out);
// Once a second: off timers count down and sensors report when due.
void sim_device_tick(sim_out *out);
// A wall button press (SS PRESS with the button number); false for other kinds.
bool sim_device_press(int index, uint8_t button, sim_out *out);
// A temperature report now; false for other kinds.
bool sim_device_temp(int index, sim_out *out);
// An unsolicited status report (channel 0: the first); false for transmit-only kinds.
bool sim_device_status(int index, uint8_t channel, sim_out *out);
