// The one error that ends a program: the message to print and the exit
// status. It is thrown where the fault is found (a table, a journal, an
// option, a check before the run) and turned into output in one place,
// run_program. Its message names the file, line and column where there are
// some.
#pragma once

#include <stdexcept>
#include <string>

inline constexpr int exit_ok = 0;
inline constexpr int exit_setup_error = 1;
inline constexpr int exit_usage_error = 2;
inline constexpr int exit_save_failed = 3;
inline constexpr int exit_repetition_failed = 4;
// A run stopped by a signal exits with 128 + the signal's number.

struct run_error : std::runtime_error {
  // An empty message: the status alone (nothing can be reported).
  explicit run_error(const std::string& message, int status = exit_setup_error)
      : std::runtime_error(message), status(status)
  {
  }
  int status;
};
