// The rules' clock: local dates and times of day, sun expressions resolved
// for a date, and the next fire of a time trigger. Local time is the
// process's time zone (TZ), as for the schedule.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rules/rules_table.h"
#include "rules/sun.h"

rules_place rules_where;

namespace {

constexpr int SEARCH_DAYS = 8;  // a weekly trigger is found within a week and a day

// The local calendar date `k` days after that of `t`, at noon (a time that
// exists on every date, whatever the daylight saving shifts).
struct tm local_date(time_t t, int k) {
  struct tm d;
  localtime_r(&t, &d);
  d.tm_mday += k;
  d.tm_hour = 12, d.tm_min = 0, d.tm_sec = 0, d.tm_isdst = -1;
  time_t n = mktime(&d);
  localtime_r(&n, &d);
  return d;
}

// The Unix time of `c` on the local date `d`; false when that date has no
// such sun event.
bool resolve(const rule_clock &c, const struct tm &d, time_t *out, const char **why) {
  if (c.base == CLOCK_AT) {
    struct tm x = d;
    x.tm_hour = c.offset / 3600, x.tm_min = c.offset / 60 % 60, x.tm_sec = 0, x.tm_isdst = -1;
    *out = mktime(&x);  // a time skipped by daylight saving becomes the time after the gap
    return true;
  }
  if (!rules_where.set) {
    *why = "no LAT/LON";
    return false;
  }
  sun_day s = sun_times(d.tm_year + 1900, d.tm_mon + 1, d.tm_mday, rules_where.lat, rules_where.lon);
  if (s.kind != SUN_RISES) {
    bool rise = c.base == CLOCK_SUNRISE;
    *why = s.kind == SUN_ALWAYS_UP ? (rise ? "no sunrise today: sun up all day" : "no sunset today: sun up all day")
                                   : (rise ? "no sunrise today: sun down all day" : "no sunset today: sun down all day");
    return false;
  }
  *out = (c.base == CLOCK_SUNRISE ? s.rise : s.set) + c.offset;
  return true;
}

// The setting `key` of setup.ini, a line "KEY=value" with exactly that key
// (the general reader takes any line that holds the key, such as a token's):
// 1 and *out set, 0 absent, -1 present but not a number in lo..hi.
int place_setting(const char *key, double lo, double hi, double *out) {
  FILE *f = fopen("setup.ini", "r");
  if (!f) return 0;
  char line[128];
  int found = 0;
  size_t k = strlen(key);
  while (!found && fgets(line, sizeof line, f)) {
    char *p = line;
    while (*p == ' ' || *p == '\t') p++;
    if (strncmp(p, key, k) || strchr(p, ';')) continue;
    p += k;
    while (*p == ' ' || *p == '\t') p++;
    if (*p++ != '=') continue;
    char *end;
    double v = strtod(p, &end);
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') end++;
    found = end != p && !*end && v >= lo && v <= hi ? 1 : -1;
    if (found > 0) *out = v;
  }
  fclose(f);
  return found;
}

}  // namespace

void rules_place_read() {
  double lat = 0, lon = 0;
  int has_lat = place_setting("LAT", -90, 90, &lat), has_lon = place_setting("LON", -180, 180, &lon);
  rules_where = rules_place{has_lat > 0 && has_lon > 0, lat, lon};
  if ((has_lat || has_lon) && !rules_where.set)
    rules_log("rules: LAT (-90 to 90) and LON (-180 to 180) are needed together; sun times are off");
}

int rules_day_seconds(time_t now, int *wday) {
  struct tm t;
  localtime_r(&now, &t);
  if (wday) *wday = t.tm_wday;
  return t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

bool rules_clock_today(const rule_clock &c, time_t now, int *secs, const char **why) {
  if (c.base == CLOCK_AT) {
    *secs = c.offset;
    return true;
  }
  time_t at;
  if (!resolve(c, local_date(now, 0), &at, why)) return false;
  *secs = rules_day_seconds(at, nullptr);
  return true;
}

time_t rules_next_time(const rule_when &t, time_t from) {
  // A sun time moved by its offset may fall on the date before or after its
  // own, so the search starts a day early; the days mask applies to the
  // trigger's own date.
  for (int k = -1; k <= SEARCH_DAYS; k++) {
    struct tm d = local_date(from, k);
    if (!(t.days & (0x80 >> d.tm_wday))) continue;
    time_t at;
    const char *why;
    if (resolve(t.at, d, &at, &why) && at >= from) return at;
  }
  return 0;
}
