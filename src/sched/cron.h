// The weekly scheduler: the cron table and its file "cron", the HTTP route
// "&cron", and the once-a-second runner that sends the due radio commands one
// at a time, waiting for each device's reply and retrying as configured.
#pragma once
#include <cstdint>
#include <ctime>
#include "radio/awaits.h"

// ---- the table (cron_table.cpp) -------------------------------------------

constexpr int CRON_MAX = 100;        // slots; the index is the key, 1..99 usable
constexpr int CRON_CMDS_MAX = 20;    // commands per entry, never more
constexpr int CRON_CMD_LEN = 16;     // bytes per stored command, NUL included
constexpr int CRON_CMD_TEXT_MAX = 11;  // longest command: "@0a1b2c=100"

constexpr uint8_t CRON_PAUSED = 0x01;  // days bit 0: kept and listed, never fires

// One weekly entry. days: bit 7 Sunday .. bit 1 Saturday (0x80 >> weekday),
// bit 0 paused, 0 = free slot. cmds end at the first empty text.
struct cron_entry {
  uint8_t days;
  uint8_t hour;    // 0..23 local time
  uint8_t minute;  // 0..59
  char cmds[CRON_CMDS_MAX][CRON_CMD_LEN];
};
extern cron_entry crons[CRON_MAX];

// Parses one entry text "KKK/DDDDDDD/HH:MM/@id=lvl..." (or "KKK-" to delete)
// and stores it under its key. False rejects the text and changes nothing.
// A text with more than CRON_CMDS_MAX commands is rejected.
bool cron_load_str(const char *text);
// Loads "cron" from the working directory; returns the accepted line count.
int cron_file_load();
// Rewrites "cron" crash-safely from the table; false when the write failed
// (the previous file then stays whole).
bool cron_file_save();
// Seven day letters of "smtwtfs", upper case for set days, and a NUL (8 bytes).
void cron_to_days(char *buf, uint8_t days);
// Empties the table (tests).
void cron_table_reset();

// ---- the HTTP route (cron_http.cpp) ---------------------------------------

// `route` points at "&cron" in a NUL-terminated request. Lists on "&cron?" and
// "&cron ", else stores the entry text after one separator character and
// answers "CRON SAVED". False (nothing written, table unchanged) when the text
// is rejected or the file cannot be rewritten.
bool cron_http(uint32_t sock, char *route);
// Writes the whole listing reply: kind 202 and a JSON array of used entries.
void cron_json(uint32_t sock);

// ---- the runner (cron_run.cpp) --------------------------------------------

constexpr int CRON_RUN_MAX = 100;      // queued commands
constexpr int CRON_MODEM_WAIT_S = 60;  // a command waits this long for a modem before it is given up

// Queue entry state, its first byte: 0 free, '@' pending, 'x' done.
constexpr char CRON_RUN_DONE = 'x';

extern char cron_run_list[CRON_RUN_MAX][CRON_CMD_LEN];
extern uint8_t cron_retry;      // tries left for the command in progress after the one awaited
extern uint8_t cron_got_reply;  // set by cron_watch when the awaited reply came
extern tx_target cron_listen;   // copy of last_tx after a send; cmd 0 = nothing awaited

// Transmit seam; usb_rf_tx for TX_CRON by default. 0 = rejected, anything else = sent.
extern uint8_t (*cron_tx)(const char *text);

// Once per second: at a new minute queue the commands of every due entry.
// True when a new minute was examined.
bool cron();
bool cron_at(const struct tm *now);
// Once per second: send, complete, retry or give up the first pending command.
// A reply is looked at before the tries are; a command that finds no modem
// open is not tried but waits, up to CRON_MODEM_WAIT_S, and only a command
// written is logged "Cron TX". True when a command was sent, completed or waits.
bool cron_run();
// Empties the queue and the reply watch and forgets the last minute (tests).
void cron_run_reset();

// Empties the table, the queue and the watch (tests).
void cron_reset();

// Registers the route "&cron" and the runner on the tick (the minute check,
// then the queue).
void sched_start();
