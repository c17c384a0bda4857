// The parent: starts a child per configuration, checks that the two
// pipelines' rows agree, and prints the table with its targets.
#pragma once

#include <cstdint>
#include <string>

// `self` is this program's path (the children are started from it).
// `repetitions` is the mix both pipelines run; the fast one also runs the
// first `long_repetitions` of the same seed on 1 and 2 threads, for the
// two-thread target. Returns the exit status: 1 when the rows differ.
int run_benchmark(const std::string& self, const std::string& data, int repeats, int runs,
                  int repetitions, int long_repetitions, std::uint64_t seed);
