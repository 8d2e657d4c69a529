// What every benchmark shares: a clock, medians, and the one machine-readable line
// per figure that scripts/bench gathers into its table.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace bench {

inline double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

inline LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

inline double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The median time of `rounds` runs of `work`, which gives how many things it did.
inline double Median(int rounds, const std::function<size_t()>& work, size_t& done) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const LARGE_INTEGER start = Now();
        done = work();
        times.push_back(Seconds(start, Now()));
    }
    return Median(std::move(times));
}

// One figure beside its baseline, measured in the same run:
//   BENCH|figure|value|unit|baseline|baseline value|goal
// A unit ending in "/s" is a rate (more is better), any other a cost. `goal` is the
// largest slowdown against the baseline the project accepts; 0 when it sets none.
// A figure that could not be measured is given as 0, and the table says so.
inline void Row(const char* figure, double value, const char* unit, const char* baseline,
                double baselineValue, double goal = 0) {
    std::printf("BENCH|%s|%.6g|%s|%s|%.6g|%.6g\n", figure, std::max(value, 0.0), unit, baseline,
                std::max(baselineValue, 0.0), goal);
    std::fflush(stdout);
}

}  // namespace bench
