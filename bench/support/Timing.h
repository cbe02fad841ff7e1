// Processor time and medians for the benchmarks that time a pair of runs
// themselves and report their ratio.
#pragma once

#include <algorithm>
#include <ctime>
#include <vector>

namespace bench_support {

// Seconds of processor time on `clock` (CLOCK_PROCESS_CPUTIME_ID or
// CLOCK_THREAD_CPUTIME_ID), which a loaded machine disturbs less than the
// wall clock.
inline double cpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace bench_support
