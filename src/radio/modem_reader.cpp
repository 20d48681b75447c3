// The modem reader: a thread that does nothing but wait on the modem. It
// opens the modem (at most one attempt a second while none is there), blocks
// in hid_read_timeout, and hands every event to the main loop as one message
// on a socketpair that the loop polls. All handling stays on the main thread.
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

int pair_fd[2] = {-1, -1};           // [0] the loop's end, [1] the reader's
std::mutex live_mu;                  // guards `live` against a close during a write
hid_device *live = nullptr;          // the reader's open modem
std::atomic<bool> forget_asked{false};

void pair_send(char kind, const void *body, size_t len) {
  uint8_t msg[MODEM_MSG_MAX];
  msg[0] = (uint8_t)kind;
  if (len > sizeof msg - 1) len = sizeof msg - 1;
  if (len) memcpy(msg + 1, body, len);
  while (send(pair_fd[1], msg, len + 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
}

void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void modem_close(hid_device *dev) {
  std::lock_guard<std::mutex> lock(live_mu);
  live = nullptr;
  hid_close(dev);
}

hid_device *modem_open() {
  hid_device *dev = hid_open(MODEM_VENDOR, MODEM_PRODUCT, nullptr);
  if (!dev) return nullptr;
  uint8_t body[sizeof(void *) + MODEM_PRODUCT_WCHARS * sizeof(wchar_t)] = {};
  wchar_t product[MODEM_PRODUCT_WCHARS] = {};
  if (hid_get_product_string(dev, product, MODEM_PRODUCT_WCHARS) < 0) product[0] = L'\0';
  product[MODEM_PRODUCT_WCHARS - 1] = L'\0';
  memcpy(body, &dev, sizeof dev);
  memcpy(body + sizeof dev, product, sizeof product);
  {
    std::lock_guard<std::mutex> lock(live_mu);
    live = dev;
  }
  pair_send('O', body, sizeof body);
  return dev;
}

void *modem_reader(void *) {
  hid_device *dev = nullptr;
  for (;;) {
    if (!dev && !(dev = modem_open())) {
      sleep_ms(OPEN_RETRY_MS);
      continue;
    }
    if (forget_asked.exchange(false)) {
      modem_close(dev);
      dev = nullptr;
      continue;
    }
    uint8_t report[MODEM_REPORT_LEN];
    int n = hid_read_timeout(dev, report, sizeof report, READ_WAIT_MS);
    if (n < 0) {
      modem_close(dev);
      dev = nullptr;
      pair_send('L', nullptr, 0);
    } else if (n > 0) {
      pair_send('R', report, (size_t)n);
    }
  }
  return nullptr;
}

}  // namespace

int modem_reader_start() {
  if (pair_fd[0] >= 0) return pair_fd[0];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair_fd) != 0) return -1;
  int size = PAIR_BUFFER;
  setsockopt(pair_fd[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(pair_fd[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  pthread_t thread;
  // No signal reaches the reader: the loop's thread handles them all.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  // A small stack and no malloc arena of its own: the reader holds one
  // report at a time, and the gateway's memory stays that of one thread.
  mallopt(M_ARENA_MAX, 1);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, READER_STACK);
  int r = pthread_create(&thread, &attr, modem_reader, nullptr);
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (r != 0) return -1;
  pthread_detach(thread);
  return pair_fd[0];
}

bool modem_reader_running() { return pair_fd[0] >= 0; }

int modem_reader_take(uint8_t *msg, size_t cap) {
  for (;;) {
    ssize_t n = recv(pair_fd[0], msg, cap, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? (int)n : 0;
  }
}

int modem_reader_write(const uint8_t *report, size_t len) {
  std::lock_guard<std::mutex> lock(live_mu);
  if (!live) return -1;
  return hid_write(live, report, len);
}

void modem_reader_forget() { forget_asked = true; }
