// Descriptors that subsystems (the modem reader, the MQTT bridge) put in the
// main loop's poll set beside the client connections. The loop polls them in
// the same wait and calls `ready` on the main thread; a subsystem never polls
// its own descriptor and never blocks in `ready`.
#pragma once

using watch_ready_fn = void (*)(int fd, short revents);

constexpr int WATCH_MAX = 8;

struct watch_rec {
  int fd;          // -1 = free
  short events;    // POLLIN, POLLOUT
  watch_ready_fn ready;
};

// Adds `fd` or changes its events (0 keeps it watched for errors only);
// false when the table is full.
bool watch_set(int fd, short events, watch_ready_fn ready);
// Stops watching `fd` (it may be closed afterwards).
void watch_clear(int fd);
// Copies the watched entries into `out` (capacity WATCH_MAX); returns the count.
int watch_list(watch_rec *out);
// Calls the ready function of `fd` if it is still watched.
void watch_dispatch(int fd, short revents);
void watch_reset();
