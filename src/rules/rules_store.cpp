// The rule table and its file "rules" (next to the executable): a JSON
// array, one rule object each, written pretty enough to edit by hand and
// rewritten crash-safely on every change. A rule that is not valid is
// skipped, logged with its id and reason, and kept in the file as written; a
// file that is not JSON at all loads nothing and is copied to "rules.broken"
// before anything overwrites it. Also the request-level functions.
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "core/files.h"
#include "core/logs.h"
#include "rules/rules_table.h"

constinit rule_slot rules_slots[RULES_MAX]{};  // constant: no constructor touches its pages at start
int rules_used = 0;

namespace {

constexpr const char *RULES_FILE = "rules";
constexpr const char *RULES_BROKEN_FILE = "rules.broken";
constexpr size_t RULES_FILE_CAP = 1 << 20;   // a full table pretty-printed is well below this
constexpr uint32_t RULES_FILE_NODES = 40000; // values in the file; a full table has about 15000

rule_context context() { return rule_context{rules_where.set}; }

int find(const char *id) {
  for (int i = 0; i < rules_used; i++)
    if (!strcmp(rules_slots[i].r.id, id)) return i;
  return -1;
}

int reply_ok(std::string &reply) {
  reply = "{\"ok\":true}";
  return 200;
}

int reply_error(std::string &reply, int status, const char *error) {
  reply = "{\"ok\":false,\"error\":";
  rule_json_string(reply, error);
  reply += '}';
  return status;
}

// The file's text: every rule pretty, every kept entry as it was written.
std::string file_text() {
  std::string out = "[";
  for (int i = 0; i < rules_used; i++) {
    out += i ? ",\n  " : "\n  ";
    if (rules_slots[i].broken)
      out += *rules_slots[i].source;
    else
      rule_json(out, rules_slots[i].r, 2);
  }
  out += rules_used ? "\n]\n" : "]\n";
  return out;
}

bool save() {
  std::string text = file_text();
  if (file_write_atomic(RULES_FILE, text.data(), text.size())) return true;
  rules_log("rules: the file cannot be written");
  return false;
}

// The end of element `e` of the root array `root` in the original text.
size_t element_end(const std::string &orig, const json_node *root, const json_node *e, uint32_t i) {
  size_t end = i + 1 < root->len ? json_next(e)->pos : orig.rfind(']');
  if (i + 1 < root->len) {
    while (end > e->pos && orig[end - 1] != ',') end--;
    end--;
  }
  while (end > e->pos && strchr(" \t\r\n", orig[end - 1])) end--;
  return end;
}

void keep_broken(rule_slot &s, const json_node *e, const std::string &orig, size_t end, const char *error) {
  s = rule_slot{};
  s.broken = true;
  s.source = std::make_unique<std::string>(orig, e->pos, end - e->pos);
  snprintf(s.error, sizeof s.error, "%s", error);
  const json_node *id = json_member(e, "id");
  if (id && id->type == JSON_STRING && rule_id_valid(id->str)) memcpy(s.r.id, id->str, id->len + 1);
}

}  // namespace

void rules_load() {
  for (int i = 0; i < rules_used; i++) rules_slots[i] = rule_slot{};
  rules_used = 0;
  rules_index_rebuild();
  FILE *f = fopen(RULES_FILE, "rb");
  if (!f) return;
  std::string orig;
  char buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && orig.size() <= RULES_FILE_CAP) orig.append(buf, n);
  fclose(f);
  std::string work = orig;
  static std::vector<json_node> nodes(RULES_FILE_NODES);
  json_result res{};
  const char *why = nullptr;
  if (orig.size() > RULES_FILE_CAP)
    why = "the file is larger than 1 MiB";
  else if (!json_read(work.data(), work.size(), nodes.data(), RULES_FILE_NODES, &res))
    why = res.error;
  else if (nodes[0].type != JSON_ARRAY)
    why = "the file is not a JSON array", res.line = 1, res.col = 1;
  if (why) {
    rules_log("rules: line %u col %u: %s; no rule loaded, the file is kept as %s", res.line, res.col, why,
            RULES_BROKEN_FILE);
    file_write_atomic(RULES_BROKEN_FILE, orig.data(), orig.size());
    return;
  }
  const json_node *root = nodes.data();
  const json_node *e = root + 1;
  rule_context ctx = context();
  time_t now = rules_now();
  for (uint32_t i = 0; i < root->len; i++, e = json_next(e)) {
    if (rules_used == RULES_MAX) {
      rules_log("rules: more than %d rules; the rest is left out", RULES_MAX);
      break;
    }
    rule_slot &s = rules_slots[rules_used];
    char err[RULE_ERROR_MAX];
    bool ok = rule_parse(e, ctx, &s.r, err);
    if (ok && find(s.r.id) >= 0) {
      snprintf(err, sizeof err, "id: %s is used by an earlier rule", s.r.id);
      ok = false;
    }
    if (!ok) {
      keep_broken(s, e, orig, element_end(orig, root, e, i), err);
      rules_log("rules: rule %u (%s) skipped: %s", i + 1, s.r.id[0] ? s.r.id : "no id", err);
      rules_used++;
      continue;
    }
    s.broken = false;
    rules_used++;
    rules_live_init(rules_used - 1, now);
  }
  rules_index_rebuild();
}

