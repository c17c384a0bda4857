#include "cli/options.hpp"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <vector>

#include "stats/inequality.hpp"
#include "support/process.hpp"

namespace {

const program_settings program{"quarnel", 100000, "inequality.csv", "test program"};

// What parse_options gives for `args`: a run, a text to print, or the usage
// error it throws.
enum class parse_status { run, done, usage_error };

struct parse_result {
  parse_status status = parse_status::run;
  run_options options;
  std::string text;  // help or version text (done), or the error (usage_error)
};

parse_result parse_as(const program_settings& p, std::vector<const char*> args)
{
  args.insert(args.begin(), p.name.c_str());
  parse_result r;
  try {
    parsed_command c = parse_options(static_cast<int>(args.size()), args.data(), p);
    if (c.text) return {parse_status::done, {}, *c.text};
    r.options = c.options;
  } catch (const run_error& e) {
    EXPECT_EQ(e.status, exit_usage_error);
    return {parse_status::usage_error, {}, e.what()};
  }
  return r;
}

parse_result parse(std::vector<const char*> args) { return parse_as(program, args); }

void expect_usage_error(std::vector<const char*> args, const std::string& fragment)
{
  const parse_result r = parse(args);
  EXPECT_EQ(r.status, parse_status::usage_error) << args.front();
  EXPECT_NE(r.text.find(fragment), std::string::npos) << r.text;
}

}  // namespace

TEST(options, no_arguments_run_the_full_job)
{
  const parse_result r = parse({});
  ASSERT_EQ(r.status, parse_status::run);
  EXPECT_EQ(r.options.repetitions, 100000);
  EXPECT_EQ(r.options.output, "inequality.csv");
  EXPECT_TRUE(r.options.postprocess);
  EXPECT_FALSE(r.options.seed.has_value());
  EXPECT_EQ(r.options.first_repetition, 0u);
}

TEST(options, every_option_in_short_and_long_form)
{
  parse_result r = parse({"-n", "40", "-o", "piece.csv", "-s", "18446744073709551615",
                          "--first-repetition", "100", "--no-postprocess"});
  ASSERT_EQ(r.status, parse_status::run) << r.text;
  EXPECT_EQ(r.options.repetitions, 40);
  EXPECT_EQ(r.options.output, "piece.csv");
  EXPECT_EQ(r.options.seed, 18446744073709551615ull);
  EXPECT_EQ(r.options.first_repetition, 100u);
  EXPECT_FALSE(r.options.postprocess);

  r = parse({"--repetitions=7", "--output=x.csv", "--seed=0"});
  ASSERT_EQ(r.status, parse_status::run) << r.text;
  EXPECT_EQ(r.options.repetitions, 7);
  EXPECT_EQ(r.options.seed, 0u);
}

TEST(options, help_and_version_end_the_program)
{
  parse_result r = parse({"--help"});
  EXPECT_EQ(r.status, parse_status::done);
  EXPECT_NE(r.text.find("OMP_NUM_THREADS"), std::string::npos);
  EXPECT_NE(r.text.find("--repetitions"), std::string::npos);
  r = parse({"--version"});
  EXPECT_EQ(r.status, parse_status::done);
  EXPECT_EQ(r.text.rfind("quarnel ", 0), 0u);
  EXPECT_EQ(parse({"--print-results-file", "-o", "x.csv"}).text, "inequality.csv\n");
}

