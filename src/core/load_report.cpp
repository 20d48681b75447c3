// What a state file's loader skipped (see load_report.h).
#include "core/load_report.h"

#include <cstring>
#include <string>

#include "core/logs.h"

void load_report::skip(int number) {
  if (skipped < REPORT_LINES) lines[skipped] = number;
  skipped++;
}

void load_report::done() const {
  std::string text;
  if (skipped) {
    text = std::string(file) + ": " + std::to_string(skipped) + " line(s) not understood (line";
    for (int i = 0; i < skipped && i < REPORT_LINES; i++) text += (i ? ", " : " ") + std::to_string(lines[i]);
    text += skipped > REPORT_LINES ? ", ...)" : ")";
  }
  if (cut) text += (text.empty() ? std::string(file) + ": " : std::string("; ")) + "only the first " +
                   std::to_string(STATE_FILE_MAX) + " bytes read";
  if (text.empty()) return;
  printf("%s\n", text.c_str());
  sys_log("%s", text.c_str());
}

bool load_line(FILE *f, char *line, size_t cap, size_t *bytes, load_report *report) {
  if (*bytes >= STATE_FILE_MAX) {
    int c = getc(f);
    if (c != EOF) report->cut = true;
    return false;
  }
  if (!fgets(line, (int)cap, f)) return false;
  size_t n = strlen(line);
  *bytes += n;
  if (n && line[n - 1] != '\n') {  // cut: the rest of the line is passed over
    int c;
    while ((c = getc(f)) != EOF && c != '\n') ++*bytes;
  }
  return true;
}
