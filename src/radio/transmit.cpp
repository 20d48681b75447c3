// The RF command transmitter. Owns the packet counter pcnt, last_tx and
// g_last_set_level; parses one radio text command at fixed positions and
// writes one 65-byte output report to the modem.
//
// Radio text command (character positions):
//   0      '@' (dispatched on by the callers, not tested here)
//   1-6    device id, three hex pairs
//   7      form: '?' status, '=' level or "=?" status, '!' toggle,
//          '+' off timer, '/' clock and register words, else raw packet
//   8..    the form's argument
//
// Output report:
//   offset  content
//   0       0x00, report number taken by the modem write
//   1       0x01, radio packet
//   2       length: 6 + data bytes (raw form: 7 + data bytes)
//   3-5     device id bytes 1..3
//   6       0x00 (raw form: given)
//   7       packet counter 0..7 (raw form: given; pcnt still advances)
//   8       command code
//   9..63   data bytes (at most 55)
#include "radio/transmit.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/flags.h"
#include "core/text.h"
#include "radio/modem.h"

namespace {

constexpr int REP_NUMBER = 0;
constexpr int REP_KIND = 1;
constexpr int REP_LEN = 2;
constexpr int REP_ID = 3;
constexpr int REP_BYTE6 = 6;
constexpr int REP_COUNTER = 7;
constexpr int REP_CMD = 8;
constexpr int REP_DATA = 9;

constexpr uint8_t KIND_RADIO = 0x01;
constexpr uint8_t KIND_LED = 0x02;

constexpr uint8_t CMD_SET_REG = 0x03;
constexpr uint8_t CMD_GET_REG = 0x04;
constexpr uint8_t CMD_STATUS = 0x02;
constexpr uint8_t CMD_TOGGLE = 0x05;
constexpr uint8_t CMD_LEVEL = 0x07;
constexpr uint8_t CMD_OFF_TIMER = 0x0A;
constexpr uint8_t CMD_CLOCK = 0x13;
constexpr uint8_t REPLY_BIT = 0x80;

constexpr int POS_ID = 1;
constexpr int POS_FORM = 7;
constexpr int POS_ARG = 8;
constexpr int POS_OPERAND = 12;  // after "/get/" or "/set/"
constexpr int POS_RAW_DATA = 13;

constexpr int GET_COUNT_MAX = 10;
constexpr int PROTECTED_REG_MAX = 3;  // registers 0..3 need root mode
constexpr int CLOCK_LEN = 4;
constexpr uint8_t COUNTER_MASK = 0x07;

uint8_t pcnt = 0;

// The character at `pos`, or NUL when the text ends before it.
char char_at(const char *text, size_t len, size_t pos) {
  return pos < len ? text[pos] : '\0';
}

// The hex pair at `pos`; a text ending before it raises the error flag.
uint8_t pair_at(const char *text, size_t len, size_t pos, uint8_t *err) {
  if (pos >= len) {
    *err = 1;
    return 0;
  }
  return hexdec(text + pos, err);  // reads at most text[len], the NUL
}

// Decimal argument as the standard conversion reads it (blanks, sign,
// digits up to the first non-digit; no digits read as 0), clamped to long.
long number_at(const char *text, size_t len, size_t pos) {
  if (pos >= len) return 0;
  return strtol(text + pos, nullptr, 10);
}

// Looks for `word` in the command's own text: from position 8 up to the
// first blank, line end or end of text, so the header lines that follow an
// HTTP request line can never select a form.
bool word_in_command(const char *text, size_t len, const char *word) {
  size_t end = POS_ARG;
  while (end < len && text[end] != ' ' && text[end] != '\r' && text[end] != '\n') end++;
  size_t wlen = strlen(word);
  for (size_t at = POS_ARG; at + wlen <= end; at++) {
    if (memcmp(text + at, word, wlen) == 0) return true;
  }
  return false;
}

bool list_end(char c) { return c == '\0' || c == ' ' || c == '\r' || c == '\n'; }

// Raw packet form: byte 6, counter and command from positions 7-12, data
// pairs from 13 up to a line end, blank or end of text; '-' there means
// that no reply is awaited. Returns the data count, or -1 when bad.
int raw_fill(const char *text, size_t len, uint8_t *report, bool *no_reply, uint8_t *err) {
  report[REP_BYTE6] = pair_at(text, len, POS_FORM, err);
  report[REP_COUNTER] = pair_at(text, len, POS_FORM + 2, err);
  report[REP_CMD] = pair_at(text, len, POS_FORM + 4, err);
  if (*err) return -1;
  int n = 0;
  for (size_t pos = POS_RAW_DATA;; pos += 2) {
    char c = char_at(text, len, pos);
    if (list_end(c)) break;
    if (c == '-') {
      *no_reply = true;
      break;
    }
    if (n == RF_DATA_MAX) return -1;
    report[REP_DATA + n++] = pair_at(text, len, pos, err);
    if (*err) return -1;
  }
  return n;
}

// "get/RR " or "get/RRNN" (NN at most 10). Returns the data count or -1.
int get_fill(const char *text, size_t len, uint8_t *report, uint8_t *err) {
  report[REP_DATA] = pair_at(text, len, POS_OPERAND, err);
  if (char_at(text, len, POS_OPERAND + 2) == ' ') return *err ? -1 : 1;
  uint8_t count = pair_at(text, len, POS_OPERAND + 2, err);
  if (*err || count > GET_COUNT_MAX) return -1;
  report[REP_DATA + 1] = count;
  return 2;
}

// "set/RR" and value pairs up to a blank; registers 0..3 only in root mode.
// Returns the data count (register included) or -1.
int set_fill(const char *text, size_t len, uint8_t *report, bool root_mode, uint8_t *err) {
  uint8_t reg = pair_at(text, len, POS_OPERAND, err);
  if (*err || (!root_mode && reg <= PROTECTED_REG_MAX)) return -1;
  report[REP_DATA] = reg;
  int n = 0;
  for (size_t pos = POS_OPERAND + 2; char_at(text, len, pos) != ' '; pos += 2) {
    if (n == RF_DATA_MAX) return -1;
    report[REP_DATA + 1 + n++] = pair_at(text, len, pos, err);
    if (*err) return -1;  // end of text, line end or any non-hex character
  }
  return 1 + n;
}

// The '/' forms. Returns the data count or -1; sets the command code.
int slash_fill(const char *text, size_t len, uint8_t *report, bool root_mode,
               const uint8_t *clock, uint8_t *err) {
  if (word_in_command(text, len, "timeset")) {
    report[REP_CMD] = CMD_CLOCK;
    memcpy(report + REP_DATA, clock, CLOCK_LEN);
    return CLOCK_LEN;
  }
  if (word_in_command(text, len, "time?")) {
    report[REP_CMD] = CMD_CLOCK;
    return 0;
  }
  if (word_in_command(text, len, "get/")) {
    report[REP_CMD] = CMD_GET_REG;
    return get_fill(text, len, report, err);
  }
  if (word_in_command(text, len, "set/")) {
    report[REP_CMD] = CMD_SET_REG;
    return set_fill(text, len, report, root_mode, err);
  }
  return -1;
}

}  // namespace

