// The lock-out table: addresses that failed to authenticate too often are
// refused for a while, whatever they present.
#pragma once
#include <cstdint>

constexpr int LOCK_ADDRS = 32;      // addresses remembered at once
constexpr int LOCK_FAILS = 10;      // failures within the window that lock
constexpr int LOCK_WINDOW_S = 60;   // the counting window, from the first failure
constexpr int LOCK_TIME_S = 60;     // how long a locked address is refused

// True while `addr` (IPv4, host order; 0 = unknown) is locked out.
bool lockout_refused(uint32_t addr);
// Counts one failed attempt from `addr`; the one that locks it is logged.
void lockout_fail(uint32_t addr);
// Forgets every address (tests).
void lockout_reset();
