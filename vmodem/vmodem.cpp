// Virtual radio modem: the hidapi calls the gateway makes, answered by a
// peer on a Unix-domain SOCK_SEQPACKET socket instead of a USB device.
// Preload it (LD_PRELOAD=libvmodem.so) into the unchanged gateway binary.
//
// Interface with the peer:
//   ORVEL_VMODEM   path of the peer's listening socket; unset, empty or
//                  nobody listening: hid_open returns NULL (no modem)
//   hid_open       connects (only for 0x04D8/0x2005) and waits up to 1 s for
//                  the first message, the product string (UTF-8, 0..512
//                  bytes, no terminator); none in time, or the peer closed:
//                  NULL. With a serial number S it connects to the socket
//                  "$ORVEL_VMODEM.S" instead: a second virtual modem.
//   hid_open_path  the same with the socket at the path given
//   hid_enumerate  for 0x04D8/0x2005 (or 0/0): one entry per virtual modem
//                  whose socket exists, "$ORVEL_VMODEM.S" ones (serial number
//                  S) first, then $ORVEL_VMODEM (no serial number); the
//                  entry's path is the socket's
//   hid_read       every later message is one input report; copies up to
//                  `length` bytes, returns the count; 0 when nothing waits in
//                  non-blocking mode; -1 once the peer has closed, or on error
//   hid_write      the given bytes as one message; their count, or -1
//   hid_close      closes the connection
// Unplugging is the peer closing the connection; plugging again is the peer
// accepting the next one.
//
// A zero-length message is indistinguishable from the end of the connection
// by recv alone; the socket's hang-up state tells them apart, and an empty
// report from a peer that is still connected is skipped.
#include <hidapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr unsigned short MODEM_VENDOR = 0x04D8;
constexpr unsigned short MODEM_PRODUCT = 0x2005;
constexpr int PRODUCT_MAX = 512;   // bytes of the product string message
constexpr int OPEN_WAIT_MS = 1000; // for the product string
constexpr int WRITE_WAIT_MS = 1000;
constexpr size_t SERIAL_MAX = 64;  // characters of a serial number

const wchar_t *const ERR_NONE = L"Success";
const wchar_t *const ERR_CLOSED = L"modem peer closed the connection";
const wchar_t *const ERR_IO = L"modem socket error";
const wchar_t *const ERR_ARG = L"invalid argument";
const wchar_t *const ERR_OPEN = L"no virtual modem";

const wchar_t *g_error = ERR_NONE;  // for hid_error(NULL)

}  // namespace

struct hid_device_ {
  int fd;
  bool nonblocking;
  bool closed;                    // the peer hung up: every read is -1
  int product_len;
  char product[PRODUCT_MAX];
  const wchar_t *error;
};

