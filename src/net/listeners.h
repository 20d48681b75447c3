// The raw-protocol listener table listn and the notices sent to listeners.
#pragma once
#include <cstdint>

constexpr int LISTN_MAX = 10;
extern uint32_t listn[LISTN_MAX];

// Registers a listener; false when the table is full. A connection holds at
// most one slot: a second registration is accepted without taking another.
bool listen_add(uint32_t sock);
// True when the connection is a listener.
bool listen_has(uint32_t sock);
// Clears every slot that holds the handle.
void listen_close(uint32_t sock);
// "USB1\n" or "USB0\n" to every listener.
void listen_usb(bool on);
// A packet's text form and "\n" to every listener; a listener whose send
// fails is taken out of the table.
void listen_packet(const char *text);
void listen_reset();
