// Inside the rules subsystem: the table of rules with each rule's running
// state, shared by the store (file and requests), the engine and the clock
// helpers. Nothing outside src/rules includes this.
#pragma once
#include <ctime>
#include <memory>
#include <string>

#include "rules/rule.h"
#include "rules/rules.h"

// What the engine keeps for one rule between events.
struct rule_live {
  bool matched[RULE_WHEN_MAX];     // state: the last state matched; temperature: fired, not re-armed
  time_t next[RULE_WHEN_MAX];      // time: the next fire, 0 for none found
  time_t next_from[RULE_WHEN_MAX]; // time: the clock reading `next` was found from
  bool running;                    // a run is between its actions (waiting in a delay)
  uint8_t pc;                      // the run's next action
  time_t wake;                     // the run resumes at this tick
  uint32_t gen;                    // changes whenever a run starts or stops
  uint32_t trace;                  // trace entry of the run
  uint8_t queued;                  // waiting runs (mode queued)
  uint32_t queue_trace[RULE_QUEUE_MAX];
  time_t fires[RULE_GUARD_FIRES];  // the last fires, a ring, for the loop guard
  uint8_t fire_at;
  bool paused;
  time_t last_fired;               // 0 never
};

// One entry of the file: a valid rule, or one kept as it was written.
struct rule_slot {
  rule r;
  rule_live live;
  bool broken;         // not valid: never runs, written back unchanged
  // broken: its JSON text from the file. Held apart so that the table needs
  // no constructor run at start and its pages stay untouched until used.
  std::unique_ptr<std::string> source;
  char error[RULE_ERROR_MAX];
};

extern rule_slot rules_slots[RULES_MAX];
extern int rules_used;
extern rules_world rules_w;

// The place for sun times (rules_time.cpp).
struct rules_place {
  bool set;
  double lat, lon;
};
extern rules_place rules_where;
// Reads LAT and LON from setup.ini into rules_where.
void rules_place_read();

time_t rules_now();
// A line for the operator: printed (the service's journal) and written to the
// daily log while DEBUG is on.
void rules_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Fresh running state for slot `i` (a new or replaced rule), from `now`.
void rules_live_init(int i, time_t now);
// After any change of the table: the engine's trigger index is rebuilt.
void rules_index_rebuild();
// Starts a run of slot `i` as its mode says, for the trace entry `seq`.
void rules_fire_run(int i, uint32_t seq, time_t now);
// Stops slot `i`'s run and empties its queue.
void rules_stop(int i);
// Loads "rules" (rules_store.cpp).
void rules_load();
// The engine's own state back to nothing (rules_reset).
void rules_engine_reset();

// ---- clock (rules_time.cpp) --------------------------------------------------

// The first time at or after `from` that the time trigger fires, or 0 when
// none within a week (a polar season with no such sun event).
time_t rules_next_time(const rule_when &t, time_t from);
// Seconds after local midnight of `c` on the local date of `now`; false when
// that date has no such sun event. `why` then says which.
bool rules_clock_today(const rule_clock &c, time_t now, int *secs, const char **why);
// Seconds after local midnight of `now`, and its weekday (0 Sunday).
int rules_day_seconds(time_t now, int *wday);

// ---- conditions and state texts (rules_cond.cpp) ----------------------------

// Evaluates every condition of `r` at `now` into trace entry `seq`; true when all hold.
bool rules_conditions(const rule &r, uint32_t seq, time_t now);
// The level of a state text: "ON" 100, "OFF" 0, "40%" 40; false for any other.
bool rules_state_level(const char *val, double *lvl);
bool rules_level_match(const rule_level &l, double lvl);
// The degrees of a temperature text such as "21.5C" or "-3C".
bool rules_temperature_of(const char *val, double *celsius);

// ---- trace (rules_trace.cpp) ---------------------------------------------------

uint32_t rules_trace_begin(time_t at, const char *rule_id, const char *trigger);
void rules_trace_cond(uint32_t seq, const char *kind, bool ok, const char *saw);
void rules_trace_result(uint32_t seq, const char *result);
void rules_trace_action(uint32_t seq, const char *kind, const char *text, const char *result);
void rules_trace_reset();
