#include "driver/sweep.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

#include "records/checksum.hpp"
#include "records/metadata.hpp"
#include "driver/preflight.hpp"

namespace {

std::string stem(const std::string& output)
{
  const bool csv = output.size() > 4 && output.compare(output.size() - 4, 4, ".csv") == 0;
  return csv ? output.substr(0, output.size() - 4) : output;
}

// The whole number under `key`, within 0 .. `limit`. Throws otherwise.
std::uint64_t whole(const nlohmann::json& j, const char* key, std::uint64_t limit)
{
  const nlohmann::json& v = j.at(key);
  if (!v.is_number_unsigned() || v.get<std::uint64_t>() > limit) throw std::invalid_argument(key);
  return v.get<std::uint64_t>();
}

// The header a finished run's metadata describes. Throws on a missing or
// mistyped key.
journal_header header_of_metadata(const nlohmann::json& j)
{
  journal_header h;
  h.program = j.at("program").get<std::string>();
  h.version = j.at("version").get<std::string>();
  const std::string seed = j.at("seed").get<std::string>();
  if (seed.empty() || seed.size() > 20 || seed.find_first_not_of("0123456789") != std::string::npos) {
    throw std::invalid_argument("seed");
  }
  h.seed = std::stoull(seed);  // throws beyond 64 bits
  h.first_repetition = whole(j, "first_repetition", std::numeric_limits<std::uint64_t>::max());
  h.repetitions = static_cast<int>(whole(j, "repetitions_requested", std::numeric_limits<int>::max()));
  h.settings = j.at("settings").get<settings_map>();
  for (const auto& [name, sum] : j.at("input_tables").items()) {
    h.input_tables[name] = sum.is_null() ? std::nullopt : std::optional<std::string>(sum.get<std::string>());
  }
  return h;
}

std::string joined(const std::vector<std::string>& parts)
{
  std::string text;
  for (const std::string& p : parts) text += (text.empty() ? "" : ", ") + p;
  return text;
}

// Why a run of `had` is not one of `today`, in a few words, or "".
std::string other_inputs(const journal_header& had, const journal_header& today)
{
  std::vector<std::string> tables;
  std::vector<std::string> others;
  for (const header_difference& d : header_differences(had, today)) {
    if (!d.table.empty()) {
      tables.push_back(d.table);
    } else if (d.field == "the settings") {
      std::vector<std::string> names;
      for (const auto& [name, value] : today.settings) {
        const auto it = had.settings.find(name);
        if (it == had.settings.end() || it->second != value) names.push_back(name);
      }
      others.push_back(names.empty() ? "other settings" : "other settings: " + joined(names));
    } else {
      others.push_back("another " + d.field.substr(4) + " (" + d.had + ")");
    }
  }
  if (!tables.empty()) others.push_back("other input tables: " + joined(tables));
  return others.empty() ? "" : "made with " + joined(others);
}

std::size_t lines_in(const std::string& text)
{
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n + (!text.empty() && text.back() != '\n');
}

}  // namespace

std::string point_file(const std::string& output, std::size_t k)
{
  return stem(output) + "." + std::to_string(k) + ".csv";
}

std::string sweep_table_file(const std::string& output) { return stem(output) + ".sweep.csv"; }

std::string sweep_lock_file(const std::string& output) { return stem(output) + ".sweep.lock"; }

std::string sweep_table(const std::vector<sweep_axis>& axes, const std::vector<sweep_point>& points,
                        const std::string& output)
{
  std::string text = "point,file";
  for (const sweep_axis& a : axes) text += "," + a.name;
  text += "\n";
  for (std::size_t k = 0; k < points.size(); ++k) {
    text += std::to_string(k) + "," + point_file(output, k);
    for (const std::string& v : points[k].values)
      text += "," + (v.find(',') != std::string::npos ? "\"" + v + "\"" : v);
    text += "\n";
  }
  return text;
}

