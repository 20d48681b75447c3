// Shared pieces of the fuzz targets: a strict JSON validator, a scratch
// working directory with the gateway's layout, the capture of what the
// gateway sends, and a loud stop on a broken property.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "json_valid.h"

namespace fuzz {

// One whole, strictly valid JSON value (json_valid.h).
inline bool json_valid(const std::string &s, std::string *why = nullptr) {
  bool ok = JsonValidator(s).whole();
  if (!ok && why) *why = "not one valid JSON value";
  return ok;
}
inline bool json_valid(const char *text, size_t len, std::string *why = nullptr) {
  return json_valid(std::string(text, len), why);
}

// Stops the run with a message and the bytes involved: libFuzzer reports the
// abort as a crash and saves the input.
[[noreturn]] void fail(const char *what, const std::string &detail = "");

// Creates <base>/a/b/work with "www" (a few files), "mem" and "logs", and
// makes it the working directory. base is $ORVEL_FUZZ_SCRATCH when set, else
// a fresh directory under /dev/shm (or /tmp). Removed at exit.
void scratch_enter(const char *target);
// Checks that nothing was created outside the working directory (the tree
// under base holds only a/b/work), that the working directory holds only the
// gateway's own names, that "www" is unchanged, and that every file under
// "mem" has a plain stored-value name. Then empties mem/, logs/ and removes
// the state files, so the next input starts alike.
void scratch_check_and_clean();

// The modem stand-in: a non-null handle whose writes are recorded.
void modem_plug();
// The duplicate filter's clock: a pass of the main loop is 100 ms.
extern int64_t now_ms;
int64_t clock_ms();
void modem_unplug();
extern uint8_t modem_last_write[65];
extern int modem_writes;

}  // namespace fuzz
