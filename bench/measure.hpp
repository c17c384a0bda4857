// What the benchmark measures with, in every process: clocks, resource
// usage, medians, the input tables, and the results row as a child prints it.
#pragma once

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include <sys/time.h>

#include "records/tables.hpp"
#include "loops/repetition.hpp"

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start);

// Peak resident memory of this process so far, in kB.
long peak_kb();

double seconds_of(const timeval& t);

// CPU seconds in user and in kernel mode, and minor page faults, so far.
struct cpu_usage {
  double user;
  double system;
  double faults;
};

cpu_usage cpu_now();

double median(std::vector<double> v);

// The input tables of `dir` (entered as the working directory), checked.
input_tables tables_from(const std::string& dir);

// One line "row v0 v1 ... v6" on stdout, every digit a double needs.
void print_row(const results_row& row);
