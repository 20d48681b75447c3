// The settings file "setup.ini": KEY=value start-up settings. The core reads
// its own four here (PORT, DEBUG, CRONRETRY, LOGS); every other key is read
// by the subsystem it configures, in its start, through setting_get.
//
// The first four keep the reader's first rules, which stored files rely on:
// lines are read in pieces of at most 63 characters; a piece holding ';' is
// a comment; a piece belongs to a key when the key occurs anywhere in it
// (exact case); the first such piece decides, and without '=' the key counts
// as absent; values are atoi numbers.
//
// Every later key is read only from a line that starts with it (blanks
// allowed before it and around the '='), and its value runs to the end of
// the line, ';' included, at most 255 characters. A line that starts with a
// later key (key_is_later) is never read as one of the first four, so no
// value can pass for another setting.
#include "core/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int32_t port = 2020;
int32_t syslogs = 0;
int8_t CronRetry = 3;
int32_t pac_log = 0;

static const char SETTINGS_FILE[] = "setup.ini";
constexpr int SETTING_LINE = 64;  // line buffer: pieces of at most 63 characters

static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

char *ltrim(char *s) {
  while (is_space(*s)) s++;
  return s;
}

char *rtrim(char *s) {
  size_t n = strlen(s);
  while (n > 0 && is_space(s[n - 1])) s[--n] = 0;
  return s;
}

char *trim(char *s) { return rtrim(ltrim(s)); }

static bool is_word_char(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }

// The first four keys, read by their first rules.
static bool key_is_first(const char *key) {
  static const char *const FIRST[] = {"PORT", "DEBUG", "CRONRETRY", "LOGS"};
  for (const char *k : FIRST)
    if (strcmp(key, k) == 0) return true;
  return false;
}

// The keys added after the first four: names, and families by their start
// (MODEM, MODEM2, MODEMKEY, ...). A line that starts with one of them is that
// key's line only.
static bool key_is_later(const char *key) {
  static const char *const NAMES[] = {"TOKEN", "BIND", "MAXUPLOAD", "MAXPERADDR", "MEMQUOTA", "LAT", "LON"};
  static const char *const FAMILIES[] = {"ALLOW_", "MQTT_", "HA_", "EVENTS_", "HEALTH_", "MODEM"};
  for (const char *k : NAMES)
    if (strcmp(key, k) == 0) return true;
  for (const char *k : FAMILIES)
    if (strncmp(key, k, strlen(k)) == 0) return true;
  return false;
}

// When `line` starts with "KEY=" (blanks allowed), the key into `key` (capacity
// `cap`) and a pointer to the value after the '='; else null.
static const char *line_key(const char *line, char *key, size_t cap) {
  while (*line == ' ' || *line == '\t') line++;
  size_t n = 0;
  while (is_word_char(line[n])) n++;
  const char *p = line + n;
  while (*p == ' ' || *p == '\t') p++;
  if (n == 0 || n >= cap || *p != '=') return nullptr;
  memcpy(key, line, n);
  key[n] = 0;
  return p + 1;
}

// One line of the stream, whole (a line longer than the buffer is cut: the
// rest is passed over); false at the end.
static bool line_next(FILE *f, char *line, size_t cap) {
  if (!fgets(line, (int)cap, f)) return false;
  if (!strchr(line, '\n')) {
    int c;
    while ((c = getc(f)) != EOF && c != '\n') {
    }
  }
  return true;
}

// A first-four key: the pieces of every line that does not start with a
// later key, by the first rules.
static uint8_t setting_scan_first(FILE *f, const char *key, char *value) {
  char line[1024], other[64];
  while (line_next(f, line, sizeof line)) {
    if (line_key(line, other, sizeof other) && key_is_later(other)) continue;
    size_t len = strlen(line);
    for (size_t at = 0; at < len; at += SETTING_LINE - 1) {
      char piece[SETTING_LINE];
      snprintf(piece, sizeof piece, "%.*s", SETTING_LINE - 1, line + at);
      if (strchr(piece, ';') || !strstr(piece, key)) continue;
      char *eq = strchr(piece, '=');
      if (!eq) return 0;
      strcpy(value, trim(eq + 1));  // at most 62 characters
      return 1;
    }
  }
  return 0;
}

static uint8_t setting_scan(FILE *f, const char *key, char *value) {
  if (key_is_first(key) || !key[0]) return setting_scan_first(f, key, value);
  char line[1024], found[64];
  while (line_next(f, line, sizeof line)) {
    const char *after = line_key(line, found, sizeof found);
    if (!after || strcmp(found, key) != 0) continue;
    char v[sizeof line];
    snprintf(v, sizeof v, "%s", after);
    snprintf(value, SETTING_VALUE, "%s", trim(v));
    return 1;
  }
  return 0;
}

uint8_t setting_get(const char *key, char *value) {
  // Opened for reading only: a settings file the gateway may not write (the
  // normal case for an installed service) must still be read.
  FILE *f = fopen(SETTINGS_FILE, "r");
  if (!f) return 255;
  uint8_t found = setting_scan(f, key, value);
  fclose(f);
  return found;
}

uint8_t setting_get_text(const char *content, const char *key, char *value) {
  FILE *f = fmemopen((void *)content, strlen(content), "r");
  if (!f) return 255;
  uint8_t found = setting_scan(f, key, value);
  fclose(f);
  return found;
}

bool settings() {
  char value[SETTING_VALUE];
  if (setting_get("", value) == 255) return false;
  if (setting_get("PORT", value) == 1) port = atoi(value);
  if (setting_get("DEBUG", value) == 1) syslogs = atoi(value);
  printf("DEBUG=%i\n", syslogs);
  if (setting_get("CRONRETRY", value) == 1) CronRetry = (int8_t)atoi(value);
  if (CronRetry == 0 || CronRetry > 10) CronRetry = 3;
  if (setting_get("LOGS", value) == 1) pac_log = atoi(value);
  printf("LOGS=%i\n", pac_log);
  return true;
}

void settings_reset() {
  port = 2020;
  syslogs = 0;
  CronRetry = 3;
  pac_log = 0;
}
