// The lock-out table. Times are seconds of the monotonic clock, so a clock
// change neither lifts nor extends a lock. A locked entry is never given up
// before its time: when the table is full, the unlocked entry with the oldest
// first failure makes room, and when every entry is locked, the failures of
// all the addresses not in the table are counted together, as if they came
// from one address, and lock them all together.
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
lock_rec strangers;     // every address without an entry while the table is full of locks

int64_t now_s() { return clock_mono_s(); }

lock_rec *lock_find(uint32_t addr) {
  for (auto &r : locks)
    if (r.used && r.addr == addr) return &r;
  return nullptr;
}

// A place for a new address: a free entry, else the unlocked entry with the
// oldest first failure; null when every entry is locked.
lock_rec *lock_slot(int64_t now) {
  lock_rec *best = nullptr;
  for (auto &r : locks) {
    if (!r.used) return &r;
    if (r.until > now) continue;
    if (!best || r.first < best->first) best = &r;
  }
  return best;
}

void lock_count(lock_rec *r, uint32_t addr, int64_t now) {
  if (r->until > now) return;  // refused meanwhile: nothing more to count
  bool same = r == &strangers || r->addr == addr;
  if (!r->used || !same || now - r->first >= LOCK_WINDOW_S || r->until) *r = {addr, true, 0, now, 0};
  if (++r->fails < LOCK_FAILS) return;
  r->until = now + LOCK_TIME_S;
  if (r == &strangers) {
    printf("AUTH LOCKED every unknown address for %d s after %d failed attempts\n", LOCK_TIME_S, LOCK_FAILS);
    sys_log("AUTH LOCKED every unknown address");
    return;
  }
  printf("AUTH LOCKED %u.%u.%u.%u for %d s after %d failed attempts\n", addr >> 24, (addr >> 16) & 255,
         (addr >> 8) & 255, addr & 255, LOCK_TIME_S, LOCK_FAILS);
  sys_log("AUTH LOCKED %u.%u.%u.%u", addr >> 24, (addr >> 16) & 255, (addr >> 8) & 255, addr & 255);
}

}  // namespace

bool lockout_refused(uint32_t addr) {
  int64_t now = now_s();
  if (const lock_rec *r = lock_find(addr)) return r->until > now;
  return strangers.until > now;
}

void lockout_fail(uint32_t addr) {
  int64_t now = now_s();
  lock_rec *r = lock_find(addr);
  if (!r) r = lock_slot(now);
  lock_count(r ? r : &strangers, addr, now);
}

void lockout_reset() {
  for (auto &r : locks) r = lock_rec{};
  strangers = lock_rec{};
}
