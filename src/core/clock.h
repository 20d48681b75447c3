// The gateway's one clock seam. Ages, time-outs and windows are measured on
// the monotonic clock, so setting the wall clock neither lengthens nor cuts
// them; calendar work (the schedule, logs, timestamps) reads the wall clock.
#pragma once
#include <cstdint>
#include <ctime>

// Monotonic milliseconds; tests may point `clock_ms_source` elsewhere.
extern int64_t (*clock_ms_source)();
inline int64_t clock_mono_ms() { return clock_ms_source(); }
inline time_t clock_mono_s() { return (time_t)(clock_ms_source() / 1000); }
// Wall-clock seconds since 1970 (time()).
inline time_t clock_wall() { return time(nullptr); }
// Back to the real monotonic clock (tests).
void clock_reset();
