#include "cli/options.hpp"

#include <algorithm>
#include <cctype>
#include <boost/program_options.hpp>
#include <cstdio>
#include <limits>
#include <map>
#include <sstream>

#include "records/tables.hpp"

namespace po = boost::program_options;

namespace {

po::options_description describe_options()
{
  po::options_description d("Options");
  d.add_options()
    ("repetitions,n", po::value<std::string>()->value_name("N"),
     "number of repetitions, one row each (default: the full run)")
    ("output,o", po::value<std::string>()->value_name("NAME"),
     "results file name inside results/ (a plain file name ending in .csv)")
    ("seed,s", po::value<std::string>()->value_name("S"),
     "the run seed, 0 to 2^64-1 (default: drawn at random and reported): row j is "
     "repetition F + j of seed S")
    ("first-repetition", po::value<std::string>()->value_name("F"),
     "index of the first repetition of this piece (default 0; needs --seed)")
    ("resume", "continue the interrupted run on this output from its journal")
    ("no-postprocess", "do not start the post-processing script")
    ("set", po::value<std::vector<std::string>>()->value_name("NAME=VALUE"),
     "a model setting (repeatable; the settings are listed below)")
    ("scenario", po::value<std::string>()->value_name("FILE"),
     "model settings from FILE, one NAME = VALUE a line, # comments (--set wins)")
    ("sweep", po::value<std::vector<std::string>>()->value_name("NAME=V1,V2,..."),
     "run the model at each value (repeatable: every combination); values are "
     "separated by ';' when one holds a comma (span=A,B;A,B)")
    ("max-points", po::value<std::string>()->value_name("N"),
     "the most points a sweep may have (default 10000)")
    ("precision", po::value<std::vector<std::string>>()->value_name("NAME=HALF_WIDTH"),
     "run until the 95 % interval of the mean of results column NAME is within "
     "+-HALF_WIDTH, or until -n rows (repeatable)")
    ("precision-block", po::value<std::string>()->value_name("B"),
     "rows between precision checks (default 1000, at least 2)")
    ("help,h", "print this help and exit")
    ("version", "print the version and exit")
    ("print-results-file", "print the default results file name (inside results/) and exit");
  return d;
}

// A whole decimal number without sign, spaces or excess, up to `limit`.
std::optional<std::uint64_t> parse_unsigned(const std::string& text, std::uint64_t limit)
{
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Why `name` is not valid UTF-8 (no overlong form, surrogate or code point
// above U+10FFFF), or "". The metadata and the post-processing carry the
// name as text, so it must be text exactly.
std::string utf8_problem(const std::string& name)
{
  const auto byte = [&name](std::size_t k) -> unsigned {
    return k < name.size() ? static_cast<unsigned char>(name[k]) : 0u;
  };
  for (std::size_t i = 0; i < name.size();) {
    const unsigned lead = byte(i);
    std::size_t length = lead < 0x80                   ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    // The second byte's range rules out overlong forms, surrogates and code
    // points above U+10FFFF; the others are continuation bytes.
    const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (length > 1 && (byte(i + 1) < low || byte(i + 1) > high)) length = 0;
    for (std::size_t k = 2; k < length; ++k) {
      if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) length = 0;
    }
    if (length == 0) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", lead);
      return "--output takes a name in valid UTF-8; byte " + std::to_string(i + 1) + " (" + hex +
             ") begins no valid character";
    }
    i += length;
  }
  return "";
}

[[noreturn]] void usage_error(const std::string& why)
{
  throw run_error(why, exit_usage_error);
}

// NAME=VALUE split at the first '='.
std::optional<std::pair<std::string, std::string>> name_and_value(const std::string& text)
{
  const auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return std::nullopt;
  return std::make_pair(text.substr(0, eq), text.substr(eq + 1));
}

std::vector<std::string> split(const std::string& text, char separator)
{
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const auto end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// The axes of --sweep (`texts`, as given) into `o`, after the settings of
// --scenario and --set (`set_on_line` holds those of --set). Throws the usage
// error, also for a grid of more points than --max-points allows.
void read_sweep(const std::vector<std::string>& texts,
                const std::vector<std::pair<std::string, std::string>>& set_on_line,
                const program_settings& program, run_options& o)
{
  for (const std::string& text : texts) {
    const auto nv = name_and_value(text);
    if (!nv) usage_error("--sweep takes NAME=V1,V2,..., got '" + echoed(text) + "'");
    for (const sweep_axis& a : o.sweep) {
      if (a.name == nv->first) usage_error("--sweep " + echoed(a.name) + " is given twice");
    }
    for (const auto& [name, value] : set_on_line) {
      if (name == nv->first) usage_error(echoed(name) + " is both set and swept");
    }
    sweep_axis axis{nv->first, split(nv->second, nv->second.find(';') != std::string::npos ? ';' : ',')};
    std::map<std::string, std::string> seen;  // each value as the settings show it -> as given
    for (const std::string& v : axis.values) {
      model_settings probe = o.settings;
      apply_setting(probe, axis.name, v, program.draws_exponent, "--sweep ");
      for (const auto& [name, shown] : setting_values(probe, program.draws_exponent)) {
        if (name != axis.name) continue;
        const auto [it, added] = seen.emplace(shown, v);
        if (!added) {
          usage_error("--sweep " + axis.name + " gives the value " + shown + " twice" +
                 (it->second == v ? "" : " (as '" + it->second + "' and '" + v + "')"));
        }
      }
    }
    o.sweep.push_back(std::move(axis));
  }
  // The grid's size from the axes alone, before any point is made.
  std::uint64_t points = 1;
  bool beyond = false;
  std::string factors;
  for (const sweep_axis& a : o.sweep) {
    const std::uint64_t n = a.values.size();
    beyond = beyond || points > std::numeric_limits<std::uint64_t>::max() / n;
    points = beyond ? points : points * n;
    factors += (factors.empty() ? "" : " x ") + std::to_string(n);
  }
  if (beyond || points > o.max_points) {
    usage_error("--sweep makes " + (beyond ? "more than 2^64" : std::to_string(points)) + " points (" +
           factors + " values), more than the " + std::to_string(o.max_points) +
           " allowed; --max-points N allows more");
  }
}

// The model settings of --scenario, --set and --sweep. Throws the usage error.
void read_settings(const po::variables_map& vm, const program_settings& program, run_options& o)
{
  const auto list = [&vm](const char* option) {
    return vm.count(option) ? vm[option].as<std::vector<std::string>>() : std::vector<std::string>{};
  };
  std::vector<std::pair<std::string, std::string>> from_line;
  for (const std::string& text : list("set")) {
    const auto nv = name_and_value(text);
    if (!nv) usage_error("--set takes NAME=VALUE, got '" + echoed(text) + "'");
    for (const auto& [name, value] : from_line) {
      if (name == nv->first) usage_error("--set " + echoed(name) + " is given twice");
    }
    from_line.push_back(*nv);
  }
  if (vm.count("scenario")) {
    const std::string file = vm["scenario"].as<std::string>();
    const auto lines = read_scenario(file);
    std::vector<std::string> seen;
    for (const scenario_line& l : lines) {
      const std::string where = file + " line " + std::to_string(l.line) + ": ";
      if (std::find(seen.begin(), seen.end(), l.name) != seen.end()) usage_error(where + echoed(l.name) + " is set twice");
      seen.push_back(l.name);
      apply_setting(o.settings, l.name, l.value, program.draws_exponent, where);
    }
  }
  for (const auto& [name, value] : from_line) {
    apply_setting(o.settings, name, value, program.draws_exponent, "--set ");
  }
  read_sweep(list("sweep"), from_line, program, o);
  if (o.resume && !o.seed && !o.sweep.empty()) {
    usage_error("--resume of a sweep needs --seed (the seed its points ran with)");
  }
}

// Why `name` cannot be the results file name, or "". Every file a run
// writes, renames or removes in results/ is named from the output NAME =
// <stem>.csv: NAME, NAME.journal, <stem>.json, a sweep's <stem>.<k>.csv (with
// their journals and <stem>.<k>.json), <stem>.sweep.csv and <stem>.sweep.lock,
// the post-processing's <stem>_summary.csv and <stem>_binned.csv, and any of
// them followed by ".tmp_" and a number while it is written. A stem that
// ends in none of ".<digits>", ".sweep", "_summary" and "_binned" can be read
// back off each of those names, so no two outputs share a file. The endings
// are compared without regard to case, for file systems that ignore it.
std::string output_name_problem(const std::string& name)
{
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto ends_with = [&lower](const std::string& tail) {
    return lower.size() >= tail.size() && lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
  };
  const std::string got = ", got '" + name + "'";
  if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".csv") != 0) {
    return "--output takes a file name ending in .csv (its journal and metadata are named after it)" + got;
  }
  lower.resize(lower.size() - 4);
  const std::string stem = name.substr(0, name.size() - 4);
  const std::size_t digits = lower.size() - (lower.find_last_not_of("0123456789") + 1);
  if (digits > 0 && digits < lower.size() && lower[lower.size() - digits - 1] == '.') {
    const std::string owner = stem.substr(0, stem.size() - digits - 1);
    return "--output " + name + " is the results file of point " + stem.substr(stem.size() - digits) +
           " of a sweep on " + owner + ".csv; choose a name whose part before .csv does not end in "
           "a dot and digits";
  }
  for (const char* tail : {".sweep", "_summary", "_binned"}) {
    if (!ends_with(tail)) continue;
    const std::string owner = stem.substr(0, stem.size() - std::string(tail).size());
    const std::string what = std::string(tail) == ".sweep" ? "the sweep table of a sweep on "
                                                           : "the post-processing's table of ";
    return "--output " + name + " is " + what + owner + ".csv; choose a name whose part before .csv "
           "does not end in " + tail;
  }
  return "";
}

