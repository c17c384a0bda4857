// A sweep's files, its lock, its size, and which points a resumed sweep
// keeps.
//
// A sweep on the output <stem>.csv (<stem> is the output name without
// ".csv") writes results/<stem>.<k>.csv and its metadata <stem>.<k>.json for
// point k, and the table results/<stem>.sweep.csv. While it goes it holds an
// exclusive flock on results/<stem>.sweep.lock, from before its first check
// to its end (post-processing included), so that a second sweep on the same
// stem is refused before it writes anything. The lock file stays: removing a
// locked file lets a sweep that opened it just before lock the removed file
// while a third sweep creates and locks a new one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "records/journal.hpp"
#include "cli/settings.hpp"
#include "driver/precision.hpp"

std::string point_file(const std::string& output, std::size_t k);  // <stem>.<k>.csv
std::string sweep_table_file(const std::string& output);           // <stem>.sweep.csv
std::string sweep_lock_file(const std::string& output);            // <stem>.sweep.lock

// The sweep table: a header, then per point its index, its results file and
// the value of every swept setting (quoted when it holds a comma).
std::string sweep_table(const std::vector<sweep_axis>& axes, const std::vector<sweep_point>& points,
                        const std::string& output);

// One line that tells the number of points and the files they write.
std::string sweep_size_text(const std::vector<sweep_axis>& axes, const std::string& output);

// The flock on a sweep's lock file, held while the object lives.
class sweep_lock {
 public:
  sweep_lock() = default;
  ~sweep_lock();
  sweep_lock(const sweep_lock&) = delete;
  sweep_lock& operator=(const sweep_lock&) = delete;

  // Locks `dir`/sweep_lock_file(`output`), creating the file if needed.
  // Throws run_error saying why not: another sweep holds it, or the results
  // directory or the file is unusable.
  void take(const std::string& dir, const std::string& output);

 private:
  int fd_ = -1;
};

// What a resumed sweep does with a point that has no journal.
struct point_verdict {
  enum class action { run, keep, refuse } what = action::run;
  // run: why the point's files do not count ("" when it has none), e.g.
  // "made with other input tables: g_empirical.txt"; refuse: the message.
  std::string why;
};

// Keeps the point whose results file `dir`/`output` is complete for `today`
// (the header this run would write: the comparison of --resume) and holds
// the bytes and rows its metadata records. Refuses it when the metadata
// matches `today` but the file does not match the metadata: something else
// changed the file, and it is not overwritten. Runs it again otherwise.
// Under --precision the point must have run with today's `precision` and
// holds the rows where its targets were met (driver/precision.hpp).
point_verdict finished_point(const std::string& dir, const std::string& output, const journal_header& today,
                             const precision_request& precision = {});
