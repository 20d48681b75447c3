// What the dashboard knows about the household beyond the device list: each
// sensor's temperature history, each button's last press, and the room each
// device is in (which devices do not answer is the devices layer's). Kept in "home/" next to the
// executable; hears radio events only through the hooks it registers.
//
// Files (all rewritten crash-safely with file_write_atomic):
//   home/history-<id>  one "<unix seconds> <degrees>" line per minute,
//                      oldest first, written at most once a minute
//   home/presses       one "@<id> <button> <unix seconds>" line per button,
//                      written on the tick after a press
//   home/rooms         one "@<id> <room name>" line per device, written on
//                      each room edit
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

constexpr int HOME_SENSOR_MAX = 16;    // sensors with a history
constexpr int HOME_SLOTS = 1500;       // one sample a minute: 25 hours
constexpr int HOME_KEEP_S = 25 * 3600; // older samples are dropped on load
constexpr int HOME_PRESS_MAX = 64;     // buttons with a remembered press
constexpr int HOME_ROOM_MAX = 200;     // devices with a room
constexpr int HOME_ROOM_NAME = 32;     // a room name with its NUL

// Registers the household's hooks and routes: a received packet (a
// temperature report adds to its sensor's history, a button press is
// remembered), the tick (writes what changed, history at most once a minute),
// and "&home", "&history/<id>", "&room/<id>/<name>".
void home_start();
// Every household table back to empty, nothing loaded yet (tests).
void home_reset();

// --- history (home_history.cpp) ---
// Adds a reading of listed or unlisted sensor `id` (six hex digits) taken at
// `t`; one sample is kept per minute (the latest). False when the table is full.
bool history_add(const char *id, time_t t, double degrees);
// Writes the history of `id` as "[[t,v],...]" into `out` (capacity `cap`,
// at least HOME_SLOTS * 24 bytes for a full history); returns its length.
size_t history_json(const char *id, char *out, size_t cap);
// Writes every sensor file changed since the last save when the minute of
// `now` differs from the last save's; returns the number written.
int history_save(time_t now);
// Reads every "home/history-*" file once (later calls do nothing).
void history_load(time_t now);
// Ids of sensors with a history, as a JSON array body ("\"@id\",...").
size_t history_ids(char *out, size_t cap);
void history_reset();

// --- presses, rooms (home_state.cpp) ---
void press_add(const char *id, int button, time_t t);
// The last press of listed or unlisted button `id`: its button number, or 0
// when none is remembered.
int press_last(const char *id);
// The room of `id`, "" when it has none.
const char *room_get(const char *id);
// Counts the room edits saved since start: a reader that saw another count
// reads the rooms again.
unsigned room_changes();
// Sets the room of `id` ("" removes it) and rewrites home/rooms; false when
// the name is refused or the file cannot be written (nothing changed then).
bool room_set(const char *id, const char *room);
// Writes home/presses when a press came since the last write.
void state_save();
// Reads home/presses and home/rooms once.
void state_load();
// The JSON object of /&home, written through `put` in consecutive pieces:
//   {"rooms":{"@id":"Kitchen",..},"presses":{"@id":{"button":1,"time":t},..},
//    "unreachable":["@id",..],"sensors":["@id",..]}
// "unreachable" names the listed devices marked lost (devices layer);
// "sensors" those with a history.
void state_json(void (*put)(void *ctx, const char *text), void *ctx);
void state_reset();

// Creates "home" when missing; false when it cannot be made.
bool home_dir_make();
