// The device registry: the table of known radio devices loaded from the
// "devices" file, its HTTP edits, and each device's cached last state.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int DEV_MAX = 200;           // devices in the table; one more record holds the end mark
constexpr int DEV_LINE_MAX = 63;       // a device line with its line end, as the loader reads it
constexpr int DEV_EDIT_LINE_MAX = 62;  // an edited line before its line end
constexpr int DEV_FILE_CAP = 4096;     // the "devices" file stays below this many characters

// One device; every text is NUL-terminated, widths include the terminator.
struct dev_rec {
  char id[7];     // six characters 0-9 a-f; empty marks the end of the list
  char type[4];   // three characters from the file; 'r' first marks a relay
  char name[32];  // display name, no LF or CR
  char val[32];   // last state text (device_cache.cpp)
  char time[16];  // seconds since 1970 of the last state update, "%lu"
  char rssi[5];   // signal of the last state update, e.g. "87%"
  char version[4];   // firmware version a status report told ("12"), empty until one did
  uint8_t level_on;  // last non-zero level (1-100) of its cached state, 0 while none is known
  bool lost;         // unreachable: a command got no reply and nothing was heard since
};
extern dev_rec dev_list[DEV_MAX + 1];

// Loads the table from "devices" and returns the device count; 0 and the table
// untouched when the file cannot be opened. Cached states follow their device
// by id; a device new to the table starts with empty state.
int device_list_load();
// Index of the first listed device whose id equals the first six characters of
// `id` (no '@'); -1 when none. Never reads `id` past its NUL.
int device_list_find(const char *id);
// As device_list_find, comparing only the first five characters (any channel).
int device_list_find_mask(const char *id);
// Empties the table, cached states included (tests).
void device_list_reset();

// Parses one line as the loader sees it: `piece` holds the first `len`
// characters of the line (at most DEV_LINE_MAX, its line end included when it
// fits). True and `id`, `type`, `name` set in `out` for a device line.
bool device_line_parse(const char *piece, size_t len, dev_rec *out);

// Handles one "&device/..." edit request and writes one kind-200 reply:
// "DEVICE ADD", "DEVICE EDIT", "DEVICE DELETE" or "ERROR". `route` points at
// "&device/" in the request buffer, which may be changed (the name is decoded
// in place). Returns 1 when an edit was attempted, 0 when the request was refused.
int device_list_http(uint32_t sock, char *route);
// Applies one edit to "devices": `dev_text` points at the '@'; `del` 1 deletes,
// 0 adds or replaces (the text up to its first blank, URL-decoded in place).
// Returns 1 when a line of that id was there, 0 when none was, -1 when the edit
// is refused or the file cannot be read or written (the file is then unchanged).
int device_list_save(char *dev_text, char del);
// True when `line` (`len` characters, no line end) is an edit's decoded line
// that the loader reads back as exactly that device.
bool device_line_check(const char *line, size_t len);
// Rebuilds the file content `file` (`file_len` characters) with one edit into
// `out` (capacity `cap`, result length in *out_len, no terminator). `line` is
// the edit's line without its line end (only its first 7 characters for a
// delete). Returns 1 when a device line of that id was found (every such line
// replaced or left out), 0 when none was (an add appends), -1 when the result
// would not stay below `cap` characters.
int device_file_rebuild(char *out, size_t cap, size_t *out_len, const char *file,
                        size_t file_len, const char *line, size_t line_len, char del);

// Updates the cached state from a received packet whose radio event was just
// built (g_last_id_str, g_data, g_rssi). Returns the updated index, 0 for a
// multi-channel report, -1 when nothing was taken.
int device_list_cache(const uint8_t *packet);
// State text of channel `chan` (1-4) of a multi-channel status payload `data`
// (packet byte 8 on, at least 4 bytes readable); `out` holds >= 8 bytes.
// Returns 1, or 0 and writes nothing for a kind that is not multi-channel.
int status_by_chan(char *out, const uint8_t *data, char chan);
// One listed object: the fixed text (60 characters with the list's "]" or ",")
// and six escaped fields, each character growing to at most 6 ("\u00XX"):
// 6+3+31+31+15+4 = 90 characters.
constexpr size_t DEV_OBJ_SIZE = 60 + 90 * 6 + 1;
// Writes device `d` as the JSON object /&devices lists (and the event stream
// sends): {"id":"@…","name":…,"type":…,"val":…,"time":…,"rssi":…}.
void device_object(char *obj, const dev_rec *d);
// Writes the whole table as one JSON array reply (kind 202), object by object.
void device_list_get(uint32_t sock);

// Reachability (device_reach.cpp). A device is unreachable after a command to
// it got no reply and reachable again when any packet of it is heard; each
// change runs hook_reach. A multi-channel device answers every channel from
// its channel-0 id, so a packet heard clears every listed channel of it (ids
// equal in the first five digits), while a NO REPLY marks the listed device of
// the commanded id, or every listed channel when the channel-0 id was
// commanded and is not listed itself.
void device_reach_lost(const char *id);
void device_reach_heard(const char *id);

// Registers the state cache and reachability on hook_packet (a packet the
// cache takes goes to the packet log), reachability on hook_no_reply, the
// weak-signal filter's list, and the route "&device".
void devices_start();
