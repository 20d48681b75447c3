// Simulated radio devices: owns the house table `sim_devices` and turns each
// command report into the reply packets a real device would send.
#include "sim_device.h"

#include <cstring>

const sim_kind_info sim_kinds[SIM_KIND_COUNT] = {
    {"dim", 0x81, 1, "dim", "one-channel dimmer"},
    {"rel", 0x91, 1, "rel", "relay"},
    {"rtc", 0x24, 1, "rtc", "relay with clock"},
    {"led", 0x0B, 1, "led", "LED controller"},
    {"dim2", 0x82, 2, "dim", "two-channel dimmer"},
    {"rel4", 0x94, 4, "rel", "four relays"},
    {"btn", 0x00, 1, "btn", "wall button"},
    {"tmp", 0x00, 1, "tmp", "temperature sensor"},
};

sim_device sim_devices[SIM_DEVICE_CAP];
int sim_device_count;

static uint32_t random_state = 0x2545F491u;

void sim_devices_reset() {
  memset(sim_devices, 0, sizeof sim_devices);
  sim_device_count = 0;
}

void sim_random_seed(uint32_t seed) { random_state = seed ? seed : 1; }

// xorshift32: cheap, repeatable for a given seed.
static uint32_t random_next() {
  random_state ^= random_state << 13;
  random_state ^= random_state >> 17;
  random_state ^= random_state << 5;
  return random_state;
}

static bool is_multi(const sim_device *dev) { return sim_kinds[dev->kind].channels > 1; }

int sim_device_add(sim_kind kind, const uint8_t id[3]) {
  if (sim_device_count >= SIM_DEVICE_CAP || kind >= SIM_KIND_COUNT) return -1;
  int index = sim_device_count++;
  sim_device *dev = &sim_devices[index];
  memset(dev, 0, sizeof *dev);
  memcpy(dev->id, id, 3);
  dev->kind = kind;
  if (sim_kinds[kind].channels > 1) dev->id[2] &= 0xF0;
  dev->version = 1;
  for (int c = 0; c < SIM_CHANNEL_CAP; c++) dev->last_on[c] = 100;
  dev->rssi = 92;
  dev->every = kind == SIM_TMP ? 60 : 0;
  // Staggered first report, so sensors do not all speak in the same second.
  dev->every_left = static_cast<uint16_t>(3 + index % 10);
  memcpy(dev->regs, dev->id, 3);
  dev->regs[3] = sim_kinds[kind].status_type;
  dev->regs[4] = dev->version;
  return index;
}

int sim_device_find(const uint8_t id[3]) {
  for (int i = 0; i < sim_device_count; i++) {
    const sim_device *dev = &sim_devices[i];
    if (dev->id[0] != id[0] || dev->id[1] != id[1]) continue;
    if (is_multi(dev) ? (id[2] & 0xF0) == dev->id[2] : id[2] == dev->id[2]) return i;
  }
  return -1;
}

uint8_t sim_dim_raw(uint8_t level) {
  if (level > 100) level = 100;
  return static_cast<uint8_t>(125 - (level * 125 + 99) / 100);
}

uint8_t sim_led_raw(uint8_t level) {
  if (level > 100) level = 100;
  return static_cast<uint8_t>((level * 250 + 99) / 100);
}

int8_t sim_rssi_raw(int percent) {
  int raw = (percent - 46) * 2;
  if (raw > 127) raw = 127;
  if (raw < -128) raw = -128;
  return static_cast<int8_t>(raw);
}

int sim_device_payload(const sim_device *dev, uint8_t *data) {
  const sim_kind_info *info = &sim_kinds[dev->kind];
  if (info->status_type == 0) return 0;
  data[0] = info->status_type;
  data[1] = dev->version;
  switch (dev->kind) {
    case SIM_DIM:
      data[2] = sim_dim_raw(dev->level[0]);
      return 3;
    case SIM_DIM2:
      data[2] = sim_dim_raw(dev->level[0]);
      data[3] = sim_dim_raw(dev->level[1]);
      return 4;
    case SIM_LED:
      data[2] = sim_led_raw(dev->level[0]);
      return 3;
    case SIM_REL4:
      data[2] = 0;
      for (int c = 0; c < 4; c++)
        if (dev->level[c]) data[2] |= static_cast<uint8_t>(0x80 >> c);
      return 3;
    default:  // one relay, relay with clock
      data[2] = dev->level[0] ? 0x80 : 0x00;
      return 3;
  }
}

