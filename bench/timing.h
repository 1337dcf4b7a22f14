#pragma once
// What the benchmark programs share: a stopwatch around a piece of work and
// the median of the rounds.

#include <algorithm>
#include <chrono>
#include <vector>

namespace sv::bench {

template <typename Work> double seconds(Work&& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename Work> double milliseconds(Work&& work) { return seconds(work) * 1000.0; }

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace sv::bench