TEST(options, bad_values_are_usage_errors)
{
  expect_usage_error({"--frobnicate"}, "frobnicate");
  expect_usage_error({"extra"}, "");
  expect_usage_error({"-n"}, "");
  expect_usage_error({"-n", "0"}, "--repetitions");
  expect_usage_error({"-n", "-5"}, "--repetitions");
  expect_usage_error({"-n", "1.5"}, "--repetitions");
  expect_usage_error({"-n", "12abc"}, "--repetitions");
  expect_usage_error({"-n", "2147483648"}, "--repetitions");
  expect_usage_error({"-n", "1000000001"}, "from 1 to 1000000000");
  EXPECT_EQ(parse({"-n", "1000000000"}).options.repetitions, 1000000000);
  expect_usage_error({"-s", "-1"}, "--seed");
  expect_usage_error({"-s", "18446744073709551616"}, "--seed");
  expect_usage_error({"-s", " 5"}, "--seed");
  expect_usage_error({"--first-repetition", "3"}, "needs --seed");
  expect_usage_error({"-s", "1", "-n", "10", "--first-repetition", "18446744073709551610"},
                     "--first-repetition");
  // Resumed without -n, the journal's count decides (checked against it later).
  EXPECT_EQ(parse({"--resume", "--first-repetition", "18446744073709551610"}).options.first_repetition,
            18446744073709551610ull);
  expect_usage_error({"--resume", "-n", "10", "--first-repetition", "18446744073709551610"},
                     "--first-repetition");
  expect_usage_error({"--resume", "-s", "1", "--sweep", "firms=10,20", "--first-repetition",
                      "18446744073709551610"}, "--first-repetition");
  expect_usage_error({"-o", "../elsewhere.csv"}, "--output");
  expect_usage_error({"-o", "a/b"}, "--output");
  expect_usage_error({"-o", ""}, "--output");
  expect_usage_error({"-o", ".."}, "--output");

  // A long token is echoed cut, whichever option or setting it came in.
  const std::string long_token(100000, 'x');
  const std::string set_long = "alpha=" + long_token, long_set = long_token + "=1",
                    option = "--" + long_token, sweep = long_token + "=1,2", path = "a/" + long_token;
  for (const std::vector<const char*>& args :
       {std::vector<const char*>{"-n", long_token.c_str()}, {"-s", long_token.c_str()},
        {"-o", path.c_str()}, {"--set", set_long.c_str()}, {"--set", long_token.c_str()},
        {"--set", long_set.c_str()}, {option.c_str()}, {"--sweep", sweep.c_str()}}) {
    const parse_result r = parse(args);
    EXPECT_EQ(r.status, parse_status::usage_error) << args[0];
    EXPECT_NE(r.text.find("[... cut: "), std::string::npos) << r.text.substr(0, 300);
    EXPECT_LT(r.text.size(), 400u) << args[0];
  }
}

// Every file a run, a sweep or the post-processing names after an output
// belongs to that output alone: no accepted name's files meet another's.
TEST(options, an_output_name_cannot_reach_another_outputs_files)
{
  const std::vector<std::pair<const char*, const char*>> refused{
      {"inequality", "--output takes a file name ending in .csv (its journal and metadata are named "
                     "after it), got 'inequality'"},
      {"inequality.csv.journal", "ending in .csv"},
      {"inequality.json", "ending in .csv"},
      {".csv", "ending in .csv"},
      {"run.CSV", "ending in .csv"},
      {"inequality.3.csv", "--output inequality.3.csv is the results file of point 3 of a sweep on "
                           "inequality.csv; choose a name whose part before .csv does not end in a dot "
                           "and digits"},
      {"grid.sweep.csv", "--output grid.sweep.csv is the sweep table of a sweep on grid.csv"},
      {"grid.SWEEP.csv", "is the sweep table of a sweep on grid.csv"},
      {"inequality_summary.csv", "is the post-processing's table of inequality.csv"},
      {"grid.sweep_summary.csv", "is the post-processing's table of grid.sweep.csv"},
      {"inequality_Binned.csv", "is the post-processing's table of inequality.csv"}};
  for (const auto& [name, message] : refused) expect_usage_error({"-o", name}, message);

  const std::vector<std::string> accepted{
      "inequality.csv", "inequality_frontier.csv", "inequality.piece-00003.csv", "2024.csv",
      "a.csv", "a.csv.csv", "a.json.csv", "a.1x.csv", "a.sweeps.csv", "a.x_summary2.csv", "a_csv.csv"};
  for (const std::string& name : accepted) EXPECT_EQ(parse({"-o", name.c_str()}).status, parse_status::run) << name;
  std::vector<std::string> names = accepted;
  for (const auto& refused_name : refused) names.push_back(refused_name.first);
  std::map<std::string, std::string> owner;  // every file name, and the output it is named after
  for (const std::string& name : names) {
    if (parse({"-o", name.c_str()}).status != parse_status::run) continue;
    const std::string stem = name.substr(0, name.size() - 4);
    std::vector<std::string> files{stem + ".sweep.csv", stem + ".sweep.lock", stem + "_summary.csv",
                                   stem + "_binned.csv", stem + ".sweep_summary.csv"};
    for (const std::string& results : {name, stem + ".0.csv", stem + ".12.csv"}) {
      files.insert(files.end(), {results, results + ".journal", results.substr(0, results.size() - 4) + ".json"});
    }
    for (const std::string& file : files) {
      for (const std::string& f : {file, file + ".tmp_123"}) {
        const auto [at, fresh] = owner.emplace(f, name);
        EXPECT_TRUE(fresh || at->second == name) << f << " of " << name << " and of " << at->second;
      }
    }
  }
}

