// Conditions and the state texts they read: every condition of a rule is
// evaluated (all of them, so the trace shows every reason), each with the
// value it saw. Also the readings of the device cache's texts that state and
// temperature triggers share.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rules/rules_table.h"
#include "rules/sun.h"

namespace {

constexpr int SAW_MAX = 48;  // a value seen, as the trace keeps it

void hhmm(char *out, size_t cap, int secs) { snprintf(out, cap, "%02d:%02d", secs / 3600 % 100, secs / 60 % 60); }

}  // namespace

// "ON" 100, "OFF" 0, "40%" 40.
bool rules_state_level(const char *val, double *lvl) {
  if (!val || !*val) return false;
  if (!strcmp(val, "ON")) return *lvl = 100, true;
  if (!strcmp(val, "OFF")) return *lvl = 0, true;
  if (val[0] < '0' || val[0] > '9') return false;
  char *end;
  double v = strtod(val, &end);
  if (end == val || strcmp(end, "%")) return false;
  *lvl = v;
  return true;
}

bool rules_level_match(const rule_level &l, double lvl) {
  if (l.kind == LEVEL_ON) return lvl > 0;
  if (l.kind == LEVEL_OFF) return lvl == 0;
  return (!l.has_above || lvl > l.above) && (!l.has_below || lvl < l.below);
}

// "21.5C", "-3C": the degrees.
bool rules_temperature_of(const char *val, double *c) {
  if (!val || !*val || !((val[0] >= '0' && val[0] <= '9') || val[0] == '-')) return false;
  char *end;
  double v = strtod(val, &end);
  if (end == val || strcmp(end, "C") || !std::isfinite(v)) return false;
  *c = v;
  return true;
}

bool rules_conditions(const rule &r, uint32_t seq, time_t now) {
  static const char *const names[] = {"time", "days", "state", "temperature", "sun", "hub"};
  bool all = true;
  for (int i = 0; i < r.n_if; i++) {
    const rule_if &f = r.cond[i];
    char saw[SAW_MAX] = "";
    bool ok = false;
    switch (f.kind) {
      case IF_TIME: {
        int wday, t = rules_day_seconds(now, &wday), a = 0, b = 0;
        const char *why = nullptr;
        bool have = (!f.has_after || rules_clock_today(f.after, now, &a, &why)) &&
                    (!f.has_before || rules_clock_today(f.before, now, &b, &why));
        char ts[8], as[8] = "", bs[8] = "";
        hhmm(ts, sizeof ts, t);
        if (!have) {
          snprintf(saw, sizeof saw, "%s, %s", ts, why);
          break;
        }
        if (f.has_after) hhmm(as, sizeof as, a);
        if (f.has_before) hhmm(bs, sizeof bs, b);
        snprintf(saw, sizeof saw, "%s in %s-%s", ts, as, bs);
        if (f.has_after && f.has_before)
          ok = a <= b ? (t >= a && t < b) : (t >= a || t < b);  // a window across midnight
        else
          ok = f.has_after ? t >= a : t < b;
        break;
      }
      case IF_DAYS: {
        static const char *const day_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        int wday;
        rules_day_seconds(now, &wday);
        ok = f.days & (0x80 >> wday);
        snprintf(saw, sizeof saw, "%s", day_names[wday]);
        break;
      }
      case IF_STATE:
      case IF_TEMPERATURE: {
        const char *val = rules_w.device_state ? rules_w.device_state(f.device) : nullptr;
        snprintf(saw, sizeof saw, "%s", val && *val ? val : "unknown");
        double v;
        if (f.kind == IF_STATE)
          ok = rules_state_level(val, &v) && rules_level_match(f.is, v);
        else
          ok = rules_temperature_of(val, &v) && (!f.has_above || v > f.above) && (!f.has_below || v < f.below);
        break;
      }
      case IF_SUN: {
        bool up = rules_where.set && sun_up(now, rules_where.lat, rules_where.lon);
        ok = rules_where.set && up == f.up;
        snprintf(saw, sizeof saw, "%s", !rules_where.set ? "no LAT/LON" : up ? "up" : "down");
        break;
      }
      case IF_HUB: {
        bool on = rules_w.hub_online && rules_w.hub_online();
        ok = on == f.online;
        snprintf(saw, sizeof saw, "%s", on ? "online" : "offline");
        break;
      }
    }
    rules_trace_cond(seq, names[f.kind], ok, saw);
    all = all && ok;
  }
  return all;
}

