// The event ring: the last EVENT_RING_MAX events of the stream, each kept as
// its finished Server-Sent Events frame, so that a client that reconnects can
// be given what it missed.
//
// Event ids: the first event of a run is run_base + 1 and each event adds 1,
// where run_base is the run's start time in milliseconds times 1000. A later
// run therefore starts above every id of an earlier one (unless an earlier
// run gave out 1000 events per millisecond it ran, or the clock went back
// between the runs), and an id below run_base is recognisably from an
// earlier run. Ids stay below 2^53, so a JavaScript number holds them exactly.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int EVENT_RING_MAX = 1024;
// One frame: "id: " (4) + id (20) + "\nevent: " (8) + name (at most 12) + "\ndata: " (7)
// + JSON data + "\n\n" (2); the largest data is a listed device's object.
constexpr size_t EVENT_DATA_MAX = 640;
constexpr size_t EVENT_FRAME_MAX = 56 + EVENT_DATA_MAX;

enum event_kind : uint8_t { EVENT_PACKET, EVENT_DEVICE, EVENT_USB, EVENT_CONFIG, EVENT_RULE, EVENT_AVAILABILITY };

// Appends an event (`json` one JSON object; a CR or LF in it becomes a blank,
// an over-long one is cut) and returns its frame, valid until the next add.
const char *event_ring_add(event_kind kind, const char *json, size_t *len);

// Where a client that last saw `since` starts (see event_ring_replay).
struct event_resume {
  bool gap;            // events it missed are lost: send a gap event first
  const char *reason;  // "expired" (no longer kept) or "restart" (not this run's id)
  uint64_t gap_id;     // the id the gap event carries: the one before the first kept
  uint64_t from;       // the first id to replay, 0 when there is nothing to replay
};
// `since` is the client's last id as text (a Last-Event-ID value), ending at
// its NUL, a blank, CR, LF or '&'; anything else makes it an unknown id.
event_resume event_ring_resume(const char *since);
// The frame of event `id`, or null when it is not kept.
const char *event_ring_frame(uint64_t id, size_t *len);
// The id of the newest event, or run_base when none was added yet.
uint64_t event_ring_last_id();
// Empties the ring and starts a new run (tests; also the first use).
void event_ring_reset();
