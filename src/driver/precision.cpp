#include "driver/precision.hpp"

#include <algorithm>
#include <boost/math/distributions/students_t.hpp>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <sstream>

#include "cli/options.hpp"
#include "records/tables.hpp"

namespace {

// `value` with `digits` significant digits.
std::string shown(double value, int digits = 3)
{
  std::ostringstream text;
  text.precision(digits);
  text << value;
  return text.str();
}

}  // namespace

double student_t_975(int degrees)
{
  return boost::math::quantile(boost::math::students_t_distribution<double>(degrees), 0.975);
}

mean_estimate estimate_mean(const arma::Mat<double>& results, int rows, int column)
{
  mean_estimate e;
  const arma::uword c = static_cast<arma::uword>(column);
  double sum = 0;
  for (int r = 0; r < rows; ++r) {
    const double v = results(static_cast<arma::uword>(r), c);
    if (!std::isfinite(v)) {
      ++e.rows_left_out;
      continue;
    }
    ++e.rows_used;
    sum += v;
  }
  e.half_width = std::numeric_limits<double>::infinity();
  if (e.rows_used == 0) return e;
  e.mean = sum / e.rows_used;
  if (e.rows_used < 2) return e;
  double squares = 0;  // about the mean: no cancellation
  for (int r = 0; r < rows; ++r) {
    const double v = results(static_cast<arma::uword>(r), c);
    if (std::isfinite(v)) squares += (v - e.mean) * (v - e.mean);
  }
  const double sd = std::sqrt(squares / (e.rows_used - 1));
  e.half_width = student_t_975(e.rows_used - 1) * sd / std::sqrt(static_cast<double>(e.rows_used));
  return e;
}

std::optional<std::uint64_t> rows_still_needed(int rows_used, double half_width, double target)
{
  if (!std::isfinite(half_width)) return std::nullopt;
  if (half_width <= target) return 0;
  const double ratio = half_width / target;
  const double total = std::ceil(static_cast<double>(rows_used) * ratio * ratio);
  // Beyond any run's rows, the estimate is only "very many".
  if (!(total < 1e18)) return std::nullopt;
  const auto needed = static_cast<std::uint64_t>(total);
  const auto used = static_cast<std::uint64_t>(rows_used);
  return needed > used ? needed - used : 1;
}

precision_state check_precision(const precision_request& request, const arma::Mat<double>& results, int rows)
{
  precision_state state;
  state.rows = rows;
  state.met = true;
  for (const precision_target& t : request.targets) {
    state.estimates.push_back(estimate_mean(results, rows, t.column));
    state.met = state.met && state.estimates.back().half_width <= t.half_width;
  }
  return state;
}

std::string precision_report(const precision_request& request, const precision_state& state)
{
  std::string text = "precision after " + std::to_string(state.rows) + " rows:";
  std::optional<std::uint64_t> more = 0;
  for (std::size_t i = 0; i < request.targets.size(); ++i) {
    const precision_target& t = request.targets[i];
    const mean_estimate& e = state.estimates[i];
    text += std::string(i == 0 ? " " : ", ") + results_column_names[static_cast<std::size_t>(t.column)] + " ±" +
            shown(e.half_width) + " (target " + shown(t.half_width, 6) + ")";
    if (e.rows_left_out > 0) text += " without " + std::to_string(e.rows_left_out) + " non-finite rows";
    const auto needed = rows_still_needed(e.rows_used, e.half_width, t.half_width);
    more = more && needed ? std::optional<std::uint64_t>(std::max(*more, *needed)) : std::nullopt;
  }
  if (state.met) return text + "; every target is met";
  return text + "; " + (more ? "about " + std::to_string(*more) + " more rows needed" : "rows needed unknown");
}

