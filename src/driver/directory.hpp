// Navigation between the sibling directories executables/, data/, results/
// and R/ by rewriting the current path as text.
//
// The rewrite replaces everything from the FIRST occurrence of `from` (plain
// text, which may lie inside a longer directory name) to the end of the path
// by `to`: /p/executables/bin with ("executables", "data") becomes /p/data,
// and /data/p/data with ("data", "results") becomes /results.
#pragma once

#include <optional>
#include <string>

// The path with its tail from the first occurrence of `from` replaced by
// `to`, or nothing when `from` does not occur (an empty `from` occurs at 0).
std::optional<std::string> rewrite_path(const std::string& path, const std::string& from,
                                        const std::string& to);

// The absolute path of the working directory (glibc's get_current_dir_name,
// which prefers $PWD when it names the same directory).
// Throws std::runtime_error when it cannot be determined.
std::string current_directory();

// Makes rewrite_path(current_directory(), from, to) the working directory.
// Throws std::out_of_range, naming the directory, when `from` does not occur
// in it. Returns whether chdir succeeded; on failure the working directory
// stays as it was.
bool change_directory(std::string from, std::string to);
