// The engine: gateway events matched against a compact index of every
// rule's triggers, conditions evaluated and traced, runs started as the
// rule's mode says, actions carried out until a delay (which the tick
// resumes), and the loop guard. Events that match no trigger cost one scan
// of the index and nothing else.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/logs.h"
#include "radio/transmit.h"
#include "rules/rules_table.h"

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

const char *tx_result(uint8_t r) {
  if (rf_tx_sent(r)) return "sent";
  return r == RF_TX_BAD ? "refused" : "no modem";
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
  char notice[64];
  snprintf(notice, sizeof notice, "paused: fired more than %d times in %d s", RULE_GUARD_FIRES, RULE_GUARD_SECONDS);
  rules_log("rule %s %s", s.r.id, notice);
  if (rules_w.event) rules_w.event(s.r.id, notice);
  if (rules_w.paused) rules_w.paused(s.r.id);
  return true;
}

void fire(int i, const char *desc, time_t now) {
  rule_slot &s = rules_slots[i];
  if (s.broken || !s.r.enabled) return;
  uint32_t seq = rules_trace_begin(now, s.r.id, desc);
  if (s.live.paused) return rules_trace_result(seq, "paused");
  if (!rules_conditions(s.r, seq, now)) return rules_trace_result(seq, "conditions not met");
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

// Fires every rule with a trigger of `kind` on `id` (any device when null;
// its first `id_len` characters) that `match` accepts; each rule at most once
// per event.
template <typename F>
void dispatch(rule_when_kind kind, const char *id, const char *detail, F match, size_t id_len = 6) {
  entry_guard g;
  if (!g.ok) return;
  time_t now = rules_now();
  int last_slot = -1;
  for (int x = 0; x < index_n; x++) {
    const trig_ref &ref = index_[x];
    if (ref.kind != kind || (id && memcmp(ref.device, id, id_len) != 0)) continue;
    rule_slot &s = rules_slots[ref.slot];
    if (!match(s.r.when[ref.k], s.live.matched[ref.k]) || ref.slot == last_slot) continue;
    last_slot = ref.slot;
    char desc[DESC_MAX];
    describe(desc, s.r.when[ref.k], id, detail);
    fire(ref.slot, desc, now);
  }
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
  return usb_rf_tx(line, TX_RULE);
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
      s.live.matched[k] = rules_state_level(val, &lvl) && rules_level_match(t.to, lvl);
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
  rules_place_read();
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
  bool known = rules_state_level(val, &lvl);
  dispatch(WHEN_STATE, id, val, [&](const rule_when &t, bool &matched) {
    bool was = matched;
    matched = known && rules_level_match(t.to, lvl);
    return matched && !was;
  });
  double c;
  if (rules_temperature_of(val, &c)) rules_temperature(id, c);
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

// A NO REPLY names the radio: a multi-channel device answers for all of its
// channels (the first five id characters), as the household's reachability
// counts it, so every channel's trigger fires.
void rules_unreachable(const char *id) {
  id = event_id(id);
  if (id) dispatch(WHEN_UNREACHABLE, id, nullptr, [](const rule_when &, bool &) { return true; }, 5);
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
