// orvel-sim ctl: one control line to the simulator's control socket. The
// simulator answers a line and closes the connection once it has read the
// end of the client's input, so the client writes its line, shuts its
// sending side and reads until the end.
#include "sim_ctl.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

constexpr int CTL_LINE_CAP = 512;       // the simulator's line limit
constexpr int CTL_WAIT_MS = 5000;       // for the whole answer
constexpr int CTL_ANSWER_CHUNK = 4096;

static int ctl_usage() {
  fprintf(stderr,
          "usage: orvel-sim ctl [--control PATH] WORD...\n"
          "  sends one control line to a running orvel-sim and prints its answer,\n"
          "  e.g. orvel-sim ctl press 7a8b90 1   (orvel-sim ctl help lists the commands)\n");
  return 2;
}

static bool send_all(int fd, const char *text, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, text, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

int sim_ctl_main(int argc, char **args, const char *default_path) {
  const char *path = default_path;
  int first = 0;
  if (argc >= 2 && strcmp(args[0], "--control") == 0) {
    path = args[1];
    first = 2;
  }
  if (first >= argc) return ctl_usage();
  char line[CTL_LINE_CAP];
  size_t len = 0;
  for (int i = first; i < argc; i++) {
    int n = snprintf(line + len, sizeof line - len, "%s%s", i > first ? " " : "", args[i]);
    if (n < 0 || len + static_cast<size_t>(n) + 2 > sizeof line) {
      fprintf(stderr, "orvel-sim ctl: the line is longer than %d bytes\n", CTL_LINE_CAP - 2);
      return 2;
    }
    len += static_cast<size_t>(n);
  }
  line[len++] = '\n';

  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) {
    fprintf(stderr, "orvel-sim ctl: socket path too long: %s\n", path);
    return 2;
  }
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    fprintf(stderr, "orvel-sim ctl: no simulator answers on %s (%s); is it running (scripts/run.sh)?\n", path,
            strerror(errno));
    if (fd >= 0) close(fd);
    return 1;
  }
  if (!send_all(fd, line, len) || shutdown(fd, SHUT_WR) != 0) {
    fprintf(stderr, "orvel-sim ctl: cannot send to %s\n", path);
    close(fd);
    return 1;
  }
  char answer[CTL_ANSWER_CHUNK];
  bool first_chunk = true, error = false;
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, CTL_WAIT_MS);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      fprintf(stderr, "orvel-sim ctl: no answer within %d s\n", CTL_WAIT_MS / 1000);
      error = true;
      break;
    }
    ssize_t n = read(fd, answer, sizeof answer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (first_chunk && strncmp(answer, "error:", n < 6 ? static_cast<size_t>(n) : 6) == 0) error = true;
    first_chunk = false;
    fwrite(answer, 1, static_cast<size_t>(n), stdout);
  }
  close(fd);
  fflush(stdout);
  return error ? 1 : 0;
}
