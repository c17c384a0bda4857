#include "cli/settings.hpp"

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <sstream>
#include <unistd.h>

#include "loops/fast_repetition.hpp"
#include "model/base_fit.hpp"
#include "model/hierarchy.hpp"
#include "stats/inequality.hpp"
#include "stats/power_law_common.hpp"
#include "records/tables.hpp"

namespace {

constexpr int max_count = std::numeric_limits<int>::max();

// The allowed values of each setting, for help and error messages.
struct limits {
  double low;
  double high;
};
constexpr limits firms_limits{1, max_count};
constexpr limits largest_limits{2, max_count};
constexpr limits alpha_limits{1.1, 20};
constexpr limits exponent_limits{0, 4};
constexpr limits sigma_limits{0, 10};
constexpr limits span_a_limits{1e-9, 1e9};
constexpr limits span_b_limits{-5, 5};
constexpr limits top_limits{1e-9, 1};

std::string trim(const std::string& s)
{
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// A finite number making up the whole text (no spaces).
std::optional<double> number(const std::string& text)
{
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v)) return std::nullopt;
  return v;
}

bool within(double v, limits l) { return v >= l.low && v <= l.high; }

// Shortest text that reads back as the same double.
std::string show(double v)
{
  if (v == std::floor(v) && std::abs(v) < 1e15) return std::to_string(static_cast<long long>(v));
  for (int digits = 1; digits <= 17; ++digits) {
    std::ostringstream out;
    out.precision(digits);
    out << v;
    if (std::strtod(out.str().c_str(), nullptr) == v) return out.str();
  }
  return std::to_string(v);
}

std::string show(limits l) { return show(l.low) + " to " + show(l.high); }

std::optional<int> whole(const std::string& text, limits l)
{
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const long long v = std::stoll(text);
  if (v < l.low || v > l.high) return std::nullopt;
  return static_cast<int>(v);
}

// "LOW:HIGH" or one value, each within `l`.
std::optional<drawn_setting> range_or_value(const std::string& text, limits l)
{
  const auto colon = text.find(':');
  if (colon == std::string::npos) {
    const auto v = number(text);
    if (!v || !within(*v, l)) return std::nullopt;
    return drawn_setting{drawn_setting::fixed, *v, *v};
  }
  const auto lo = number(text.substr(0, colon));
  const auto hi = number(text.substr(colon + 1));
  if (!lo || !hi || !within(*lo, l) || !within(*hi, l) || *lo > *hi) return std::nullopt;
  return drawn_setting{drawn_setting::range, *lo, *hi};
}

std::string show(const drawn_setting& d)
{
  switch (d.kind) {
    case drawn_setting::range: return show(d.low) + ":" + show(d.high);
    case drawn_setting::fixed: return show(d.low);
    case drawn_setting::table: return "table";
  }
  return "";
}

std::string allowed(const std::string& name, bool draws_exponent)
{
  if (name == "firms") return "a whole number from 1 to " + std::to_string(max_count);
  if (name == "largest_firm") return "a whole number from 2 to " + std::to_string(max_count);
  if (name == "alpha") return "a range LOW:HIGH or one value, within " + show(alpha_limits);
  if (name == "exponent") {
    return draws_exponent
               ? "a range LOW:HIGH or one value within " + show(exponent_limits) + ", or 'table'"
               : "one value from " + show(exponent_limits) +
                     " (this program draws no exponent; a range or 'table' needs quarnel)";
  }
  if (name == "sigma") return "'bootstrap' or one value from " + show(sigma_limits);
  if (name == "span") {
    return "'bootstrap' or A,B with A from " + show(span_a_limits) + " and B from " +
           show(span_b_limits);
  }
  if (name == "top_fraction") return "a number from " + show(top_limits);
  return "";
}

const char* meaning(const std::string& name)
{
  if (name == "firms") return "firms per economy, also the sample size";
  if (name == "largest_firm") return "largest firm size (the size sampler's table size)";
  if (name == "alpha") return "firm-size exponent, drawn per repetition from a range, or fixed";
  if (name == "exponent") return "power-to-pay exponent";
  if (name == "sigma") return "log-normal shape of the pay noise";
  if (name == "span") return "span-of-control parameters a, b (span a*exp(b*k))";
  return "share of the largest members in the top share";
}

}  // namespace

const std::vector<std::string>& setting_names()
{
  static const std::vector<std::string> names{"firms", "largest_firm", "alpha", "exponent",
                                              "sigma", "span", "top_fraction"};
  return names;
}

