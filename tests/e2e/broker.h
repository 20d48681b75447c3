// A broker for the end-to-end tests: mosquitto, run by the test.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "harness.h"

namespace e2e {

// A broker of its own: one loopback listener on a free port, anonymous
// clients, no persistence. start() returns once it accepts connections.
struct Broker {
  Broker() : port(free_port()), dir(std::filesystem::temp_directory_path() / ("orvel-broker-" + std::to_string(port))) {
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "broker.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
    start();
  }
  ~Broker() {
    stop();
    std::filesystem::remove_all(dir);
  }
  bool start() {
    std::string conf = dir / "broker.conf", log = dir / "broker.log";
    if ((pid = fork()) == 0) {
      if (!freopen(log.c_str(), "a", stderr)) _exit(127);
      execlp("mosquitto", "mosquitto", "-c", conf.c_str(), (char *)nullptr);
      _exit(127);
    }
    for (int i = 0; i < 100; i++, usleep(20000))
      if (int s = connect_to(port); s >= 0) return close(s), true;
    return false;
  }
  void stop() {
    if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
    pid = -1;
  }
  const int port;
  std::filesystem::path dir;
  pid_t pid = -1;
};

}  // namespace e2e
