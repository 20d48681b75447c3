// The cron runner: once per new minute it queues the commands of every due
// entry in `cron_run_list`; once per second it sends the first pending command,
// strictly one at a time, and completes it on the device's reply (reported by
// cron_watch), retries it, or gives it up after CronRetry tries.
//
// Queue entry, CRON_CMD_LEN bytes: the command text; its first byte is the
// state: 0 free, '@' pending, CRON_RUN_DONE ('x') completed, given up or
// rejected. The queue is cleared whole once no entry is pending.
#include <cstring>

#include "core/clock.h"
#include "core/hooks.h"
#include "core/logs.h"
#include "core/settings.h"
#include "radio/awaits.h"
#include "radio/transmit.h"
#include "sched/cron.h"

static uint8_t cron_send(const char *text) { return usb_rf_tx(text, TX_CRON); }

char cron_run_list[CRON_RUN_MAX][CRON_CMD_LEN];
uint8_t cron_retry;
uint8_t cron_got_reply;
tx_target cron_listen;
uint8_t (*cron_tx)(const char *text) = cron_send;

namespace {

// The awaited-reply table found the reply of the command in progress.
void cron_reply(uint32_t, await_end end, const tx_target &, const char *) {
  if (end == AWAIT_REPLY) cron_got_reply = 1;
}

// The minute cron_at examined last, as minutes since 1900 (date, hour and
// minute: a clock put forward by exactly an hour is a new minute); -1 so the
// first call examines its minute.
long last_min = -1;
bool awaiting = false;      // the command in progress was written: its reply is awaited
bool tried = false;         // it was written at least once
time_t modem_wait_since = 0;  // monotonic second it began to wait for a modem; 0 none

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
  awaiting = tried = false;
  modem_wait_since = 0;
  await_cancel(cron_reply, 0);
}

}  // namespace

bool cron_at(const struct tm *now) {
  long minute = ((long)now->tm_year * 366 + now->tm_yday) * 1440 + now->tm_hour * 60 + now->tm_min;
  if (minute == last_min) return false;
  last_min = minute;
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

// The command in progress was given up after its last try.
static void cron_give_up(char *e, bool heard_nothing) {
  sys_log(heard_nothing ? "Cron NOREPLY: %s" : "Cron NO MODEM: %s", e);
  if (heard_nothing) {
    char id[7] = {};
    memcpy(id, e + 1, 6);
    hook_no_reply.run(id);
  }
  hook_cron.run(true);
  cron_done(e);
}

bool cron_run() {
  if (!cron_run_list[0][0]) return false;
  for (int i = 0; i < CRON_RUN_MAX; i++) {
    char *e = cron_run_list[i];
    if (e[0] != '@') continue;
    // The reply is looked at before the tries: one to the last try counts.
    if (awaiting && cron_got_reply) {
      cron_done(e);
      return true;
    }
    if (awaiting && cron_retry == 0) {
      cron_give_up(e, true);
      continue;
    }
    uint8_t result = cron_tx(e);
    if (result == RF_TX_NO_MODEM) {
      // Not a try: the command waits for the modem, up to CRON_MODEM_WAIT_S.
      awaiting = false;
      time_t now = clock_mono_s();
      if (!modem_wait_since) modem_wait_since = now;
      if (now - modem_wait_since < CRON_MODEM_WAIT_S) return true;
      cron_give_up(e, false);
      continue;
    }
    modem_wait_since = 0;
    if (!result) {
      sys_log("Cron CMD ER: %s", e);
      cron_done(e);
      continue;
    }
    cron_got_reply = 0;
    sys_log("Cron TX: %s", e);
    if (!tried) {
      tried = true;
      hook_cron.run(false);
      // Settings keep CronRetry in 1..10 or negative (read as 128..255 tries);
      // 0 would retry forever, so it counts as a single try.
      cron_retry = (uint8_t)CronRetry;
      if (!cron_retry) cron_retry = 1;
    }
    cron_retry--;
    awaiting = true;
    cron_listen = last_tx;
    // A reply awaited until the command is done; its tries are counted here.
    await_cancel(cron_reply, 0);
    await_add(cron_reply, 0, cron_listen, -1);
    return true;
  }
  for (auto &entry : cron_run_list) entry[0] = 0;
  return false;
}

void cron_run_reset() {
  memset(cron_run_list, 0, sizeof cron_run_list);
  cron_retry = 0;
  cron_got_reply = 0;
  memset(&cron_listen, 0, sizeof cron_listen);
  await_cancel(cron_reply, 0);
  cron_tx = cron_send;
  last_min = -1;
  awaiting = tried = false;
  modem_wait_since = 0;
}

void cron_reset() {
  cron_table_reset();
  cron_run_reset();
}
