// The loop's poll set: every descriptor the gateway waits on (the listening
// socket, each client connection, the modem reader, the MQTT socket) is put
// here by the subsystem that owns it. The loop polls them all in one wait and
// calls each ready one's `ready` once, on the main thread; a subsystem never
// polls its own descriptor and never blocks in `ready`.
#pragma once

using watch_ready_fn = void (*)(int fd, short revents);
// The events a descriptor waits for, asked just before each wait (for
// descriptors whose needs change with every send, such as connections).
using watch_events_fn = short (*)(int fd);

constexpr int WATCH_MAX = 96;  // 63 connections, the listening socket and the subsystems' own

// Adds `fd` or changes its events (0 keeps it watched for errors only);
// false when the table is full.
bool watch_set(int fd, short events, watch_ready_fn ready);
// The same with the events asked from `query` before each wait.
bool watch_set_query(int fd, watch_events_fn query, watch_ready_fn ready);
// Stops watching `fd` (it may be closed afterwards).
void watch_clear(int fd);
// Waits up to `ms` milliseconds, then calls `ready` of each descriptor that
// is ready, once, in order of descriptor; a descriptor cleared by an earlier
// call in the same round is skipped.
void watch_wait(int ms);
void watch_reset();
