#include "driver/precision.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <omp.h>
#include <sstream>

#include "records/run_report.hpp"

namespace {

// What a precision option's reader says of `text`: "" when it takes it,
// otherwise its usage error.
std::string refusal(void (*read)(const std::string&, precision_request&), const std::string& text,
                    precision_request& r)
{
  try {
    read(text, r);
    return "";
  } catch (const run_error& e) {
    EXPECT_EQ(e.status, exit_usage_error);
    return e.what();
  }
}

precision_request request_of(std::vector<std::string> texts, int block = default_precision_block)
{
  precision_request r;
  for (const std::string& t : texts) EXPECT_EQ(refusal(add_precision_target, t, r), "") << t;
  r.block = block;
  return r;
}

// Row i: (i, 7 + (i % 2), NaN every third row else i % 4, inf, 0, 0, 0).
results_row probe_row(std::uint64_t i)
{
  const double inf = std::numeric_limits<double>::infinity();
  return {double(i), 7.0 + double(i % 2), i % 3 == 0 ? std::nan("") : double(i % 4), inf, 0, 0, 0};
}

struct block_run {
  arma::Mat<double> results;
  region_outcome outcome;
  precision_state state;
  std::string report;
  std::vector<int> blocks;
};

// Runs `n` rows of probe_row in blocks; `done` rows are taken as finished
// (holding probe_row values).
block_run run_blocks(const precision_request& request, int n, int threads, std::vector<unsigned char> done = {})
{
  omp_set_num_threads(threads);
  input_tables tables;
  tables.span = arma::Mat<double>{{2, 3.0}, {3, 1.5}};
  tables.g = arma::Col<double>{0.1};
  block_run run;
  run.results.set_size(static_cast<arma::uword>(n), results_columns);
  run.results.fill(-1);
  for (std::size_t r = 0; r < done.size(); ++r) {
    if (!done[r]) continue;
    const results_row row = probe_row(r);
    for (int c = 0; c < results_columns; ++c) run.results(r, static_cast<arma::uword>(c)) = row[static_cast<std::size_t>(c)];
  }
  region_hooks hooks;
  hooks.done = done;
  std::ostringstream bar, report;
  run.outcome = run_to_precision(
      tables, region_settings{n, 0, 5, 0.01, 10}, [](const repetition_inputs&, const repetition_id& id) { return probe_row(id.index); },
      run.results, hooks, request, bar, report, run.state, [&run](int limit) {
        if (run.blocks.empty() || run.blocks.back() != limit) run.blocks.push_back(limit);
      });
  run.report = report.str();
  return run;
}

}  // namespace

TEST(precision, targets_and_block_are_read_strictly_and_given_back)
{
  precision_request r;
  for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
           {"gini_pay", "--precision takes NAME=HALF_WIDTH, got 'gini_pay'"},
           {"=0.1", "--precision takes NAME=HALF_WIDTH, got '=0.1'"},
           {"gini=0.1", "--precision gini is not a results column (mean_firm_size, gini_power, gini_pay, "
                        "power_to_pay_exponent, top1_share_power, top1_share_pay, firm_size_exponent)"},
           {"gini_pay=0", "--precision gini_pay takes a half-width that is a finite number above 0, got '0'"},
           {"gini_pay=-1e-3", "--precision gini_pay takes a half-width that is a finite number above 0, got '-1e-3'"},
           {"gini_pay=inf", "--precision gini_pay takes a half-width that is a finite number above 0, got 'inf'"},
           {"gini_pay=nan", "--precision gini_pay takes a half-width that is a finite number above 0, got 'nan'"},
           {"gini_pay=1e999", "--precision gini_pay takes a half-width that is a finite number above 0, got '1e999'"},
           {"gini_pay= 0.1", "--precision gini_pay takes a half-width that is a finite number above 0, got ' 0.1'"},
           {"gini_pay=0.1x", "--precision gini_pay takes a half-width that is a finite number above 0, got '0.1x'"},
           {"gini_pay=", "--precision gini_pay takes a half-width that is a finite number above 0, got ''"}}) {
    EXPECT_EQ(refusal(add_precision_target, text, r), error);
  }
  EXPECT_FALSE(r.used());
  EXPECT_EQ(refusal(add_precision_target, "gini_pay=0.001", r), "");
  EXPECT_EQ(refusal(add_precision_target, "firm_size_exponent=2.5e-2", r), "");
  EXPECT_EQ(refusal(add_precision_target, "gini_pay=0.01", r), "--precision gini_pay is given twice");
  ASSERT_EQ(r.targets.size(), 2u);
  EXPECT_EQ(r.targets[0].column, 2);
  EXPECT_EQ(r.targets[1].column, 6);
  EXPECT_EQ(r.targets[1].half_width, 0.025);

  const std::string block_error = "--precision-block takes a whole number from 2 to 1000000000, got '";
  for (const std::string text : {"1", "0", "", "-5", "2.5", "1000000001", "99999999999", " 5"}) {
    EXPECT_EQ(refusal(set_precision_block, text, r), block_error + text + "'");
  }
  EXPECT_EQ(precision_arguments(r), " --precision gini_pay=0.001 --precision firm_size_exponent=0.025");
  EXPECT_EQ(refusal(set_precision_block, "250", r), "");
  EXPECT_EQ(r.block, 250);
  EXPECT_EQ(precision_arguments(r), " --precision gini_pay=0.001 --precision firm_size_exponent=0.025 "
                                    "--precision-block 250");
  // The half-width given back is the shortest text of the same double.
  precision_request again;
  EXPECT_EQ(refusal(add_precision_target, "gini_pay=0.1", again), "");
  EXPECT_EQ(refusal(add_precision_target, "gini_power=0.30000000000000004", again), "");
  EXPECT_EQ(precision_arguments(again), " --precision gini_pay=0.1 --precision gini_power=0.30000000000000004");
  EXPECT_EQ(precision_arguments(precision_request{}), "");
}

