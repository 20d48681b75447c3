// The wait table http_con: HTTP requests parked until a radio answer, a
// long-poll event, a time-out or a modem removal provides their body.
#pragma once
#include <cstddef>
#include <cstdint>

// One parked request; also the shape of the transmitter's last_tx and the
// scheduler's cron_listen (only id1..id3 and cmd are used there).
struct con_rec {
  uint32_t sock;      // connection handle; 0 = free
  uint8_t id1;        // awaited device id, byte 1
  uint8_t id2;        // byte 2
  uint8_t id3;        // byte 3 (low four bits cleared in the wait table)
  uint8_t cmd;        // awaited reply command: the sent code | 0x80
  int32_t ticks_left; // ticks until "NO REPLY"; 2 when parked
  uint32_t comet;     // nonzero: long-poll, takes any event, never times out
};

constexpr int HTTP_CON_MAX = 10;
extern con_rec http_con[HTTP_CON_MAX];
extern uint8_t usb_removed;  // set by the modem link on removal, cleared by the tick

// Parks a long-poll connection; false when the table is full or the
// connection already waits.
bool comet_add(uint32_t sock);
// Parks a reply wait for the command described by last_tx.
bool http_con_reg(uint32_t sock);
// Frees every entry that holds the handle.
void http_con_close(uint32_t sock);
// True when the connection is parked.
bool http_con_has(uint32_t sock);
// Once-a-second tick: "USB REMOVED" and "NO REPLY" answers.
void http_con_timer();
// Answers every wait that the packet ends (and every comet) with the event.
void http_con_answer(const uint8_t *packet, const char *event);
// Writes the error object for `msg` (escaped as a JSON string) into dst.
bool jerror(char *dst, size_t cap, const char *msg);
void http_con_reset();