namespace {

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Waits for `events` on fd; timeout_ms < 0 waits for ever. Returns the
// revents, 0 on time-out, -1 on error. Restarts after signals.
int wait_fd(int fd, short events, int timeout_ms) {
  long long deadline = timeout_ms < 0 ? 0 : now_ms() + timeout_ms;
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int left = -1;
    if (timeout_ms >= 0) {
      long long rest = deadline - now_ms();
      left = rest > 0 ? (int)rest : 0;
    }
    int r = poll(&p, 1, left);
    if (r > 0) return p.revents;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

bool peer_hung_up(int fd) {
  int ev = wait_fd(fd, POLLIN | POLLRDHUP, 0);
  return ev < 0 || (ev & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

// One message without blocking: its length (0 for an empty message from a
// connected peer), -2 when nothing waits, -1 when the peer is gone or on error.
int message_take(hid_device *dev, unsigned char *data, size_t length) {
  for (;;) {
    ssize_t n = recv(dev->fd, data, length, MSG_DONTWAIT);
    if (n > 0) return (int)n;
    if (n == 0) {
      if (length == 0) {
        // a zero-length buffer cannot show a message; look at the state
        if (peer_hung_up(dev->fd)) return -1;
        return -2;
      }
      return peer_hung_up(dev->fd) ? -1 : 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
    return -1;
  }
}

int fd_connect(const char *path) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  size_t len = strlen(path);
  if (len == 0 || len >= sizeof addr.sun_path) return -1;
  memcpy(addr.sun_path, path, len);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int r;
  do {
    r = connect(fd, (struct sockaddr *)&addr, sizeof addr);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Decodes one UTF-8 sequence at s[*i] (n bytes); malformed input gives U+FFFD.
wchar_t utf8_next(const unsigned char *s, int n, int *i) {
  unsigned c = s[(*i)++];
  if (c < 0x80) return (wchar_t)c;
  int more;
  unsigned cp;
  unsigned min;
  if ((c & 0xE0) == 0xC0) {
    more = 1; cp = c & 0x1F; min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    more = 2; cp = c & 0x0F; min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    more = 3; cp = c & 0x07; min = 0x10000;
  } else {
    return (wchar_t)0xFFFD;
  }
  for (int k = 0; k < more; k++) {
    if (*i >= n || (s[*i] & 0xC0) != 0x80) return (wchar_t)0xFFFD;
    cp = (cp << 6) | (s[(*i)++] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return (wchar_t)0xFFFD;
  return (wchar_t)cp;
}

// Connects to the virtual modem at `path` and takes its product string.
hid_device *open_socket(const char *path) {
  int fd = fd_connect(path);
  if (fd < 0) return nullptr;
  hid_device *dev = (hid_device *)calloc(1, sizeof(hid_device));
  if (dev == nullptr) {
    close(fd);
    return nullptr;
  }
  dev->fd = fd;
  dev->error = ERR_NONE;
  int ev = wait_fd(fd, POLLIN, OPEN_WAIT_MS);
  int n = ev > 0 ? message_take(dev, (unsigned char *)dev->product, PRODUCT_MAX) : -1;
  if (n < 0) {  // no product string in time, or the peer already closed
    close(fd);
    free(dev);
    return nullptr;
  }
  dev->product_len = n;
  g_error = ERR_NONE;
  return dev;
}

bool is_socket(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Adds an entry for the socket `path` with serial number `serial` in front of `list`.
hid_device_info *info_add(hid_device_info *list, const std::string &path, const std::string &serial) {
  hid_device_info *d = (hid_device_info *)calloc(1, sizeof(hid_device_info));
  if (!d) return list;
  d->path = strdup(path.c_str());
  d->vendor_id = MODEM_VENDOR;
  d->product_id = MODEM_PRODUCT;
  d->serial_number = (wchar_t *)calloc(serial.size() + 1, sizeof(wchar_t));
  for (size_t i = 0; d->serial_number && i < serial.size(); i++) d->serial_number[i] = (wchar_t)(unsigned char)serial[i];
  d->next = list;
  return d;
}

}  // namespace

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void) { return 0; }

int HID_API_EXPORT HID_API_CALL hid_exit(void) { return 0; }

HID_API_EXPORT hid_device *HID_API_CALL hid_open(unsigned short vendor_id, unsigned short product_id,
                                                 const wchar_t *serial_number) {
  g_error = ERR_OPEN;
  if (vendor_id != MODEM_VENDOR || product_id != MODEM_PRODUCT) return nullptr;
  const char *base = getenv("ORVEL_VMODEM");
  if (base == nullptr) return nullptr;
  std::string path = base;
  if (serial_number) {
    path += '.';
    for (size_t i = 0; serial_number[i] && i < SERIAL_MAX; i++) path += (char)serial_number[i];
  }
  return open_socket(path.c_str());
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open_path(const char *path) {
  g_error = ERR_OPEN;
  return path ? open_socket(path) : nullptr;
}

struct hid_device_info HID_API_EXPORT *HID_API_CALL hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
  const char *base = getenv("ORVEL_VMODEM");
  if (base == nullptr || !*base || (vendor_id && vendor_id != MODEM_VENDOR) ||
      (product_id && product_id != MODEM_PRODUCT))
    return nullptr;
  std::string full = base, dir = ".", name = full;
  size_t slash = full.rfind('/');
  if (slash != std::string::npos) dir = slash ? full.substr(0, slash) : "/", name = full.substr(slash + 1);
  hid_device_info *list = is_socket(full) ? info_add(nullptr, full, "") : nullptr;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string entry = e->d_name;
      if (entry.size() > name.size() + 1 && entry.compare(0, name.size() + 1, name + ".") == 0 &&
          is_socket(dir + "/" + entry))
        list = info_add(list, dir + "/" + entry, entry.substr(name.size() + 1));
    }
    closedir(d);
  }
  return list;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info *devs) {
  while (devs) {
    hid_device_info *next = devs->next;
    free(devs->path);
    free(devs->serial_number);
    free(devs);
    devs = next;
  }
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device *dev, wchar_t *string, size_t maxlen) {
  if (dev == nullptr || string == nullptr || maxlen == 0) {
    g_error = ERR_ARG;
    return -1;
  }
  const unsigned char *s = (const unsigned char *)dev->product;
  size_t out = 0;
  int i = 0;
  while (i < dev->product_len && out < maxlen - 1) string[out++] = utf8_next(s, dev->product_len, &i);
  string[out] = L'\0';
  return 0;
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device *dev, int nonblock) {
  if (dev == nullptr) return -1;
  dev->nonblocking = nonblock != 0;
  return 0;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device *dev, unsigned char *data, size_t length,
                                                 int milliseconds) {
  if (dev == nullptr || (data == nullptr && length > 0)) {
    g_error = ERR_ARG;
    return -1;
  }
  if (dev->closed) return -1;
  long long deadline = milliseconds < 0 ? 0 : now_ms() + milliseconds;
  for (;;) {
    int n = message_take(dev, data, length);
    if (n > 0) return n;
    if (n == -1) {
      dev->closed = true;
      dev->error = ERR_CLOSED;
      return -1;
    }
    // nothing (or an empty report from a connected peer): wait if allowed
    int left = -1;
    if (milliseconds >= 0) {
      long long rest = deadline - now_ms();
      if (rest <= 0) return 0;
      left = (int)rest;
    }
    int ev = wait_fd(dev->fd, POLLIN | POLLRDHUP, left);
    if (ev < 0) {
      dev->closed = true;
      dev->error = ERR_IO;
      return -1;
    }
    if (ev == 0) return 0;
  }
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device *dev, unsigned char *data, size_t length) {
  if (dev == nullptr) return -1;
  return hid_read_timeout(dev, data, length, dev->nonblocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device *dev, const unsigned char *data, size_t length) {
  if (dev == nullptr || (data == nullptr && length > 0)) {
    g_error = ERR_ARG;
    return -1;
  }
  if (dev->closed) return -1;
  long long deadline = now_ms() + WRITE_WAIT_MS;
  for (;;) {
    ssize_t n = send(dev->fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return (int)n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
    long long rest = deadline - now_ms();
    if (rest <= 0 || wait_fd(dev->fd, POLLOUT, (int)rest) <= 0) break;  // peer not reading
  }
  dev->error = ERR_IO;
  return -1;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device *dev) {
  if (dev == nullptr) return;
  close(dev->fd);
  free(dev);
}

HID_API_EXPORT const wchar_t *HID_API_CALL hid_error(hid_device *dev) {
  return dev == nullptr ? g_error : dev->error;
}

}  // extern "C"
