// Fuzz target: the cron text parser cron_load_str, the file reader
// cron_file_load and the listing cron_json.
//
// Input: byte 0 bit 0 chooses the form: 0 = entry texts, one per line, each
// given to cron_load_str; 1 = the rest is a whole "cron" file read by
// cron_file_load.
//
// Properties:
//   - every used entry holds at most CRON_CMDS_MAX commands, each
//     terminated inside its slot and of the form "@" + 6 hex digits + "="
//     + 1..3 digits, with hour 0..23 and minute 0..59;
//   - a rejected text changes nothing;
//   - save then load gives back the same used entries (the file is the
//     table);
//   - the listing reply's body parses as a JSON array with one object per
//     used entry.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "net/socket.h"
#include "sched/cron.h"

namespace {

std::string reply;

bool capture(uint32_t, const void *data, size_t len) {
  reply.append((const char *)data, len);
  return true;
}

bool cmd_well_formed(const char *c) {
  size_t n = strnlen(c, CRON_CMD_LEN);
  if (n == CRON_CMD_LEN) return false;  // not terminated
  if (c[0] != '@') return false;
  for (int i = 1; i <= 6; i++)
    if (!((c[i] >= '0' && c[i] <= '9') || (c[i] >= 'a' && c[i] <= 'f'))) return false;
  if (n == 8) return c[7] == '!';  // toggle
  if (n < 9 || n > 11 || c[7] != '=') return false;
  for (size_t i = 8; i < n; i++)
    if (c[i] < '0' || c[i] > '9') return false;
  return true;
}

int table_check() {
  int used = 0;
  for (int k = 0; k < CRON_MAX; k++) {
    const cron_entry &e = crons[k];
    if (!e.days) continue;
    if (k == 0) fuzz::fail("entry under key 0");
    used++;
    if (e.hour > 23 || e.minute > 59) fuzz::fail("time out of range", std::to_string(k));
    int c = 0;
    while (c < CRON_CMDS_MAX && e.cmds[c][0]) {
      if (!cmd_well_formed(e.cmds[c])) fuzz::fail("malformed stored command", std::string(e.cmds[c], CRON_CMD_LEN));
      c++;
    }
    for (int rest = c; rest < CRON_CMDS_MAX; rest++)
      if (e.cmds[rest][0]) fuzz::fail("command after the end of the list");
  }
  return used;
}

bool same_used(const cron_entry *a, const cron_entry *b) {
  for (int k = 0; k < CRON_MAX; k++) {
    if (!a[k].days && !b[k].days) continue;
    if (a[k].days != b[k].days || a[k].hour != b[k].hour || a[k].minute != b[k].minute) return false;
    for (int c = 0; c < CRON_CMDS_MAX; c++)
      if (strncmp(a[k].cmds[c], b[k].cmds[c], CRON_CMD_LEN) != 0) return false;
  }
  return true;
}

void text_one(const std::string &line) {
  std::vector<char> buf(line.begin(), line.end());
  buf.push_back(0);  // exactly as long as the text: a read past its NUL is caught
  static cron_entry before[CRON_MAX];
  memcpy(before, crons, sizeof before);
  if (!cron_load_str(buf.data()) && memcmp(before, crons, sizeof before) != 0)
    fuzz::fail("a rejected text changed the table", line);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::scratch_enter("cron");
  soc_send_hook = capture;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  cron_reset();
  std::string rest((const char *)data + 1, size - 1);
  if (data[0] & 1) {
    FILE *f = fopen("cron", "wb");
    fwrite(rest.data(), 1, rest.size(), f);
    fclose(f);
    cron_file_load();
  } else {
    size_t at = 0;
    while (at <= rest.size()) {
      size_t nl = rest.find('\n', at);
      if (nl == std::string::npos) nl = rest.size();
      text_one(rest.substr(at, nl - at));
      at = nl + 1;
    }
  }
  int used = table_check();

  static cron_entry saved[CRON_MAX];
  memcpy(saved, crons, sizeof saved);
  if (!cron_file_save()) fuzz::fail("cron_file_save failed in the scratch directory");
  cron_table_reset();
  cron_file_load();
  if (!same_used(saved, crons)) fuzz::fail("save then load changed the table", rest);

  reply.clear();
  cron_json(1);
  size_t body = reply.find("\r\n\r\n");
  if (body == std::string::npos) fuzz::fail("listing without a header");
  std::string json = reply.substr(body + 4), why;
  if (!fuzz::json_valid(json, &why)) fuzz::fail(("listing does not parse: " + why).c_str(), json);
  size_t objects = 0;
  for (size_t at = json.find("{\"key\""); at != std::string::npos; at = json.find("{\"key\"", at + 1)) objects++;
  if (objects != (size_t)used) fuzz::fail("listing object count differs from the table", json);
  cron_reset();
  fuzz::scratch_check_and_clean();
  return 0;
}