namespace {

// Why `text` cannot set `name` (then `s` is unchanged), or "" after setting it.
std::string setting_problem(model_settings& s, const std::string& name, const std::string& text,
                            bool draws_exponent)
{
  // Built only when needed: a large sweep applies a value per point.
  const auto bad = [&] { return name + " takes " + allowed(name, draws_exponent) + ", got '" + echoed(text) + "'"; };
  if (name == "firms" || name == "largest_firm") {
    const auto v = whole(text, name == "firms" ? firms_limits : largest_limits);
    if (!v) return bad();
    (name == "firms" ? s.firms : s.largest_firm) = *v;
  } else if (name == "alpha") {
    const auto v = range_or_value(text, alpha_limits);
    if (!v) return bad();
    s.alpha = *v;
  } else if (name == "exponent") {
    if (text == "table" && draws_exponent) {
      s.exponent = drawn_setting{drawn_setting::table, 0, 0};
      return "";
    }
    const auto v = range_or_value(text, exponent_limits);
    if (!v || (!draws_exponent && v->kind != drawn_setting::fixed)) return bad();
    s.exponent = *v;
  } else if (name == "sigma") {
    if (text == "bootstrap") {
      s.sigma.reset();
      return "";
    }
    const auto v = number(text);
    if (!v || !within(*v, sigma_limits)) return bad();
    s.sigma = *v;
  } else if (name == "span") {
    if (text == "bootstrap") {
      s.span.reset();
      return "";
    }
    const auto comma = text.find(',');
    if (comma == std::string::npos) return bad();
    const auto a = number(text.substr(0, comma));
    const auto b = number(text.substr(comma + 1));
    if (!a || !b || !within(*a, span_a_limits) || !within(*b, span_b_limits)) return bad();
    s.span = std::array<double, 2>{*a, *b};
  } else if (name == "top_fraction") {
    const auto v = number(text);
    if (!v || !within(*v, top_limits)) return bad();
    s.top_fraction = *v;
  } else {
    std::string names;
    for (const std::string& n : setting_names()) names += (names.empty() ? "" : ", ") + n;
    return "unknown setting '" + echoed(name) + "' (the settings are " + names + ")";
  }
  return "";
}

}  // namespace

void apply_setting(model_settings& s, const std::string& name, const std::string& value,
                   bool draws_exponent, const std::string& context)
{
  if (std::string problem = setting_problem(s, name, value, draws_exponent); !problem.empty()) {
    throw run_error(context + problem, exit_usage_error);
  }
}

std::vector<std::pair<std::string, std::string>> setting_values(const model_settings& s,
                                                                bool draws_exponent)
{
  const drawn_setting own_exponent = draws_exponent ? default_exponent_range : default_fixed_exponent;
  return {{"firms", std::to_string(s.firms)},
          {"largest_firm", std::to_string(s.largest_firm)},
          {"alpha", show(s.alpha)},
          {"exponent", show(s.exponent.value_or(own_exponent))},
          {"sigma", s.sigma ? show(*s.sigma) : "bootstrap"},
          {"span", s.span ? show((*s.span)[0]) + "," + show((*s.span)[1]) : "bootstrap"},
          {"top_fraction", show(s.top_fraction)}};
}

std::string settings_text(const model_settings& s, bool draws_exponent)
{
  std::string text;
  for (const auto& [name, value] : setting_values(s, draws_exponent)) text += name + "=" + value + "\n";
  return text;
}

std::string settings_help(bool draws_exponent)
{
  std::ostringstream out;
  out << "Settings (--set NAME=VALUE, or NAME = VALUE lines in a --scenario file):\n";
  for (const auto& [name, value] : setting_values(model_settings{}, draws_exponent)) {
    out << "  " << name << std::string(name.size() < 14 ? 14 - name.size() : 1, ' ') << meaning(name)
        << "\n" << std::string(16, ' ') << "default " << value << "; " << allowed(name, draws_exponent)
        << "\n";
  }
  return out.str();
}

std::vector<scenario_line> read_scenario(const std::string& path)
{
  std::string text;
  try {
    text = read_input_file(path, "scenario file");
  } catch (const run_error& e) {
    throw run_error("cannot read the scenario file " + echoed(path, 4096) + ": " + e.what(), exit_usage_error);
  }
  const std::string byte_order_mark = "\xEF\xBB\xBF";  // as an editor may save UTF-8
  if (text.compare(0, byte_order_mark.size(), byte_order_mark) == 0) text.erase(0, byte_order_mark.size());
  std::vector<scenario_line> lines;
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    line = trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      throw run_error(path + " line " + std::to_string(number) + ": expected NAME = VALUE, got '" +
                      echoed(line) + "'", exit_usage_error);
    }
    lines.push_back({number, trim(line.substr(0, eq)), trim(line.substr(eq + 1))});
  }
  return lines;
}

double smallest_top_fraction(int firms)
{
  const std::size_t n = static_cast<std::size_t>(std::max(firms, 1));
  double f = 1.0 / static_cast<double>(n);
  while (top_count(n, f) < 1) f = std::nextafter(f, 2.0);
  while (top_count(n, std::nextafter(f, 0.0)) >= 1) f = std::nextafter(f, 0.0);
  return f;
}

