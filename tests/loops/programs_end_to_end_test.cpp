// quarnel and vesktor run as programs, a few seeded repetitions at a time.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <gtest/gtest.h>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "loops/model_settings.hpp"
#include "support/process.hpp"

namespace fs = std::filesystem;

namespace {

struct project {
  scratch_dir tmp;
  fs::path root = tmp.path / "p";
  project()
  {
    make_layout(root, DATA_DIR);
    fs::copy_file(QUARNEL_PATH, root / "executables" / "quarnel");
    fs::copy_file(VESKTOR_PATH, root / "executables" / "vesktor");
    fs::create_directories(root / "scripts");
    fs::copy_file(MERGE_SCRIPT, root / "scripts" / "merge_pieces.sh");
    fs::copy_file(fs::path(MERGE_SCRIPT).parent_path() / "slurm_array.sh",
                  root / "scripts" / "slurm_array.sh");
  }
  process_result run(const std::string& program, std::vector<std::string> args,
                     const std::string& threads = "2") const
  {
    args.insert(args.begin(), (root / "executables" / program).string());
    return without_cost_line(run_process(args, root / "executables",
                       {"PATH=" + (root / "bin").string() + ":/usr/bin:/bin",
                        "OMP_NUM_THREADS=" + threads}));
  }
  std::string results(const std::string& name) const { return read_file(root / "results" / name); }
};

std::vector<std::string> fields(const std::string& line)
{
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, ',');) out.push_back(field);
  return out;
}

std::vector<std::vector<double>> parse_rows(const std::string& text)
{
  std::vector<std::vector<double>> rows;
  for (const std::string& line : lines_of(text)) {
    std::vector<double> row;
    for (const std::string& field : fields(line)) row.push_back(std::stod(field));
    rows.push_back(row);
  }
  return rows;
}

}  // namespace

TEST(programs, quarnel_rows_are_bounded_and_independent_of_the_thread_count)
{
  project p;
  process_result r = p.run("quarnel", {"-n", "3", "-s", "7", "-o", "one.csv"}, "1");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines_of(r.out)[0], "Quarnel Model");
  EXPECT_NE(r.out.find(std::string(51, '*')), std::string::npos);
  r = p.run("quarnel", {"-n", "3", "-s", "7", "-o", "two.csv"}, "2");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(p.results("one.csv"), p.results("two.csv"));
  // The post-processing ran in R/ after each run.
  EXPECT_EQ(lines_of(read_file(p.root / "R" / "rscript.log")).size(), 2u);

  const auto rows = parse_rows(p.results("one.csv"));
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 7u);
    EXPECT_GE(row[0], 1.0);
    EXPECT_GE(row[1], 0.0);
    EXPECT_LT(row[1], 1.0);
    EXPECT_GE(row[2], 0.0);
    EXPECT_LT(row[2], 1.0);
    EXPECT_GE(row[3], default_exponent_range.low);
    EXPECT_LE(row[3], default_exponent_range.high);
    EXPECT_GT(row[4], 0.0);
    EXPECT_LE(row[4], 1.0);
    EXPECT_GT(row[5], 0.0);
    EXPECT_LE(row[5], 1.0);
    EXPECT_GE(row[6], model_settings{}.alpha.low);
    EXPECT_LE(row[6], model_settings{}.alpha.high);
  }

  // vesktor with the same seed builds the same economies; only pay differs.
  r = p.run("vesktor", {"-n", "2", "-s", "7", "--no-postprocess"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto frontier = parse_rows(p.results("inequality_frontier.csv"));
  ASSERT_EQ(frontier.size(), 2u);
  const auto frontier_lines = lines_of(p.results("inequality_frontier.csv"));
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(fields(frontier_lines[i])[3], "1.00000000000000e+00");
    EXPECT_EQ(frontier[i][3], 1.0);
    for (int c : {0, 1, 4, 6}) EXPECT_EQ(frontier[i][c], rows[i][c]) << "column " << c;
  }
}

