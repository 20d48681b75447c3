// Raw-protocol listeners: connections that said "&listen" receive every
// accepted radio packet as a line of dotted hex, and "USB1"/"USB0" when the
// modem comes and goes. A listener is a connection with ROLE_LISTENER.
#pragma once
#include <cstdint>

constexpr int LISTN_MAX = 10;  // listeners at once

// Makes the connection a listener; false when LISTN_MAX others listen. A
// connection listens once: a second registration is accepted without more.
bool listen_add(uint32_t sock);
// Registers the listeners' packet and modem hooks.
void listeners_start();
