// The poll set (see watch.h).
#include "core/watch.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <poll.h>

struct watch_rec {
  int fd;  // -1 = free
  short events;
  watch_events_fn query;
  watch_ready_fn ready;
};

static watch_rec watches[WATCH_MAX];
static bool watches_ready = false;

void watch_reset() {
  for (auto &w : watches) w = {-1, 0, nullptr, nullptr};
  watches_ready = true;
}

static watch_rec *watch_find(int fd) {
  if (!watches_ready) watch_reset();
  for (auto &w : watches)
    if (w.fd == fd) return &w;
  return nullptr;
}

static bool watch_put(int fd, short events, watch_events_fn query, watch_ready_fn ready) {
  if (fd < 0) return false;
  watch_rec *w = watch_find(fd);
  if (!w) w = watch_find(-1);
  if (!w) return false;
  *w = {fd, events, query, ready};
  return true;
}

bool watch_set(int fd, short events, watch_ready_fn ready) { return watch_put(fd, events, nullptr, ready); }

bool watch_set_query(int fd, watch_events_fn query, watch_ready_fn ready) { return watch_put(fd, 0, query, ready); }

void watch_clear(int fd) {
  if (fd < 0) return;
  if (watch_rec *w = watch_find(fd)) *w = {-1, 0, nullptr, nullptr};
}

void watch_wait(int ms) {
  if (!watches_ready) watch_reset();
  struct pollfd fds[WATCH_MAX];
  watch_ready_fn ready[WATCH_MAX];
  nfds_t n = 0;
  for (const auto &w : watches) {
    if (w.fd < 0) continue;
    fds[n] = {w.fd, w.query ? w.query(w.fd) : w.events, 0};
    ready[n++] = w.ready;
  }
  int r = poll(fds, n, ms);
  if (r < 0 && errno != EINTR) perror("select() error");
  if (r <= 0) return;
  int order[WATCH_MAX], nready = 0;
  for (nfds_t i = 0; i < n; i++)
    if (fds[i].revents) order[nready++] = (int)i;
  std::sort(order, order + nready, [&](int a, int b) { return fds[a].fd < fds[b].fd; });
  for (int k = 0; k < nready; k++) {
    const pollfd &p = fds[order[k]];
    const watch_rec *w = watch_find(p.fd);
    if (w && w->ready == ready[order[k]] && w->ready) w->ready(p.fd, p.revents);
  }
}
