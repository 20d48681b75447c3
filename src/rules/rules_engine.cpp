// The engine: gateway events matched against a compact index of every
// rule's triggers, conditions evaluated and traced, runs started as the
// rule's mode says, actions carried out until a delay (which the tick
// resumes), and the loop guard. Events that match no trigger cost one scan
// of the index and nothing else.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/logs.h"
#include "core/text.h"
#include "radio/transmit.h"
#include "rules/rules_table.h"
#include "rules/sun.h"

rules_world rules_w;

namespace {

constexpr int DEPTH_MAX = 2;  // events raised from inside a callback are taken this deep
constexpr int DESC_MAX = 48;

// One trigger of one rule, kept contiguous so a scan touches little memory.
struct trig_ref {
  rule_when_kind kind;
  char device[6];
  uint8_t slot, k;
};
trig_ref index_[RULES_MAX * RULE_WHEN_MAX];
int index_n = 0;

bool hub_known = false, hub_state = false;
int depth = 0;

struct entry_guard {
  bool ok;
  entry_guard() : ok(depth < DEPTH_MAX) {
    if (!ok) rules_log("rules: an event raised %d deep inside rule actions was dropped", depth);
    depth++;
  }
  ~entry_guard() { depth--; }
};

// The six id characters of an event's device, or nullptr.
const char *event_id(const char *id) {
  if (!id) return nullptr;
  if (id[0] == '@') id++;
  return strlen(id) == 6 ? id : nullptr;
}

// "ON" 100, "OFF" 0, "40%" 40.
bool state_level(const char *val, double *lvl) {
  if (!val || !*val) return false;
  if (!strcmp(val, "ON")) return *lvl = 100, true;
  if (!strcmp(val, "OFF")) return *lvl = 0, true;
  char *end;
  double v = strtod(val, &end);
  if (end == val || strcmp(end, "%")) return false;
  *lvl = v;
  return true;
}

bool level_match(const rule_level &l, double lvl) {
  if (l.kind == LEVEL_ON) return lvl > 0;
  if (l.kind == LEVEL_OFF) return lvl == 0;
  return (!l.has_above || lvl > l.above) && (!l.has_below || lvl < l.below);
}

// "21.5C", "-3C": the degrees.
bool temperature_of(const char *val, double *c) {
  if (!val || !*val || !((val[0] >= '0' && val[0] <= '9') || val[0] == '-')) return false;
  char *end;
  double v = strtod(val, &end);
  if (end == val || strcmp(end, "C") || !std::isfinite(v)) return false;
  *c = v;
  return true;
}

const char *tx_result(uint8_t r) {
  if (rf_tx_sent(r)) return "sent";
  return r == RF_TX_BAD ? "refused" : "no modem";
}

void hhmm(char *out, size_t cap, int secs) { snprintf(out, cap, "%02d:%02d", secs / 3600 % 100, secs / 60 % 60); }

// Evaluates every condition (all of them, for the trace); true when all hold.
bool conditions(const rule &r, uint32_t seq, time_t now) {
  static const char *const names[] = {"time", "days", "state", "temperature", "sun", "hub"};
  bool all = true;
  for (int i = 0; i < r.n_if; i++) {
    const rule_if &f = r.cond[i];
    char saw[DESC_MAX] = "";
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
          ok = state_level(val, &v) && level_match(f.is, v);
        else
          ok = temperature_of(val, &v) && (!f.has_above || v > f.above) && (!f.has_below || v < f.below);
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

// Carries out slot `i`'s run from its next action until a delay or the end;
// then the next queued run, if any.
void step(int i, time_t now) {
  rule_slot &s = rules_slots[i];
  rule_live &L = s.live;
  while (L.running) {
    uint32_t gen = L.gen;
    while (L.pc < s.r.n_then) {
      const rule_then &a = s.r.then[L.pc++];
      if (a.kind == THEN_DELAY) {
        L.wake = now + a.seconds;
        return;
      }
      if (a.kind == THEN_SEND) {
        uint8_t res = rules_w.send ? rules_w.send(a.text) : RF_TX_NO_MODEM;
        rules_trace_action(L.trace, "send", a.text, tx_result(res));
      } else {
        if (rules_w.event) rules_w.event(s.r.id, a.text);
        rules_trace_action(L.trace, "event", a.text, "published");
      }
      if (L.gen != gen) return;  // a callback's event restarted or stopped this rule
    }
    L.running = false;
    L.wake = 0;
    L.gen++;
    if (!L.queued) return;
    L.trace = L.queue_trace[0];
    memmove(L.queue_trace, L.queue_trace + 1, sizeof L.queue_trace[0] * (RULE_QUEUE_MAX - 1));
    L.queued--;
    L.running = true;
    L.pc = 0;
  }
}

// True (and the rule paused) when this fire is one too many for the guard.
bool guard_trips(int i, time_t now) {
  rule_slot &s = rules_slots[i];
  rule_live &L = s.live;
  time_t oldest = L.fires[L.fire_at];  // the ring's oldest once it is full
  bool full = oldest != 0;
  L.fires[L.fire_at] = now ? now : 1;
  L.fire_at = (uint8_t)((L.fire_at + 1) % RULE_GUARD_FIRES);
  if (!full || now - oldest >= RULE_GUARD_SECONDS) return false;
  L.paused = true;
  rules_stop(i);
  rules_log("rule %s paused: fired more than %d times in %d s", s.r.id, RULE_GUARD_FIRES, RULE_GUARD_SECONDS);
  if (rules_w.event) rules_w.event(s.r.id, "paused: fired more than 10 times in 10 s");
  if (rules_w.paused) rules_w.paused(s.r.id);
  return true;
}

void fire(int i, const char *desc, time_t now) {
  rule_slot &s = rules_slots[i];
  if (s.broken || !s.r.enabled) return;
  uint32_t seq = rules_trace_begin(now, s.r.id, desc);
  if (s.live.paused) return rules_trace_result(seq, "paused");
  if (!conditions(s.r, seq, now)) return rules_trace_result(seq, "conditions not met");
  if (guard_trips(i, now)) return rules_trace_result(seq, "paused by the loop guard");
  rules_fire_run(i, seq, now);
}

void describe(char *out, const rule_when &t, const char *id, const char *detail) {
  static const char *const names[] = {"button", "state", "temperature", "time", "start", "unreachable", "hub"};
  if (t.kind == WHEN_TIME) {
    std::string c;
    rule_clock_text(c, t.at);
    snprintf(out, DESC_MAX, "time %s", c.c_str());
  } else if (t.kind == WHEN_START) {
    snprintf(out, DESC_MAX, "start");
  } else if (t.kind == WHEN_HUB) {
    snprintf(out, DESC_MAX, "hub %s", t.online ? "online" : "offline");
  } else {
    snprintf(out, DESC_MAX, "%s @%s%s%s", names[t.kind], id, detail ? " " : "", detail ? detail : "");
  }
}

// Fires every rule with a trigger of `kind` on `id` (any device when null)
// that `match` accepts; each rule at most once per event.
template <typename F>
void dispatch(rule_when_kind kind, const char *id, const char *detail, F match) {
  entry_guard g;
  if (!g.ok) return;
  time_t now = rules_now();
  int last_slot = -1;
  for (int x = 0; x < index_n; x++) {
    const trig_ref &ref = index_[x];
    if (ref.kind != kind || (id && memcmp(ref.device, id, 6) != 0)) continue;
    rule_slot &s = rules_slots[ref.slot];
    if (!match(s.r.when[ref.k], s.live.matched[ref.k]) || ref.slot == last_slot) continue;
    last_slot = ref.slot;
    char desc[DESC_MAX];
    describe(desc, s.r.when[ref.k], id, detail);
    fire(ref.slot, desc, now);
  }
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

time_t rules_now() { return rules_w.now ? rules_w.now() : time(nullptr); }

void rules_log(const char *format, ...) {
  char line[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  printf("%s\n", line);
  sys_log("%s", line);
}

uint8_t rules_radio_send(const char *command) {
  char line[RULE_TEXT_MAX + 2];
  snprintf(line, sizeof line, "%s ", command);
  return usb_rf_tx(line);
}

void rules_index_rebuild() {
  index_n = 0;
  for (int i = 0; i < rules_used; i++) {
    const rule_slot &s = rules_slots[i];
    if (s.broken) continue;
    for (int k = 0; k < s.r.n_when; k++) {
      trig_ref &ref = index_[index_n++];
      ref.kind = s.r.when[k].kind;
      memcpy(ref.device, s.r.when[k].device, 6);
      ref.slot = (uint8_t)i;
      ref.k = (uint8_t)k;
    }
  }
}

void rules_live_init(int i, time_t now) {
  rule_slot &s = rules_slots[i];
  s.live = rule_live{};
  for (int k = 0; k < s.r.n_when; k++) {
    const rule_when &t = s.r.when[k];
    if (t.kind == WHEN_STATE) {
      // A state trigger fires on a change into its state: one the device is
      // already known to be in is no change.
      const char *val = rules_w.device_state ? rules_w.device_state(t.device) : nullptr;
      double lvl;
      s.live.matched[k] = state_level(val, &lvl) && level_match(t.to, lvl);
    } else if (t.kind == WHEN_TIME) {
      s.live.next[k] = rules_next_time(t, now);
      s.live.next_from[k] = now;
    }
  }
}

void rules_stop(int i) {
  rule_live &L = rules_slots[i].live;
  L.running = false;
  L.pc = 0;
  L.wake = 0;
  L.queued = 0;
  L.gen++;
}

void rules_fire_run(int i, uint32_t seq, time_t now) {
  rule_slot &s = rules_slots[i];
  rule_live &L = s.live;
  const char *result = "fired";
  if (L.running) {
    if (s.r.mode == MODE_SINGLE) return rules_trace_result(seq, "ignored: still running");
    if (s.r.mode == MODE_QUEUED) {
      if (L.queued >= RULE_QUEUE_MAX) return rules_trace_result(seq, "dropped: queue full");
      L.queue_trace[L.queued++] = seq;
      L.last_fired = now;
      return rules_trace_result(seq, "queued");
    }
    result = "restarted";
    rules_stop(i);
  }
  rules_trace_result(seq, result);
  L.last_fired = now;
  L.running = true;
  L.pc = 0;
  L.wake = 0;
  L.trace = seq;
  L.gen++;
  step(i, now);
}

void rules_start(const rules_world &w) {
  rules_w = w;
  double lat = 0, lon = 0;
  int has_lat = place_setting("LAT", -90, 90, &lat), has_lon = place_setting("LON", -180, 180, &lon);
  rules_where = rules_place{has_lat > 0 && has_lon > 0, lat, lon};
  if ((has_lat || has_lon) && !rules_where.set)
    rules_log("rules: LAT (-90 to 90) and LON (-180 to 180) are needed together; sun times are off");
  hub_known = true;
  hub_state = w.hub_online && w.hub_online();
  rules_load();
}

void rules_button(const char *id, int n) {
  id = event_id(id);
  if (!id) return;
  char num[8];
  snprintf(num, sizeof num, "%d", n);
  dispatch(WHEN_BUTTON, id, num, [n](const rule_when &t, bool &) { return t.number < 0 || t.number == n; });
}

void rules_state(const char *id, const char *val) {
  id = event_id(id);
  if (!id || !val) return;
  double lvl;
  bool known = state_level(val, &lvl);
  dispatch(WHEN_STATE, id, val, [&](const rule_when &t, bool &matched) {
    bool was = matched;
    matched = known && level_match(t.to, lvl);
    return matched && !was;
  });
  double c;
  if (temperature_of(val, &c)) rules_temperature(id, c);
}

void rules_temperature(const char *id, double celsius) {
  id = event_id(id);
  if (!id || !std::isfinite(celsius)) return;
  char detail[24];
  snprintf(detail, sizeof detail, "%.1f", celsius);
  dispatch(WHEN_TEMPERATURE, id, detail, [celsius](const rule_when &t, bool &fired) {
    // Fires once on crossing the limit; armed again only beyond the
    // hysteresis on the other side.
    bool beyond = t.rising ? celsius > t.limit : celsius < t.limit;
    bool back = t.rising ? celsius <= t.limit - t.hysteresis : celsius >= t.limit + t.hysteresis;
    if (fired) {
      if (back) fired = false;
      return false;
    }
    fired = beyond;
    return beyond;
  });
}

void rules_unreachable(const char *id) {
  id = event_id(id);
  if (id) dispatch(WHEN_UNREACHABLE, id, nullptr, [](const rule_when &, bool &) { return true; });
}

void rules_hub(bool online) {
  if (hub_known && hub_state == online) return;
  hub_known = true;
  hub_state = online;
  dispatch(WHEN_HUB, nullptr, nullptr, [online](const rule_when &t, bool &) { return t.online == online; });
}

void rules_started() {
  dispatch(WHEN_START, nullptr, nullptr, [](const rule_when &, bool &) { return true; });
}

void rules_tick(time_t now) {
  entry_guard g;
  if (!g.ok) return;
  for (int x = 0; x < index_n; x++) {
    const trig_ref &ref = index_[x];
    if (ref.kind != WHEN_TIME) continue;
    rule_slot &s = rules_slots[ref.slot];
    const rule_when &t = s.r.when[ref.k];
    time_t &next = s.live.next[ref.k], &from = s.live.next_from[ref.k];
    // The clock went back, or no fire was found (a polar season): look again.
    if (now < from || (!next && now - from >= 3600)) next = rules_next_time(t, now), from = now;
    if (!next || now < next) continue;
    time_t due = next;
    next = rules_next_time(t, now + 1), from = now;
    if (now - due > RULE_LATE_MAX) continue;  // the clock jumped past it
    char desc[DESC_MAX];
    describe(desc, t, nullptr, nullptr);
    fire(ref.slot, desc, now);
  }
  for (int i = 0; i < rules_used; i++) {
    rule_live &L = rules_slots[i].live;
    if (L.running && L.wake && now >= L.wake) {
      L.wake = 0;
      step(i, now);
    }
  }
}

bool rules_paused(const char *id) {
  for (int i = 0; i < rules_used; i++)
    if (!rules_slots[i].broken && !strcmp(rules_slots[i].r.id, id)) return rules_slots[i].live.paused;
  return false;
}

void rules_engine_reset() {
  index_n = 0;
  hub_known = false;
  hub_state = false;
  depth = 0;
  rules_w = rules_world{};
  rules_where = rules_place{};
}