namespace {

const program_settings frontier{"vesktor", 10000, "inequality_frontier.csv", "test program", false};

parse_result parse_frontier(std::vector<const char*> args) { return parse_as(frontier, args); }

std::string settings_of(const parse_result& r, bool draws_exponent = true)
{
  return r.status == parse_status::run ? settings_text(r.options.settings, draws_exponent) : r.text;
}

}  // namespace

TEST(options, settings_default_to_the_programs_constants_and_are_listed_in_help)
{
  EXPECT_EQ(settings_of(parse({})),
            "firms=1000000\nlargest_firm=2300000\nalpha=1.8:7\nexponent=0.2:1\nsigma=bootstrap\n"
            "span=bootstrap\ntop_fraction=0.01\n");
  EXPECT_NE(settings_of(parse_frontier({}), false).find("\nexponent=1\n"), std::string::npos);
  const std::string help = parse({"--help"}).text;
  for (const char* fragment : {"--set", "--scenario", "--sweep", "firms", "default 1000000",
                               "largest_firm", "default 2300000", "alpha", "default 1.8:7",
                               "exponent", "default 0.2:1", "sigma", "default bootstrap", "span",
                               "top_fraction", "default 0.01"})
    EXPECT_NE(help.find(fragment), std::string::npos) << fragment;
}

TEST(options, every_setting_is_checked_and_a_bad_one_named_with_its_range)
{
  const parse_result r = parse({"--set", "firms=2000", "--set", "largest_firm=2", "--set", "alpha=2.5",
                                "--set", "exponent=table", "--set", "sigma=0", "--set", "span=3,-0.5",
                                "--set", "top_fraction=1"});
  EXPECT_EQ(settings_of(r), "firms=2000\nlargest_firm=2\nalpha=2.5\nexponent=table\nsigma=0\n"
                            "span=3,-0.5\ntop_fraction=1\n");
  EXPECT_NE(settings_of(parse({"--set", "alpha=1.9:2.1", "--set", "exponent=0.5"}))
                .find("\nalpha=1.9:2.1\nexponent=0.5\n"),
            std::string::npos);

  const std::vector<std::pair<const char*, const char*>> bad{
      {"firms=0", "firms takes a whole number from 1"},
      {"firms=2147483648", "firms takes"},
      {"firms=1e6", "firms takes"},
      {"largest_firm=1", "largest_firm takes a whole number from 2"},
      {"alpha=1", "alpha takes a range LOW:HIGH or one value, within 1.1 to 20"},
      {"alpha=3:2", "alpha takes"},
      {"alpha=2:", "alpha takes"},
      {"alpha=nan", "alpha takes"},
      {"exponent=-0.1", "exponent takes a range LOW:HIGH or one value within 0 to 4, or 'table'"},
      {"exponent=tables", "exponent takes"},
      {"sigma=-1", "sigma takes 'bootstrap' or one value from 0 to 10"},
      {"sigma=0.1:0.2", "sigma takes"},
      {"span=2", "span takes 'bootstrap' or A,B"},
      {"span=0,0.1", "span takes"},
      {"span=2,0.1,3", "span takes"},
      {"top_fraction=0", "top_fraction takes a number from"},
      {"top_fraction=1.5", "top_fraction takes"},
      {"colour=red", "unknown setting 'colour'"},
      {"alpha", "--set takes NAME=VALUE"}};
  for (const auto& [setting, message] : bad) expect_usage_error({"--set", setting}, message);
  expect_usage_error({"--set", "alpha=2", "--set", "alpha=3"}, "given twice");

  EXPECT_NO_THROW(check_run(model_settings{}, 2, 16e9));

  // vesktor draws no exponent: one value only, and the error points to quarnel.
  EXPECT_EQ(parse_frontier({"--set", "exponent=0.5"}).status, parse_status::run);
  for (const char* e : {"exponent=0.2:1", "exponent=table"}) {
    const parse_result f = parse_frontier({"--set", e});
    EXPECT_EQ(f.status, parse_status::usage_error);
    EXPECT_NE(f.text.find("needs quarnel"), std::string::npos) << f.text;
  }
}

