// Wall and CPU seconds of one benchmark phase. CPU time counts every thread
// of the process; on a shared machine it is the steadier figure.
#pragma once

#include <time.h>

#include <chrono>

namespace zudizid::bench {

inline double cpu_now() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Starts at construction; stop() records the phase's seconds.
struct Timer {
  std::chrono::steady_clock::time_point wall0 = std::chrono::steady_clock::now();
  double cpu0 = cpu_now();
  double wall = 0, cpu = 0;
  void stop() {
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    cpu = cpu_now() - cpu0;
  }
};

}  // namespace zudizid::bench
