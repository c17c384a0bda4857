// The shared driver with a test body: row = (index, first span, first g,
// NaN, inf, -0.0, seed or 1/3). The repetition named by QUARNEL_PROBE_FAIL_AT
// throws; repetition 0 creates the directory QUARNEL_PROBE_MKDIR, if set (a
// change to the layout while the run goes on); every repetition takes
// QUARNEL_PROBE_MS milliseconds (default 0).
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include "driver/driver.hpp"

int main(int argc, char* argv[])
{
  const program_settings program{"quarnel", 120, "inequality.csv", "driver probe"};
  const char* fail_at = std::getenv("QUARNEL_PROBE_FAIL_AT");
  const long long failing = fail_at ? std::atoll(fail_at) : -1;
  const char* mkdir_path = std::getenv("QUARNEL_PROBE_MKDIR");
  const char* ms = std::getenv("QUARNEL_PROBE_MS");
  const std::chrono::milliseconds duration(ms ? std::atoll(ms) : 0);
  const repetition_body body = [failing, mkdir_path, duration](const repetition_inputs& in,
                                                               const repetition_id& id) {
    std::this_thread::sleep_for(duration);
    if (static_cast<long long>(id.index) == failing) throw std::runtime_error("forced failure");
    if (mkdir_path != nullptr && id.index == 0) std::filesystem::create_directories(mkdir_path);
    return results_row{static_cast<double>(id.index), in.span(0, 1), in.g[0],
                       std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity(), -0.0,
                       id.seed ? static_cast<double>(*id.seed) : 1.0 / 3.0};
  };
  return run_program(program, body, argc, argv);
}
