// The room of the value store: stored values and uploads share one quota
// (MEMQUOTA, 256 MiB unless setup.ini says otherwise), and whatever either
// writes must leave MEM_RESERVE free on the disk, counting the uploads still
// arriving, so the state files (devices, cron, home, sessions) always have
// room to be rewritten.
#pragma once

constexpr long MEM_QUOTA_DEFAULT = 256L << 20;
constexpr long MEM_RESERVE = 64L << 20;

// Reads MEMQUOTA and sums what "mem" holds.
void mem_quota_start();
// True when `bytes` more may be written now.
bool mem_room(long bytes);
// Stored bytes changed by `delta` (a value or an upload replaced).
void mem_used_add(long delta);
// Bytes announced by uploads still arriving: taken when one starts, given
// back when it ends.
void mem_inflight_add(long delta);
void mem_quota_reset();
