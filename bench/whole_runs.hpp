// Whole repetitions through the parallel region, as the programs run them.
#pragma once

#include <cstdint>
#include <string>

// The child process of one pipeline ("plain", "fast", or "journal": fast
// with every finished row appended to a journal as the programs do) with `threads`
// workers over repetitions 0 .. repetitions - 1 of `seed`: prints the wall,
// user and kernel seconds, the page faults, the peak memory, each
// repetition's own time and every results row. Returns the exit status.
int child_whole(const std::string& data, const std::string& pipeline, int threads, int repetitions,
                std::uint64_t seed);
