// The modem readers: each a thread that does nothing but wait on one
// modem. It opens the modem (at most one attempt a second while none is
// there), blocks in hid_read_timeout, and hands every event to the main loop
// as one message on a socketpair that the loop polls. All handling stays on
// the main thread.
//
// Message on the pair (SOCK_SEQPACKET, one event each):
//   offset  bytes  content
//   0       1      'O' modem opened, 'R' input report, 'L' modem lost
//   1       8      'O': the device handle (a pointer, for the writer)
//   9       ...    'O': the product string as wide characters
//   1       1..65  'R': the report as read
#include "radio/modem_reader.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr unsigned short MODEM_VENDOR = 0x04D8;
constexpr unsigned short MODEM_PRODUCT = 0x2005;
constexpr int OPEN_RETRY_MS = 1000;  // without a modem: one look a second
constexpr int READ_WAIT_MS = 500;    // how soon a forget request is seen
constexpr int PAIR_BUFFER = 1 << 20; // reports queued for a busy loop
constexpr size_t READER_STACK = 256 * 1024;

struct reader {
  int pair_fd[2] = {-1, -1};         // [0] the loop's end, [1] the reader's
  std::mutex live_mu;                // guards `live` against a close during a write
  hid_device *live = nullptr;        // the reader's open modem
  std::atomic<bool> forget_asked{false};
  char which[MODEM_READER_WHICH_MAX] = "";
  char skip[MODEM_READER_MAX][MODEM_READER_WHICH_MAX] = {};
  int nskip = 0;
};

reader readers[MODEM_READER_MAX];

