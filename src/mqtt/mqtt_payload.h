// The MQTT bridge's payloads: reading what the broker hands in (a device's
// /set payload, a request object) and writing a device's state object. Pure
// functions over caller buffers: no broker, no radio, no globals.
#pragma once
#include <cstddef>

#include "devices/device_list.h"

constexpr int SET_CMDS_MAX = 2;    // radio commands one /set payload may become
constexpr int SET_CMD_SIZE = 24;   // "@1a2b30+65535" and its NUL fit easily
constexpr size_t STATE_JSON_SIZE = 256;

// Reads the value of `key` from a flat JSON object (`len` bytes, no NUL
// needed). Values may be strings (unescaped into `out`), numbers, true, false
// or null (their text into `out`); nested objects and arrays make the whole
// object unreadable. Returns 1 found, 0 absent, -1 not a flat JSON object or
// the value does not fit `cap` bytes. *is_string tells a string from the rest.
int json_flat_get(const char *json, size_t len, const char *key, char *out, size_t cap, bool *is_string);

// Turns a /set payload for device `id` (six hex digits) into radio text
// commands: ON, OFF, TOGGLE, a level 0-100, or a JSON object with "state"
// (ON, OFF, TOGGLE), "brightness" (0-100) and "off_timer" (1-65535 seconds).
// ON without a brightness sets `on_level` (the last non-zero level known; any
// value outside 1-100 means 100).
// An off timer comes first so that a level command is the last one sent (a
// bare level acknowledgement is read against the last level sent).
// Returns the number of commands written to `cmds` (1 or 2), or 0 when the
// payload is not one of these; `why` then holds a short reason.
int mqtt_set_parse(const char *payload, size_t len, const char *id, char cmds[SET_CMDS_MAX][SET_CMD_SIZE],
                   const char **why, int on_level = 100);

// The Home Assistant component a device type's main entity appears as:
// "switch" (rel, rtc), "light" (dim, led), "event" (btn, beside one trigger
// per button) or "sensor" (tmp and any other type).
const char *mqtt_component(const char *type);

// The state object of a listed device: {"state":"ON"} for switches,
// {"state":"ON","brightness":60} for lights, {"temperature":21.5} for
// temperature sensors, {"state":"<text>"} for the rest, each followed by
// "rssi" (percent) and "last_seen" (Unix seconds). False when the device has
// never been heard (nothing to publish).
bool mqtt_state_json(const dev_rec *d, char *out, size_t cap);
