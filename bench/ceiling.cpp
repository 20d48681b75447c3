// The machine's ceiling for close-per-request HTTP: one thread on epoll that
// accepts every pending connection, reads the request, writes a fixed reply
// (a header of the gateway's size and the given body) in one call and closes.
//   ceiling <port> <body file>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: ceiling <port> <body file>\n");
    return 2;
  }
  std::ifstream f(argv[2], std::ios::binary);
  std::stringstream body;
  body << f.rdbuf();
  const std::string reply =
      "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: max-age=3600\r\n"
      "Server: CEILING\r\nConnection: close\r\n\r\n" + body.str();

  int ls = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons((uint16_t)atoi(argv[1]));
  if (bind(ls, (sockaddr *)&a, sizeof a) != 0 || listen(ls, 1024) != 0) {
    perror("ceiling");
    return 1;
  }
  int ep = epoll_create1(0);
  epoll_event ev{EPOLLIN, {.fd = ls}};
  epoll_ctl(ep, EPOLL_CTL_ADD, ls, &ev);
  // The request fits one read; closing also leaves the epoll set. False
  // when nothing has arrived yet.
  auto answer = [&](int fd) {
    char buf[4096];
    ssize_t got = recv(fd, buf, sizeof buf, 0);
    if (got < 0 && errno == EAGAIN) return false;
    if (got > 0) send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    close(fd);
    return true;
  };
  epoll_event evs[256];
  for (;;) {
    int n = epoll_wait(ep, evs, 256, -1);
    for (int i = 0; i < n; i++) {
      int fd = evs[i].data.fd;
      if (fd == ls) {
        for (int c; (c = accept4(ls, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
          if (answer(c)) continue;  // the request was already there
          epoll_event ce{EPOLLIN, {.fd = c}};
          epoll_ctl(ep, EPOLL_CTL_ADD, c, &ce);
        }
        continue;
      }
      answer(fd);
    }
  }
}
