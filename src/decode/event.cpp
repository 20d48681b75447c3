// The radio event: names a received packet's command, turns its data into
// readable text and assembles the JSON line clients receive. Owns the command
// name table and the four globals describing the last packet.
//
// Data texts and hex dumps: a packet carries up to 55 data bytes, whose hex
// dump is 110 characters. The data text is built in a DATA_TEXT_SIZE buffer
// so the whole dump goes into the event (which still fits EVENT_SIZE with
// room to spare); only the g_data copy is cut at 63 characters.
//
// JSON safety: nothing inserted into the event is escaped, so every name and
// data text is built only from letters, digits, blanks and ". , : % -".
#include "decode/event.h"

#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "decode/status.h"
#include "decode/packet_layout.h"

// The packet layout is in radio/packet.h. `cmd_info` receives a pointer to
// the length byte, so its offsets are one less.
constexpr int ID_BYTES = 3;
constexpr int LB_CODE = PK_CMD - PK_LEN;
constexpr int LB_DATA = PK_DATA - PK_LEN;
constexpr int DATA_POS = PK_DATA;  // L of a packet without data
constexpr int DATA_MAX = PACKET_SIZE - 1 - DATA_POS - 1;  // 55: the signal byte stays inside

constexpr int NAME_SIZE = 64;
constexpr int LEVEL_TEXT_SIZE = 32;

// The event's fixed text plus the longest name and data text fit with room to spare.
static_assert(sizeof("{\"id\":\"@\",\"cmd\":\"\",\"data\":\"\",\"rssi\":\"-128%\"}") + 6 + (NAME_SIZE - 1) +
                      (DATA_TEXT_SIZE - 1) <= EVENT_SIZE,
              "event buffer too small");

char g_last_id_str[7];
char g_data[64];
char g_rssi[5];
int8_t g_rssi_i;

void decode_reset() {
  memset(g_last_id_str, 0, sizeof g_last_id_str);
  memset(g_data, 0, sizeof g_data);
  memset(g_rssi, 0, sizeof g_rssi);
  g_rssi_i = 0;
}

// How the data text of a command is made.
enum data_kind : uint8_t {
  DK_EMPTY,      // nothing
  DK_HEX2,       // hex of d0 d1
  DK_READ,       // hex of d0 d1 when L is 10, else of d0
  DK_PERCENT,    // d0 unsigned, "%i%%"
  DK_SECONDS,    // d0*256 + d1, "%i sec"
  DK_HEX3,       // hex of d0 d1 d2
  DK_BUTTON,     // "BUTTON %d" of d0
  DK_TEMP,       // temp_conv of d0 d1
  DK_HEX_ALL,    // hex of the L-8 data bytes
  DK_STATUS,     // status_decode, else hex of the data
  DK_LEVEL,      // value of status_decode (empty when L is 8), else hex of the data
  DK_CLOCK,      // time_str of d0..d3 when L is 12, else nothing
};

struct cmd_def {
  uint8_t code;
  const char *name;
  data_kind kind;
};

constexpr uint8_t CODE_TIME = 0x13;  // "TIME GET" when it carries no data
constexpr int CMD_TABLE_SIZE = 25;
static const cmd_def CMD_TABLE[CMD_TABLE_SIZE] = {
    {0x02, "STATUS", DK_EMPTY},
    {0x03, "SAVE", DK_HEX2},
    {0x04, "READ", DK_READ},
    {0x05, "TOGGLE", DK_EMPTY},
    {0x07, "LEVEL", DK_PERCENT},
    {0x08, "SCENE SAVE", DK_EMPTY},
    {0x09, "SCENE EXE", DK_EMPTY},
    {0x0A, "OFF TIMER", DK_SECONDS},
    {0x0E, "IDSET", DK_HEX3},
    {0x0F, "SS PRESS", DK_BUTTON},
    {0x10, "TEMP", DK_TEMP},
    {0x11, "DATA", DK_HEX_ALL},
    {CODE_TIME, "TIME SET", DK_HEX_ALL},
    {0x82, "STATUS.ACK", DK_STATUS},
    {0x83, "SAVE.ACK", DK_EMPTY},
    {0x84, "READ.ACK", DK_HEX_ALL},
    {0x85, "TOGGLE.ACK", DK_EMPTY},
    {0x87, "LEVEL.ACK", DK_LEVEL},
    {0x88, "SCENE SAVE.ACK", DK_EMPTY},
    {0x89, "SCENE EXE.ACK", DK_EMPTY},
    {0x8A, "OFF TIMER.ACK", DK_EMPTY},
    {0x8E, "IDSET.ACK", DK_EMPTY},
    {0x90, "TEMP.ACK", DK_EMPTY},
    {0x91, "DATA.ACK", DK_HEX_ALL},
    {0x93, "TIME.ACK", DK_CLOCK},
};
static const cmd_def CMD_UNKNOWN = {0, "UKNOWN?", DK_EMPTY};

