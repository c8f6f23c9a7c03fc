// What the whole-replay benchmarks measure with: CPU time of this process and of a peer,
// medians and the machine's load average.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velko::bench {

// This process's CPU time (all threads) and context switches so far.
struct Usage {
  double cpu_s = 0;
  long switches = 0;
};
Usage usage();

// The CPU time of process `pid` so far (0 when it cannot be read).
double process_cpu_s(pid_t pid);

// The median of `values` (not empty).
double median(std::vector<double> values);

// The smallest of `values` (not empty).
double minimum(const std::vector<double>& values);

// The load averages of 1, 5 and 15 minutes, as /proc/loadavg gives them.
std::string load_average();

}  // namespace velko::bench
