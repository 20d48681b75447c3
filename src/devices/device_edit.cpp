// HTTP edits of the "devices" file: add or replace a device line, delete the
// lines of an id. The file is edited as text (notes and malformed lines stay),
// rebuilt in memory and replaced crash-safely; the router reloads the table.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/files.h"
#include "core/text.h"
#include "devices/device_list.h"
#include "net/http_reply.h"

// An edit request after "&device/":
//   0      '@'
//   1..6   id, six characters 0-9 a-f
//   7      '-' delete (the rest is ignored), or '/' add or replace:
//   8..10  type code, three raw characters
//   11     '/'
//   12..   URL-encoded name, up to the blank before the protocol version
constexpr size_t REQ_OP = 7;
constexpr size_t REQ_SEP2 = 11;
constexpr size_t REQ_NAME = 12;
constexpr size_t KEY_LEN = 7;  // '@' and the id: what makes two lines the same device

static const char ROUTE[] = "&device/";

bool device_line_check(const char *line, size_t len) {
  if (len < KEY_LEN + 5 || len > (size_t)DEV_EDIT_LINE_MAX) return false;
  // A name the table cannot hold whole is refused, never cut.
  if (len - REQ_NAME >= sizeof(dev_rec{}.name)) return false;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = (unsigned char)line[i];
    if (c < 0x20 || c == 0x7f) return false;  // LF, CR, NUL and every other control
  }
  // With the line end the file adds, the loader reads it as this device.
  return line[0] == '@' && isID(line) && line[REQ_OP] == '/' && line[REQ_SEP2] == '/';
}

// Appends `len` bytes to out; false when the result would reach `cap`.
static bool out_put(char *out, size_t cap, size_t *n, const char *src, size_t len) {
  if (*n + len >= cap) return false;
  memcpy(out + *n, src, len);
  *n += len;
  return true;
}

int device_file_rebuild(char *out, size_t cap, size_t *out_len, const char *file,
                        size_t file_len, const char *line, size_t line_len, char del) {
  *out_len = 0;
  if (line_len < KEY_LEN) return -1;
  int found = 0;
  size_t pos = 0;
  while (pos < file_len) {
    const char *eol = (const char *)memchr(file + pos, '\n', file_len - pos);
    size_t seg = eol ? (size_t)(eol - (file + pos)) + 1 : file_len - pos;
    size_t piece = seg < (size_t)DEV_LINE_MAX ? seg : (size_t)DEV_LINE_MAX;
    // An unterminated last line is judged as the line it becomes once the
    // edit gives it its line end, so a fragment never turns into a second
    // device behind the edit's back.
    char last[DEV_LINE_MAX + 1];
    const char *judge = file + pos;
    size_t judge_len = piece;
    if (!eol && piece < (size_t)DEV_LINE_MAX) {
      memcpy(last, file + pos, piece);
      last[piece] = '\n';
      judge = last;
      judge_len = piece + 1;
    }
    dev_rec rec;
    bool match = device_line_parse(judge, judge_len, &rec) && memcmp(rec.id, line + 1, 6) == 0;
    if (match) {
      found = 1;
      if (!del && !(out_put(out, cap, out_len, line, line_len) &&
                    out_put(out, cap, out_len, "\n", 1)))
        return -1;
    } else if (!out_put(out, cap, out_len, file + pos, seg)) {
      return -1;
    }
    pos += seg;
  }
  if (!del && !found) {
    // Never join the new line to a last line that lacks its line end.
    if (*out_len > 0 && out[*out_len - 1] != '\n' && !out_put(out, cap, out_len, "\n", 1))
      return -1;
    if (!(out_put(out, cap, out_len, line, line_len) && out_put(out, cap, out_len, "\n", 1)))
      return -1;
  }
  return found;
}

int device_list_save(char *dev_text, char del) {
  size_t line_len;
  if (del) {
    if (dev_text[0] != '@' || !isID(dev_text)) return -1;
    line_len = KEY_LEN;
  } else {
    line_len = (size_t)url_decode(dev_text);
    if (!device_line_check(dev_text, line_len)) return -1;
  }

  static char file[DEV_FILE_CAP];
  static char out[DEV_FILE_CAP];
  size_t file_len = 0;
  FILE *f = fopen("devices", "rb");
  if (!f) {
    if (errno != ENOENT) return -1;  // a missing file is an empty list
  } else {
    file_len = fread(file, 1, sizeof file, f);
    bool bad = ferror(f) != 0 || file_len >= sizeof file;  // too big to edit safely
    fclose(f);
    if (bad) return -1;
  }

  size_t out_len;
  int found = device_file_rebuild(out, sizeof out, &out_len, file, file_len, dev_text, line_len, del);
  if (found < 0) return -1;
  if (del && !found) return 0;  // nothing to change (and no file to create)
  if (!file_write_atomic("devices", out, out_len)) return -1;
  return found;
}

int device_list_http(uint32_t sock, char *route) {
  if (strncmp(route, ROUTE, sizeof ROUTE - 1) != 0) {
    http_reply(sock, 200, "ERROR");
    return 0;
  }
  char *dev = route + sizeof ROUTE - 1;
  if (dev[0] != '@' || !isID(dev)) {
    http_reply(sock, 200, "ERROR");
    return 0;
  }
  if (dev[REQ_OP] == '-') {
    http_reply(sock, 200, device_list_save(dev, 1) == 1 ? "DEVICE DELETE" : "ERROR");
    return 1;
  }
  // Each character is tested before the next is read: the text may end anywhere.
  if (dev[REQ_OP] == '/' && dev[REQ_OP + 1] && dev[REQ_OP + 2] && dev[REQ_OP + 3] &&
      dev[REQ_SEP2] == '/') {
    int r = device_list_save(dev, 0);
    http_reply(sock, 200, r < 0 ? "ERROR" : r == 0 ? "DEVICE ADD" : "DEVICE EDIT");
    return 1;
  }
  http_reply(sock, 200, "ERROR");
  return 0;
}
