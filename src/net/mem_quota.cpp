// The room of the value store (see mem_quota.h). What "mem" holds is summed
// once at start and kept up to date by the writers; the disk's free space is
// asked at each write.
#include "net/mem_quota.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/settings.h"

static long quota = MEM_QUOTA_DEFAULT;
static long used = 0;      // bytes of the files in "mem"
static long inflight = 0;  // bytes announced by uploads still arriving

void mem_quota_start() {
  char value[SETTING_VALUE];
  if (setting_get("MEMQUOTA", value) == 1 && atol(value) > 0) quota = atol(value);
  used = 0;
  DIR *d = opendir("mem");
  if (!d) return;
  int removed = 0;
  while (const dirent *e = readdir(d)) {
    std::string name = "mem/" + std::string(e->d_name);
    struct stat st;
    if (e->d_name[0] == '.' || stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // A '~' marks a temporary file (an upload, a value being replaced) that
    // a killed gateway left behind: no key holds one, so none is served.
    if (strchr(e->d_name, '~') && unlink(name.c_str()) == 0) {
      removed++;
      continue;
    }
    used += (long)st.st_size;
  }
  closedir(d);
  if (removed) printf("mem: %d unfinished temporary file(s) removed\n", removed);
}

bool mem_room(long bytes) {
  if (bytes <= 0) return true;
  if (used + inflight + bytes > quota) return false;
  struct statvfs vfs;
  if (statvfs("mem", &vfs) != 0) return true;  // unknown: the write itself will tell
  unsigned long long avail = (unsigned long long)vfs.f_bavail * vfs.f_frsize;
  return avail >= (unsigned long long)(bytes + inflight + MEM_RESERVE);
}

void mem_used_add(long delta) {
  used += delta;
  if (used < 0) used = 0;
}

void mem_inflight_add(long delta) {
  inflight += delta;
  if (inflight < 0) inflight = 0;
}

void mem_quota_reset() {
  quota = MEM_QUOTA_DEFAULT;
  used = inflight = 0;
}
