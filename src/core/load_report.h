// What a state file's loader skipped, said once the file is read: one line
// on the console and in the daily log per file that was not read whole, so
// a damaged file never goes back to empty without a word.
#pragma once
#include <cstddef>
#include <cstdio>

constexpr size_t STATE_FILE_MAX = 64 * 1024;  // bytes a loader reads of one state file
constexpr int REPORT_LINES = 5;               // line numbers named in the report

struct load_report {
  const char *file;
  int skipped = 0;
  int lines[REPORT_LINES] = {};
  bool cut = false;  // the file goes on past STATE_FILE_MAX: the rest was not read

  explicit load_report(const char *name) : file(name) {}
  // Line `number` (from 1) was not understood.
  void skip(int number);
  // Prints and logs what was skipped, if anything: "devices: 3 line(s) not
  // understood (lines 1, 2, 7)", "devices: only the first 65536 bytes read".
  void done() const;
};

// Reads the next line of `f` into `line` (capacity `cap`; a longer line is
// cut and its rest passed over), counting the bytes read into `*bytes`.
// False at the end of the file, or once STATE_FILE_MAX bytes were read
// (then `report->cut` is set).
bool load_line(FILE *f, char *line, size_t cap, size_t *bytes, load_report *report);