// -n, -o, --seed, --first-repetition and --max-points into `o`. Throws the
// usage error.
void read_counts(const po::variables_map& vm, run_options& o)
{
  if (vm.count("repetitions")) {
    const auto n = parse_unsigned(vm["repetitions"].as<std::string>(), max_repetitions);
    if (!n || *n == 0) {
      usage_error("--repetitions takes a whole number from 1 to " +
                         std::to_string(max_repetitions) + ", got '" +
                         echoed(vm["repetitions"].as<std::string>()) + "'");
    }
    o.repetitions = static_cast<int>(*n);
    o.repetitions_given = true;
  }
  if (vm.count("output")) {
    const std::string name = vm["output"].as<std::string>();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos) {
      usage_error("--output takes a plain file name without '/', got '" + echoed(name) + "'");
    }
    if (const std::string problem = utf8_problem(name); !problem.empty()) usage_error(problem);
    if (const std::string problem = output_name_problem(name); !problem.empty()) {
      usage_error(problem);
    }
    o.output = name;
  }
  const std::uint64_t max64 = std::numeric_limits<std::uint64_t>::max();
  if (vm.count("seed")) {
    const auto s = parse_unsigned(vm["seed"].as<std::string>(), max64);
    if (!s) {
      usage_error("--seed takes a whole number from 0 to " + std::to_string(max64) +
                         ", got '" + echoed(vm["seed"].as<std::string>()) + "'");
    }
    o.seed = *s;
  }
  if (vm.count("first-repetition")) {
    if (!o.seed && !o.resume) usage_error("--first-repetition needs --seed");
    const auto f = parse_unsigned(vm["first-repetition"].as<std::string>(), max64);
    // A resumed run without -n takes its count from the journal, whose
    // header keeps F + N within 64 bits (and a different F is refused):
    // here one row is the least. A sweep's points without a journal run -n.
    const int rows = o.resume && !o.repetitions_given && vm.count("sweep") == 0 ? 1 : o.repetitions;
    if (!f || *f > max64 - static_cast<std::uint64_t>(rows)) {
      usage_error("--first-repetition takes a whole number such that F + N fits in 64 bits, "
                         "got '" + echoed(vm["first-repetition"].as<std::string>()) + "'");
    }
    o.first_repetition = *f;
    o.first_repetition_given = true;
  }
  if (vm.count("max-points")) {
    const auto m = parse_unsigned(vm["max-points"].as<std::string>(), max_sweep_points);
    if (!m || *m == 0) {
      usage_error("--max-points takes a whole number from 1 to " + std::to_string(max_sweep_points) +
                         ", got '" + vm["max-points"].as<std::string>() + "'");
    }
    o.max_points = *m;
  }
}

