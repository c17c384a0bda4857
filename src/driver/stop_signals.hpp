// Stopping a run cleanly on SIGINT, SIGTERM and SIGHUP.
//
// The handler only records the first signal (an atomic store): the workers
// start no new repetition once it is set, and the driver saves and reports
// after the parallel region. A second SIGINT ends the process at once with
// status 130 (_exit; the journal holds only whole lines or a cut last one).
// SIGPIPE is ignored, so a closed standard output ends only the progress
// display, not the run.
#pragma once

#include <atomic>

void install_stop_signals();

// The first stop signal received, or 0.
int stop_signal();

// Set by the handler; the parallel region polls it.
const std::atomic<bool>& stop_requested();

// "SIGINT", "SIGTERM", "SIGHUP".
const char* signal_name(int signal);
