// Each button's last press, the devices that did not answer, and the room of
// each device; presses and rooms survive a restart ("home/presses",
// "home/rooms"), reachability starts fresh (every device reachable).
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
// Ids that did not answer. A multi-channel device is addressed per channel
// but answers for all of them, so entries match on the first five digits.
static char lost[HOME_UNREACH_MAX][7];
static bool presses_dirty = false;
static bool loaded = false;

void state_reset() {
  memset(presses, 0, sizeof presses);
  memset(rooms, 0, sizeof rooms);
  memset(lost, 0, sizeof lost);
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

void reach_lost(const char *id) {
  char *free_slot = nullptr;
  for (auto &e : lost) {
    if (e[0] && memcmp(e, id, 5) == 0) return;
    if (!e[0] && !free_slot) free_slot = e;
  }
  if (free_slot) id_copy(free_slot, id);
}

void reach_heard(const char *id) {
  for (auto &e : lost)
    if (e[0] && memcmp(e, id, 5) == 0) e[0] = 0;
}

bool reach_is_lost(const char *id) {
  for (auto &e : lost)
    if (e[0] && memcmp(e, id, 5) == 0) return true;
  return false;
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
  if (rooms_write()) return true;
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
    if (!reach_is_lost(dev_list[i].id)) continue;
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
