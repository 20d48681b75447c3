// Static files from "www", and the file sender that the log viewer and the
// value store share. A file leaves with its header (small files) or by
// sendfile as the socket takes it; its reply kind comes from its name
// (".html", ".js", ".css" anywhere in it, first match wins).
#include "net/static_files.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include "core/files.h"
#include "core/text.h"
#include "net/http_reply.h"
#include "net/socket.h"

constexpr int STATIC_PATH_MAX = 128;  // characters of the target used
constexpr int STATIC_NAME_CAP = 142;  // "www" + 128 + "index.html" + NUL fits

// True when a path segment of `name` is ".", ".." or another dot name:
// nothing outside "www", and no hidden file, is ever served.
static bool has_dot_segment(const char *name) {
  for (const char *p = name; *p; p++)
    if (*p == '/' && p[1] == '.') return true;
  return false;
}

bool static_file_name(char *dst, const char *target) {
  if (target[0] != '/' || target[1] == '.') return false;
  strcpy(dst, "www");
  char path[STATIC_PATH_MAX + 1];
  str_copy_till(path, target, ' ');
  url_decode(path);
  if (has_dot_segment(path) || strchr(path, '\\')) return false;
  strcat(dst, path);
  return true;
}

static int file_kind(const char *name) {
  if (strstr(name, ".html")) return 205;
  if (strstr(name, ".js")) return 204;
  if (strstr(name, ".css")) return 203;
  return 201;
}

// Opens `name` read-only: a web directory the gateway may not write is the
// secure norm. O_NONBLOCK: a FIFO never holds the loop. -1 when it cannot be
// opened; `st` describes what was opened.
static int file_open(const char *name, struct stat *st) {
  int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0 && fstat(fd, st) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Anything but a regular file counts as not found. The head is the reply
// kind's, or `extra` (header lines) after "200 OK" when kind is 0.
static bool file_send(uint32_t sock, int fd, const struct stat &st, int kind, const char *extra = nullptr) {
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  if (kind)
    http_reply(sock, kind, nullptr);
  else
    http_respond_text(sock, "200 OK", nullptr, extra, nullptr);
  if (!soc_send_file(sock, fd, st.st_size)) {
    dbug("file_to_soc() ERROR");
    return false;
  }
  return true;
}

bool file_reply(uint32_t sock, const char *name, int kind) {
  struct stat st;
  int fd = file_open(name, &st);
  return fd >= 0 && file_send(sock, fd, st, kind);
}

bool file_reply_head(uint32_t sock, const char *name, const char *extra) {
  struct stat st;
  int fd = file_open(name, &st);
  return fd >= 0 && file_send(sock, fd, st, 0, extra);
}

bool file_to_soc(const char *name, uint32_t sock) { return file_reply(sock, name, file_kind(name)); }

bool http_serve_file(uint32_t sock, const char *target) {
  char name[STATIC_NAME_CAP];
  if (!static_file_name(name, target)) return false;
  size_t len = strlen(name);
  bool dir_named = name[len - 1] == '/';
  if (dir_named) strcat(name, "index.html");
  struct stat st;
  int fd = file_open(name, &st);
  if (fd < 0) return false;
  if (!dir_named && S_ISDIR(st.st_mode)) {  // a directory named without its '/'
    close(fd);
    strcat(name, "/");
    http_reply(sock, 301, name + 3);
    return true;
  }
  return file_send(sock, fd, st, file_kind(name));
}
