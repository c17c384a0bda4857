#include "driver/stop_signals.hpp"

#include <csignal>
#include <initializer_list>
#include <unistd.h>

namespace {

std::atomic<int> first_signal{0};
std::atomic<bool> requested{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

extern "C" void on_stop_signal(int signal)
{
  int none = 0;
  if (!first_signal.compare_exchange_strong(none, signal) && signal == SIGINT) ::_exit(128 + SIGINT);
  requested.store(true);
}

}  // namespace

void install_stop_signals()
{
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

int stop_signal() { return first_signal.load(); }

const std::atomic<bool>& stop_requested() { return requested; }

const char* signal_name(int signal)
{
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "";
  }
}