TEST(precision, the_interval_leaves_out_non_finite_rows_and_estimates_rows_needed)
{
  EXPECT_NEAR(student_t_975(1), 12.706204736, 1e-8);
  EXPECT_NEAR(student_t_975(3), 3.182446305, 1e-8);
  EXPECT_NEAR(student_t_975(100000), 1.959992, 1e-5);

  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  arma::Mat<double> m(7, results_columns, arma::fill::zeros);
  m.col(0) = arma::Col<double>{1, nan, 2, 3, -inf, 4, 100};  // row 6 is beyond the rows estimated
  m.col(1) = arma::Col<double>{5, nan, nan, nan, nan, nan, 5};
  const mean_estimate e = estimate_mean(m, 6, 0);
  EXPECT_EQ(e.rows_used, 4);
  EXPECT_EQ(e.rows_left_out, 2);
  EXPECT_DOUBLE_EQ(e.mean, 2.5);
  EXPECT_NEAR(e.half_width, 3.182446305 * std::sqrt(5.0 / 3) / 2, 1e-8);
  EXPECT_EQ(estimate_mean(m, 6, 1).half_width, inf);  // one row: no spread
  EXPECT_EQ(estimate_mean(m, 6, 1).rows_left_out, 5);
  EXPECT_EQ(estimate_mean(m, 7, 2).half_width, 0);  // constant

  EXPECT_EQ(rows_still_needed(100, 0.02, 0.01), 300u);
  EXPECT_EQ(rows_still_needed(100, 0.01, 0.01), 0u);
  EXPECT_EQ(rows_still_needed(100, 0.0100001, 0.01), 1u);
  EXPECT_EQ(rows_still_needed(1, inf, 0.01), std::nullopt);
  EXPECT_EQ(rows_still_needed(1000, 1e300, 1e-300), std::nullopt);

  precision_request r = request_of({"mean_firm_size=5", "gini_pay=1"});
  precision_state s = check_precision(r, m, 6);
  EXPECT_TRUE(s.met);
  EXPECT_EQ(precision_report(r, s), "precision after 6 rows: mean_firm_size ±2.05 (target 5) without 2 non-finite "
                                    "rows, gini_pay ±0 (target 1); every target is met");
  r = request_of({"mean_firm_size=5", "gini_power=1"});  // one row: no estimate, never met
  EXPECT_FALSE(check_precision(r, m, 6).met);
  EXPECT_EQ(precision_report(r, check_precision(r, m, 6)),
            "precision after 6 rows: mean_firm_size ±2.05 (target 5) without 2 non-finite rows, gini_power ±inf "
            "(target 1) without 5 non-finite rows; rows needed unknown");
  r = request_of({"mean_firm_size=1"});
  s = check_precision(r, m, 6);
  EXPECT_FALSE(s.met);
  EXPECT_EQ(precision_report(r, s), "precision after 6 rows: mean_firm_size ±2.05 (target 1) without 2 "
                                    "non-finite rows; about 13 more rows needed");
  const nlohmann::json j = precision_json(r, s);
  EXPECT_EQ(j.dump(), R"({"block":1000,"half_widths":{"mean_firm_size":)" + nlohmann::json(e.half_width).dump() +
                          R"(},"met":false,"rows_left_out":{"mean_firm_size":2},"rows_run":6,)"
                          R"("targets":{"mean_firm_size":1.0}})");
}

