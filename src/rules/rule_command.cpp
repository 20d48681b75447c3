// The radio command check of "send" actions: one whole command of the
// gateway's grammar, read at the transmitter's positions (radio/transmit.cpp)
// but stricter, since a stored rule has no request line around it: nothing
// may follow the command, and a level is 0-100 as the README gives it.
//
//   0      '@'
//   1-6    device id, three hex pairs
//   7..    "?" | "=?" | "=" level 0-100 | "!" | "+" seconds 1-65535 |
//          "/timeset" | "/time?" | "/get/RR" | "/get/RRNN" (NN <= 0a) |
//          "/set/RR" + value pairs (RR >= 04: 00-03 need root mode) |
//          raw: byte 6, counter, command code, data pairs, optional '-'
#include <cstring>

#include "radio/transmit.h"
#include "rules/rule.h"

namespace {

constexpr int POS_FORM = 7;
constexpr int GET_COUNT_MAX = 10;
constexpr int PROTECTED_REG_MAX = 3;
constexpr long OFF_TIMER_MAX = 65535;
constexpr long LEVEL_MAX = 100;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hex pairs from `p` to the end (or to a final '-' when `dash`); their count,
// or -1 when anything else is there.
int hex_pairs(const char *p, bool dash, uint8_t *first) {
  int n = 0;
  while (*p) {
    if (dash && p[0] == '-' && p[1] == 0) break;
    if (hex_digit(p[0]) < 0 || hex_digit(p[1]) < 0) return -1;
    if (n == 0 && first) *first = (uint8_t)(hex_digit(p[0]) * 16 + hex_digit(p[1]));
    p += 2, n++;
  }
  return n;
}

// A whole decimal number of 1..`digits` digits, else -1.
long decimal(const char *p, int digits) {
  long v = 0;
  int n = 0;
  for (; *p; p++, n++) {
    if (*p < '0' || *p > '9' || n == digits) return -1;
    v = v * 10 + (*p - '0');
  }
  return n ? v : -1;
}

bool say(const char **why, const char *text) {
  *why = text;
  return false;
}

}  // namespace

bool rule_command_valid(const char *cmd, const char **why) {
  if (cmd[0] != '@') return say(why, "a radio command starts with @ and a device id");
  for (int i = 1; i < POS_FORM; i++)
    if (hex_digit(cmd[i]) < 0) return say(why, "a radio command starts with @ and a device id");
  const char *f = cmd + POS_FORM;
  if (!strcmp(f, "?") || !strcmp(f, "=?") || !strcmp(f, "!") || !strcmp(f, "/timeset") || !strcmp(f, "/time?"))
    return true;
  if (f[0] == '=') {
    long v = decimal(f + 1, 3);
    return v >= 0 && v <= LEVEL_MAX ? true : say(why, "a level is 0-100");
  }
  if (f[0] == '+') {
    long v = decimal(f + 1, 5);
    return v >= 1 && v <= OFF_TIMER_MAX ? true : say(why, "an off timer is 1-65535 seconds");
  }
  if (!strncmp(f, "/get/", 5)) {
    uint8_t count = 0;
    int n = hex_pairs(f + 5, false, nullptr);
    if (n == 2) hex_pairs(f + 7, false, &count);
    if ((n == 1 || n == 2) && count <= GET_COUNT_MAX) return true;
    return say(why, "a register read is /get/RR or /get/RRNN (hex, NN at most 0a)");
  }
  if (!strncmp(f, "/set/", 5)) {
    uint8_t reg = 0;
    int n = hex_pairs(f + 5, false, &reg);
    if (n < 1 || n > RF_DATA_MAX) return say(why, "a register write is /set/RR and value pairs (hex)");
    return reg > PROTECTED_REG_MAX ? true : say(why, "registers 00-03 need root mode");
  }
  if (hex_digit(f[0]) >= 0) {
    int n = hex_pairs(f, true, nullptr);
    if (n >= 3 && n - 3 <= RF_DATA_MAX) return true;
    return say(why, "a raw packet is hex pairs: byte 6, counter, command, at most 55 data bytes, optional -");
  }
  return say(why, "not a radio command form (? =level ! +seconds /timeset /time? /get/ /set/ or raw hex)");
}