void pair_send(reader *r, char kind, const void *body, size_t len) {
  uint8_t msg[MODEM_MSG_MAX];
  msg[0] = (uint8_t)kind;
  if (len > sizeof msg - 1) len = sizeof msg - 1;
  if (len) memcpy(msg + 1, body, len);
  while (send(r->pair_fd[1], msg, len + 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
}

void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void modem_close(reader *r, hid_device *dev) {
  std::lock_guard<std::mutex> lock(r->live_mu);
  r->live = nullptr;
  hid_close(dev);
}

// A serial number as hidapi's wide text compared with our ASCII one.
bool serial_is(const wchar_t *serial, const char *text) {
  if (!serial) return false;
  size_t i = 0;
  for (; text[i]; i++)
    if (serial[i] != (wchar_t)(unsigned char)text[i]) return false;
  return serial[i] == L'\0';
}

// The first modem no other reader names; null when there is none.
hid_device *open_unclaimed(const reader *r) {
  hid_device_info *all = hid_enumerate(MODEM_VENDOR, MODEM_PRODUCT);
  hid_device *dev = nullptr;
  for (hid_device_info *d = all; d && !dev; d = d->next) {
    bool claimed = false;
    for (int i = 0; i < r->nskip && !claimed; i++)
      claimed = (d->path && strcmp(d->path, r->skip[i]) == 0) || serial_is(d->serial_number, r->skip[i]);
    if (!claimed && d->path) dev = hid_open_path(d->path);
  }
  hid_free_enumeration(all);
  return dev;
}

hid_device *open_which(const reader *r) {
  if (r->which[0] == '/') return hid_open_path(r->which);
  if (r->which[0]) {
    wchar_t serial[MODEM_READER_WHICH_MAX];
    size_t i = 0;
    for (; r->which[i]; i++) serial[i] = (wchar_t)(unsigned char)r->which[i];
    serial[i] = L'\0';
    return hid_open(MODEM_VENDOR, MODEM_PRODUCT, serial);
  }
  if (r->nskip) return open_unclaimed(r);
  return hid_open(MODEM_VENDOR, MODEM_PRODUCT, nullptr);
}

hid_device *modem_open(reader *r) {
  hid_device *dev = open_which(r);
  if (!dev) return nullptr;
  uint8_t body[sizeof(void *) + MODEM_PRODUCT_WCHARS * sizeof(wchar_t)] = {};
  wchar_t product[MODEM_PRODUCT_WCHARS] = {};
  if (hid_get_product_string(dev, product, MODEM_PRODUCT_WCHARS) < 0) product[0] = L'\0';
  product[MODEM_PRODUCT_WCHARS - 1] = L'\0';
  memcpy(body, &dev, sizeof dev);
  memcpy(body + sizeof dev, product, sizeof product);
  {
    std::lock_guard<std::mutex> lock(r->live_mu);
    r->live = dev;
  }
  pair_send(r, 'O', body, sizeof body);
  return dev;
}

void *modem_reader(void *arg) {
  reader *r = (reader *)arg;
  hid_device *dev = nullptr;
  for (;;) {
    if (!dev && !(dev = modem_open(r))) {
      sleep_ms(OPEN_RETRY_MS);
      continue;
    }
    if (r->forget_asked.exchange(false)) {
      modem_close(r, dev);
      dev = nullptr;
      continue;
    }
    uint8_t report[MODEM_REPORT_LEN];
    int n = hid_read_timeout(dev, report, sizeof report, READ_WAIT_MS);
    if (n < 0) {
      modem_close(r, dev);
      dev = nullptr;
      pair_send(r, 'L', nullptr, 0);
    } else if (n > 0) {
      pair_send(r, 'R', report, (size_t)n);
    }
  }
  return nullptr;
}

bool slot_ok(int slot) { return slot >= 0 && slot < MODEM_READER_MAX; }

void text_copy(char *dst, const char *src) {
  size_t n = strnlen(src, MODEM_READER_WHICH_MAX - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

}  // namespace

int modem_reader_start(int slot, const char *which, const char *const *skip, int nskip) {
  if (!slot_ok(slot)) return -1;
  reader *r = &readers[slot];
  if (r->pair_fd[0] >= 0) return r->pair_fd[0];
  text_copy(r->which, which);
  r->nskip = 0;
  for (int i = 0; i < nskip && i < MODEM_READER_MAX; i++) text_copy(r->skip[r->nskip++], skip[i]);
  // hidapi's own start, once, before any reader thread calls it.
  static bool hid_ready = hid_init() == 0;
  if (!hid_ready) return -1;
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, r->pair_fd) != 0) return r->pair_fd[0] = -1;
  int size = PAIR_BUFFER;
  setsockopt(r->pair_fd[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(r->pair_fd[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  pthread_t thread;
  // No signal reaches a reader: the loop's thread handles them all.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  // A small stack and no malloc arena of its own: a reader holds one
  // report at a time, and the gateway's memory stays that of one thread.
  mallopt(M_ARENA_MAX, 1);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, READER_STACK);
  int err = pthread_create(&thread, &attr, modem_reader, r);
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (err != 0) {
    close(r->pair_fd[0]), close(r->pair_fd[1]);
    r->pair_fd[0] = r->pair_fd[1] = -1;
    return -1;
  }
  pthread_detach(thread);
  return r->pair_fd[0];
}

bool modem_reader_running(int slot) { return slot_ok(slot) && readers[slot].pair_fd[0] >= 0; }

int modem_reader_slot(int fd) {
  for (int i = 0; i < MODEM_READER_MAX; i++)
    if (fd >= 0 && readers[i].pair_fd[0] == fd) return i;
  return -1;
}

int modem_reader_take(int slot, uint8_t *msg, size_t cap) {
  if (!modem_reader_running(slot)) return 0;
  for (;;) {
    ssize_t n = recv(readers[slot].pair_fd[0], msg, cap, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? (int)n : 0;
  }
}

int modem_reader_write(int slot, const uint8_t *report, size_t len) {
  if (!slot_ok(slot)) return -1;
  reader *r = &readers[slot];
  std::lock_guard<std::mutex> lock(r->live_mu);
  if (!r->live) return -1;
  return hid_write(r->live, report, len);
}

void modem_reader_forget(int slot) {
  if (slot_ok(slot)) readers[slot].forget_asked = true;
}
