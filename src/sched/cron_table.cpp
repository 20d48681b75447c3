// The cron table `crons`, the one-line entry syntax shared by the file and the
// HTTP route, and the file "cron" that keeps the table across restarts.
//
// Entry text, fixed columns counted from 0:
//   col   0-2  key, decimal, 001..099 (read like atoi: blanks, one sign, digits)
//   col   3    '/' active, '!' paused, '-' delete (nothing else is read)
//   col   4-10 Sunday..Saturday: set when the column holds "SMTWTFS"[i]
//   col   11   '/'
//   col   12-13 hour (atoi), 0..23
//   col   14   ':'
//   col   15-16 minute (atoi), 0..59
//   col   17   '/'
//   col   18.. commands "@" + 6 lower hex + "=" + 1..3 digits (a level) or "!"
//              (a toggle), up to NUL or ' ';
//              any other character between them is skipped
#include "sched/cron.h"

#include <cstdio>
#include <cstring>

#include "core/files.h"
#include "core/load_report.h"
#include "core/text.h"

cron_entry crons[CRON_MAX];

namespace {

constexpr int COL_STATE = 3;
constexpr int COL_DAYS = 4;
constexpr int COL_SEP1 = 11;
constexpr int COL_HOUR = 12;
constexpr int COL_COLON = 14;
constexpr int COL_MINUTE = 15;
constexpr int COL_SEP2 = 17;
constexpr int COL_CMDS = 18;  // also the shortest text an entry can have

// Command offsets from its '@'.
constexpr int CMD_EQ = 7;
constexpr int CMD_LEVEL = 8;
constexpr int CMD_LEVEL_MAX_DIGITS = 3;

constexpr const char *DAY_LETTERS = "smtwtfs";
constexpr const char *DAY_SET = "SMTWTFS";

constexpr const char *CRON_FILE = "cron";
constexpr int CRON_LINE_MAX = 1023;  // longer file lines are read in pieces

// atoi semantics (leading blanks, one sign, digits to the first non-digit, none
// gives 0), stopping at the NUL. The magnitude is capped so that a long run of
// digits cannot overflow; a capped value is out of every accepted range.
int cron_num(const char *p) {
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = (*p++ == '-');
  int v = 0;
  for (; isnumch(*p); p++)
    if (v < 100000) v = v * 10 + (*p - '0');
  return neg ? -v : v;
}

// Scans the commands from `p` to the NUL or first blank into `e`. False when a
// command is malformed or there are more than CRON_CMDS_MAX of them.
bool cron_cmds_parse(const char *p, cron_entry *e) {
  int n = 0;
  for (; *p && *p != ' '; p++) {
    if (*p != '@') continue;
    if (!isID(p)) return false;  // also proves p[1..6] are inside the text
    int len = CMD_EQ + 1;  // "@id!": toggle
    if (p[CMD_EQ] != '!') {
      if (p[CMD_EQ] != '=') return false;
      if (!isnumch(p[CMD_LEVEL])) return false;
      len = CMD_LEVEL + 1;
      while (len < CMD_LEVEL + CMD_LEVEL_MAX_DIGITS && isnumch(p[len])) len++;
    }
    if (n == CRON_CMDS_MAX) return false;
    memcpy(e->cmds[n], p, len);
    e->cmds[n][len] = 0;
    n++;
  }
  return true;
}

// Appends one entry's file line to `out`; returns the bytes written.
int cron_line_write(char *out, int key, const cron_entry *e) {
  char days[8];
  cron_to_days(days, e->days);
  int n = sprintf(out, "%03i%c%s/%02i:%02i/", key, (e->days & CRON_PAUSED) ? '!' : '/', days,
                  e->hour, e->minute);
  for (int c = 0; c < CRON_CMDS_MAX && e->cmds[c][0] == '@'; c++) {
    size_t len = strnlen(e->cmds[c], CRON_CMD_LEN - 1);
    memcpy(out + n, e->cmds[c], len);
    n += (int)len;
  }
  out[n++] = '\n';
  return n;
}

// Worst case per line: 18 fixed columns (2 more should hour or minute ever
// print with 3 digits), 20 commands of at most 15 bytes, the newline.
constexpr int CRON_LINE_CAP = COL_CMDS + 2 + CRON_CMDS_MAX * (CRON_CMD_LEN - 1) + 1;
char cron_file_buf[CRON_MAX * CRON_LINE_CAP];

}  // namespace

bool cron_load_str(const char *text) {
  int key = cron_num(text);
  if (key < 1 || key >= CRON_MAX) return false;
  size_t len = strnlen(text, COL_CMDS);
  if (len <= COL_STATE) return false;
  if (text[COL_STATE] == '-') {
    memset(&crons[key], 0, sizeof crons[key]);
    return true;
  }
  if (len < COL_CMDS) return false;
  if (text[COL_SEP1] != '/' || text[COL_SEP2] != '/') return false;

  cron_entry e;
  memset(&e, 0, sizeof e);
  if (text[COL_STATE] == '!')
    e.days = CRON_PAUSED;
  else if (text[COL_STATE] != '/')
    return false;
  for (int d = 0; d < 7; d++)
    if (text[COL_DAYS + d] == DAY_SET[d]) e.days |= (uint8_t)(0x80 >> d);
  if (text[COL_COLON] != ':') return false;
  e.hour = (uint8_t)cron_num(text + COL_HOUR);
  e.minute = (uint8_t)cron_num(text + COL_MINUTE);
  if (e.hour > 23 || e.minute > 59) return false;
  if (!cron_cmds_parse(text + COL_CMDS, &e)) return false;

  crons[key] = e;
  return true;
}

int cron_file_load() {
  FILE *f = fopen(CRON_FILE, "r");
  if (!f) return 0;
  char line[CRON_LINE_MAX + 1];
  int count = 0, number = 0;
  size_t bytes = 0;
  load_report report(CRON_FILE);
  while (load_line(f, line, sizeof line, &bytes, &report)) {
    number++;
    if (cron_load_str(line))
      count++;
    else if (line[strspn(line, " \t\r\n")])
      report.skip(number);
  }
  fclose(f);
  report.done();
  return count;
}

bool cron_file_save() {
  size_t len = 0;
  for (int key = 0; key < CRON_MAX; key++)
    if (crons[key].days) len += cron_line_write(cron_file_buf + len, key, &crons[key]);
  return file_write_atomic(CRON_FILE, cron_file_buf, len);
}

void cron_to_days(char *buf, uint8_t days) {
  for (int d = 0; d < 7; d++) {
    char c = DAY_LETTERS[d];
    buf[d] = (days & (0x80 >> d)) ? (char)(c - 'a' + 'A') : c;
  }
  buf[7] = 0;
}

void cron_table_reset() { memset(crons, 0, sizeof crons); }