TEST(programs, a_run_split_into_array_tasks_merges_into_the_one_piece_run)
{
  project p;
  process_result r = p.run("quarnel", {"-n", "3", "-s", "5", "--no-postprocess"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string whole = p.results("inequality.csv");
  fs::remove(p.root / "results" / "inequality.csv");

  const auto task = [&p](int k) {
    return run_process({"/bin/bash", (p.root / "scripts" / "slurm_array.sh").string()}, p.root,
                       {"SLURM_ARRAY_TASK_ID=" + std::to_string(k), "SLURM_SUBMIT_DIR=" + p.root.string(),
                        "PROGRAM=quarnel", "SEED=5", "TOTAL=3", "PIECE=2", "OMP_NUM_THREADS=1"});
  };
  const auto merge = [&p]() {
    return run_process({"/bin/bash", (p.root / "scripts" / "merge_pieces.sh").string(), "quarnel", "3", "2"},
                       p.root);
  };

  r = task(1);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines_of(p.results("inequality.piece-00001.csv")).size(), 1u);
  r = merge();  // piece 0 is still missing
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing piece 0"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(p.root / "results" / "inequality.csv"));

  r = task(0);
  ASSERT_EQ(r.status, 0) << r.err;
  r = task(2);  // beyond the run: nothing to do
  EXPECT_EQ(r.status, 0) << r.err;
  r = merge();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(p.results("inequality.csv"), whole);

  // A truncated piece is refused.
  write_file(p.root / "results" / "inequality.piece-00000.csv",
             lines_of(p.results("inequality.piece-00000.csv"))[0] + "\n");
  r = merge();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("piece 0 has 1 rows, expected 2"), std::string::npos) << r.err;
}

