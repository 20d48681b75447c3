// The cron runner: once per new minute it queues the commands of every due
// entry in `cron_run_list`; once per second it sends the first pending command,
// strictly one at a time, and completes it on the device's reply (reported by
// cron_watch), retries it, or gives it up after CronRetry tries.
//
// Queue entry, CRON_CMD_LEN bytes: the command text; its first byte is the
// state: 0 free, '@' pending, CRON_RUN_DONE ('x') completed, given up or
// rejected. The queue is cleared whole once no entry is pending.
#include <cstring>

#include "core/logs.h"
#include "core/settings.h"
#include "core/sinks.h"
#include "radio/packet.h"
#include "radio/transmit.h"
#include "sched/cron.h"

char cron_run_list[CRON_RUN_MAX][CRON_CMD_LEN];
uint8_t cron_retry;
uint8_t cron_got_reply;
con_rec cron_listen;
uint8_t (*cron_tx)(const char *text) = usb_rf_tx;

namespace {

// The minute cron_at examined last; -1 so the first call examines its minute.
int last_min = -1;

// Copies the entry's commands into free queue entries, from index 0 upward;
// commands that find no free entry are dropped.
void cron_queue(const cron_entry *e) {
  int q = 0;
  for (int c = 0; c < CRON_CMDS_MAX && e->cmds[c][0] == '@'; c++) {
    while (q < CRON_RUN_MAX && cron_run_list[q][0]) q++;
    if (q == CRON_RUN_MAX) return;
    size_t len = strnlen(e->cmds[c], CRON_CMD_LEN - 1);
    memcpy(cron_run_list[q], e->cmds[c], len);
    cron_run_list[q][len] = 0;
  }
}

// The command in progress is over (completed, given up or rejected): no reply
// is awaited any more and a late one cannot complete the next command.
void cron_done(char *entry) {
  entry[0] = CRON_RUN_DONE;
  cron_got_reply = 0;
  cron_listen.cmd = 0;
  cron_retry = 0;
}

}  // namespace

bool cron_at(const struct tm *now) {
  if (now->tm_min == last_min) return false;
  last_min = now->tm_min;
  uint8_t day_bit = (uint8_t)(0x80 >> now->tm_wday);
  for (int key = 0; key < CRON_MAX; key++) {
    const cron_entry *e = &crons[key];
    if (!e->days || (e->days & CRON_PAUSED) || !(e->days & day_bit)) continue;
    if (e->minute != now->tm_min || e->hour != now->tm_hour) continue;
    sys_log("Running Cron: %03i", key);
    cron_queue(e);
  }
  return true;
}

bool cron() {
  time_t t = time(nullptr);
  struct tm now;
  localtime_r(&t, &now);
  return cron_at(&now);
}

bool cron_run() {
  if (!cron_run_list[0][0]) return false;
  for (int i = 0; i < CRON_RUN_MAX; i++) {
    char *e = cron_run_list[i];
    if (e[0] != '@') continue;
    if (cron_retry && --cron_retry == 0) {
      sys_log("Cron NOREPLY: %s", e);
      char id[7] = {};
      memcpy(id, e + 1, 6);
      sinks_no_reply(id);
      sinks_cron(true);
      cron_done(e);
      continue;
    }
    if (cron_got_reply) {
      cron_done(e);
      return true;
    }
    uint8_t result = cron_tx(e);
    if (rf_tx_sent(result)) sinks_tx(TX_CRON);
    if (!result) {
      sys_log("Cron CMD ER: %s", e);
      cron_done(e);
      continue;
    }
    cron_got_reply = 0;
    sys_log("Cron TX: %s", e);
    if (!cron_retry) {
      sinks_cron(false);
      // Settings keep CronRetry in 1..10 or negative (read as 128..255 tries);
      // 0 would retry forever, so it counts as a single try.
      cron_retry = (uint8_t)CronRetry;
      if (!cron_retry) cron_retry = 1;
    }
    cron_listen = last_tx;
    return true;
  }
  for (auto &entry : cron_run_list) entry[0] = 0;
  return false;
}

void cron_watch(const uint8_t *packet) {
  if (cron_listen.cmd && cron_listen.cmd == packet[PK_CMD] && cron_listen.id1 == packet[PK_ID1] &&
      cron_listen.id2 == packet[PK_ID2] && cron_listen.id3 == packet[PK_ID3])
    cron_got_reply = 1;
}

void cron_run_reset() {
  memset(cron_run_list, 0, sizeof cron_run_list);
  cron_retry = 0;
  cron_got_reply = 0;
  memset(&cron_listen, 0, sizeof cron_listen);
  cron_tx = usb_rf_tx;
  last_min = -1;
}

void cron_reset() {
  cron_table_reset();
  cron_run_reset();
}
