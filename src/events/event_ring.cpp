// The event ring (see event_ring.h). Event `id` lives in slot
// (id - run_base - 1) % EVENT_RING_MAX, so the kept events are always the
// ids last - EVENT_RING_MAX + 1 .. last, or fewer at the start of a run.
#include "events/event_ring.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/files.h"

namespace {

struct event_slot {
  uint16_t len;                  // frame length, without a terminator
  char frame[EVENT_FRAME_MAX];   // terminated
};

event_slot ring[EVENT_RING_MAX];
uint64_t run_base = 0;  // 0 until the first use
uint64_t last_id = 0;

const char *const KIND_NAME[] = {"packet", "device", "usb", "config", "rule", "availability"};

constexpr uint64_t RUN_IDS = 1ull << 32;  // ids one run may give out

// A base from the wall clock: milliseconds times 1000.
uint64_t clock_base() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ((uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000) * 1000;
}

void ring_begin(uint64_t base) {
  run_base = base;
  last_id = run_base;
}

void ring_start() {
  if (!run_base) ring_begin(clock_base());
}

// Oldest kept id; greater than last_id when nothing is kept.
uint64_t ring_oldest() {
  uint64_t n = last_id - run_base;
  return n > (uint64_t)EVENT_RING_MAX ? last_id - EVENT_RING_MAX + 1 : run_base + 1;
}

// The decimal id at the start of `text`; false unless digits end it cleanly.
bool id_parse(const char *text, uint64_t *out) {
  uint64_t v = 0;
  int n = 0;
  for (; text[n] >= '0' && text[n] <= '9'; n++) {
    if (n >= 19) return false;
    v = v * 10 + (uint64_t)(text[n] - '0');
  }
  char end = text[n];
  if (n == 0 || !(end == 0 || end == ' ' || end == '\r' || end == '\n' || end == '&')) return false;
  *out = v;
  return true;
}

}  // namespace

void event_ring_runs() {
  FILE *f = fopen("runs", "r");
  unsigned long long before = 0;
  if (f) {
    if (fscanf(f, "%llu", &before) != 1) before = 0;
    fclose(f);
  }
  uint64_t base = before ? before + RUN_IDS : clock_base();
  char text[32];
  int n = snprintf(text, sizeof text, "%llu\n", (unsigned long long)base);
  if (!file_write_atomic("runs", text, (size_t)n)) base = clock_base();
  if (run_base) memset(ring, 0, sizeof ring);  // untouched at start: its pages stay unmapped
  ring_begin(base);
}

void event_ring_reset() {
  memset(ring, 0, sizeof ring);
  run_base = 0;
  ring_start();
}

uint64_t event_ring_last_id() {
  ring_start();
  return last_id;
}

const char *event_ring_add(event_kind kind, const char *json, size_t *len) {
  ring_start();
  uint64_t id = ++last_id;
  event_slot *s = &ring[(id - run_base - 1) % EVENT_RING_MAX];
  int head = snprintf(s->frame, sizeof s->frame, "id: %llu\nevent: %s\ndata: ", (unsigned long long)id,
                      KIND_NAME[kind]);
  size_t n = (size_t)head;
  // The data must stay one line; room is left for the closing "\n\n".
  for (const char *p = json; *p && n < sizeof s->frame - 3; p++) s->frame[n++] = (*p == '\r' || *p == '\n') ? ' ' : *p;
  s->frame[n++] = '\n';
  s->frame[n++] = '\n';
  s->frame[n] = 0;
  s->len = (uint16_t)n;
  *len = n;
  return s->frame;
}

const char *event_ring_frame(uint64_t id, size_t *len) {
  ring_start();
  if (id < ring_oldest() || id > last_id) return nullptr;
  event_slot *s = &ring[(id - run_base - 1) % EVENT_RING_MAX];
  *len = s->len;
  return s->frame;
}

event_resume event_ring_resume(const char *since) {
  ring_start();
  uint64_t oldest = ring_oldest();
  bool kept = oldest <= last_id;
  uint64_t x = 0;
  event_resume r = {false, "", 0, 0};
  if (id_parse(since, &x) && x >= run_base && x <= last_id) {
    if (kept && x + 1 < oldest) {
      r = {true, "expired", oldest - 1, oldest};
    } else if (x < last_id) {
      r.from = x + 1;
    }
    return r;
  }
  // Not an id this run gave out: an earlier run's, or none at all.
  return {true, "restart", kept ? oldest - 1 : run_base, kept ? oldest : 0};
}
