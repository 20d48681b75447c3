// Daily log files: one plain-text file per local calendar day under "logs".
// A system line is "HH:MM:SS message", a packet line "HH:MM:SS.text"; the
// file is opened, appended and closed for every line.
#include "core/logs.h"

#include <cstdarg>
#include <cstdio>

#include "core/settings.h"

void log_day_name(char *dst, const struct tm *t) {
  snprintf(dst, LOG_NAME_CAP, "logs/%02i%02i%02i.log", t->tm_year + 1900 - 2000, t->tm_mon + 1, t->tm_mday);
}

// Opens today's file for appending and writes the time stamp and separator.
static FILE *log_open_line(char sep) {
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  char name[LOG_NAME_CAP];
  log_day_name(name, &t);
  FILE *f = fopen(name, "a");
  if (!f) return nullptr;
  fprintf(f, "%02i:%02i:%02i%c", t.tm_hour, t.tm_min, t.tm_sec, sep);
  return f;
}

void sys_log(const char *format, ...) {
  if (!syslogs) return;
  FILE *f = log_open_line(' ');
  if (!f) return;
  va_list ap;
  va_start(ap, format);
  vfprintf(f, format, ap);
  va_end(ap);
  fputc('\n', f);
  fclose(f);
}

void packet_log(const char *text) {
  if (!pac_log) return;
  FILE *f = log_open_line('.');
  if (!f) return;
  fprintf(f, "%s\n", text);
  fclose(f);
}
