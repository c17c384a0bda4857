// The project layout: a project root holding executables/, data/, results/
// and R/, found from the working directory by whole path components.
//
// The root is the parent of the LAST component of the path that is exactly
// "executables" (the working directory itself or its nearest ancestor of that
// name). Names that merely contain the word, such as /data/u/...,
// bigdata/, results_archive/ or executables_v2/, are ordinary directories:
// /data/u/p/executables/bin has the root /data/u/p and the data directory
// /data/u/p/data.
#pragma once

#include <optional>
#include <string>

struct project_layout {
  std::string root;
  std::string data;     // root/data: the input tables
  std::string results;  // root/results: the results files
  std::string r;        // root/R: the post-processing script
};

// The layout around the absolute path `path`, or nothing when no component
// of it is "executables". Empty components (from "//" or a trailing "/") are
// skipped.
std::optional<project_layout> find_layout(const std::string& path);

// The absolute path of the working directory (glibc's get_current_dir_name,
// which prefers $PWD when it names the same directory).
// Throws std::runtime_error when it cannot be determined.
std::string current_directory();