nlohmann::json precision_json(const precision_request& request, const precision_state& state)
{
  nlohmann::json targets = nlohmann::json::object();
  nlohmann::json reached = nlohmann::json::object();
  nlohmann::json left_out = nlohmann::json::object();
  for (std::size_t i = 0; i < request.targets.size(); ++i) {
    const std::string name = results_column_names[static_cast<std::size_t>(request.targets[i].column)];
    targets[name] = request.targets[i].half_width;
    const bool estimated = i < state.estimates.size();
    const double h = estimated ? state.estimates[i].half_width : std::nan("");
    reached[name] = std::isfinite(h) ? nlohmann::json(h) : nlohmann::json(nullptr);
    left_out[name] = estimated ? state.estimates[i].rows_left_out : 0;
  }
  return {{"targets", targets},   {"block", request.block},       {"rows_run", state.rows},
          {"half_widths", reached}, {"rows_left_out", left_out}, {"met", state.met}};
}

std::optional<std::uint64_t> rows_expected(const nlohmann::json& metadata, const precision_request& request,
                                           int repetitions, std::string& why)
{
  const nlohmann::json had = metadata.value("precision", nlohmann::json());
  const nlohmann::json today = request.used() ? precision_json(request, {}) : nlohmann::json();
  const bool same = had.is_null() == today.is_null() &&
                    (today.is_null() || (had.is_object() && had.value("targets", nlohmann::json()) == today["targets"] &&
                                         had.value("block", nlohmann::json()) == today["block"]));
  if (!same) {
    why = "made with other precision targets";
    return std::nullopt;
  }
  if (today.is_null() || !had.value("met", false) || !had.value("rows_run", nlohmann::json()).is_number_unsigned()) {
    return static_cast<std::uint64_t>(repetitions);
  }
  return had["rows_run"].get<std::uint64_t>();
}

region_outcome run_to_precision(const input_tables& tables, const region_settings& settings,
                                const repetition_body& body, arma::Mat<double>& results,
                                const region_hooks& hooks, const precision_request& request,
                                std::ostream& bar, std::ostream& report, precision_state& state,
                                const std::function<void(int limit)>& on_block)
{
  const int n = settings.repetitions;
  // The flags of all n rows live in block_hooks.done, updated after each
  // block over its prefix only: no copy of n flags per block.
  region_hooks block_hooks = hooks;
  std::vector<unsigned char>& finished = block_hooks.done;
  finished.resize(static_cast<std::size_t>(n), 0);
  int held = 0;  // rows 0 .. held-1 cover every row finished before this run
  for (int r = 0; r < n; ++r) {
    if (finished[static_cast<std::size_t>(r)]) held = r + 1;
  }
  region_outcome outcome;
  const auto ended = [&outcome, &finished]() {
    outcome.finished = std::move(finished);
    return outcome;
  };
  state = {};
  for (int limit = std::min(request.block, n);; limit = n - limit > request.block ? limit + request.block : n) {
    if (on_block) on_block(limit);
    region_settings prefix = settings;
    prefix.repetitions = limit;
    const std::vector<int> todo = rows_to_do(limit, finished);
    region_outcome part;
    {
      boost::timer::progress_display progress(static_cast<unsigned long>(todo.size()), bar);
      part = run_region(tables, prefix, body, results, progress, block_hooks);
      if (todo.empty() || std::count(part.finished.begin(), part.finished.end(), 1) < limit) bar << std::endl;
    }
    std::copy(part.finished.begin(), part.finished.end(), finished.begin());
    outcome.failures.insert(outcome.failures.end(), part.failures.begin(), part.failures.end());
    outcome.notes.rank_deficient_span_fits += part.notes.rank_deficient_span_fits;
    if (!part.failures.empty() || std::count(part.finished.begin(), part.finished.end(), 1) < limit) {
      return ended();  // failed or stopped: the caller reports it
    }
    if (limit < held && limit < n) continue;
    state = check_precision(request, results, limit);
    if (on_block) on_block(limit);
    report << precision_report(request, state) << std::endl;
    if (state.met) return ended();
    if (limit == n) {
      report << "note: the precision targets were not met within the " << n
             << " rows of -n; the results hold all of them" << std::endl;
      return ended();
    }
  }
}
