// The HTTP route "&cron": the JSON listing of the cron table and the store,
// change, pause and delete of one entry given as an entry text in the target.
#include <cstdio>
#include <cstring>

#include "core/hooks.h"
#include "core/text.h"
#include "net/http_reply.h"
#include "net/router.h"
#include "net/socket.h"
#include "sched/cron.h"

namespace {

constexpr int ROUTE_LEN = 5;  // "&cron"

// One listed object. The parser stores only '@', hex digits, '=' and digits,
// but commands are escaped anyway so the listing stays valid JSON whatever the
// table holds: the head, then 20 commands of 15 bytes at 6 bytes per escaped
// byte with their quotes and comma, then "]}".
constexpr int CRON_JSON_OBJ_CAP = 64 + CRON_CMDS_MAX * ((CRON_CMD_LEN - 1) * 6 + 3) + 3;

// Builds the object for `key` into `obj` (CRON_JSON_OBJ_CAP bytes), with a
// leading ',' unless it is the first.
void cron_json_obj(char *obj, int key, const cron_entry *e, bool first) {
  char days[8];
  cron_to_days(days, e->days);
  int n = snprintf(obj, CRON_JSON_OBJ_CAP, "%s{\"key\":\"%03i\",\"run\":%i,\"days\":\"%s\",",
                   first ? "" : ",", key, (e->days & CRON_PAUSED) ? 0 : 1, days);
  snprintf(obj + n, CRON_JSON_OBJ_CAP - n, "\"time\":\"%02i:%02i\",\"cmd\":[", e->hour, e->minute);
  for (int c = 0; c < CRON_CMDS_MAX && e->cmds[c][0] == '@'; c++) {
    char cmd[CRON_CMD_LEN];
    size_t len = strnlen(e->cmds[c], CRON_CMD_LEN - 1);
    memcpy(cmd, e->cmds[c], len);
    cmd[len] = 0;
    strcat(obj, c ? ",\"" : "\"");
    json_escape_append(obj, CRON_JSON_OBJ_CAP, cmd);
    strcat(obj, "\"");
  }
  strcat(obj, "]}");
}

}  // namespace

void cron_json(uint32_t sock) {
  http_reply(sock, 202, "[");
  bool first = true;
  for (int key = 0; key < CRON_MAX; key++) {
    if (!crons[key].days) continue;
    char obj[CRON_JSON_OBJ_CAP];
    cron_json_obj(obj, key, &crons[key], first);
    first = false;
    soc_msg(sock, obj);  // a failed send is left to the router's close
  }
  soc_msg(sock, "]");
}

bool cron_http(uint32_t sock, char *route) {
  char sep = route[ROUTE_LEN];
  if (sep == '?' || sep == ' ') {
    cron_json(sock);
    return true;
  }
  if (sep == 0) return false;  // the separator would be the end of the request
  // An edit stands only once the file holds it: when the rewrite fails the
  // table goes back to what it was, and the router answers "ERROR".
  static cron_entry before[CRON_MAX];
  memcpy(before, crons, sizeof crons);
  if (!cron_load_str(route + ROUTE_LEN + 1)) return false;
  if (!cron_file_save()) {
    memcpy(crons, before, sizeof crons);
    return false;
  }
  http_reply(sock, 200, "CRON SAVED");
  hook_config.run(CONFIG_SCHEDULE, "");
  return true;
}

static route_verdict cron_route(http_req &req) {
  if (!cron_http(req.sock, req.target)) http_reply(req.sock, 200, "ERROR");
  return ROUTE_CLOSE;
}

static void cron_tick(time_t) {
  cron();
  cron_run();
}

void sched_start() {
  route_add({"&cron", MATCH_PREFIX, HTTP_GET | HTTP_POST, DOOR_TOKEN, "cron", cron_route});
  hook_tick.add(cron_tick);
}
