// The journal of finished rows: results/<output>.journal while a run goes.
//
// Line 1 is the header, one JSON object that names the run:
//   {"format":"quarnel-journal","format_version":1,"program":"quarnel",
//    "version":"0.1.0","seed":"20261208","first_repetition":0,"repetitions":400,
//    "settings":{...},"input_tables":{"s_empirical.txt":"<sha-256>",...}}
// (the seed as a decimal string: 64-bit integers exceed what many JSON
// readers hold exactly; a missing table's checksum is null). Every further
// line is one finished row,
//   <repetition index>,<7 values in C hexadecimal floating point ("%a")>
// e.g. "417,0x1.3p+1,...", in the order the rows finished. The values read
// back bit for bit. A last line without its line end was cut mid-write and
// is ignored on reading; any other malformed line makes the journal unusable.
//
// One process at a time holds an exclusive flock on the journal; a second
// run on the same output is refused while the first one goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "driver/region.hpp"

// The text values of the model settings, by name.
using settings_map = std::map<std::string, std::string>;

struct journal_header {
  std::string program;
  std::string version;
  std::uint64_t seed = 0;
  std::uint64_t first_repetition = 0;
  int repetitions = 0;
  settings_map settings;
  // Input table file name -> SHA-256 in hexadecimal, nullopt when missing.
  std::map<std::string, std::optional<std::string>> input_tables;
};

// A journal that cannot be read or belongs to another run; what() names the
// file's line and the problem.
struct journal_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string format_journal_header(const journal_header& header);  // with its line end
std::string format_journal_row(std::uint64_t index, const results_row& row);

struct journal_contents {
  journal_header header;
  std::vector<std::pair<std::uint64_t, results_row>> rows;  // each index once
  std::size_t valid_length = 0;  // bytes up to the end of the last whole line
  bool torn = false;             // a cut last line was ignored
};

// Reads journal text. Throws journal_error.
journal_contents parse_journal(const std::string& text);

// A field in which two descriptions of a run differ, with both values as text.
struct header_difference {
  std::string field;  // "the program", "the version", "the seed", ..., "the input table NAME"
  std::string table;  // NAME for an input table, else ""
  std::string had;
  std::string now;
};

// Every field in which `had` (a journal's or a finished run's metadata)
// differs from `now` (this run): program, version, seed, first repetition,
// repetition count, settings, then each input table of `now` whose
// checksum differs or is not in `had`. Empty when `now` would make the same
// rows. The one comparison behind both --resume and a resumed sweep's kept
// points.
std::vector<header_difference> header_differences(const journal_header& had, const journal_header& now);

// "" when `journal` may be continued by a run described by `run`, otherwise
// the first field that differs and both values.
std::string header_mismatch(const journal_header& journal, const journal_header& run);

// An open, locked journal. Appends are single write(2) calls of whole lines,
// and the file is made durable (fdatasync) when a row finds the last sync two
// seconds old or more, and by sync().
class journal_file {
 public:
  enum class open_mode { fresh, resume };

  // Opens and locks `path`. fresh: the file must be absent or empty, and the
  // header is written. resume: the file must exist; it is read (see
  // contents()) and cut back to its last whole line. Throws journal_error
  // naming the problem (the lock held by another run, an earlier run's rows
  // in the way, no journal to resume, a malformed line).
  journal_file(const std::string& path, open_mode mode, const journal_header& header);
  ~journal_file();
  journal_file(const journal_file&) = delete;
  journal_file& operator=(const journal_file&) = delete;

  const journal_contents& contents() const { return contents_; }

  // Appends one row. Returns "" or the reason the write failed.
  std::string append(std::uint64_t index, const results_row& row);
  std::string sync();
  // Deletes the journal (the complete results file is in place).
  void remove();

 private:
  std::string path_;
  int fd_ = -1;
  bool created_ = false;
  journal_contents contents_;
  std::chrono::steady_clock::time_point last_sync_;
};
