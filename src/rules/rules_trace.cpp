// The trace: the last RULES_TRACE_MAX evaluations in a ring, each with the
// rule, the trigger, every condition with its verdict and the value it saw,
// the outcome, and the actions its run carried out (added as they happen, so
// a run that waits in a delay completes its entry later).
//
// Entry `seq` lives at seq % RULES_TRACE_MAX while it is among the last ones;
// seq 0 is never used, so a run without an entry holds 0.
#include <cstdio>
#include <cstring>

#include "rules/rules_table.h"

namespace {

constexpr int TRACE_TEXT = 48;     // a trigger, a value seen, an outcome
constexpr int TRACE_ACTIONS = 8;   // actions recorded per evaluation; later ones are counted only

struct trace_cond {
  char kind[12];
  bool ok;
  char saw[TRACE_TEXT];
};

struct trace_action {
  char kind[8];
  char text[RULE_TEXT_MAX + 1];
  char result[16];
};

struct trace_entry {
  uint32_t seq;
  time_t at;
  char rule[RULE_ID_MAX + 1];
  char trigger[TRACE_TEXT];
  char result[TRACE_TEXT];
  uint8_t n_cond, n_action;
  uint16_t more_actions;
  trace_cond cond[RULE_IF_MAX];
  trace_action action[TRACE_ACTIONS];
};

trace_entry ring[RULES_TRACE_MAX];
uint32_t last_seq = 0;

void copy(char *dst, size_t cap, const char *src) { snprintf(dst, cap, "%s", src ? src : ""); }

trace_entry *find(uint32_t seq) {
  trace_entry *e = &ring[seq % RULES_TRACE_MAX];
  return seq && e->seq == seq ? e : nullptr;
}

}  // namespace

uint32_t rules_trace_begin(time_t at, const char *rule_id, const char *trigger) {
  uint32_t seq = ++last_seq;
  if (seq == 0) seq = ++last_seq;  // after a wrap
  trace_entry *e = &ring[seq % RULES_TRACE_MAX];
  memset(e, 0, sizeof *e);
  e->seq = seq;
  e->at = at;
  copy(e->rule, sizeof e->rule, rule_id);
  copy(e->trigger, sizeof e->trigger, trigger);
  return seq;
}

void rules_trace_cond(uint32_t seq, const char *kind, bool ok, const char *saw) {
  trace_entry *e = find(seq);
  if (!e || e->n_cond >= RULE_IF_MAX) return;
  trace_cond &c = e->cond[e->n_cond++];
  copy(c.kind, sizeof c.kind, kind);
  c.ok = ok;
  copy(c.saw, sizeof c.saw, saw);
}

void rules_trace_result(uint32_t seq, const char *result) {
  if (trace_entry *e = find(seq)) copy(e->result, sizeof e->result, result);
}

void rules_trace_action(uint32_t seq, const char *kind, const char *text, const char *result) {
  trace_entry *e = find(seq);
  if (!e) return;
  if (e->n_action >= TRACE_ACTIONS) {
    e->more_actions++;
    return;
  }
  trace_action &a = e->action[e->n_action++];
  copy(a.kind, sizeof a.kind, kind);
  copy(a.text, sizeof a.text, text);
  copy(a.result, sizeof a.result, result);
}

int rules_trace(std::string &out) {
  out.assign(1, '[');  // (assigning a literal trips a false -Wrestrict of GCC 12 at -O3)
  bool first = true;
  uint32_t from = last_seq >= RULES_TRACE_MAX ? last_seq - RULES_TRACE_MAX + 1 : 1;
  for (uint32_t seq = from; seq && seq <= last_seq; seq++) {
    const trace_entry *e = find(seq);
    if (!e) continue;
    out += first ? "{" : ",{";
    first = false;
    out += "\"at\":" + std::to_string((long long)e->at) + ",\"rule\":";
    rule_json_string(out, e->rule);
    out += ",\"trigger\":";
    rule_json_string(out, e->trigger);
    out += ",\"conditions\":[";
    for (int i = 0; i < e->n_cond; i++) {
      out += i ? ",{\"if\":" : "{\"if\":";
      rule_json_string(out, e->cond[i].kind);
      out += e->cond[i].ok ? ",\"ok\":true,\"saw\":" : ",\"ok\":false,\"saw\":";
      rule_json_string(out, e->cond[i].saw);
      out += '}';
    }
    out += "],\"result\":";
    rule_json_string(out, e->result);
    out += ",\"actions\":[";
    for (int i = 0; i < e->n_action; i++) {
      out += i ? ",{" : "{";
      rule_json_string(out, e->action[i].kind);
      out += ':';
      rule_json_string(out, e->action[i].text);
      out += ",\"result\":";
      rule_json_string(out, e->action[i].result);
      out += '}';
    }
    out += "]";
    if (e->more_actions) out += ",\"more_actions\":" + std::to_string(e->more_actions);
    out += '}';
  }
  out += ']';
  return 200;
}

void rules_trace_reset() {
  memset(ring, 0, sizeof ring);
  last_seq = 0;
}
