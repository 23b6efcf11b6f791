// The per-request decision alone: the check that comes before every request
// held to its interface (does that interface still hold the address, have
// carrier and a route to the target?), over a route netlink socket kept open
// and subscribed to the news of changes as the probe keeps it for a series:
// where nothing changed, one read that finds no news. Run on the probe host of the bench's
// namespaces:
//
//   decision SOURCE TARGET [COUNT]
//
// Prints the wall and CPU time of one check, the median of five rounds of
// COUNT checks each (default 20000), after a warm-up round; how many were
// allowed; and the wall and CPU time of the choice made once a series (a
// fresh route netlink socket, the questions before the first request), the
// median of five rounds of COUNT/20 each.
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "cli/ipv4.h"
#include "os/linux/uplink.h"

namespace {

double now_us(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: decision SOURCE TARGET [COUNT]\n");
    return 2;
  }
  const std::optional<ketrova::Ipv4Address> source = ketrova::parse_ipv4(argv[1]);
  const std::optional<ketrova::Ipv4Address> target = ketrova::parse_ipv4(argv[2]);
  const int count = argc > 3 ? std::atoi(argv[3]) : 20000;
  if (!source || !target || count <= 0) {
    std::fprintf(stderr, "decision: bad arguments\n");
    return 2;
  }
  ketrova::UplinkRoutes routes(::geteuid());
  const ketrova::Uplink uplink = routes.choose(*source, *target);
  if (uplink.way != ketrova::Uplink::Way::by_interface) {
    std::fprintf(stderr, "decision: %s is not held to an interface here\n", argv[1]);
    return 1;
  }
  constexpr int ROUNDS = 5;
  std::array<double, ROUNDS> wall{};
  std::array<double, ROUNDS> cpu{};
  std::array<double, ROUNDS> choice_wall{};
  std::array<double, ROUNDS> choice_cpu{};
  int routed = 0;
  const int choices = std::max(1, count / 20);
  for (int round = -1; round < ROUNDS; ++round) {
    double wall_start = now_us(CLOCK_MONOTONIC);
    double cpu_start = now_us(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < count; ++i) {
      routed += routes.may_send(*source, *target, uplink) ? 1 : 0;
    }
    const double wall_end = now_us(CLOCK_MONOTONIC);
    const double cpu_end = now_us(CLOCK_PROCESS_CPUTIME_ID);
    // The choice, once a series: the socket opened and subscribed, the
    // questions asked before the first request, the socket closed.
    for (int i = 0; i < choices; ++i) {
      ketrova::UplinkRoutes fresh(::geteuid());
      routed += fresh.choose(*source, *target).way == uplink.way ? 1 : 0;
    }
    if (round < 0) continue;  // the warm-up
    wall[round] = (wall_end - wall_start) / count;
    cpu[round] = (cpu_end - cpu_start) / count;
    choice_wall[round] = (now_us(CLOCK_MONOTONIC) - wall_end) / choices;
    choice_cpu[round] = (now_us(CLOCK_PROCESS_CPUTIME_ID) - cpu_end) / choices;
  }
  for (auto* figures : {&wall, &cpu, &choice_wall, &choice_cpu}) {
    std::sort(figures->begin(), figures->end());
  }
  std::printf("%.2f %.2f %d %.2f %.2f\n", wall[ROUNDS / 2], cpu[ROUNDS / 2], routed,
              choice_wall[ROUNDS / 2], choice_cpu[ROUNDS / 2]);
  return 0;
}
