// The value store: one file per key under "mem"; the file system is the store
// (no index, no cache). A read streams the file through one small buffer.
#include "net/memstore.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "core/files.h"
#include "core/hooks.h"
#include "net/mem_quota.h"
#include "core/text.h"
#include "net/http_reply.h"
#include "net/socket.h"
#include "net/static_files.h"

// Store route layout, t = the route text handed over by the router:
//
//   offset  bytes  content
//   0       1      '&' or '_'
//   1       1      verb: 'g'/'G' (get) or 's'/'S' (set)
//   2       2      "et" (either case)
//   4       1      '/'
//   5       1..15  key, ended by '/' or a blank
//   k       1      '/' then the value up to the blank, or a blank: no value
constexpr int MEM_OFF_VERB = 1;
constexpr int MEM_OFF_SLASH = 4;
constexpr int MEM_OFF_KEY = 5;

static char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

int mem_key_parse(const char *text, char *key) {
  int n = 0;
  while (text[n] != '/' && text[n] != ' ') {
    if (n == MEM_KEY_MAX || !valid_char(text[n])) return -1;  // NUL fails here
    key[n] = text[n];
    n++;
  }
  key[n] = 0;
  // "." and ".." name directories: never a value file.
  if (n == 0 || strcmp(key, ".") == 0 || strcmp(key, "..") == 0) return -1;
  return n;
}

bool mem_route_parse(const char *t, mem_route *out) {
  // Each test stops at the first mismatch, so a short text is never passed.
  char verb = lower(t[MEM_OFF_VERB]);
  if (verb != 'g' && verb != 's') return false;
  if (lower(t[2]) != 'e' || lower(t[3]) != 't' || t[MEM_OFF_SLASH] != '/') return false;
  int n = mem_key_parse(t + MEM_OFF_KEY, out->key);
  if (n < 0) return false;
  out->verb = verb;
  int end = MEM_OFF_KEY + n;  // the '/' or blank after the key
  bool no_value = t[end] == ' ' || t[end + 1] == ' ';
  out->value_off = no_value ? 0 : end + 1;
  return true;
}

// Bytes of the file `name` now, 0 when there is none.
static long file_size(const char *name) {
  struct stat st;
  return stat(name, &st) == 0 && S_ISREG(st.st_mode) ? (long)st.st_size : 0;
}

bool mem_file_set(const char *name, char *value) {
  // The value is the rest of the request line: cut it at its end so a
  // request without a protocol version never stores header lines.
  value[strcspn(value, "\r\n")] = 0;
  url_decode(value);
  // The value is a text: a decoded NUL ("%00") ends it. An empty value is
  // refused before the file is touched, and the write replaces the file
  // whole or not at all.
  size_t len = strlen(value);
  if (len == 0) return false;
  // The temporary name holds '~', which no key may hold: it is never served,
  // and never overwrites a value.
  char tmp[MEM_NAME_SIZE + 2];
  snprintf(tmp, sizeof tmp, "%s~", name);
  long before = file_size(name);
  if (!file_write_atomic_via(name, tmp, value, len)) return false;
  mem_used_add((long)len - before);
  return true;
}

// A stored value is the client's bytes: never sniffed, never run as a page
// of the gateway's origin.
static const char VALUE_HEAD[] =
    "Content-Type: application/octet-stream\r\nX-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: sandbox\r\nCache-Control: no-cache no-store\r\nAccess-Control-Allow-Origin: *\r\n"
    "Expires: -1\r\n";

bool mem_file_get(const char *name, uint32_t sock) { return file_reply_head(sock, name, VALUE_HEAD); }

bool memcache(uint32_t sock, char *route) {
  mem_route r;
  if (!mem_route_parse(route, &r)) return false;
  char name[MEM_NAME_SIZE];
  snprintf(name, sizeof name, "mem/%s", r.key);
  dbug(name);
  if (r.value_off == 0) {
    if (r.verb == 's') return false;  // a set needs a value
    return mem_file_get(name, sock);
  }
  // A get that carries a value stores it like a set, where the store has
  // room for it whole (the value's length bounds what it can grow by).
  char *value = route + r.value_off;
  if (!mem_room((long)strcspn(value, " \r\n") - file_size(name))) {
    http_respond_text(sock, "507 Insufficient Storage", nullptr, nullptr, nullptr);
    return true;
  }
  if (!mem_file_set(name, value)) return false;
  http_reply(sock, 200, "OK");
  hook_config.run(CONFIG_VALUE, r.key);
  return true;
}
