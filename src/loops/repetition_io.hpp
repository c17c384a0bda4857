// What one repetition reads and what it gives back: the worker's copies of
// the tables and the run's settings in, one results row out. The parallel
// region hands these to whatever computes a repetition.
#pragma once

#include <array>
#include <armadillo>
#include <cstdint>
#include <optional>

#include "loops/model_settings.hpp"

inline constexpr int results_columns = 7;
using results_row = std::array<double, results_columns>;

// What repetitions met without failing, counted by the worker that ran them.
struct repetition_notes {
  // span table resamples of a single level, fitted by the minimum-norm solution
  std::uint64_t rank_deficient_span_fits = 0;
};

// What one repetition reads: the worker's own copies of the tables and the
// run's settings (top_fraction and firm_count are those of `model`); and
// where it counts what it met (none: not counted).
struct repetition_inputs {
  const arma::Mat<double>& span;
  const arma::Col<double>& g;
  const arma::Col<double>& pay_exponent;
  double top_fraction;
  int firm_count;
  repetition_notes* notes = nullptr;
  model_settings model = {};
};

// Which repetition this is: its global index, and the run's seed (the
// programs always give one; without it every random source seeds from
// random_device).
struct repetition_id {
  std::uint64_t index;
  std::optional<std::uint64_t> seed;
};