// The precision targets and block. Throws the usage error.
void read_precision(const po::variables_map& vm, precision_request& request)
{
  if (vm.count("precision")) {
    for (const std::string& text : vm["precision"].as<std::vector<std::string>>()) add_precision_target(text, request);
  }
  if (vm.count("precision-block") == 0) return;
  if (!request.used()) usage_error("--precision-block needs --precision");
  set_precision_block(vm["precision-block"].as<std::string>(), request);
}

}  // namespace

std::string usage_text(const program_settings& program)
{
  std::ostringstream out;
  out << "Usage: " << program.name << " [options]\n"
      << program.description << "\n"
      << "Start it from the executables/ directory beside data/, results/ and R/.\n\n"
      << describe_options() << "\n"
      << settings_help(program.draws_exponent)
      << "A sweep writes results/<stem>.<k>.csv for point k and the table results/<stem>.sweep.csv.\n"
      << "\nThe number of worker threads follows OMP_NUM_THREADS (default: all cores).\n";
  return out.str();
}

parsed_command parse_options(int argc, const char* const argv[], const program_settings& program)
{
  po::variables_map vm;
  try {
    const po::positional_options_description no_positionals;
    po::store(po::command_line_parser(argc, argv)
                  .options(describe_options())
                  .positional(no_positionals)
                  .run(),
              vm);
    po::notify(vm);
  } catch (const po::error& e) {
    usage_error(echoed(e.what(), 200));
  }

  parsed_command r;
  if (vm.count("help")) {
    r.text = usage_text(program);
    return r;
  }
  if (vm.count("version")) {
    r.text = program.name + " " + QUARNEL_VERSION + "\n";
    return r;
  }
  if (vm.count("print-results-file")) {
    r.text = program.results_file + "\n";
    return r;
  }

  run_options& o = r.options;
  o.repetitions = program.repetitions;
  o.output = program.results_file;
  o.postprocess = vm.count("no-postprocess") == 0;
  o.resume = vm.count("resume") != 0;
  read_counts(vm, o);
  read_settings(vm, program, o);
  // --precision and --precision-block (cli/precision_request.hpp).
  read_precision(vm, o.precision);
  return r;
}
