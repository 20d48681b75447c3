// The settings file "setup.ini": KEY=value start-up settings. The core reads
// its own four here (PORT, DEBUG, CRONRETRY, LOGS); every other key is read
// by the subsystem it configures, in its start, through setting_get.
//
// Reader rules that stored files rely on: lines are read in pieces of at most
// 63 characters; a piece holding ';' is a comment; a piece belongs to a key
// when the key occurs anywhere in it (exact case); the first such piece
// decides, and without '=' the key counts as absent; values are atoi numbers.
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

// Scans an open stream for the first piece that belongs to `key`.
static uint8_t setting_scan(FILE *f, const char *key, char *value) {
  char line[SETTING_LINE];
  while (fgets(line, sizeof line, f)) {
    if (strchr(line, ';') || !strstr(line, key)) continue;
    char *eq = strchr(line, '=');
    if (!eq) return 0;
    strcpy(value, trim(eq + 1));  // at most 62 characters: fits the caller's 63 bytes
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
  char value[SETTING_LINE];
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
