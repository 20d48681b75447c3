// The lock-out table. Times are seconds of the monotonic clock, so a clock
// change neither lifts nor extends a lock. When the table is full the entry
// with the oldest first failure that is not locked makes room.
#include "auth/lockout.h"

#include <cstdio>

#include "core/clock.h"
#include "core/logs.h"

namespace {

struct lock_rec {
  uint32_t addr;
  bool used;
  uint8_t fails;        // failures since `first`
  int64_t first;        // time of the first counted failure
  int64_t until;        // refused before this time; 0 = not locked
};
lock_rec locks[LOCK_ADDRS];

int64_t now_s() { return clock_mono_s(); }

lock_rec *lock_find(uint32_t addr) {
  for (auto &r : locks)
    if (r.used && r.addr == addr) return &r;
  return nullptr;
}

lock_rec *lock_slot(int64_t now) {
  lock_rec *best = nullptr;
  for (auto &r : locks) {
    if (!r.used) return &r;
    if (r.until > now) continue;
    if (!best || r.first < best->first) best = &r;
  }
  if (best) return best;
  for (auto &r : locks)  // all locked: the one that frees soonest
    if (!best || r.until < best->until) best = &r;
  return best;
}

}  // namespace

bool lockout_refused(uint32_t addr) {
  const lock_rec *r = lock_find(addr);
  return r && r->until > now_s();
}

void lockout_fail(uint32_t addr) {
  int64_t now = now_s();
  lock_rec *r = lock_find(addr);
  if (r && r->until > now) return;  // refused meanwhile: nothing more to count
  if (!r || now - r->first >= LOCK_WINDOW_S || r->until) {
    r = r ? r : lock_slot(now);
    *r = {addr, true, 0, now, 0};
  }
  if (++r->fails < LOCK_FAILS) return;
  r->until = now + LOCK_TIME_S;
  printf("AUTH LOCKED %u.%u.%u.%u for %d s after %d failed attempts\n", addr >> 24, (addr >> 16) & 255,
         (addr >> 8) & 255, addr & 255, LOCK_TIME_S, LOCK_FAILS);
  sys_log("AUTH LOCKED %u.%u.%u.%u", addr >> 24, (addr >> 16) & 255, (addr >> 8) & 255, addr & 255);
}

void lockout_reset() {
  for (auto &r : locks) r = lock_rec{};
}
