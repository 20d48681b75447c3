// Each button's last press and the room of each device; both survive a
// restart ("home/presses", "home/rooms").
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/files.h"
#include "core/text.h"
#include "devices/device_list.h"
#include "home/home.h"

struct press_rec {
  char id[7];       // empty = free
  int button;
  time_t t;
};
struct room_rec {
  char id[7];       // empty = free
  char room[HOME_ROOM_NAME];
};

static press_rec presses[HOME_PRESS_MAX];
static room_rec rooms[HOME_ROOM_MAX];
static bool presses_dirty = false;
static unsigned room_edits = 0;  // room_set calls that changed the table
static bool loaded = false;

void state_reset() {
  memset(presses, 0, sizeof presses);
  memset(rooms, 0, sizeof rooms);
  presses_dirty = false;
  loaded = false;
}

static void id_copy(char *dst, const char *id) {
  memcpy(dst, id, 6);
  dst[6] = 0;
}

static void press_put(const char *id, int button, time_t t) {
  press_rec *slot = nullptr;
  for (press_rec &p : presses) {
    if (p.id[0] && memcmp(p.id, id, 6) == 0) { slot = &p; break; }
    if (!slot && !p.id[0]) slot = &p;
  }
  if (!slot) {  // full: the button pressed longest ago makes room
    slot = &presses[0];
    for (press_rec &p : presses)
      if (p.t < slot->t) slot = &p;
  }
  id_copy(slot->id, id);
  slot->button = button;
  slot->t = t;
}

void press_add(const char *id, int button, time_t t) {
  press_put(id, button, t);
  presses_dirty = true;
}

int press_last(const char *id) {
  state_load();
  for (const press_rec &p : presses)
    if (p.id[0] && memcmp(p.id, id, 6) == 0) return p.button;
  return 0;
}

unsigned room_changes() { return room_edits; }

const char *room_get(const char *id) {
  state_load();
  for (const room_rec &r : rooms)
    if (r.id[0] && memcmp(r.id, id, 6) == 0) return r.room;
  return "";
}

static bool room_name_ok(const char *room) {
  size_t n = strlen(room);
  if (n >= HOME_ROOM_NAME) return false;
  for (size_t i = 0; i < n; i++)
    if ((unsigned char)room[i] < 0x20 || room[i] == 0x7f) return false;
  return true;
}

static bool rooms_write() {
  static char text[HOME_ROOM_MAX * (HOME_ROOM_NAME + 10)];
  size_t n = 0;
  for (const room_rec &r : rooms)
    if (r.id[0]) n += (size_t)snprintf(text + n, sizeof text - n, "@%.6s %s\n", r.id, r.room);
  return home_dir_make() && file_write_atomic("home/rooms", text, n);
}

bool room_set(const char *id, const char *room) {
  if (!room_name_ok(room)) return false;
  room_rec *slot = nullptr;
  for (room_rec &r : rooms) {
    if (r.id[0] && memcmp(r.id, id, 6) == 0) { slot = &r; break; }
    if (!slot && !r.id[0]) slot = &r;
  }
  if (!slot) return false;
  room_rec before = *slot;
  if (room[0]) {
    id_copy(slot->id, id);
    snprintf(slot->room, sizeof slot->room, "%s", room);
  } else {
    slot->id[0] = 0;
  }
  if (rooms_write()) return room_edits++, true;
  *slot = before;
  return false;
}

void state_save() {
  if (!presses_dirty) return;
  char text[HOME_PRESS_MAX * 40];
  size_t n = 0;
  for (const press_rec &p : presses)
    if (p.id[0]) n += (size_t)snprintf(text + n, sizeof text - n, "@%.6s %d %lld\n", p.id, p.button, (long long)p.t);
  if (home_dir_make() && file_write_atomic("home/presses", text, n)) presses_dirty = false;
}

// Calls `line` for each line of `name` whose first word is "@" and an id,
// with the id and the rest of the line (its line end removed).
static void lines_read(const char *name, void (*line)(const char *id, char *rest)) {
  FILE *f = fopen(name, "r");
  if (!f) return;
  char buf[128];
  while (fgets(buf, sizeof buf, f)) {
    buf[strcspn(buf, "\r\n")] = 0;
    if (!isID(buf) || buf[0] != '@' || buf[7] != ' ') continue;
    line(buf + 1, buf + 8);
  }
  fclose(f);
}

void state_load() {
  if (loaded) return;
  loaded = true;
  lines_read("home/presses", [](const char *id, char *rest) {
    char *end;
    long button = strtol(rest, &end, 10);
    if (end == rest || *end != ' ' || button < 0 || button > 255) return;
    long long t = strtoll(end + 1, &end, 10);
    if (*end == 0 && t > 0) press_put(id, (int)button, (time_t)t);
  });
  lines_read("home/rooms", [](const char *id, char *rest) {
    if (!rest[0] || !room_name_ok(rest)) return;
    for (room_rec &r : rooms) {
      if (r.id[0] && memcmp(r.id, id, 6) == 0) return;
      if (!r.id[0]) {
        id_copy(r.id, id);
        snprintf(r.room, sizeof r.room, "%s", rest);
        return;
      }
    }
  });
}

void state_json(void (*put)(void *ctx, const char *text), void *ctx) {
  char piece[HOME_ROOM_NAME * 6 + 64];
  put(ctx, "{\"rooms\":{");
  bool first = true;
  for (const room_rec &r : rooms) {
    if (!r.id[0]) continue;
    snprintf(piece, sizeof piece, "%s\"@%.6s\":\"", first ? "" : ",", r.id);
    json_escape_append(piece, sizeof piece - 2, r.room);
    strcat(piece, "\"");
    put(ctx, piece);
    first = false;
  }
  put(ctx, "},\"presses\":{");
  first = true;
  for (const press_rec &p : presses) {
    if (!p.id[0]) continue;
    snprintf(piece, sizeof piece, "%s\"@%.6s\":{\"button\":%d,\"time\":%lld}", first ? "" : ",", p.id, p.button,
             (long long)p.t);
    put(ctx, piece);
    first = false;
  }
  put(ctx, "},\"unreachable\":[");
  first = true;
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++) {
    if (!dev_list[i].lost) continue;
    snprintf(piece, sizeof piece, "%s\"@%.6s\"", first ? "" : ",", dev_list[i].id);
    put(ctx, piece);
    first = false;
  }
  put(ctx, "],\"sensors\":[");
  char ids[HOME_SENSOR_MAX * 12 + 1];
  history_ids(ids, sizeof ids);
  put(ctx, ids);
  put(ctx, "]}");
}
