// Local automations: the rule table, its file "rules", the engine that runs
// the rules on the gateway's own events, and the request-level functions the
// HTTP routes and the MQTT switches call. The engine reaches the rest of the
// gateway only through `rules_world`; every entry point below runs on the
// main thread and returns without waiting (a delay resumes on a later tick).
//
// Device ids are six hex digits, with or without a leading '@'.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "rules/rule.h"

constexpr int RULE_QUEUE_MAX = 5;       // runs waiting behind a running one (mode "queued")
constexpr int RULE_GUARD_FIRES = 10;    // a rule fired more than this often ...
constexpr int RULE_GUARD_SECONDS = 10;  // ... within this many seconds is paused
constexpr int RULE_LATE_MAX = 60;       // seconds a time trigger may still fire late (a slow tick)
constexpr int RULES_TRACE_MAX = 100;    // evaluations kept for GET /&rules/trace

// What the engine needs from the gateway. `now` may be null (time() is used);
// the others must be set. The callbacks must not change the rule table.
struct rules_world {
  // The cached state text of a listed device ("ON", "OFF", "40%", "21.5C"),
  // or nullptr / "" when unknown.
  const char *(*device_state)(const char *id);
  // True while the MQTT bridge holds its broker.
  bool (*hub_online)();
  // Writes one radio command (rule_command_valid holds for it); returns the
  // transmitter's result (radio/transmit.h RF_TX_*). rules_radio_send is the
  // ready-made one.
  uint8_t (*send)(const char *command);
  // A rule event: publish `text` as a "rule" event on the event stream and on
  // MQTT B/rule/<id>. The loop guard's notice comes this way too.
  void (*event)(const char *rule_id, const char *text);
  // The loop guard paused the rule (its MQTT switch may show it).
  void (*paused)(const char *rule_id);
  time_t (*now)();
};

// The transmitter behind `send`: usb_rf_tx with the blank an HTTP request
// line would add after the command (the /get/ and /set/ forms end at a blank).
uint8_t rules_radio_send(const char *command);

// ---- start and events (rules_engine.cpp) -----------------------------------

// Keeps the world, reads LAT and LON from setup.ini (decimal degrees, north
// and east positive) and loads "rules" from the working directory. A missing
// or bad file leaves no rule or only the good ones; the gateway goes on.
void rules_start(const rules_world &w);
// The automations in the gateway (rules_http.cpp): the world built on the
// device cache, the radio and the hub's state, the hooks that feed the
// engine, and the routes "&rules", "&rules/trace" and "&rule/<id>".
void rules_start();
// A button press (SS PRESS "BUTTON n"). The first commands of every rule it
// fires are written before this returns.
void rules_button(const char *id, int n);
// A device's cached state changed to `val`. A temperature text ("21.5C")
// also goes to the temperature triggers: call this or rules_temperature for
// a reading, not both.
void rules_state(const char *id, const char *val);
void rules_temperature(const char *id, double celsius);
// A device did not answer a command (NO REPLY). The id names the radio: the
// triggers of every channel with the same first five characters fire.
void rules_unreachable(const char *id);
// The MQTT bridge lost (false) or regained (true) its broker.
void rules_hub(bool online);
// The gateway has started: the "start" triggers fire. The gateway's wiring
// calls it once the modem is open (or ten seconds after the start
// without one), so that a start rule's commands go out.
void rules_started();
// Once a second, from the loop's tick: time triggers and delays that are due.
void rules_tick(time_t now);

// ---- requests (rules_store.cpp) ---------------------------------------------
// Each returns the HTTP status and sets `reply` to the JSON body.

// GET /&rules: 200 and the array of rules, each with "last_fired" (Unix
// seconds or null), "next" (the next time a time trigger fires, or null) and
// "paused". A rule the file holds but that is not valid is listed as
// {"id":…,"error":"<path>: <reason>","source":<its JSON>}.
int rules_list(std::string &reply);
// POST /&rule/<id>: creates or replaces the rule (its "id" must be `id`), or
// deletes it when `body` is empty or blank. 200 {"ok":true}; 400
// {"ok":false,"error":"<path>: <reason>"}, 404 for an unknown rule to delete,
// 500 when the file cannot be rewritten; on any refusal nothing changed.
int rules_put(const char *id, const char *body, size_t len, std::string &reply);
// GET /&rule/<id>/run: runs the rule's actions now (its mode applies, its
// conditions do not). 200 {"ok":true} or 404.
int rules_run(const char *id, std::string &reply);
// GET /&rules/trace: 200 and the last RULES_TRACE_MAX evaluations, oldest first.
int rules_trace(std::string &reply);
// The MQTT switch: enables or disables the rule, rewriting the file when that
// changes it; enabling also lifts a loop guard pause. 200, 404, 400 for a
// rule that is not valid, 500 when the file cannot be rewritten.
int rules_enable(const char *id, bool on, std::string &reply);

// ---- for the switches and the tests -------------------------------------

// Rules in the table (valid or not), and rule `i` when it is valid.
int rules_count();
const rule *rules_at(int i);
bool rules_paused(const char *id);
// Everything back to nothing: no rules, no world, no place, empty trace (tests).
void rules_reset();
