// Daily log files: one plain-text file per local calendar day under "logs".
// A system line is "HH:MM:SS message", a packet line "HH:MM:SS.text"; the
// file is opened, appended and closed for every line.
#include "core/logs.h"

#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "core/settings.h"

void log_day_name(char *dst, const struct tm *t) {
  snprintf(dst, LOG_NAME_CAP, "logs/%02i%02i%02i.log", t->tm_year + 1900 - 2000, t->tm_mon + 1, t->tm_mday);
}

// Appends one whole line to today's file: "HH:MM:SS", `sep`, the text and a
// line end, in one write; a write cut short is taken back, so no torn line
// is ever left for the next one to run into.
static bool log_line(char sep, const char *text) {
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  char name[LOG_NAME_CAP];
  log_day_name(name, &t);
  std::string line(9, ' ');
  snprintf(line.data(), 10, "%02i:%02i:%02i%c", t.tm_hour, t.tm_min, t.tm_sec, sep);
  line += text;
  line += '\n';
  int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  off_t before = lseek(fd, 0, SEEK_END);
  ssize_t n = write(fd, line.data(), line.size());
  bool ok = n == (ssize_t)line.size();
  if (!ok && n > 0 && before >= 0 && ftruncate(fd, before) != 0) {
    // nothing more can be done: the disk refuses even the cut
  }
  return close(fd) == 0 && ok;
}

bool sys_log(const char *format, ...) {
  if (!syslogs) return true;
  char text[1024];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  return log_line(' ', text);
}

void packet_log(const char *text) {
  if (pac_log) log_line('.', text);
}
