// The modem reader thread: opens the modem and waits on it off the main
// loop, handing each event to the loop through one descriptor.
#pragma once
#include <cstddef>
#include <cstdint>
#include <hidapi.h>

constexpr int MODEM_REPORT_LEN = 65;
constexpr int MODEM_PRODUCT_WCHARS = 256;
constexpr size_t MODEM_MSG_MAX = 1 + sizeof(void *) + MODEM_PRODUCT_WCHARS * sizeof(wchar_t);

// Starts the thread (once); returns the descriptor the loop polls, or -1.
int modem_reader_start();
bool modem_reader_running();
// Takes one waiting message (layout in modem_reader.cpp) into `msg`; its
// length, or 0 when none waits.
int modem_reader_take(uint8_t *msg, size_t cap);
// Writes an output report to the open modem; -1 when none is open.
int modem_reader_write(const uint8_t *report, size_t len);
// Asks the reader to close the modem and open it again.
void modem_reader_forget();
