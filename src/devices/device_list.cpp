// The device table `dev_list`: its loader from "devices", the two lookups and
// the line rules that decide what a device line is.
#include "devices/device_list.h"

#include <cstdio>
#include <cstring>

#include "core/hooks.h"
#include "core/text.h"

dev_rec dev_list[DEV_MAX + 1];

// A device line, by character offset (0-based):
//   0       '@'
//   1..6    id, six characters 0-9 a-f
//   7       '/'
//   8..10   type code, three characters taken as they are
//   11      '/'
//   12..    name, up to LF or CR, of which the table keeps 31 characters
//   end     LF (a CR before it is accepted)
constexpr size_t LINE_ID = 1;
constexpr size_t LINE_SEP1 = 7;
constexpr size_t LINE_TYPE = 8;
constexpr size_t LINE_SEP2 = 11;
constexpr size_t LINE_NAME = 12;
constexpr size_t LINE_MIN = 13;  // shorter pieces (line end included) are no device

// Copies at most `cap - 1` characters of `src` (`len` long) and terminates.
// A cut never splits a UTF-8 sequence: its lead byte is left out as well.
static void text_copy_cut(char *dst, size_t cap, const char *src, size_t len) {
  size_t n = len < cap - 1 ? len : cap - 1;
  if (n < len)
    for (int back = 0; back < 3 && n > 0 && ((unsigned char)src[n] & 0xC0) == 0x80; back++) n--;
  memcpy(dst, src, n);
  dst[n] = 0;
}

bool device_line_parse(const char *piece, size_t len, dev_rec *out) {
  if (len < LINE_MIN || piece[0] != '@') return false;
  for (size_t i = 0; i < LINE_SEP1; i++)
    if (piece[i] == 0) return false;  // isID reads a terminated text
  if (!isID(piece) || piece[LINE_SEP1] != '/' || piece[LINE_SEP2] != '/') return false;
  memcpy(out->id, piece + LINE_ID, 6);
  out->id[6] = 0;
  memcpy(out->type, piece + LINE_TYPE, 3);
  out->type[3] = 0;
  size_t name_len = 0;
  const char *name = piece + LINE_NAME;
  while (LINE_NAME + name_len < len && name[name_len] != '\n' && name[name_len] != '\r' &&
         name[name_len] != 0)
    name_len++;
  text_copy_cut(out->name, sizeof out->name, name, name_len);
  return true;
}

// Reads the next line: its first DEV_LINE_MAX characters into `piece` (the
// rest of a longer line is passed over and never read as a line of its own).
// Returns the piece length; 0 at the end of the file.
static size_t line_read(FILE *f, char *piece) {
  size_t len = 0;
  int c;
  while ((c = getc(f)) != EOF) {
    if (len < (size_t)DEV_LINE_MAX) piece[len++] = (char)c;
    if (c == '\n') break;
  }
  piece[len] = 0;
  return len;
}

int device_list_load() {
  FILE *f = fopen("devices", "rb");
  if (!f) return 0;
  // The previous table, so each cached state can follow its device by id.
  static dev_rec prev[DEV_MAX + 1];
  memcpy(prev, dev_list, sizeof prev);
  int prev_count = 0;
  while (prev_count < DEV_MAX && prev[prev_count].id[0]) prev_count++;

  int count = 0;
  dev_list[0].id[0] = 0;
  char piece[DEV_LINE_MAX + 1];
  size_t len;
  while (count < DEV_MAX && (len = line_read(f, piece)) > 0) {
    dev_rec rec{};
    if (!device_line_parse(piece, len, &rec)) continue;
    dev_list[count++] = rec;
  }
  fclose(f);
  dev_list[count].id[0] = 0;

  // A device keeps the state of the first not yet claimed previous record with
  // its id (two lines of one id keep their own states in order).
  bool claimed[DEV_MAX] = {};
  for (int i = 0; i < count; i++) {
    for (int j = 0; j < prev_count; j++) {
      if (claimed[j] || strcmp(prev[j].id, dev_list[i].id) != 0) continue;
      claimed[j] = true;
      memcpy(dev_list[i].val, prev[j].val, sizeof dev_list[i].val);
      memcpy(dev_list[i].time, prev[j].time, sizeof dev_list[i].time);
      memcpy(dev_list[i].rssi, prev[j].rssi, sizeof dev_list[i].rssi);
      memcpy(dev_list[i].version, prev[j].version, sizeof dev_list[i].version);
      dev_list[i].level_on = prev[j].level_on;
      dev_list[i].lost = prev[j].lost;
      break;
    }
  }
  hook_devices_loaded.run(count);
  return count;
}

// First listed device whose id agrees with `id` in its first `n` characters.
static int device_list_match(const char *id, size_t n) {
  if (!id) return -1;
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++)
    if (strncmp(dev_list[i].id, id, n) == 0) return i;
  return -1;
}

int device_list_find(const char *id) { return device_list_match(id, 6); }

int device_list_find_mask(const char *id) { return device_list_match(id, 5); }

void device_list_reset() { memset(dev_list, 0, sizeof dev_list); }