static const cmd_def *cmd_find(uint8_t code) {
  for (const cmd_def &def : CMD_TABLE)
    if (def.code == code) return &def;
  return &CMD_UNKNOWN;
}

// Number of data bytes of a packet with length byte L, kept inside the
// report whatever L says (the dispatcher only passes 8..63).
static int data_count(uint8_t len) {
  int n = (int)len - DATA_POS;
  if (n < 0) return 0;
  return n > DATA_MAX ? DATA_MAX : n;
}

bool cmd_info(const uint8_t *len_byte, char *name, char *data) {
  const uint8_t len = len_byte[0];
  const uint8_t *d = len_byte + LB_DATA;
  const cmd_def *def = cmd_find(len_byte[LB_CODE]);

  const char *cmd_name = def->name;
  if (def->code == CODE_TIME && len == DATA_POS) cmd_name = "TIME GET";
  snprintf(name, NAME_SIZE, "%s", cmd_name);

  switch (def->kind) {
    case DK_EMPTY:
      break;
    case DK_HEX2:
      sprint_hex(data, d, 2);
      break;
    case DK_READ:
      sprint_hex(data, d, len == 10 ? 2 : 1);
      break;
    case DK_PERCENT:
      snprintf(data, DATA_TEXT_SIZE, "%i%%", (int)d[0]);
      break;
    case DK_SECONDS:
      snprintf(data, DATA_TEXT_SIZE, "%i sec", d[0] * 256 + d[1]);
      break;
    case DK_HEX3:
      sprint_hex(data, d, 3);
      break;
    case DK_BUTTON:
      snprintf(data, DATA_TEXT_SIZE, "BUTTON %d", (int)d[0]);
      break;
    case DK_TEMP:
      temp_conv(data, d);
      break;
    case DK_HEX_ALL:
      sprint_hex(data, d, data_count(len));
      break;
    case DK_STATUS:
      if (!status_decode(d, data)) sprint_hex(data, d, data_count(len));
      break;
    case DK_LEVEL: {
      if (len == DATA_POS) break;
      char status[LEVEL_TEXT_SIZE] = {};
      if (status_decode(d, status))
        str_copy_till(data, status, ',');
      else
        sprint_hex(data, d, data_count(len));
      break;
    }
    case DK_CLOCK:
      if (len == 12) time_str(data, d);
      break;
  }
  return true;
}

int8_t rssi(int8_t raw) {
  const int percent = 46 + raw / 2;  // 120 + (raw/2 - 74), division toward zero
  return (int8_t)(percent > 100 ? 100 : percent);
}

// Copies at most cap - 1 characters of `src` and terminates `dst`.
static void text_cut_copy(char *dst, size_t cap, const char *src) {
  const size_t n = strnlen(src, cap - 1);
  memcpy(dst, src, n);
  dst[n] = 0;
}

bool pac_json(const uint8_t *packet, char *event) {
  char name[NAME_SIZE] = {};
  char data[DATA_TEXT_SIZE] = {};

  // The id first: the status decoder reads the channel from it.
  sprint_hex(g_last_id_str, packet + PK_ID1, ID_BYTES);
  cmd_info(packet + PK_LEN, name, data);
  text_cut_copy(g_data, sizeof g_data, data);  // cut at 63 characters

  const uint8_t len = packet[PK_LEN];
  // The dispatcher passes L = 8..63; a larger L still reads inside the report.
  const int signal_pos = len < PACKET_SIZE ? len : PACKET_SIZE - 1;
  g_rssi_i = rssi((int8_t)packet[signal_pos]);
  char percent[8];  // rssi() keeps to -18..100, so at most 4 characters
  snprintf(percent, sizeof percent, "%d%%", (int)g_rssi_i);
  text_cut_copy(g_rssi, sizeof g_rssi, percent);

  snprintf(event, EVENT_SIZE, "{\"id\":\"@%s\",\"cmd\":\"%s\",\"data\":\"%s\",\"rssi\":\"%d%%\"}", g_last_id_str,
           name, data, (int)g_rssi_i);
  return true;
}

bool jerror(char *dst, size_t cap, const char *msg) {
  snprintf(dst, cap, "{\"id\":\"\",\"cmd\":\"ERROR\",\"data\":\"");
  static const char TAIL[] = "\",\"rssi\":\"\"}";
  json_escape_append(dst, cap - (sizeof TAIL - 1), msg);
  strcat(dst, TAIL);
  return true;
}
