#include "records/metadata.hpp"

#include <ctime>
#include <nlohmann/json.hpp>
#include <unistd.h>

using json = nlohmann::json;

namespace {

// A 64-bit count or index as a JSON number where every reader holds it
// exactly (up to 2^53, the doubles' integers), else as a decimal string.
json exact(std::uint64_t value)
{
  constexpr std::uint64_t doubles_exact = std::uint64_t{1} << 53;
  return value <= doubles_exact ? json(value) : json(std::to_string(value));
}

// The rows depend on the standard library's algorithms for
// std::generate_canonical and std::normal_distribution (loops/seeds.hpp
// refuses any other library), so the metadata names the one compiled in.
#define QUARNEL_TEXT(x) #x
#define QUARNEL_NUMBER_TEXT(x) QUARNEL_TEXT(x)
#if defined(__clang__)
constexpr const char* compiler_text = "clang++ " __clang_version__;
#elif defined(__GNUC__)
constexpr const char* compiler_text = "g++ " __VERSION__;
#else
constexpr const char* compiler_text = "unknown";
#endif
#if defined(__GLIBCXX__)
constexpr const char* standard_library_text =
    "libstdc++ " QUARNEL_NUMBER_TEXT(_GLIBCXX_RELEASE) " (" QUARNEL_NUMBER_TEXT(__GLIBCXX__) ")";
#else
constexpr const char* standard_library_text = "unknown";
#endif
#undef QUARNEL_NUMBER_TEXT
#undef QUARNEL_TEXT

}  // namespace

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
    failures.push_back({{"repetition", exact(f.index)}, {"message", f.message}});
  }
  const double elapsed =
      std::chrono::duration_cast<std::chrono::duration<double>>(r.end - r.start).count();
  json j = {{"program", r.run.program},
            {"version", r.run.version},
            {"command_line", r.command_line},
            {"seed", std::to_string(r.run.seed)},
            {"seed_source", r.seed_source},
            {"first_repetition", exact(r.run.first_repetition)},
            {"repetitions_requested", r.run.repetitions},
            {"repetitions_done", r.repetitions_done},
            {"resumed_rows", r.resumed_rows},
            {"threads", r.threads},
            {"settings", r.run.settings},
            {"input_tables", tables},
            {"input_tables_sha256", tables},
            {"start_time", utc_iso8601(r.start)},
            {"end_time", utc_iso8601(r.end)},
            {"elapsed_seconds", elapsed},
            {"host", r.host},
            {"results_file", r.results_file},
            {"results_file_sha256", r.results_sha256 ? json(*r.results_sha256) : json(nullptr)},
            {"results_file_rows", r.results_rows ? exact(*r.results_rows) : json(nullptr)},
            {"status", r.status},
            {"signal", r.signal},
            {"failures", failures},
            {"rank_deficient_span_fits", exact(r.rank_deficient_span_fits)},
            {"message", r.message},
            {"compiler", compiler_text},
            {"standard_library", standard_library_text},
            {"precision", r.precision}};
  add_cost_json(j, r.cost);  // driver/run_report.hpp
  // Invalid UTF-8 in an argument or a message is replaced rather than
  // refused; the results name is refused before the run unless valid UTF-8.
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