// A sweep passed to the array tasks: every task runs every point of its
// piece, and each point merges into the file of the one-piece sweep.
TEST(programs, a_sweep_split_into_array_tasks_merges_point_by_point)
{
  project p;
  process_result r = p.run("vesktor", {"-n", "3", "-s", "5", "-o", "whole.csv", "--no-postprocess", "--set",
                                       "firms=2000", "--sweep", "alpha=2,3"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (int k : {0, 1}) {
    r = run_process({"/bin/bash", (p.root / "scripts" / "slurm_array.sh").string()}, p.root,
                    {"SLURM_ARRAY_TASK_ID=" + std::to_string(k), "PROGRAM=vesktor", "SEED=5", "TOTAL=3",
                     "PIECE=2", "OMP_NUM_THREADS=1", "OPTIONS=--set firms=2000 --sweep alpha=2,3"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  for (const char* point : {"0", "1"}) {
    r = run_process({"/bin/bash", (p.root / "scripts" / "merge_pieces.sh").string(), "vesktor", "3", "2"},
                    p.root, {std::string("POINT=") + point});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(p.results("inequality_frontier." + std::string(point) + ".csv"),
              p.results("whole." + std::string(point) + ".csv"));
  }
}

TEST(programs, a_span_table_of_one_level_is_counted_once_not_warned_per_repetition)
{
  project p;
  write_file(p.root / "data" / "s_empirical.txt", "3 2.5\n3 3.5\n");
  const process_result r = p.run("quarnel", {"-n", "3", "-s", "2", "--no-postprocess"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "note: in 3 of 3 repetitions the resampled span table held a single level; their span "
            "fit is the minimum-norm solution\n");
  EXPECT_EQ(lines_of(p.results("inequality.csv")).size(), 3u);
}

TEST(programs, every_accepted_spelling_of_the_tables_gives_the_same_file)
{
  project p;
  process_result r = p.run("quarnel", {"-n", "2", "-s", "3", "--no-postprocess"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string expected = p.results("inequality.csv");

  // Each spelling rewrites every line of both tables ("2 3.037" or "0.0573").
  const auto respell = [](const std::string& text, const std::string& separator,
                          const std::string& line_end, const std::string& head,
                          const std::string& tail) {
    std::string out = head;
    for (std::string line : lines_of(text)) {
      const auto space = line.find(' ');
      if (space != std::string::npos) line.replace(space, 1, separator);
      out += line + line_end;
    }
    return out + tail;
  };
  const std::vector<std::vector<std::string>> spellings{
      {"\t", "\n", "", ""},
      {",", "\n", "", ""},
      {" , ", "\r\n", "", "\r\n\r\n"},
      {"  ", "\n", "\xEF\xBB\xBF", "\n\n"},
      {" ", "\n", "# a comment line\n\n", "# the end\n"},
  };
  const std::string span = read_file(DATA_DIR "/s_empirical.txt");
  const std::string g = read_file(DATA_DIR "/g_empirical.txt");
  for (const auto& s : spellings) {
    write_file(p.root / "data" / "s_empirical.txt", respell(span, s[0], s[1], s[2], s[3]));
    write_file(p.root / "data" / "g_empirical.txt", respell(g, s[0], s[1], s[2], s[3]));
    r = p.run("quarnel", {"-n", "2", "-s", "3", "--no-postprocess"});
    ASSERT_EQ(r.status, 0) << "separator '" << s[0] << "': " << r.err;
    EXPECT_EQ(p.results("inequality.csv"), expected) << "separator '" << s[0] << "'";
  }
}

namespace {

// The documented derivation, written out with the standard library alone:
// repetition i of seed S seeds its loop engine with the second value of
// seed_seq{lo(S), hi(S), lo(i), hi(i)}; the engine's first uniform gives
// alpha = low + (high - low) U of the alpha setting's default, its second e
// likewise of quarnel's default exponent range.
std::pair<std::string, std::string> exponent_and_alpha(std::uint64_t seed, std::uint64_t index)
{
  std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                         static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(index >> 32)};
  std::array<std::uint32_t, 5> seeds{};
  sequence.generate(seeds.begin(), seeds.end());
  std::mt19937 engine(seeds[1]);
  const auto drawn = [&engine](const drawn_setting& range) {
    return std::fma(range.high - range.low, std::generate_canonical<double, 53>(engine), range.low);
  };
  const double alpha = drawn(model_settings{}.alpha);
  const double e = drawn(default_exponent_range);
  char text[2][32];
  std::snprintf(text[0], sizeof text[0], "%.14e", e);
  std::snprintf(text[1], sizeof text[1], "%.14e", alpha);
  return {text[0], text[1]};
}

// Runs `program` with `args` into results/NAME and returns its rows.
std::vector<std::vector<double>> rows_of(const project& p, const std::string& program, const std::string& name,
                                         std::vector<std::string> args)
{
  args.insert(args.end(), {"-o", name, "--no-postprocess"});
  const process_result r = p.run(program, args);
  EXPECT_EQ(r.status, 0) << r.err;
  return parse_rows(p.results(name));
}

}  // namespace

// Rows as the README publishes them: any change of the seed derivation, of
// the order of the draws or of a model constant changes them.
TEST(programs, seeded_rows_are_the_published_ones)
{
  struct published {
    const char* program;
    std::vector<std::string> args;  // seed and repetitions
    std::uint64_t seed, first;
    std::vector<std::string> rows;
  };
  const std::vector<published> cases{
      {"quarnel", {"-s", "20261208", "-n", "3"}, 20261208, 0,
       {"1.88945800000000e+00,4.12822759741812e-01,1.63421292654096e-01,3.55623755883988e-01,1.97588107021170e-01,3.14639999817829e-02,2.52111170393175e+00",
        "1.02149600000000e+00,1.52608383182110e-03,1.18225414019470e-01,4.95887204925064e-01,1.15113990708207e-02,1.73465142738071e-02,5.85782950065470e+00",
        "4.81629200000000e+00,6.87806312769740e-01,3.33272465146550e-01,5.45627022150781e-01,3.85454205534592e-01,8.57161819409841e-02,2.09971653309338e+00"}},
      {"quarnel", {"-s", "20261208", "-n", "1", "--first-repetition", "122"}, 20261208, 122,
       {"4.88998280000000e+01,8.31800506712037e-01,3.92970634769988e-01,5.40149161276397e-01,5.97985117950594e-01,1.05859258513246e-01,1.80270676333036e+00"}},
      {"quarnel", {"-s", "1", "-n", "1"}, 1, 0,
       {"1.08415200000000e+00,1.98860926198701e-02,1.06458422346434e-01,2.99673004206076e-01,2.97688393798238e-02,1.69749724438284e-02,4.27811940422841e+00"}},
      {"vesktor", {"-s", "20261208", "-n", "1", "--first-repetition", "122"}, 20261208, 122,
       {"4.88998280000000e+01,8.31800506712037e-01,8.31972656708459e-01,1.00000000000000e+00,5.97985117950594e-01,5.86924899148746e-01,1.80270676333036e+00"}},
      {"vesktor", {"-s", "1", "-n", "1"}, 1, 0,
       {"1.08415200000000e+00,1.98860926198701e-02,1.21417615449850e-01,1.00000000000000e+00,2.97688393798238e-02,3.29482165340996e-02,4.27811940422841e+00"}},
  };
  project p;
  for (const published& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "known.csv", "--no-postprocess"});
    const process_result r = p.run(c.program, args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = lines_of(p.results("known.csv"));
    EXPECT_EQ(lines, c.rows) << c.program << " " << c.args[1];
    for (std::size_t j = 0; j < lines.size(); ++j) {
      const auto [e, alpha] = exponent_and_alpha(c.seed, c.first + j);
      EXPECT_EQ(fields(lines[j])[6], alpha) << c.program << " row " << j;
      if (std::string(c.program) == "quarnel") {
        EXPECT_EQ(fields(lines[j])[3], e) << "row " << j;
      }
    }
  }
}

// A run without --seed draws one, reports it, and --seed reproduces the run;
// the metadata beside the results file describes the run.
TEST(programs, an_unseeded_run_is_reproduced_by_the_seed_in_its_metadata)
{
  project p;
  process_result r = p.run("quarnel", {"-n", "2", "-o", "drawn.csv", "--no-postprocess"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto meta = nlohmann::json::parse(p.results("drawn.json"));
  const std::string seed = meta.at("seed").get<std::string>();
  EXPECT_NE(r.err.find("the seed of this run is " + seed), std::string::npos) << r.err;
  EXPECT_EQ(meta.at("seed_source"), "drawn");
  EXPECT_EQ(meta.at("program"), "quarnel");
  EXPECT_EQ(meta.at("version"), QUARNEL_VERSION);
  EXPECT_EQ(meta.at("command_line").size(), 6u);
  EXPECT_EQ(meta.at("first_repetition"), 0);
  EXPECT_EQ(meta.at("repetitions_requested"), 2);
  EXPECT_EQ(meta.at("repetitions_done"), 2);
  EXPECT_EQ(meta.at("threads"), 2);
  EXPECT_EQ(meta.at("status"), "complete");
  EXPECT_TRUE(meta.at("failures").empty());
  EXPECT_FALSE(meta.at("host").get<std::string>().empty());
  EXPECT_GE(meta.at("elapsed_seconds").get<double>(), 0.0);
  const auto is_utc = [](const std::string& t) {  // 2026-12-08T12:30:00Z
    std::tm tm{};
    std::istringstream in(t);
    in >> std::get_time(&tm, "%Y-%m-%dT%H:%M:%S");
    return !in.fail() && t.size() == 20 && t.back() == 'Z';
  };
  EXPECT_TRUE(is_utc(meta.at("start_time").get<std::string>()));
  EXPECT_TRUE(is_utc(meta.at("end_time").get<std::string>()));
  for (const char* table : {"s_empirical.txt", "g_empirical.txt", "power_to_pay_exponent.txt"}) {
    const process_result sum = run_process({"/usr/bin/sha256sum", table}, p.root / "data");
    EXPECT_EQ(meta.at("input_tables").at(table), sum.out.substr(0, 64)) << table;
  }

  r = p.run("quarnel", {"-n", "2", "-s", seed, "-o", "seeded.csv", "--no-postprocess"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(p.results("seeded.csv"), p.results("drawn.csv"));
  EXPECT_EQ(nlohmann::json::parse(p.results("seeded.json")).at("seed_source"), "option");
}

TEST(programs, a_scenario_changes_only_what_it_sets)
{
  project p;
  // (That the defaults give the published rows is tested above.)
  const auto defaults = rows_of(p, "quarnel", "default.csv", {"-n", "3", "-s", "7"});

  // Common random numbers: a fixed alpha leaves the drawn exponent as it was.
  const auto fixed = rows_of(p, "quarnel", "alpha.csv", {"-n", "3", "-s", "7", "--set", "alpha=2.5"});
  ASSERT_EQ(fixed.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(fixed[i][6], 2.5);
    EXPECT_EQ(fixed[i][3], defaults[i][3]);
  }

  const std::vector<double> table{0.37, 0.333, 0.257, 0.224};
  const auto picked = rows_of(p, "quarnel", "table.csv",
                              {"-n", "12", "-s", "7", "--set", "exponent=table", "--set", "firms=2000"});
  ASSERT_EQ(picked.size(), 12u);
  for (const auto& row : picked)
    EXPECT_NE(std::find(table.begin(), table.end(), row[3]), table.end()) << row[3];

  // Without noise dispersion pay is power times a constant: equally unequal.
  const auto flat = rows_of(p, "vesktor", "flat.csv",
                            {"-n", "3", "-s", "7", "--set", "sigma=0", "--set", "firms=5000"});
  for (const auto& row : flat) {
    EXPECT_NEAR(row[2], row[1], 1e-12);
    EXPECT_NEAR(row[5], row[4], 1e-12);
  }
}

TEST(programs, a_sweep_runs_every_point_as_a_single_run)
{
  project p;
  const process_result r = p.run("vesktor", {"-n", "2", "-s", "3", "--set", "firms=3000", "-o", "grid.csv",
                                             "--sweep", "alpha=2,3:4", "--sweep", "sigma=0.5,bootstrap"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(p.results("grid.sweep.csv"),
            "point,file,alpha,sigma\n0,grid.0.csv,2,0.5\n1,grid.1.csv,2,bootstrap\n"
            "2,grid.2.csv,3:4,0.5\n3,grid.3.csv,3:4,bootstrap\n");
  const std::vector<std::vector<std::string>> points{
      {"alpha=2", "sigma=0.5"}, {"alpha=2", "sigma=bootstrap"}, {"alpha=3:4", "sigma=0.5"},
      {"alpha=3:4", "sigma=bootstrap"}};
  for (std::size_t k = 0; k < points.size(); ++k) {
    rows_of(p, "vesktor", "single.csv",
            {"-n", "2", "-s", "3", "--set", "firms=3000", "--set", points[k][0], "--set", points[k][1]});
    EXPECT_EQ(p.results("grid." + std::to_string(k) + ".csv"), p.results("single.csv")) << k;
  }
  // The post-processing is given the sweep table.
  EXPECT_NE(read_file(p.root / "R" / "rscript.log").find("grid.sweep.csv"), std::string::npos);

  // Each point's metadata holds the settings in force.
  const auto settings = nlohmann::json::parse(p.results("grid.2.json")).at("settings");
  EXPECT_EQ(settings.at("alpha"), "3:4");
  EXPECT_EQ(settings.at("sigma"), "0.5");
  EXPECT_EQ(settings.at("firms"), "3000");

  // A resumed sweep keeps the complete points and runs the missing one.
  const std::string last = p.results("grid.3.csv");
  fs::remove(p.root / "results" / "grid.3.csv");
  const process_result resumed =
      p.run("vesktor", {"-n", "2", "-s", "3", "--set", "firms=3000", "-o", "grid.csv", "--sweep",
                        "alpha=2,3:4", "--sweep", "sigma=0.5,bootstrap", "--resume", "--no-postprocess"});
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_NE(resumed.out.find("sweep point 2 of 4: alpha=3:4 sigma=0.5 (complete, kept)"), std::string::npos)
      << resumed.out;
  EXPECT_EQ(resumed.out.find("sweep point 3 of 4: alpha=3:4 sigma=bootstrap (complete"), std::string::npos);
  EXPECT_EQ(p.results("grid.3.csv"), last);
}

TEST(programs, settings_that_cannot_run_are_refused_before_the_run)
{
  project p;
  process_result r = p.run("quarnel", {"--set", "firms=2000000000", "--set", "alpha=20"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("MB per worker"), std::string::npos) << r.err;
  r = p.run("quarnel", {"--sweep", "alpha=2,1.3:2"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("at alpha 1.3 an economy of firms=1000000"), std::string::npos) << r.err;
  r = p.run("vesktor", {"--sweep", "exponent=1,0.5:1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("needs quarnel"), std::string::npos) << r.err;
  r = p.run("vesktor", {"--sweep", "alpha=2,3", "--resume"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--resume of a sweep needs --seed"), std::string::npos) << r.err;
  write_file(p.root / "data" / "power_to_pay_exponent.txt", "0.3\n9\n");
  r = p.run("quarnel", {"--set", "exponent=table"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("power_to_pay_exponent.txt line 2: exponent takes"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_empty(p.root / "results"));
}
