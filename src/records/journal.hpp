// The journal of finished rows: results/<output>.journal while a run goes.
//
// Line 1 is the header, one JSON object that names the run, with its checksum
// as the last key:
//   {"first_repetition":0,"format":"quarnel-journal","format_version":2,
//    "input_tables":{"s_empirical.txt":"<sha-256>",...},"program":"quarnel",
//    "repetitions":400,"seed":"20261208","settings":{...},"version":"0.1.0",
//    "crc32c":"<8 hexadecimal digits>"}
// (the seed as a decimal string: 64-bit integers exceed what many JSON
// readers hold exactly; a missing table's checksum is null). The checksum
// covers the line as it would read without the key: the text before
// ',"crc32c":' followed by '}'. Every further line is one finished row,
//   <repetition index>,<7 values in C hexadecimal floating point ("%a")>,<checksum>
// e.g. "417,0x1.3p+1,...,5c1d0e2a", in the order the rows finished; its
// checksum covers the text before its last comma. A checksum is the CRC-32C
// of those bytes, as 8 lowercase hexadecimal digits. The values read back bit
// for bit (NaN as "nan" or "-nan", without its payload).
//
// Reading refuses, naming the line: a checksum that does not match; a value
// whose text is not what "%a" writes for the number it reads as (a number
// too large or too small for a double, say); an index or field out of shape.
// A last line without its line end was cut mid-write and is ignored.
// Journals of format version 1 (rows without checksums, no "crc32c" key) are
// read with every check but the checksums, and rows appended to them keep
// that form, so that one file holds one format.
//
// One process at a time holds an exclusive flock on the journal; a second
// run on the same output is refused while the first one goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "loops/repetition_io.hpp"
#include "records/run_error.hpp"

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

// A journal that cannot be read or belongs to another run is thrown as a
// run_error whose message names the file's line and the problem.

// The lines of the current format, with their line ends.
std::string format_journal_header(const journal_header& header);
std::string format_journal_row(std::uint64_t index, const results_row& row);

// The checksum of `text` as written in a journal line: CRC-32C (Castagnoli),
// 8 lowercase hexadecimal digits.
std::string journal_checksum(const std::string& text);

struct journal_contents {
  journal_header header;
  std::vector<std::pair<std::uint64_t, results_row>> rows;  // each index once
  std::size_t valid_length = 0;  // bytes up to the end of the last whole line
  bool torn = false;             // a cut last line was ignored
  int format_version = 2;        // 1: without checksums
};

// Reads journal text. Throws run_error.
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

// Reads and checks only the header of the journal at `path`, without taking
// its lock. Throws run_error naming the file (as journal_file does).
journal_header read_journal_header(const std::string& path);

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
  // contents()) and cut back to its last whole line. Throws run_error
  // naming the problem (the lock held by another run, an earlier run's rows
  // in the way, no journal to resume, a malformed line).
  journal_file(const std::string& path, open_mode mode, const journal_header& header);
  ~journal_file();
  journal_file(const journal_file&) = delete;
  journal_file& operator=(const journal_file&) = delete;

  const journal_contents& contents() const { return contents_; }

  // Appends one row, in the journal's format. Returns "" or the reason the
  // write failed (running out of memory included: it throws nothing).
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