TEST(precision, blocks_stop_at_the_first_met_target_with_the_rows_of_a_plain_run)
{
  // Column 1 alternates 7 and 8: its half-width shrinks as rows grow.
  const double h16 = estimate_mean(run_blocks(request_of({"mean_firm_size=1"}, 16), 16, 1).results, 16, 1).half_width;
  const precision_request r = request_of({"gini_power=" + std::to_string(h16 * 1.0001)}, 4);
  for (int threads : {1, 3}) {
    const block_run run = run_blocks(r, 40, threads);
    EXPECT_EQ(run.state.rows, 16);
    EXPECT_TRUE(run.state.met);
    EXPECT_EQ(run.blocks, (std::vector<int>{4, 8, 12, 16}));
    for (int row = 0; row < 40; ++row) {
      EXPECT_EQ(run.outcome.finished[static_cast<std::size_t>(row)], row < 16 ? 1 : 0) << row;
      if (row >= 16) continue;
      const results_row expected = probe_row(static_cast<std::uint64_t>(row));
      for (int c = 0; c < results_columns; ++c) {
        const double got = run.results(static_cast<arma::uword>(row), static_cast<arma::uword>(c));
        EXPECT_TRUE(got == expected[static_cast<std::size_t>(c)] || (std::isnan(got) && std::isnan(expected[static_cast<std::size_t>(c)])));
      }
    }
    EXPECT_EQ(std::count(run.report.begin(), run.report.end(), '\n'), 4) << run.report;
    EXPECT_NE(run.report.find("precision after 16 rows: gini_power ±"), std::string::npos);
  }
  // A resumed run's rows beyond the first blocks are kept: no check before
  // the prefix holds row 13.
  std::vector<unsigned char> done(40, 0);
  done[13] = 1;
  const block_run resumed = run_blocks(r, 40, 2, done);
  EXPECT_EQ(resumed.state.rows, 16);
  EXPECT_EQ(std::count(resumed.report.begin(), resumed.report.end(), '\n'), 1) << resumed.report;
  done[17] = 1;
  EXPECT_EQ(run_blocks(r, 40, 2, done).state.rows, 20);

  // Never met (a column of NaN and inf; the index grows apart): all -n rows,
  // the last block short, and a note.
  for (const char* target : {"power_to_pay_exponent=1", "mean_firm_size=1"}) {
    const block_run missed = run_blocks(request_of({target}, 4), 10, 2);
    EXPECT_FALSE(missed.state.met);
    EXPECT_EQ(missed.state.rows, 10);
    EXPECT_EQ(missed.blocks, (std::vector<int>{4, 8, 10}));
    EXPECT_NE(missed.report.find("note: the precision targets were not met within the 10 rows of -n; the results "
                                 "hold all of them\n"),
              std::string::npos)
        << missed.report;
  }
  EXPECT_NE(run_blocks(request_of({"power_to_pay_exponent=1"}, 4), 10, 2).report.find("rows needed unknown"), std::string::npos);
}

TEST(run_report, status_and_cost_read_plainly)
{
  EXPECT_EQ(clock_text(0), "0:00");
  EXPECT_EQ(clock_text(59.6), "1:00");
  EXPECT_EQ(clock_text(3723), "1:02:03");
  EXPECT_EQ(clock_text(std::nan("")), "?");
  EXPECT_EQ(status_text(120, 400, 100, 4), "rows 120 of 400, 25 repetitions/s, elapsed 0:04, left 0:11");
  EXPECT_EQ(status_text(20, 400, 0, 0), "rows 20 of 400, 0 repetitions/s, elapsed 0:00, left ?");
  EXPECT_EQ(cost_text({400, 12.3, 24.5}), "run cost: 400 rows in 12.3 s, 32.5 repetitions/s, 0.0612 core-seconds per "
                                          "repetition");
  EXPECT_EQ(cost_text({0, 0.5, 0.1}), "run cost: 0 rows in 0.5 s");
  nlohmann::json j;
  add_cost_json(j, {0, 0.5, 0.1});
  EXPECT_EQ(j.dump(), R"({"core_seconds":0.1,"core_seconds_per_repetition":null,"repetitions_per_second":null,)"
                      R"("repetitions_run":0,"run_seconds":0.5})");
  add_cost_json(j, {4, 2, 1});
  EXPECT_EQ(j.at("repetitions_per_second"), 2.0);
  EXPECT_EQ(j.at("core_seconds_per_repetition"), 0.25);
  EXPECT_GE(core_seconds_used(), 0);
}
