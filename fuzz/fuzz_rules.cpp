// Fuzz target: the strict JSON reader json_read, the rule validator
// rule_parse_text (with the radio command check of "send") and the rule
// writer rule_json.
//
// Input: byte 0 bit 0 says whether LAT and LON are set (sun expressions
// allowed); the rest is one rule's JSON text.
//
// Properties:
//   - a text the reader accepts is one strictly valid JSON value (unless it
//     holds a surrogate pair escape, which the fuzz validator refuses), and a
//     refused one has an error inside the text and a 1-based line and column;
//   - a refused rule has a message "<path>: <reason>" that fits its buffer;
//   - an accepted rule obeys its bounds (ids, counts, commands), and each of
//     its commands, ended by a blank as rules_radio_send ends it, is one the
//     transmitter's own parser takes;
//   - an accepted rule written pretty and compact is valid JSON, reads back
//     as a rule, and that rule writes the same compact text.
#include <cstring>
#include <string>
#include <vector>

#include "core/json_read.h"
#include "fuzz_support.h"
#include "radio/transmit.h"
#include "rules/rule.h"

namespace {

bool has_surrogate_escape(const std::string &s) {
  for (size_t i = 0; i + 2 < s.size(); i++)
    if (s[i] == '\\' && s[i + 1] == 'u' && (s[i + 2] == 'd' || s[i + 2] == 'D')) return true;
  return false;
}

void check_reader(const std::string &text) {
  static std::vector<json_node> nodes(512);
  std::string work = text;
  json_result res;
  bool ok = json_read(work.data(), work.size(), nodes.data(), (uint32_t)nodes.size(), &res);
  if (ok) {
    if (res.count == 0 || res.count > nodes.size() || nodes[0].size != res.count) fuzz::fail("node count", text);
    if (!has_surrogate_escape(text) && !fuzz::json_valid(text)) fuzz::fail("reader accepted invalid JSON", text);
  } else {
    if (!res.error || res.pos > text.size() || res.line < 1 || res.col < 1) fuzz::fail("error position", text);
  }
}

void check_rule(const rule &r, const std::string &text) {
  if (!rule_id_valid(r.id)) fuzz::fail("accepted id", text);
  if (r.n_when < 1 || r.n_when > RULE_WHEN_MAX || r.n_if > RULE_IF_MAX || r.n_then < 1 || r.n_then > RULE_THEN_MAX)
    fuzz::fail("accepted counts", text);
  for (int i = 0; i < r.n_then; i++) {
    const rule_then &a = r.then[i];
    const char *why;
    if (a.kind == THEN_SEND && !rule_command_valid(a.text, &why)) fuzz::fail("accepted command", text);
    if (a.kind == THEN_SEND) {
      std::string line = std::string(a.text) + " ";
      uint8_t report[RF_REPORT_LEN];
      static const uint8_t clock[4] = {0x40, 12, 0, 0};
      if (rf_tx_build(line.c_str(), report, false, clock) == RF_TX_BAD) fuzz::fail("transmitter refuses", a.text);
    }
    if (a.kind == THEN_DELAY && (a.seconds < 1 || a.seconds > (uint32_t)RULE_DELAY_MAX)) fuzz::fail("delay", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  rule_context ctx{(data[0] & 1) != 0};
  std::string text((const char *)data + 1, size - 1);
  check_reader(text);

  static rule r, back;
  char err[RULE_ERROR_MAX];
  memset(err, 'x', sizeof err);
  if (!rule_parse_text(text.data(), text.size(), ctx, &r, err)) {
    size_t n = strnlen(err, sizeof err);
    if (n == sizeof err || n == 0 || !strstr(err, ": ")) fuzz::fail("refusal message", text);
    return 0;
  }
  check_rule(r, text);
  std::string pretty, compact, again;
  rule_json(pretty, r, 2);
  rule_json(compact, r, -1);
  if (!fuzz::json_valid(pretty) || !fuzz::json_valid(compact)) fuzz::fail("written rule is not JSON", pretty);
  if (!rule_parse_text(pretty.data(), pretty.size(), ctx, &back, err)) fuzz::fail(err, pretty);
  rule_json(again, back, -1);
  if (again != compact) fuzz::fail("written rule reads back different", compact + " | " + again);
  return 0;
}