namespace {

std::string measure_problem(const model_settings& s)
{
  if (s.firms < 2) {
    return "firms=" + std::to_string(s.firms) + " samples one member, whose Gini coefficients of "
           "power and pay are 0 in every row (use firms=2 or more)";
  }
  if (top_count(static_cast<std::size_t>(s.firms), s.top_fraction) == 0) {
    return "top_fraction=" + show(s.top_fraction) + " with firms=" + std::to_string(s.firms) +
           " leaves the top group empty (floor(firms * top_fraction) = 0), so both top shares "
           "would be 0 in every row (with firms=" + std::to_string(s.firms) +
           " use top_fraction=" + show(smallest_top_fraction(s.firms)) + " or more)";
  }
  if (s.span) {
    // Every firm sits on one level, its members all of power 1, when no
    // bottom level fills one member of the level above. The base fit (see
    // model/base_fit.hpp) gives bottom levels of at most max(2000000,
    // largest_firm) members, so none fills a span above that; and it gives
    // no bottom level, or one below 1, to a firm no larger than the size
    // implied by its smallest candidate bottom 0.02 (every larger candidate
    // implies a larger size), or to every firm when that size is unsound.
    const arma::Col<double> span = s_func((*s.span)[0], (*s.span)[1]);
    const double largest_bottom = std::max(2000000.0, static_cast<double>(s.largest_firm));
    const bool too_wide = span[0] > largest_bottom + 1.0;
    if (too_wide || !(implied_total(0.02, span) < s.largest_firm)) {
      return "span=" + show((*s.span)[0]) + "," + show((*s.span)[1]) + " with largest_firm=" +
             std::to_string(s.largest_firm) + " puts every member of every firm on one level, so "
             "all power is equal and the Gini of power would be 0 in every row (" +
             (too_wide ? "lower A or B" : "raise A or B") +
             ", or use span=bootstrap)";
    }
  }
  const bool exponent_zero = s.exponent && s.exponent->kind != drawn_setting::table &&
                             s.exponent->low == 0.0 && s.exponent->high == 0.0;
  if (exponent_zero && s.sigma && *s.sigma == 0.0) {
    return "exponent=" + show(*s.exponent) + " with sigma=0 gives every member the same pay, so the "
           "Gini of pay would be 0 in every row (give exponent or sigma a value above 0)";
  }
  return "";
}


// run_problem with the mean firm size at the lowest alpha given.
std::string run_problem_with_mean(const model_settings& s, double mean, int workers, double memory)
{
  if (std::string problem = measure_problem(s); !problem.empty()) return problem;
  const double members = s.firms * mean;
  if (members >= max_count) {
    std::ostringstream out;
    out.precision(3);
    out << "at alpha " << show(s.alpha.low) << " an economy of firms=" << s.firms
        << " with largest_firm=" << s.largest_firm << " holds some " << members
        << " members on average, more than the " << max_count
        << " a sample is drawn from (raise alpha, or lower firms or largest_firm)";
    return out.str();
  }
  const double per_worker = worker_fixed_bytes + worker_bytes_per_firm * static_cast<double>(s.firms);
  const double need = per_worker * workers;
  if (need <= 0.8 * memory) return "";
  const auto mb = [](double bytes) { return std::to_string(static_cast<long long>(bytes / 1048576)); };
  return "firms=" + std::to_string(s.firms) + " needs about " + mb(per_worker) +
         " MB per worker, " + mb(need) + " MB for " + std::to_string(workers) +
         " workers, more than this machine's " + mb(memory) +
         " MB allow (lower firms or OMP_NUM_THREADS)";
}

}  // namespace

void check_run(const model_settings& s, int workers, double memory)
{
  const double mean = power_law_mean(s.alpha.low, s.largest_firm);
  if (std::string m = run_problem_with_mean(s, mean, workers, memory); !m.empty()) {
    throw run_error(m, exit_usage_error);
  }
}

void check_grid(const std::vector<sweep_point>& points, int workers, double memory)
{
  std::map<std::pair<double, int>, double> means;  // by lowest alpha and largest firm
  for (const sweep_point& p : points) {
    const std::pair<double, int> economy{p.settings.alpha.low, p.settings.largest_firm};
    auto it = means.find(economy);
    if (it == means.end()) it = means.emplace(economy, power_law_mean(economy.first, economy.second)).first;
    if (std::string m = run_problem_with_mean(p.settings, it->second, workers, memory); !m.empty()) {
      throw run_error(m, exit_usage_error);
    }
  }
}

double machine_memory()
{
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGE_SIZE);
  return pages > 0 && page > 0 ? static_cast<double>(pages) * static_cast<double>(page) : 0.0;
}

std::vector<sweep_point> sweep_grid(const model_settings& base, const std::vector<sweep_axis>& axes,
                                    bool draws_exponent)
{
  std::vector<sweep_point> points{{base, {}}};
  for (const sweep_axis& axis : axes) {
    std::vector<sweep_point> next;
    for (const sweep_point& p : points) {
      for (const std::string& v : axis.values) {
        sweep_point q = p;
        apply_setting(q.settings, axis.name, v, draws_exponent);
        q.values.push_back(v);
        next.push_back(std::move(q));
      }
    }
    points = std::move(next);
  }
  return points;
}