// Appends one packet from `dev`, sent as id byte 3 `id3`; false when `out` is full.
static bool packet_emit(sim_device *dev, uint8_t id3, uint8_t cmd, const uint8_t *data, int count,
                        uint16_t delay_ms, sim_out *out) {
  if (out->count >= SIM_OUT_CAP || count < 0 || count > SIM_DATA_MAX) return false;
  sim_packet *p = &out->packets[out->count++];
  memset(p, 0, sizeof *p);
  uint8_t *b = p->bytes;
  b[0] = 1;
  b[SIM_RX_LEN] = static_cast<uint8_t>(SIM_RX_DATA + count);
  b[SIM_RX_ID] = dev->id[0];
  b[SIM_RX_ID + 1] = dev->id[1];
  b[SIM_RX_ID + 2] = id3;
  b[SIM_RX_COUNTER] = dev->counter;
  dev->counter = static_cast<uint8_t>((dev->counter + 1) & 7);
  b[SIM_RX_CMD] = cmd;
  if (count) memcpy(b + SIM_RX_DATA, data, static_cast<size_t>(count));
  int percent = dev->rssi;
  if (dev->jitter) percent += static_cast<int>(random_next() % (2u * dev->jitter + 1)) - dev->jitter;
  if (percent > 100) percent = 100;
  b[SIM_RX_DATA + count] = static_cast<uint8_t>(sim_rssi_raw(percent));
  p->delay_ms = delay_ms;
  return true;
}

static bool status_emit(sim_device *dev, uint8_t id3, uint8_t cmd, uint16_t delay_ms, sim_out *out) {
  uint8_t data[8];
  int count = sim_device_payload(dev, data);
  if (count == 0) return false;
  return packet_emit(dev, id3, cmd, data, count, delay_ms, out);
}

// Sets channel `c` to `level` (relays: any nonzero level is on).
static void channel_set(sim_device *dev, int c, uint8_t level) {
  if (level > 100) level = 100;
  if (dev->kind != SIM_DIM && dev->kind != SIM_DIM2 && dev->kind != SIM_LED) level = level ? 100 : 0;
  if (dev->level[c]) dev->last_on[c] = dev->level[c];
  if (level) dev->last_on[c] = level;
  dev->level[c] = level;
}

// Clock bytes: day bit (0x80 >> weekday, Sunday 0), hour, minute, second.
static void clock_bytes(uint32_t week_seconds, uint8_t *b) {
  uint32_t day = week_seconds / 86400, rest = week_seconds % 86400;
  b[0] = static_cast<uint8_t>(0x80 >> day);
  b[1] = static_cast<uint8_t>(rest / 3600);
  b[2] = static_cast<uint8_t>(rest / 60 % 60);
  b[3] = static_cast<uint8_t>(rest % 60);
}

// Week seconds of clock bytes; false for a day byte without a weekday bit or a bad time.
// The lowest set bit names the day, as the gateway's clock reader takes it.
static bool clock_parse(const uint8_t *b, uint32_t *week_seconds) {
  if (b[0] == 0 || (b[0] & 1) || b[1] > 23 || b[2] > 59 || b[3] > 59) return false;
  int bit = 1;
  while (!(b[0] & (1 << bit))) bit++;
  uint32_t day = static_cast<uint32_t>(7 - bit);
  *week_seconds = day * 86400 + b[1] * 3600u + b[2] * 60u + b[3];
  return true;
}

