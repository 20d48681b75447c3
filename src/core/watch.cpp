// The watch table (see watch.h).
#include "core/watch.h"

static watch_rec watches[WATCH_MAX];
static bool watches_ready = false;

void watch_reset() {
  for (auto &w : watches) w = {-1, 0, nullptr};
  watches_ready = true;
}

static watch_rec *watch_find(int fd) {
  if (!watches_ready) watch_reset();
  for (auto &w : watches)
    if (w.fd == fd) return &w;
  return nullptr;
}

bool watch_set(int fd, short events, watch_ready_fn ready) {
  watch_rec *w = watch_find(fd);
  if (!w) w = watch_find(-1);
  if (!w) return false;
  *w = {fd, events, ready};
  return true;
}

void watch_clear(int fd) {
  if (fd < 0) return;
  if (watch_rec *w = watch_find(fd)) *w = {-1, 0, nullptr};
}

int watch_list(watch_rec *out) {
  if (!watches_ready) watch_reset();
  int n = 0;
  for (const auto &w : watches)
    if (w.fd >= 0) out[n++] = w;
  return n;
}

void watch_dispatch(int fd, short revents) {
  watch_rec *w = fd >= 0 ? watch_find(fd) : nullptr;
  if (w && w->ready) w->ready(fd, revents);
}
