// One automation rule: its model, the parser that validates a rule's JSON
// object into it, the radio command check its "send" actions use, and the
// writer that turns it back into JSON. Pure: no files, no clock, no radio.
//
// A rule (JSON object):
//   id       1-32 of a-z 0-9 - _ (required)
//   name     text, at most RULE_NAME_MAX bytes (optional)
//   enabled  true (default) or false
//   when     1..RULE_WHEN_MAX triggers, any of them fires the rule
//   if       0..RULE_IF_MAX conditions, all must hold
//   then     1..RULE_THEN_MAX actions, in order
//   mode     "single", "restart" (default) or "queued"
// last_fired, next and paused (what a listing adds) are accepted and ignored.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/json_read.h"

constexpr int RULES_MAX = 100;      // rules in the table
constexpr int RULE_WHEN_MAX = 8;    // triggers per rule
constexpr int RULE_IF_MAX = 8;      // conditions per rule
constexpr int RULE_THEN_MAX = 16;   // actions per rule
constexpr int RULE_ID_MAX = 32;     // characters of an id
constexpr int RULE_NAME_MAX = 80;   // bytes of a name
constexpr int RULE_TEXT_MAX = 127;  // bytes of a command or event text; the longest radio
                                    // command (raw, 55 data bytes and '-') has 124
constexpr int RULE_DELAY_MAX = 86400;       // seconds of one delay
constexpr int RULE_OFFSET_MAX = 12 * 3600;  // seconds a sun time may be moved
constexpr int RULE_ERROR_MAX = 160;         // "<path>: <reason>" with its NUL
constexpr uint8_t RULE_DAYS_ALL = 0xFE;     // days as the schedule keeps them: 0x80 >> weekday

enum rule_when_kind : uint8_t { WHEN_BUTTON, WHEN_STATE, WHEN_TEMPERATURE, WHEN_TIME, WHEN_START, WHEN_UNREACHABLE, WHEN_HUB };
enum rule_if_kind : uint8_t { IF_TIME, IF_DAYS, IF_STATE, IF_TEMPERATURE, IF_SUN, IF_HUB };
enum rule_then_kind : uint8_t { THEN_SEND, THEN_DELAY, THEN_EVENT };
enum rule_mode : uint8_t { MODE_SINGLE, MODE_RESTART, MODE_QUEUED };

// A time of day: "HH:MM", or "sunrise"/"sunset" moved by "+HH:MM"/"-HH:MM".
enum rule_clock_base : uint8_t { CLOCK_AT, CLOCK_SUNRISE, CLOCK_SUNSET };
struct rule_clock {
  rule_clock_base base;
  int32_t offset;  // CLOCK_AT: seconds after midnight; else seconds after the sun event
};

// A device state to match: on, off, or a level range (bounds exclusive; a
// missing bound is open). "ON" counts as level 100, "OFF" as 0.
enum rule_level_kind : uint8_t { LEVEL_ON, LEVEL_OFF, LEVEL_RANGE };
struct rule_level {
  rule_level_kind kind;
  bool has_above, has_below;
  double above, below;
};

struct rule_when {
  rule_when_kind kind;
  char device[7];      // six hex digits, no '@' (button, state, temperature, unreachable)
  int16_t number;      // button: 0-255, or -1 for any button
  rule_level to;       // state
  bool rising;         // temperature: true for "above", false for "below"
  double limit;        // temperature
  double hysteresis;   // temperature, default 0.5
  rule_clock at;       // time
  uint8_t days;        // time
  bool online;         // hub
};

struct rule_if {
  rule_if_kind kind;
  char device[7];                   // state, temperature
  rule_level is;                    // state
  bool has_above, has_below;        // temperature
  double above, below;              // temperature
  bool has_after, has_before;       // time
  rule_clock after, before;         // time
  uint8_t days;                     // days
  bool up;                          // sun: true "up"
  bool online;                      // hub
};

struct rule_then {
  rule_then_kind kind;
  uint32_t seconds;               // delay
  char text[RULE_TEXT_MAX + 1];   // send: the command; event: the text
};

struct rule {
  char id[RULE_ID_MAX + 1];
  char name[RULE_NAME_MAX + 1];
  bool enabled;
  rule_mode mode;
  uint8_t n_when, n_if, n_then;
  rule_when when[RULE_WHEN_MAX];
  rule_if cond[RULE_IF_MAX];
  rule_then then[RULE_THEN_MAX];
};

// What validation needs from the gateway: sun expressions need a place.
struct rule_context {
  bool has_place;  // LAT and LON are set
};

// Validates the rule object `obj` into `out`. False with "<path>: <reason>"
// in `err` (RULE_ERROR_MAX bytes), e.g. "when[0].button: not a device id".
bool rule_parse(const json_node *obj, const rule_context &ctx, rule *out, char *err);
// Reads `len` bytes of one rule's JSON text (copied; the caller's bytes stay
// as they are) and validates it. Errors of the text itself read
// "rule: line L col C: <reason>".
bool rule_parse_text(const char *text, size_t len, const rule_context &ctx, rule *out, char *err);
// True when `id` is a valid rule id.
bool rule_id_valid(const char *id);

// True when `cmd` is one whole radio command of the gateway's grammar (the
// forms README lists under "Radio commands"); else false and a reason. Checks
// the text only: the modem, the packet counter and the last command are left
// alone, unlike the transmitter's own parser.
bool rule_command_valid(const char *cmd, const char **why);

// Appends the rule as a JSON object: compact (`indent` < 0) or pretty, one
// member a line, with `indent` spaces before each line but the first.
void rule_json(std::string &out, const rule &r, int indent);
// Appends `text` as a JSON string, quotes included.
void rule_json_string(std::string &out, const char *text);
// Appends a clock expression's text ("07:30", "sunset-00:30").
void rule_clock_text(std::string &out, const rule_clock &c);