void sim_device_command(const uint8_t *report, int len, uint32_t week_now, sim_out *out) {
  if (len <= SIM_TX_CMD || report[0] != 0x00 || report[SIM_TX_KIND] != SIM_TX_RADIO) return;
  int index = sim_device_find(report + SIM_TX_ID);
  if (index < 0) return;  // nobody has that id: silence
  sim_device *dev = &sim_devices[index];
  if (dev->deaf || sim_kinds[dev->kind].status_type == 0) return;

  int count = report[SIM_TX_LEN] - 6;
  if (count > len - SIM_TX_DATA) count = len - SIM_TX_DATA;
  if (count < 0) count = 0;
  const uint8_t *data = report + SIM_TX_DATA;
  uint8_t cmd = report[SIM_TX_CMD];
  uint8_t id3 = report[SIM_TX_ID + 2];
  uint8_t ack = static_cast<uint8_t>(cmd | SIM_CMD_ACK);

  // Channels addressed: the id's channel digit, or all channels for any other digit.
  int first = 0, last = sim_kinds[dev->kind].channels - 1;
  if (is_multi(dev)) {
    int digit = id3 & 0x0F;
    if (digit >= 1 && digit <= last + 1) first = last = digit - 1;
  }

  switch (cmd) {
    case SIM_CMD_STATUS:
      status_emit(dev, id3, ack, 0, out);
      return;
    case SIM_CMD_LEVEL:
      if (count < 1) return;
      for (int c = first; c <= last; c++) channel_set(dev, c, data[0]);
      status_emit(dev, id3, ack, 0, out);
      return;
    case SIM_CMD_TOGGLE:
      for (int c = first; c <= last; c++) channel_set(dev, c, dev->level[c] ? 0 : dev->last_on[c]);
      packet_emit(dev, id3, ack, nullptr, 0, 0, out);
      status_emit(dev, id3, SIM_CMD_STATUS | SIM_CMD_ACK, SIM_TOGGLE_STATUS_DELAY_MS, out);
      return;
    case SIM_CMD_TIMER:
      if (count < 2) return;
      for (int c = first; c <= last; c++) dev->timer[c] = static_cast<uint16_t>(data[0] << 8 | data[1]);
      packet_emit(dev, id3, ack, nullptr, 0, 0, out);
      return;
    case SIM_CMD_CLOCK: {
      uint32_t wanted;
      if (count >= 4 && clock_parse(data, &wanted))
        dev->clock_shift = (wanted + SIM_WEEK_SECONDS - week_now % SIM_WEEK_SECONDS) % SIM_WEEK_SECONDS;
      uint8_t clock[4];
      clock_bytes((week_now + dev->clock_shift) % SIM_WEEK_SECONDS, clock);
      packet_emit(dev, id3, ack, clock, 4, 0, out);
      return;
    }
    case SIM_CMD_READ: {
      if (count < 1) return;
      int reg = data[0], n = count >= 2 && data[1] ? data[1] : 1;
      if (reg + n > SIM_REG_COUNT) return;  // no such register: the device stays silent
      uint8_t reply[1 + SIM_REG_COUNT];
      reply[0] = static_cast<uint8_t>(reg);
      memcpy(reply + 1, dev->regs + reg, static_cast<size_t>(n));
      packet_emit(dev, id3, ack, reply, 1 + n, 0, out);
      return;
    }
    case SIM_CMD_SAVE: {
      if (count < 2) return;
      int reg = data[0], n = count - 1;
      if (reg + n > SIM_REG_COUNT) return;
      memcpy(dev->regs + reg, data + 1, static_cast<size_t>(n));
      packet_emit(dev, id3, ack, data, 1, 0, out);
      return;
    }
    default:
      return;  // commands this device does not know go unanswered
  }
}

void sim_device_tick(sim_out *out) {
  for (int i = 0; i < sim_device_count; i++) {
    sim_device *dev = &sim_devices[i];
    int expired = -1;
    for (int c = 0; c < sim_kinds[dev->kind].channels; c++) {
      if (dev->timer[c] == 0) continue;
      if (--dev->timer[c] == 0) {
        channel_set(dev, c, 0);
        if (expired < 0) expired = c;
      }
    }
    if (expired >= 0) sim_device_status(i, static_cast<uint8_t>(expired + 1), out);
    if (dev->kind == SIM_TMP && dev->every) {
      if (dev->every_left > 1) {
        dev->every_left--;
      } else if (sim_device_temp(i, out)) {
        dev->every_left = dev->every;
      }
    }
  }
}

bool sim_device_press(int index, uint8_t button, sim_out *out) {
  if (index < 0 || index >= sim_device_count || sim_devices[index].kind != SIM_BTN) return false;
  sim_device *dev = &sim_devices[index];
  return packet_emit(dev, dev->id[2], SIM_CMD_PRESS, &button, 1, 0, out);
}

bool sim_device_temp(int index, sim_out *out) {
  if (index < 0 || index >= sim_device_count || sim_devices[index].kind != SIM_TMP) return false;
  sim_device *dev = &sim_devices[index];
  // Whole degrees as a signed byte (toward zero) and bit 7 of the second byte for a half.
  int half = dev->temp_half;
  uint8_t reading[2] = {static_cast<uint8_t>(static_cast<int8_t>(half / 2)),
                        static_cast<uint8_t>(half % 2 ? 0x80 : 0x00)};
  return packet_emit(dev, dev->id[2], SIM_CMD_TEMP, reading, 2, 0, out);
}

bool sim_device_status(int index, uint8_t channel, sim_out *out) {
  if (index < 0 || index >= sim_device_count) return false;
  sim_device *dev = &sim_devices[index];
  uint8_t id3 = dev->id[2];
  if (is_multi(dev)) id3 = static_cast<uint8_t>(id3 | (channel ? channel : 1));
  return status_emit(dev, id3, SIM_CMD_STATUS | SIM_CMD_ACK, 0, out);
}
