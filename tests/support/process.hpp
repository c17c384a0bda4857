// Test helpers: scratch directories, the project layout a program expects,
// and running a program in it with its output captured.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
struct scratch_dir {
  std::filesystem::path path;
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
};

// Makes root/executables, root/data (holding the three input tables, copied
// from `data_source`), root/results and root/R (with a stand-in
// energy_estimator.R), and root/bin with a stand-in "Rscript" that records its
// working directory and arguments in root/R/rscript.log, prints $RSCRIPT_SAY
// (if set) on its standard output and exits with $RSCRIPT_STATUS (default 0).
void make_layout(const std::filesystem::path& root, const std::filesystem::path& data_source);

struct process_result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] a path) in `cwd` with the extra environment settings
// "NAME=value" and waits for it.
process_result run_process(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                           const std::vector<std::string>& env = {});

// The same in two steps, to signal the process while it runs. A
// `closed_descriptor` of 0 or more is closed in the process before it starts
// (its output, if 1 or 2, is then not captured).
struct started_process {
  int pid = -1;
  std::filesystem::path capture;  // holds its standard output and error
};
started_process start_process(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                              const std::vector<std::string>& env = {}, int closed_descriptor = -1);
process_result wait_process(const started_process& process);  // also removes the capture

// Waits until `file` holds at least `lines` whole lines (polling; gives up
// after a minute). Returns whether it does.
bool wait_for_lines(const std::filesystem::path& file, std::size_t lines);

std::string read_file(const std::filesystem::path& file);
void write_file(const std::filesystem::path& file, const std::string& text);

// `r` with the "run cost: ..." line that every run that reaches its
// repetitions prints last on stderr taken out of r.err, for tests of the
// other messages.
process_result without_cost_line(process_result r);

// The lines of `text`, without their line ends.
std::vector<std::string> lines_of(const std::string& text);
