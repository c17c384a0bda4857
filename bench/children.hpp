// The parent's side of the child processes: starting one, reading what it
// prints, comparing rows, merging repeated runs.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "loops/repetition.hpp"

struct child_report {
  std::map<std::string, double> value;
  std::vector<results_row> rows;
  std::vector<double> repetition_seconds;
};

// Runs this program again with `arguments` (after the shell assignments in
// `environment`) and collects what it prints. Also records, as
// "others_cores", how many cores other work kept busy meanwhile (the
// machine's busy time less the child's own, over the wall time).
child_report run_child(const std::string& self, const std::string& arguments,
                       const std::string& environment = "");

// `s` quoted for the shell.
std::string quoted(const std::string& s);

// The largest difference between two sets of rows, in units of the
// tolerance: columns 0, 3 and 6 must be identical, the others within 1e-9
// relative. A value above 1 means the rows disagree.
double row_mismatch(const std::vector<results_row>& x, const std::vector<results_row>& y);

// One report from several runs of the same configuration: the median time
// (and CPU time, page faults, time of each repetition), the largest peak
// memory and the most other work seen; the first run's rows, with
// "self_mismatch" saying how far the later runs' rows are from them.
child_report merged(const std::vector<child_report>& runs);
