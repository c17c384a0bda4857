// The post-processing launch: the command for a results file or sweep table,
// started in R/ after a run. Its outcome is only ever a note.
#pragma once

#include <string>

#include "cli/options.hpp"

// The post-processing script, started in R/.
inline constexpr const char* postprocess_script = "energy_estimator.R";

// `text` as one word for the shell (quoted unless it is made of characters
// the shell takes literally).
std::string shell_quoted(const std::string& text);

// The post-processing command for the results file or sweep table `name`:
// the default results file is the script's own default; any other is named
// after "--", so that the script takes no name ("-x.csv", "--help") for an
// option.
std::string postprocess_command(const std::string& name, const program_settings& program);

// Runs the post-processing command in `r_dir`; its outcome is only a note.
// When the standard output is gone, the script's output goes to the standard
// error instead (or to /dev/null): with descriptor 1 closed, the first file
// the script opens would take that number and its notes would go there, and
// on a pipe without reader its notes would fail. A reader that leaves while
// the script runs (`| head`) cannot be foreseen here; the script itself
// drops its notes then and finishes its outputs.
void postprocess(const std::string& r_dir, const std::string& command);
