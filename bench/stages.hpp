// Stage timings: one repetition replayed step by step at a fixed alpha,
// through the same functions, seeds and random streams as the programs (only
// alpha is fixed instead of drawn; its uniform is still drawn and discarded,
// so every later draw is the one the programs make).
#pragma once

#include <array>
#include <cstdint>
#include <string>

inline constexpr std::array<double, 5> fixed_alphas{1.8, 2.0, 2.5, 4.0, 7.0};

// The stages, in pipeline order; the stage children print their times under
// these keys.
inline constexpr std::array<const char*, 8> stage_keys{
    "bootstraps", "sampler",          "base_fit",  "hierarchy",
    "resampling", "power_inequality", "noise_pay", "pay_inequality"};
inline constexpr std::array<const char*, 8> stage_labels{
    "bootstraps (span, sigma)", "sampler",    "base fit",
    "hierarchy and powers",     "resampling", "inequality of power (Gini, top 1%)",
    "noise and pay",            "inequality of pay (Gini, top 1%)"};

// The child process of one pipeline ("plain" or "fast") at one alpha: prints
// "stage KEY SECONDS" (median of `repeats` repetitions with repetition 0's
// seeds), the members, the peak memory and the results row. Returns the
// exit status.
int child_stages(const std::string& data, const std::string& pipeline, double alpha, int repeats,
                 std::uint64_t seed);
