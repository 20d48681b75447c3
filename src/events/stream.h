// The event stream: "GET /&events" answered with Server-Sent Events. A stream
// client stays connected and receives every radio event (`packet`), every
// change of a listed device's cached state (`device`), of its reachability
// (`availability`, {"id":"@1a2b30","available":false}), the modem coming and
// going (`usb`), every change of the household's set-up (`config`: devices,
// rooms, schedule, rules or a stored value) and the automations' events
// (`rule`), with replay of what it missed after a reconnect (see
// events/event_ring.h) and a keepalive comment after a quiet spell.
//
// A stream client is a connection with ROLE_STREAM and an entry of the
// stream table (one per possible connection); it never takes one of the ten
// wait slots. A client that stops reading is closed once STREAM_QUEUE_MAX
// bytes wait in its output queue.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t STREAM_QUEUE_MAX = 256 * 1024;
constexpr int STREAM_KEEPALIVE_S = 15;  // EVENTS_KEEPALIVE in setup.ini changes it
// Stream clients at once (EVENTS_MAX): streams never time out, so they are
// capped well below the connection table, leaving places for requests.
constexpr int STREAMS_DEFAULT = 16;

// Handles "GET /&events[?since=<id>]": `request` is the whole received
// request (the Last-Event-ID header is read from it and wins over `since`),
// `target` points at "&events". Returns true: the connection stays open.
bool stream_open(uint32_t sock, const char *request, const char *target);

// Registers the route "&events" and the stream's hooks: packet, device,
// modem and reachability events, closes, and the keepalive tick.
void events_start();
void stream_reset();