tx_target last_tx = {};
uint8_t g_last_set_level = LEVEL_NONE;

uint8_t rf_tx_build(const char *text, uint8_t *report, bool root_mode, const uint8_t *clock) {
  memset(report, 0, RF_REPORT_LEN);
  size_t len = strlen(text);
  uint8_t err = 0;
  report[REP_NUMBER] = 0x00;
  report[REP_KIND] = KIND_RADIO;
  for (int i = 0; i < 3; i++) report[REP_ID + i] = pair_at(text, len, POS_ID + 2 * i, &err);
  if (err) return RF_TX_BAD;

  report[REP_BYTE6] = 0x00;
  report[REP_COUNTER] = pcnt;
  pcnt = (uint8_t)((pcnt + 1) & COUNTER_MASK);
  g_last_set_level = LEVEL_NONE;

  int n = 0;  // data bytes after the command code
  bool no_reply = false;
  bool level = false;
  char form = char_at(text, len, POS_FORM);
  char arg = char_at(text, len, POS_ARG);
  if (form == '?' || (form == '=' && arg == '?')) {
    report[REP_CMD] = CMD_STATUS;
  } else if (form == '=') {
    report[REP_CMD] = CMD_LEVEL;
    report[REP_DATA] = (uint8_t)(number_at(text, len, POS_ARG) & 0xFF);  // low 8 bits
    n = 1;
    level = true;
  } else if (form == '!') {
    report[REP_CMD] = CMD_TOGGLE;
  } else if (form == '+') {
    long seconds = number_at(text, len, POS_ARG);
    if (seconds < 1 || seconds > 65535) return RF_TX_BAD;
    report[REP_CMD] = CMD_OFF_TIMER;
    report[REP_DATA] = (uint8_t)(seconds >> 8);
    report[REP_DATA + 1] = (uint8_t)(seconds & 0xFF);
    n = 2;
  } else if (form == '/') {
    n = slash_fill(text, len, report, root_mode, clock, &err);
  } else {
    n = raw_fill(text, len, report, &no_reply, &err);
    if (n >= 0) n += 1;  // the raw length byte counts one byte more
  }
  if (n < 0 || err) return RF_TX_BAD;
  report[REP_LEN] = (uint8_t)(6 + n);

  if (level) g_last_set_level = report[REP_DATA];
  last_tx = {{report[REP_ID], report[REP_ID + 1], report[REP_ID + 2]}, (uint8_t)(report[REP_CMD] | REPLY_BIT)};
  return no_reply ? RF_TX_NO_REPLY : RF_TX_AWAIT;
}

uint8_t usb_rf_tx(const char *text, tx_source source) {
  if (usb_handle == nullptr) return RF_TX_NO_MODEM;
  uint8_t clock[CLOCK_LEN];
  time_hex(clock);
  uint8_t report[RF_REPORT_LEN];
  uint8_t result = rf_tx_build(text, report, root != 0, clock);
  if (result == RF_TX_BAD) return RF_TX_BAD;
  usb_write_for(report + REP_ID, report, RF_REPORT_LEN);  // a lost modem shows at the next read
  hook_tx.run(source);
  return result;
}

bool led_report_build(const char *text, uint8_t *report) {
  size_t len = strlen(text);
  uint8_t err = 0;
  uint8_t value = pair_at(text, len, 1, &err);
  if (err) return false;
  report[0] = KIND_LED;
  report[1] = value;
  return true;
}

bool usb_led(const char *text) {
  if (usb_handle == nullptr) return false;
  uint8_t report[LED_REPORT_LEN];
  if (!led_report_build(text, report)) return false;
  usb_write(report, LED_REPORT_LEN);
  return true;
}

void time_hex(uint8_t *bytes) {
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  bytes[0] = (uint8_t)(0x80 >> t.tm_wday);
  bytes[1] = (uint8_t)t.tm_hour;
  bytes[2] = (uint8_t)t.tm_min;
  bytes[3] = (uint8_t)t.tm_sec;
}

void transmit_reset() {
  pcnt = 0;
  last_tx = {};
  g_last_set_level = LEVEL_NONE;
}
