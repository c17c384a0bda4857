#include "records/run_report.hpp"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <sys/resource.h>
#include <unistd.h>

namespace {

double seconds_of(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

std::string number(double value, int digits = 3)
{
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  return text;
}

}  // namespace

double core_seconds_used()
{
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
}

std::string clock_text(double seconds)
{
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e9) return "?";
  const auto whole = static_cast<std::uint64_t>(std::llround(seconds));
  char text[48];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02u:%02u", static_cast<unsigned long long>(whole / 3600),
                  static_cast<unsigned>(whole / 60 % 60), static_cast<unsigned>(whole % 60));
  } else {
    std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(whole / 60), static_cast<unsigned>(whole % 60));
  }
  return text;
}

std::string status_text(std::uint64_t rows_done, std::uint64_t rows_total, std::uint64_t rows_run,
                        double elapsed_seconds)
{
  const double rate = elapsed_seconds > 0 ? static_cast<double>(rows_run) / elapsed_seconds : 0;
  const std::uint64_t left = rows_total > rows_done ? rows_total - rows_done : 0;
  return "rows " + std::to_string(rows_done) + " of " + std::to_string(rows_total) + ", " + number(rate) +
         " repetitions/s, elapsed " + clock_text(elapsed_seconds) + ", left " +
         (rows_run == 0 || rate <= 0 ? std::string("?") : clock_text(static_cast<double>(left) / rate));
}

std::string cost_text(const run_cost& cost)
{
  std::string text = "run cost: " + std::to_string(cost.rows) + " rows in " + number(cost.wall_seconds) + " s";
  if (cost.rows == 0 || !(cost.wall_seconds > 0)) return text;
  const double rows = static_cast<double>(cost.rows);
  return text + ", " + number(rows / cost.wall_seconds) + " repetitions/s, " + number(cost.core_seconds / rows) +
         " core-seconds per repetition";
}

void add_cost_json(nlohmann::json& metadata, const run_cost& cost)
{
  const double rows = static_cast<double>(cost.rows);
  const bool ran = cost.rows > 0;
  metadata["repetitions_run"] = cost.rows;
  metadata["run_seconds"] = cost.wall_seconds;
  metadata["repetitions_per_second"] =
      ran && cost.wall_seconds > 0 ? nlohmann::json(rows / cost.wall_seconds) : nlohmann::json(nullptr);
  metadata["core_seconds"] = cost.core_seconds;
  metadata["core_seconds_per_repetition"] = ran ? nlohmann::json(cost.core_seconds / rows) : nlohmann::json(nullptr);
}

status_line::status_line()
    : terminal_(::isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()), last_(start_)
{
}

void status_line::row_finished(std::uint64_t rows_done, std::uint64_t rows_total)
{
  ++rows_run_;
  if (!terminal_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::seconds(1)) return;
  last_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  std::cerr << "\r" << status_text(rows_done, rows_total, rows_run_, elapsed) << "\033[K" << std::flush;
  written_ = true;
}

void status_line::clear()
{
  if (!written_) return;
  std::cerr << "\r\033[K" << std::flush;
  written_ = false;
}
