// File system helpers: the executable's directory and crash-safe rewrites of
// the state files (devices, cron).
#include "core/files.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int isdir(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void cwdir() {
  char path[255];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return;  // keep the current directory
  path[n] = 0;
  char *slash = strrchr(path, '/');
  if (!slash) return;
  if (slash == path) slash[1] = 0; else *slash = 0;
  if (chdir(path) != 0) {
    // ignored: the gateway goes on in whatever directory it has
  }
}

// fsyncs the directory that holds `path`, so a rename survives a power loss.
static void dir_sync(const char *path) {
  char dir[256];
  const char *slash = strrchr(path, '/');
  if (!slash) {
    strcpy(dir, ".");
  } else {
    size_t n = (size_t)(slash - path);
    if (n == 0) n = 1;
    if (n >= sizeof dir) return;
    memcpy(dir, path, n);
    dir[n] = 0;
  }
  int fd = open(dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool state_dir_writable() {
  static const char PROBE[] = ".write-probe";
  int fd = open(PROBE, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, "x", 1) == 1 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  return unlink(PROBE) == 0 && ok;
}

bool file_write_atomic(const char *path, const char *data, size_t len) {
  char tmp[256];
  if (snprintf(tmp, sizeof tmp, "%s.tmp", path) >= (int)sizeof tmp) return false;
  return file_write_atomic_via(path, tmp, data, len);
}

bool file_write_atomic_via(const char *path, const char *tmp, const char *data, size_t len) {
  FILE *f = fopen(tmp, "wb");
  if (!f) return false;
  bool ok = fwrite(data, 1, len, f) == len;
  ok = (fflush(f) == 0) && ok;
  ok = ok && fsync(fileno(f)) == 0;
  ok = (fclose(f) == 0) && ok;
  if (ok) ok = rename(tmp, path) == 0;
  if (!ok) {
    unlink(tmp);
    return false;
  }
  dir_sync(path);
  return true;
}
