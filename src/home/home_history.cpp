// Temperature history: per sensor a ring of one sample a minute, 25 hours
// deep, saved to "home/history-<id>" at most once a minute and read back at
// start, so a restart keeps the chart.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

#include "core/files.h"
#include "core/load_report.h"
#include "home/home.h"

struct sensor_rec {
  char id[7];          // six hex digits; empty = free
  int count;           // samples held
  int head;            // index of the oldest sample
  bool dirty;          // changed since the last save
  uint32_t t[HOME_SLOTS];  // unix seconds of the sample
  int16_t tenths[HOME_SLOTS];  // degrees * 10
};

static sensor_rec sensors[HOME_SENSOR_MAX];
static time_t saved_minute = -1;
static bool loaded = false;

void history_reset() {
  memset(sensors, 0, sizeof sensors);
  saved_minute = -1;
  loaded = false;
}

static sensor_rec *sensor_find(const char *id, bool make) {
  sensor_rec *free_rec = nullptr;
  for (sensor_rec &s : sensors) {
    if (s.id[0] && memcmp(s.id, id, 6) == 0) return &s;
    if (!s.id[0] && !free_rec) free_rec = &s;
  }
  if (!make || !free_rec) return nullptr;
  memcpy(free_rec->id, id, 6);
  free_rec->id[6] = 0;
  return free_rec;
}

static int slot(const sensor_rec *s, int n) { return (s->head + n) % HOME_SLOTS; }

// Appends or replaces the latest sample; a clock that went back drops the
// samples that now lie in the future.
static void sample_put(sensor_rec *s, uint32_t t, int16_t tenths) {
  while (s->count > 0 && s->t[slot(s, s->count - 1)] / 60 > t / 60) s->count--;
  if (s->count > 0 && s->t[slot(s, s->count - 1)] / 60 == t / 60) {
    int last = slot(s, s->count - 1);
    s->t[last] = t;
    s->tenths[last] = tenths;
    return;
  }
  if (s->count == HOME_SLOTS) {
    s->head = (s->head + 1) % HOME_SLOTS;
    s->count--;
  }
  int at = slot(s, s->count);
  s->t[at] = t;
  s->tenths[at] = tenths;
  s->count++;
}

bool history_add(const char *id, time_t t, double degrees) {
  if (t <= 0 || !std::isfinite(degrees) || degrees < -300 || degrees > 300) return false;
  sensor_rec *s = sensor_find(id, true);
  if (!s) return false;
  sample_put(s, (uint32_t)t, (int16_t)lround(degrees * 10));
  s->dirty = true;
  return true;
}

static size_t sample_text(char *out, size_t cap, uint32_t t, int16_t tenths, const char *fmt) {
  int whole = abs(tenths) / 10, frac = abs(tenths) % 10;
  int n = snprintf(out, cap, fmt, (unsigned long)t, tenths < 0 ? "-" : "", whole, frac);
  return n < 0 ? 0 : (size_t)n >= cap ? cap - 1 : (size_t)n;
}

size_t history_json(const char *id, char *out, size_t cap) {
  size_t n = 0;
  out[n++] = '[';
  const sensor_rec *s = sensor_find(id, false);
  for (int i = 0; s && i < s->count && n + 32 < cap; i++) {
    int k = slot(s, i);
    if (i) out[n++] = ',';
    n += sample_text(out + n, cap - n, s->t[k], s->tenths[k], "[%lu,%s%d.%d]");
  }
  out[n++] = ']';
  out[n] = 0;
  return n;
}

size_t history_ids(char *out, size_t cap) {
  size_t n = 0;
  out[0] = 0;
  for (const sensor_rec &s : sensors) {
    if (!s.id[0] || n + 12 >= cap) continue;
    n += (size_t)snprintf(out + n, cap - n, "%s\"@%.6s\"", n ? "," : "", s.id);
  }
  return n;
}

static void file_name(char *dst, size_t cap, const char *id) { snprintf(dst, cap, "home/history-%.6s", id); }

int history_save(time_t now) {
  if (now / 60 == saved_minute) return 0;
  int written = 0;
  static char text[HOME_SLOTS * 24];
  for (sensor_rec &s : sensors) {
    if (!s.id[0] || !s.dirty) continue;
    if (!home_dir_make()) return written;
    size_t n = 0;
    for (int i = 0; i < s.count; i++) {
      int k = slot(&s, i);
      n += sample_text(text + n, sizeof text - n, s.t[k], s.tenths[k], "%lu %s%d.%d\n");
    }
    char name[32];
    file_name(name, sizeof name, s.id);
    if (file_write_atomic(name, text, n)) {
      s.dirty = false;
      written++;
    }
  }
  saved_minute = now / 60;
  return written;
}

static bool id_valid(const char *id) {
  for (int i = 0; i < 6; i++)
    if (!((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'a' && id[i] <= 'f'))) return false;
  return id[6] == 0;
}

// Reads one file; lines that do not parse, or lie outside the kept window,
// are skipped.
static void history_file_read(const char *id, time_t now) {
  char name[32];
  file_name(name, sizeof name, id);
  FILE *f = fopen(name, "r");
  if (!f) return;
  sensor_rec *s = sensor_find(id, true);
  char line[64];
  size_t bytes = 0;
  int number = 0;
  load_report report(name);
  while (s && load_line(f, line, sizeof line, &bytes, &report)) {
    number++;
    char *end;
    errno = 0;
    unsigned long t = strtoul(line, &end, 10);
    char *vend = end;
    double v = errno || end == line || *end != ' ' ? NAN : strtod(end + 1, &vend);
    if (vend == end + 1 || (*vend != '\n' && *vend != 0) || !std::isfinite(v) || v <= -300 || v >= 300) {
      report.skip(number);
      continue;
    }
    if ((time_t)t + HOME_KEEP_S < now || (time_t)t > now + 60) continue;  // out of the day kept
    sample_put(s, (uint32_t)t, (int16_t)lround(v * 10));
  }
  fclose(f);
  report.done();
}

void history_load(time_t now) {
  if (loaded) return;
  loaded = true;
  DIR *d = opendir("home");
  if (!d) return;
  while (struct dirent *e = readdir(d)) {
    const char *p = e->d_name;
    if (strncmp(p, "history-", 8) == 0 && id_valid(p + 8)) history_file_read(p + 8, now);
  }
  closedir(d);
}

bool home_dir_make() {
  struct stat st;
  if (stat("home", &st) == 0) return S_ISDIR(st.st_mode);
  return mkdir("home", 0755) == 0;
}
