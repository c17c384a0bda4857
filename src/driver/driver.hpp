// The program entry shared by quarnel and vesktor.
//
// A run: parse the options; print the banner; find the project layout from
// the working directory (see directory.hpp) and read the three tables from
// data/; check that the results file can be saved into results/, that the
// results fit in memory, and whether the post-processing script is there;
// open the run's journal (results/<output>.journal) or, with --resume, read
// it back; run the repetitions still to do in one parallel region with a
// progress bar, appending every finished row to the journal; print the
// elapsed time and a note for what the repetitions met; save the results
// table into results/ and remove the journal; write the metadata
// (results/<stem>.json); start the post-processing script in R/, as
// "Rscript energy_estimator.R" for the program's default results file and
// "Rscript energy_estimator.R NAME" for any other, and note a failure of it.
//
// Exit status: 0 success; 1 the run cannot start: the layout, an input
// table, the results target, the memory or the journal (nothing written);
// 2 usage error (nothing read or written); 3 the results file could not be
// saved (the table went to a fallback file whose path is printed; the journal
// stays); 4 a repetition failed (the finished rows stay in the journal);
// 128 + the signal (130, 143, 129) when SIGINT, SIGTERM or SIGHUP stopped the
// run (the finished rows stay in the journal). The post-processing never
// changes it. What ends the run before it starts is thrown as a run_error
// (records/run_error.hpp) and printed here with its status; a usage error's
// message ends with the usage text. An exception nothing else catches (running out of memory, say)
// ends the run with one line naming it and where the finished rows are, and
// status 1 before the repetitions start (a fresh journal is removed), 3 after.
#pragma once

#include "cli/options.hpp"
#include "driver/postprocess.hpp"
#include "driver/region.hpp"
#include "records/run_error.hpp"


// The exit statuses are in records/run_error.hpp.

// Keeps the memory that repetitions free for the next ones instead of
// handing it back to the system (run_program calls it; so does anything
// else that runs repetitions and cares about their speed).
void keep_freed_memory();

// Runs the program `program` whose repetitions are computed by `body`.
// Returns the exit status.
int run_program(const program_settings& program, const repetition_body& body, int argc,
                const char* const argv[]);
