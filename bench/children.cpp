#include "children.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

#include <sys/resource.h>
#include <unistd.h>

#include "measure.hpp"

std::string quoted(const std::string& s)
{
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

namespace {

// CPU seconds the whole machine has spent busy so far (every core, from
// /proc/stat; time stolen by a hypervisor counts as busy), or NaN.
double machine_busy_seconds()
{
  std::ifstream in("/proc/stat");
  std::string cpu;
  double user, nice, system, idle, iowait, irq, softirq, steal;
  if (!(in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal) || cpu != "cpu") {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return (user + nice + system + irq + softirq + steal) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds used so far by the children that have been waited for.
double children_cpu_seconds()
{
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
}

}  // namespace

child_report run_child(const std::string& self, const std::string& arguments,
                       const std::string& environment)
{
  const std::string command = (environment.empty() ? "" : environment + " ") + quoted(self) + " " + arguments;
  const double busy_before = machine_busy_seconds();
  const double children_before = children_cpu_seconds();
  const auto start = clock_type::now();
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot start " + command);
  std::string text;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  if (pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
  const double wall = seconds_since(start);
  const double others = machine_busy_seconds() - busy_before - (children_cpu_seconds() - children_before);

  child_report report;
  report.value["others_cores"] = std::max(0.0, others / wall);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key == "rep") {
      std::size_t r;
      double v;
      in >> r >> v;
      report.repetition_seconds.push_back(v);
    } else if (key == "row") {
      results_row row{};
      for (double& v : row) in >> v;
      report.rows.push_back(row);
    } else if (key == "stage") {
      std::string name;
      double v;
      in >> name >> v;
      report.value["stage " + name] = v;
    } else {
      double v;
      in >> v;
      report.value[key] = v;
    }
  }
  return report;
}

double row_mismatch(const std::vector<results_row>& x, const std::vector<results_row>& y)
{
  if (x.size() != y.size() || x.empty()) return std::numeric_limits<double>::infinity();
  double worst = 0.0;
  for (std::size_t r = 0; r < x.size(); ++r) {
    for (int c = 0; c < results_columns; ++c) {
      const double u = x[r][c], v = y[r][c];
      if (std::isnan(u) && std::isnan(v)) continue;
      if (c == 0 || c == 3 || c == 6) {
        if (u != v) return std::numeric_limits<double>::infinity();
      } else {
        const double d = std::abs(u - v);
        if (d == 0.0) continue;
        worst = std::max(worst, d / (1e-9 * std::abs(v)));
      }
    }
  }
  return worst;
}

child_report merged(const std::vector<child_report>& runs)
{
  child_report m = runs.front();
  for (const char* key : {"seconds", "user_s", "system_s", "faults"}) {
    std::vector<double> v;
    for (const child_report& r : runs) v.push_back(r.value.at(key));
    m.value[key] = median(v);
    m.value[std::string(key) + "_min"] = *std::min_element(v.begin(), v.end());
    m.value[std::string(key) + "_max"] = *std::max_element(v.begin(), v.end());
  }
  for (const child_report& r : runs) {
    m.value["peak_kb"] = std::max(m.value["peak_kb"], r.value.at("peak_kb"));
    m.value["base_kb"] = std::min(m.value["base_kb"], r.value.at("base_kb"));
    m.value["others_cores"] = std::max(m.value["others_cores"], r.value.at("others_cores"));
    m.value["self_mismatch"] = std::max(m.value["self_mismatch"], row_mismatch(r.rows, m.rows));
  }
  for (std::size_t i = 0; i < m.repetition_seconds.size(); ++i) {
    std::vector<double> v;
    for (const child_report& r : runs) {
      if (i < r.repetition_seconds.size()) v.push_back(r.repetition_seconds[i]);
    }
    m.repetition_seconds[i] = median(v);
  }
  return m;
}
