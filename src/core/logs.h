// Daily log files "logs/YYMMDD.log": system lines and packet lines.
#pragma once
#include <ctime>

// Appends "HH:MM:SS message\n" to today's file while `syslogs` is on. The
// line is written whole or not at all (a short write is cut back). False
// when it should have been written and was not.
bool sys_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Appends "HH:MM:SS.text\n" to today's file while `pac_log` is on.
void packet_log(const char *text);
// Writes "logs/YYMMDD.log" for the broken-down time into `dst` (LOG_NAME_CAP bytes).
constexpr int LOG_NAME_CAP = 48;  // "logs/" + three numbers + ".log", any int values
void log_day_name(char *dst, const struct tm *t);
