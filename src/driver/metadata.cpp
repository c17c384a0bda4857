#include "driver/metadata.hpp"

#include <ctime>
#include <nlohmann/json.hpp>
#include <unistd.h>

using json = nlohmann::json;

std::string metadata_file_name(const std::string& results_file)
{
  const std::size_t dot = results_file.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? results_file : results_file.substr(0, dot);
  const std::string name = stem + ".json";
  return name == results_file ? results_file + ".json" : name;
}

std::string utc_iso8601(std::chrono::system_clock::time_point t)
{
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string host_name()
{
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string metadata_text(const run_record& r)
{
  json tables = json::object();
  for (const auto& [name, sum] : r.run.input_tables) tables[name] = sum ? json(*sum) : json(nullptr);
  json failures = json::array();
  for (const repetition_failure& f : r.failures) {
    failures.push_back({{"repetition", f.index}, {"message", f.message}});
  }
  const double elapsed =
      std::chrono::duration_cast<std::chrono::duration<double>>(r.end - r.start).count();
  json j = {{"program", r.run.program},
            {"version", r.run.version},
            {"command_line", r.command_line},
            {"seed", std::to_string(r.run.seed)},
            {"seed_source", r.seed_source},
            {"first_repetition", r.run.first_repetition},
            {"repetitions_requested", r.run.repetitions},
            {"repetitions_done", r.repetitions_done},
            {"resumed_rows", r.resumed_rows},
            {"threads", r.threads},
            {"settings", r.run.settings},
            {"input_tables", tables},
            {"start_time", utc_iso8601(r.start)},
            {"end_time", utc_iso8601(r.end)},
            {"elapsed_seconds", elapsed},
            {"host", r.host},
            {"results_file", r.results_file},
            {"results_file_sha256", r.results_sha256 ? json(*r.results_sha256) : json(nullptr)},
            {"results_file_rows", r.results_rows ? json(*r.results_rows) : json(nullptr)},
            {"status", r.status},
            {"signal", r.signal},
            {"failures", failures},
            {"rank_deficient_span_fits", r.rank_deficient_span_fits},
            {"message", r.message}};
  // Invalid UTF-8 in a name or message is replaced rather than refused.
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
