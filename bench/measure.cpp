#include "measure.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <sys/resource.h>
#include <unistd.h>

double seconds_since(clock_type::time_point start)
{
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

long peak_kb()
{
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double seconds_of(const timeval& t)
{
  return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec);
}

cpu_usage cpu_now()
{
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {seconds_of(usage.ru_utime), seconds_of(usage.ru_stime), static_cast<double>(usage.ru_minflt)};
}

double median(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

input_tables tables_from(const std::string& dir)
{
  if (chdir(dir.c_str()) != 0) throw std::runtime_error("cannot enter the data directory " + dir);
  input_tables t = load_tables(".");
  try {
    check_span_table(t.span, dir + "/" + span_file);
    check_g_table(t.g, dir + "/" + g_file);
  } catch (const run_error& e) {
    throw std::runtime_error(std::string("the input tables are unusable: ") + e.what());
  }
  return t;
}

void print_row(const results_row& row)
{
  std::printf("row");
  for (double v : row) std::printf(" %.17g", v);
  std::printf("\n");
}
