// Benchmark of the automation engine on its own (not a test): 100 rules, each
// with a button and a state trigger and three conditions that hold, and
// the cost of an event that matches none, of a matching button press up to
// its first command, and of the once-a-second tick. The figures through the
// whole gateway (modem report to command written, CPU per report, idle) are
// rows of bench/bench.cpp.
//
//   cmake --build build --target orvelcore
//   g++ -std=c++20 -O2 -Isrc bench/rules_engine.cpp build/liborvelcore.a
//       $(pkg-config --libs hidapi-hidraw libmosquitto libsystemd) -o build/rules_bench   (one line)
//   build/rules_bench
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rules/rules.h"

namespace {

int sends = 0;
time_t clock_now = 1700000000;  // two seconds a press: the loop guard stays out of the way

double ns_since(std::chrono::steady_clock::time_point a) {
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - a).count();
}

void report(const char *what, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  printf("%-34s p50 %8.0f ns   p99 %8.0f ns\n", what, v[v.size() / 2], v[v.size() * 99 / 100]);
}

}  // namespace

int main() {
  char dir[] = "/tmp/orvel-rules-bench-XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) return 1;
  FILE *f = fopen("setup.ini", "w");
  fprintf(f, "LAT=52.5\nLON=13.4\n");
  fclose(f);
  rules_world w{[](const char *) -> const char * { return "OFF"; }, [] { return false; },
                [](const char *) -> uint8_t { return sends++, 1; }, [](const char *, const char *) {},
                [](const char *) {}, [] { return clock_now; }};
  rules_start(w);
  for (int i = 0; i < RULES_MAX; i++) {
    char id[16], body[512];
    snprintf(id, sizeof id, "r%d", i);
    snprintf(body, sizeof body,
             R"({"id":"%s","when":[{"button":"@%06x","number":1},{"state":{"device":"@%06x","to":"on"}}],)"
             R"("if":[{"time":{"after":"00:00"}},{"state":{"device":"@1a2b30","is":"off"}},{"hub":"offline"}],)"
             R"("then":[{"send":"@1a2b30=80"},{"delay":600},{"send":"@1a2b30=0"}],"mode":"restart"})",
             id, 0x100000 + i, 0x200000 + i);
    std::string reply;
    if (rules_put(id, body, strlen(body), reply) != 200) return printf("%s\n", reply.c_str()), 1;
  }
  std::vector<double> miss, hit, tick;
  for (int k = 0; k < 20000; k++) {
    auto a = std::chrono::steady_clock::now();
    rules_button("abcdef", 1);
    miss.push_back(ns_since(a));
    a = std::chrono::steady_clock::now();
    rules_state("abcdef", "ON");
    miss.push_back(ns_since(a));
  }
  for (int k = 0; k < 2000; k++) {
    clock_now += 2;
    auto a = std::chrono::steady_clock::now();
    rules_button("100063", 1);
    hit.push_back(ns_since(a));
    a = std::chrono::steady_clock::now();
    rules_tick(clock_now);
    tick.push_back(ns_since(a));
  }
  report("event matching none of 100 rules", miss);
  report("button press, conditions, command", hit);
  report("tick with 100 rules", tick);
  printf("(commands sent: %d)\n", sends);
  std::string cleanup = std::string("rm -rf ") + dir;
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
