// Start-up settings read once from "setup.ini" (KEY=value lines).
#pragma once
#include <cstdint>

extern int32_t port;       // PORT: TCP port, low 16 bits used; 2020
extern int32_t syslogs;    // DEBUG: nonzero writes system lines to the daily log; 0
extern int8_t CronRetry;   // CRONRETRY: sends per scheduled command (read unsigned); 3
extern int32_t pac_log;    // LOGS: nonzero writes packets to the daily log; 0

constexpr int SETTING_VALUE = 256;  // a value (at most 255 characters) and its NUL

// Looks `key` up in setup.ini: 1 found (the trimmed value in `value`, which
// holds SETTING_VALUE bytes), 0 not found, 255 the file cannot be opened.
uint8_t setting_get(const char *key, char *value);
// Reads all four settings; false when the file cannot be opened.
bool settings();
// Same rules over a text held in memory (one file's content); used by settings().
uint8_t setting_get_text(const char *content, const char *key, char *value);

char *ltrim(char *s);
char *rtrim(char *s);
char *trim(char *s);

// Back to the built-in defaults (tests).
void settings_reset();
