// The modem readers: one thread per USB modem that does nothing but wait on
// it, handing each event to the loop through one descriptor per reader.
#pragma once
#include <cstddef>
#include <cstdint>
#include <hidapi.h>

constexpr int MODEM_READER_MAX = 4;        // USB modems at once
constexpr int MODEM_READER_WHICH_MAX = 64; // a serial number or a device path, terminated
constexpr int MODEM_REPORT_LEN = 65;
constexpr int MODEM_PRODUCT_WCHARS = 256;
constexpr size_t MODEM_MSG_MAX = 1 + sizeof(void *) + MODEM_PRODUCT_WCHARS * sizeof(wchar_t);

// Starts reader `slot` (0..MODEM_READER_MAX-1, once) for the modem `which`
// names: a path ("/dev/hidraw3", '/' first) or a serial number; empty for
// the first modem found, skipping the `nskip` modems named in `skip` (paths
// or serial numbers that other readers own). Returns the descriptor the
// loop polls, or -1.
int modem_reader_start(int slot, const char *which, const char *const *skip = nullptr, int nskip = 0);
bool modem_reader_running(int slot);
// The reader whose descriptor is `fd`, or -1.
int modem_reader_slot(int fd);
// Takes one waiting message (layout in modem_reader.cpp) into `msg`; its
// length, or 0 when none waits.
int modem_reader_take(int slot, uint8_t *msg, size_t cap);
// Writes an output report to the reader's open modem; -1 when none is open.
int modem_reader_write(int slot, const uint8_t *report, size_t len);
// Asks the reader to close its modem and open it again.
void modem_reader_forget(int slot);