int rules_list(std::string &reply) {
  reply.assign(1, '[');  // (assigning a literal trips a false -Wrestrict of GCC 12 at -O3)
  for (int i = 0; i < rules_used; i++) {
    const rule_slot &s = rules_slots[i];
    if (i) reply += ',';
    if (s.broken) {
      reply += "{\"id\":";
      rule_json_string(reply, s.r.id);
      reply += ",\"error\":";
      rule_json_string(reply, s.error);
      reply += ",\"source\":" + *s.source + "}";
      continue;
    }
    rule_json(reply, s.r, -1);
    reply.pop_back();  // the closing brace: the running state follows
    time_t next = 0;
    for (int k = 0; k < s.r.n_when; k++)
      if (s.live.next[k] && (!next || s.live.next[k] < next)) next = s.live.next[k];
    if (!s.r.enabled || s.live.paused) next = 0;
    reply += ",\"last_fired\":" + (s.live.last_fired ? std::to_string((long long)s.live.last_fired) : "null");
    reply += ",\"next\":" + (next ? std::to_string((long long)next) : "null");
    reply += s.live.paused ? ",\"paused\":true}" : ",\"paused\":false}";
  }
  reply += ']';
  return 200;
}

int rules_put(const char *id, const char *body, size_t len, std::string &reply) {
  if (!rule_id_valid(id)) return reply_error(reply, 400, "id: 1-32 characters a-z, 0-9, - or _");
  int at = find(id);
  size_t lead = 0;
  while (lead < len && strchr(" \t\r\n", body[lead])) lead++;
  if (lead == len) {  // an empty body deletes
    if (at < 0) return reply_error(reply, 404, "id: no such rule");
    rule_slot gone = std::move(rules_slots[at]);
    for (int i = at; i + 1 < rules_used; i++) rules_slots[i] = std::move(rules_slots[i + 1]);
    rules_slots[--rules_used] = rule_slot{};
    if (!save()) {
      for (int i = rules_used; i > at; i--) rules_slots[i] = std::move(rules_slots[i - 1]);
      rules_slots[at] = std::move(gone);
      rules_used++;
      return reply_error(reply, 500, "rules: the file cannot be written");
    }
    rules_index_rebuild();
    return reply_ok(reply);
  }
  static rule parsed;
  char err[RULE_ERROR_MAX];
  if (!rule_parse_text(body, len, context(), &parsed, err)) return reply_error(reply, 400, err);
  if (strcmp(parsed.id, id)) return reply_error(reply, 400, "id: differs from the id in the address");
  if (at < 0 && rules_used == RULES_MAX) return reply_error(reply, 400, "id: the table is full (100 rules)");
  bool added = at < 0;
  if (added) at = rules_used++;
  rule_slot before = std::move(rules_slots[at]);
  rules_slots[at] = rule_slot{};
  rules_slots[at].r = parsed;
  if (!save()) {
    rules_slots[at] = std::move(before);
    if (added) rules_used--;
    return reply_error(reply, 500, "rules: the file cannot be written");
  }
  rules_live_init(at, rules_now());
  if (!added && !before.broken) rules_slots[at].live.last_fired = before.live.last_fired;
  rules_index_rebuild();
  return reply_ok(reply);
}

int rules_run(const char *id, std::string &reply) {
  int at = find(id);
  if (at < 0 || rules_slots[at].broken) return reply_error(reply, 404, "id: no such rule");
  time_t now = rules_now();
  uint32_t seq = rules_trace_begin(now, id, "run now");
  rules_fire_run(at, seq, now);
  return reply_ok(reply);
}

int rules_enable(const char *id, bool on, std::string &reply) {
  int at = find(id);
  if (at < 0) return reply_error(reply, 404, "id: no such rule");
  rule_slot &s = rules_slots[at];
  if (s.broken) return reply_error(reply, 400, s.error);
  if (on && s.live.paused) {  // the guard counts afresh: the fires that paused it are not held against it
    s.live.paused = false;
    memset(s.live.fires, 0, sizeof s.live.fires);
    s.live.fire_at = 0;
  }
  if (s.r.enabled == on) return reply_ok(reply);
  s.r.enabled = on;
  if (!save()) {
    s.r.enabled = !on;
    return reply_error(reply, 500, "rules: the file cannot be written");
  }
  if (!on) rules_stop(at);
  return reply_ok(reply);
}

int rules_count() { return rules_used; }

const rule *rules_at(int i) { return i >= 0 && i < rules_used && !rules_slots[i].broken ? &rules_slots[i].r : nullptr; }

void rules_reset() {
  for (auto &s : rules_slots) s = rule_slot{};
  rules_used = 0;
  rules_trace_reset();
  rules_engine_reset();
}