std::string sweep_size_text(const std::vector<sweep_axis>& axes, const std::string& output)
{
  std::size_t points = 1;
  std::string factors;
  for (const sweep_axis& a : axes) {
    points *= a.values.size();  // the options bound the product
    factors += (factors.empty() ? "" : " x ") + std::to_string(a.values.size()) +
               (factors.empty() ? " values of " : " of ") + a.name;
  }
  const std::string each = stem(output) + ".<k>.csv";
  return "sweep of " + std::to_string(points) + " points (" + factors + "): " +
         std::to_string(2 * points + 1) + " files in results/, " + each + " and " +
         metadata_file_name(each) + " for k = 0 to " + std::to_string(points - 1) + ", and " +
         sweep_table_file(output);
}

sweep_lock::~sweep_lock()
{
  if (fd_ >= 0) ::close(fd_);
}

void sweep_lock::take(const std::string& dir, const std::string& output)
{
  const std::string path = dir + "/" + sweep_lock_file(output);
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    const std::string why = std::strerror(errno);
    // The results directory's own problem, worded as the checks word it.
    check_results_targets(dir, {sweep_table_file(output)});
    throw run_error("cannot open the sweep's lock file " + path + ": " + why);
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const std::string why = errno == EWOULDBLOCK ? "" : std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    if (!why.empty()) throw run_error("cannot lock " + path + ": " + why);
    throw run_error("another sweep on " + dir + "/" + stem(output) + ".* is running (it holds " + path +
                    "); wait until it ends, or sweep into another -o");
  }
}

point_verdict finished_point(const std::string& dir, const std::string& output, const journal_header& today,
                             const precision_request& precision)
{
  const std::string results_path = dir + "/" + output;
  const std::string metadata_name = metadata_file_name(output);
  const bool has_results = ::access(results_path.c_str(), F_OK) == 0;
  std::ifstream in(dir + "/" + metadata_name);
  if (!in) return {point_verdict::action::run, has_results ? "its metadata " + metadata_name + " is missing" : ""};
  nlohmann::json meta;
  journal_header had;
  try {
    meta = nlohmann::json::parse(in);
    had = header_of_metadata(meta);
  } catch (const std::exception&) {
    return {point_verdict::action::run, "its metadata " + metadata_name + " is unreadable"};
  }
  if (meta.value("status", "") != "complete") return {point_verdict::action::run, "its last run did not complete"};
  if (std::string why = other_inputs(had, today); !why.empty()) return {point_verdict::action::run, why};
  std::string precision_why;  // a precision run holds the rows where its targets were met
  const std::optional<std::uint64_t> rows_today = rows_expected(meta, precision, today.repetitions, precision_why);
  if (!rows_today) return {point_verdict::action::run, precision_why};
  if (!has_results) return {point_verdict::action::run, "its results file is missing"};
  const nlohmann::json sum = meta.value("results_file_sha256", nlohmann::json());
  const nlohmann::json rows = meta.value("results_file_rows", nlohmann::json());
  if (!sum.is_string() || !rows.is_number_unsigned()) {
    return {point_verdict::action::run, "its metadata records no checksum of its results file"};
  }

  std::ifstream file(results_path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (!file) {
    return {point_verdict::action::refuse, "cannot resume the sweep: cannot read " + results_path};
  }
  const std::string text = bytes.str();
  const std::string has_sum = sha256_of_text(text);
  const std::size_t has_rows = lines_in(text);
  const auto expected_rows = rows.get<std::uint64_t>();
  if (has_sum == sum.get<std::string>() && has_rows == expected_rows &&
      expected_rows == *rows_today) {
    return {point_verdict::action::keep, ""};
  }
  return {point_verdict::action::refuse,
          "cannot resume the sweep: " + results_path + " does not hold what its metadata " + metadata_name +
              " records (" + std::to_string(expected_rows) + " rows, SHA-256 " + sum.get<std::string>() +
              "; the file has " + std::to_string(has_rows) + " rows, SHA-256 " + has_sum +
              "); restore the file, or remove it and its metadata to run the point again"};
}