TEST(options, a_scenario_file_gives_settings_that_the_command_line_overrides)
{
  scratch_dir tmp;
  const std::string file = (tmp.path / "scenario.txt").string();
  write_file(file, "# a scenario\nalpha = 2.5   # fixed\n\n  sigma=0.3\nfirms = 5000\n");
  parse_result r = parse({"--scenario", file.c_str(), "--set", "firms=7000"});
  for (const char* line : {"firms=7000\n", "\nalpha=2.5\n", "\nsigma=0.3\n"})
    EXPECT_NE(settings_of(r).find(line), std::string::npos) << line << settings_of(r);

  write_file(file, "alpha = 2.5\nsigma 0.3\n");
  expect_usage_error({"--scenario", file.c_str()}, "line 2: expected NAME = VALUE");
  write_file(file, "alpha = 0.5\n");
  expect_usage_error({"--scenario", file.c_str()}, "scenario.txt line 1: alpha takes");
  write_file(file, "alpha = 2\nalpha = 3\n");
  expect_usage_error({"--scenario", file.c_str()}, "line 2: alpha is set twice");
  expect_usage_error({"--scenario", (tmp.path / "none").c_str()}, "cannot read the scenario file");
  write_file(file, std::string(100000, 'x') + "\n");
  expect_usage_error({"--scenario", file.c_str()}, "line 1: expected NAME = VALUE, got 'xxx");
  EXPECT_LT(parse({"--scenario", file.c_str()}).text.size(), 400u);

  // A UTF-8 byte-order mark at the start, as some editors save the file.
  write_file(file, "\xEF\xBB\xBF" "alpha = 2.5\n");
  EXPECT_NE(settings_of(parse({"--scenario", file.c_str()})).find("\nalpha=2.5\n"), std::string::npos);
  // Only a regular file is read: a FIFO cannot block, a device cannot fill the memory.
  const std::string fifo = (tmp.path / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  expect_usage_error({"--scenario", fifo.c_str()},
                     "cannot read the scenario file " + fifo + ": is a FIFO (named pipe), not a regular file");
  expect_usage_error({"--scenario", "/dev/zero"}, "/dev/zero: is a character device, not a regular file");
}

TEST(options, a_sweep_is_a_grid_of_checked_values)
{
  parse_result r = parse({"--sweep", "alpha=1.9,2.5:3", "--sweep", "span=2,0.1;bootstrap", "--set", "firms=9"});
  ASSERT_EQ(r.status, parse_status::run) << r.text;
  ASSERT_EQ(r.options.sweep.size(), 2u);
  const auto grid = sweep_grid(r.options.settings, r.options.sweep, true);
  ASSERT_EQ(grid.size(), 4u);
  EXPECT_EQ(grid[1].values, (std::vector<std::string>{"1.9", "bootstrap"}));
  EXPECT_EQ(grid[2].settings.firms, 9);
  EXPECT_EQ(grid[2].settings.alpha.low, 2.5);
  EXPECT_EQ(grid[2].settings.alpha.high, 3.0);
  EXPECT_EQ(grid[2].settings.span.value()[1], 0.1);

  expect_usage_error({"--sweep", "alpha=1.9,0.5"}, "--sweep alpha takes");
  expect_usage_error({"--sweep", "alpha=2", "--sweep", "alpha=3"}, "given twice");
  expect_usage_error({"--sweep", "alpha=2", "--set", "alpha=3"}, "both set and swept");
  expect_usage_error({"--sweep", "alpha"}, "--sweep takes NAME=V1,V2");

  // Each value once, as the settings read it.
  expect_usage_error({"--sweep", "alpha=2,3,2.0"}, "--sweep alpha gives the value 2 twice (as '2' and '2.0')");
  expect_usage_error({"--sweep", "sigma=bootstrap,1,bootstrap"}, "--sweep sigma gives the value bootstrap twice");
  expect_usage_error({"--sweep", "span=1,0.5;1.0,5e-1"}, "--sweep span gives the value 1,0.5 twice");
}

TEST(options, a_sweep_has_at_most_max_points_points)
{
  std::string alphas = "alpha=2", sigmas = "sigma=0";
  for (int i = 1; i < 101; ++i) alphas += "," + std::to_string(2 + i / 1000.0);
  for (int i = 1; i < 100; ++i) sigmas += "," + std::to_string(i / 100.0);
  expect_usage_error({"--sweep", alphas.c_str(), "--sweep", sigmas.c_str()},
                     "--sweep makes 10100 points (101 x 100 values), more than the 10000 allowed; "
                     "--max-points N allows more");
  const parse_result r = parse({"--sweep", alphas.c_str(), "--sweep", sigmas.c_str(), "--max-points", "10100"});
  EXPECT_EQ(r.status, parse_status::run) << r.text;
  expect_usage_error({"--sweep", "alpha=2,3", "--max-points", "1"}, "--sweep makes 2 points (2 values)");
  expect_usage_error({"--max-points", "0"}, "--max-points takes a whole number from 1 to 1000000000");
}

// A setting combination under which a measure is the same in every row is
// refused before the run, naming a value that works.
TEST(options, settings_that_empty_a_measure_are_refused)
{
  const auto problem = [](std::vector<const char*> sets) {
    std::vector<const char*> args;
    for (const char* s : sets) args.insert(args.end(), {"--set", s});
    const parse_result r = parse(args);
    EXPECT_EQ(r.status, parse_status::run) << r.text;
    try {
      check_run(r.options.settings, 2, 16e9);
      return std::string();
    } catch (const run_error& e) {
      EXPECT_EQ(e.status, exit_usage_error);
      return std::string(e.what());
    }
  };
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases{
      {{"firms=1"}, "firms=1 samples one member, whose Gini coefficients of power and pay are 0 in "
                    "every row (use firms=2 or more)"},
      {{"top_fraction=1e-7"}, "top_fraction=1e-07 with firms=1000000 leaves the top group empty "
                              "(floor(firms * top_fraction) = 0), so both top shares would be 0 in "
                              "every row (with firms=1000000 use top_fraction=1e-06 or more)"},
      {{"firms=10", "top_fraction=1e-9"}, "(with firms=10 use top_fraction=0.1 or more)"},
      {{"exponent=0", "sigma=0"}, "exponent=0 with sigma=0 gives every member the same pay, so the Gini "
                                  "of pay would be 0 in every row (give exponent or sigma a value above 0)"},
      {{"exponent=0:0", "sigma=0"}, "exponent=0:0 with sigma=0"},
      {{"span=10000000,0"}, "span=10000000,0 with largest_firm=2300000 puts every member of every firm "
                            "on one level, so all power is equal and the Gini of power would be 0 in "
                            "every row (lower A or B, or use span=bootstrap)"},
      {{"span=1000,5"}, "(lower A or B"},
      {{"span=0.01,0"}, "(raise A or B"},
      {{"exponent=0"}, ""},
      {{"exponent=0:0.1", "sigma=0"}, ""},
      {{"span=2000000,0"}, ""},
      {{"span=0.5,0", "largest_firm=20000"}, "(raise A or B"},
      {{"span=0.5,0"}, ""},
      {{"firms=2", "top_fraction=0.5"}, ""},
      {{"top_fraction=1e-6"}, ""}};
  for (const auto& [sets, message] : cases) {
    const std::string p = problem(sets);
    if (message.empty()) {
      EXPECT_EQ(p, "") << sets[0];
    } else {
      EXPECT_NE(p.find(message), std::string::npos) << sets[0] << ": " << p;
    }
  }

  // The value named keeps one member where 1 / firms, multiplied back,
  // falls short of 1 (firms=49), and nothing smaller does.
  for (int firms = 2; firms < 3000; ++firms) {
    const double f = smallest_top_fraction(firms);
    const auto n = static_cast<std::size_t>(firms);
    ASSERT_EQ(top_count(n, f), 1u) << firms;
    ASSERT_EQ(top_count(n, std::nextafter(f, 0.0)), 0u) << firms;
  }
  const std::string p = problem({"firms=49", "top_fraction=1e-9"});
  const std::size_t at = p.find("use top_fraction=");
  ASSERT_NE(at, std::string::npos) << p;
  EXPECT_EQ(top_count(49, std::strtod(p.c_str() + at + 17, nullptr)), 1u) << p;
}
