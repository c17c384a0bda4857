// The driver run as a program in a scratch copy of the project layout.
#include <algorithm>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include "records/journal.hpp"
#include "support/process.hpp"

namespace fs = std::filesystem;

namespace {

struct layout {
  scratch_dir tmp;
  fs::path root = tmp.path / "p";
  layout() { make_layout(root, DATA_DIR); }

  process_result run(const std::vector<std::string>& args = {}, const fs::path& cwd = {},
                     std::vector<std::string> env = {}) const
  {
    return without_cost_line(wait_process(start(args, cwd, std::move(env))));
  }
  started_process start(const std::vector<std::string>& args = {}, const fs::path& cwd = {},
                        std::vector<std::string> env = {}) const
  {
    std::vector<std::string> argv{PROBE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    // Defaults first, so that the caller's settings win.
    env.insert(env.begin(), {"PATH=" + (root / "bin").string() + ":/usr/bin:/bin",
                             "OMP_NUM_THREADS=2"});
    return start_process(argv, cwd.empty() ? root / "executables" : cwd, env);
  }
  fs::path journal() const { return root / "results" / "inequality.csv.journal"; }
  nlohmann::json metadata(const std::string& stem = "inequality") const
  {
    return nlohmann::json::parse(read_file(root / "results" / (stem + ".json")));
  }
  // The seeded run of `n` repetitions, whole, as results/whole.csv.
  std::string whole_run(int n) const
  {
    const process_result r = run({"-n", std::to_string(n), "-s", "3", "-o", "whole.csv", "--no-postprocess"});
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(root / "results" / "whole.csv");
  }
  // The results file of the run on inequality.csv that `r` resumed, after
  // checking that it completed.
  std::string resumed(const process_result& r) const
  {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(journal()));
    EXPECT_EQ(metadata().at("status"), "complete");
    return read_file(root / "results" / "inequality.csv");
  }
  std::string resumed() const { return resumed(run({"--resume", "--no-postprocess"})); }
  // Every file in results/ with its contents.
  std::map<std::string, std::string> snapshot() const
  {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(root / "results")) files[e.path().filename()] = read_file(e.path());
    return files;
  }
  std::vector<std::string> results() const
  {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root / "results")) names.push_back(e.path().filename());
    return names;
  }
};

void expect_console(const std::string& out)
{
  const auto lines = lines_of(out);
  ASSERT_EQ(lines.size(), 7u) << out;
  EXPECT_EQ(lines[0], "Quarnel Model");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "0%   10   20   30   40   50   60   70   80   90   100%");
  EXPECT_EQ(lines[3], "|----|----|----|----|----|----|----|----|----|----|");
  EXPECT_EQ(lines[4], std::string(51, '*'));
  EXPECT_EQ(lines[5].rfind("elapsed time: ", 0), 0u);
  EXPECT_EQ(lines[5].substr(lines[5].size() - 2), " s");
  EXPECT_EQ(lines[6], "");
}

void expect_setup_error(const process_result& r, const std::string& fragment, const layout& l)
{
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
  EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
  EXPECT_TRUE(l.results().empty());
  EXPECT_FALSE(fs::exists(l.root / "R" / "rscript.log"));
}

}  // namespace

TEST(driver_end_to_end, a_run_reads_data_writes_results_and_postprocesses_in_R)
{
  layout l;
  const process_result raw = wait_process(l.start());
  // Every run ends its messages with what it cost.
  EXPECT_EQ(lines_of(raw.err).back().rfind("run cost: 120 rows in ", 0), 0u) << raw.err;
  EXPECT_NE(raw.err.find(" core-seconds per repetition\n"), std::string::npos) << raw.err;
  const process_result r = without_cost_line(raw);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto notes = lines_of(r.err);
  ASSERT_EQ(notes.size(), 1u) << r.err;
  EXPECT_EQ(notes[0].rfind("note: the seed of this run is ", 0), 0u) << r.err;
  expect_console(r.out);

  auto files = l.results();
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"inequality.csv", "inequality.json"}));
  const auto rows = lines_of(read_file(l.root / "results" / "inequality.csv"));
  ASSERT_EQ(rows.size(), 120u);
  EXPECT_EQ(rows[0].substr(0, 54), "0,3.03700000000000e+00,5.73000000000000e-02,nan,inf,0,");
  EXPECT_EQ(rows[119].substr(0, 21), "1.19000000000000e+02,");
  // The metadata ties the file to what it holds.
  const process_result sum = run_process({"/usr/bin/sha256sum", "inequality.csv"}, l.root / "results");
  EXPECT_EQ(l.metadata().at("results_file_sha256"), sum.out.substr(0, 64));
  EXPECT_EQ(l.metadata().at("results_file_rows"), 120);

  EXPECT_EQ(read_file(l.root / "R" / "rscript.log"),
            fs::canonical(l.root / "R").string() + " energy_estimator.R\n");
}

TEST(driver_end_to_end, options_narrow_and_redirect_the_run)
{
  layout l;
  fs::create_directories(l.root / "executables" / "bin");
  const process_result r = l.run({"-n", "3", "-o", "piece.csv", "--no-postprocess", "-s", "77",
                                  "--first-repetition", "10"},
                                 l.root / "executables" / "bin");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto rows = lines_of(read_file(l.root / "results" / "piece.csv"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].substr(0, 21), "1.00000000000000e+01,");
  EXPECT_EQ(rows[2].substr(rows[2].size() - 20), "7.70000000000000e+01");
  EXPECT_FALSE(fs::exists(l.root / "R" / "rscript.log"));
}

TEST(driver_end_to_end, usage_errors_read_and_write_nothing)
{
  layout l;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--bogus"}, {"-n", "x"}, {"-o", "../x.csv"}, {"--first-repetition", "2"},
        // not UTF-8: a stray byte, an overlong '/', a surrogate, above U+10FFFF, cut short
        {"-o", "\xff.csv"}, {"-o", "a\xc0\xaf.csv"}, {"-o", "\xed\xa0\x80.csv"}, {"-o", "\xf4\x90\x80\x80"},
        {"-o", "x.csv\xc3"}}) {
    const process_result r = l.run(args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Usage: quarnel"), std::string::npos) << r.err;
    EXPECT_TRUE(l.results().empty());
  }
  // So are an output name that reaches another output's files, and settings
  // that leave a measure empty at any point of a sweep.
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused{
      {{"-o", "inequality.csv.journal"}, "quarnel: --output takes a file name ending in .csv"},
      {{"-o", "inequality"}, "quarnel: --output takes a file name ending in .csv"},
      {{"--sweep", "top_fraction=0.01,1e-7"}, "quarnel: top_fraction=1e-07 with firms=1000000 leaves"}};
  for (const auto& [args, message] : refused) {
    const process_result r = l.run(args);
    EXPECT_EQ(r.status, 2) << args[1];
    EXPECT_EQ(r.err.rfind(message, 0), 0u) << r.err;
    EXPECT_TRUE(l.results().empty());
  }
  const process_result help = l.run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("OMP_NUM_THREADS"), std::string::npos);
}

TEST(driver_end_to_end, an_unusable_layout_stops_before_anything_is_written)
{
  {
    layout l;
    fs::create_directories(l.root / "elsewhere");
    const process_result r = l.run({}, l.root / "elsewhere");
    expect_setup_error(r, (l.root / "elsewhere").string(), l);
    EXPECT_NE(r.err.find("executables"), std::string::npos);
  }
  {
    layout l;
    fs::remove_all(l.root / "data");
    expect_setup_error(l.run(), "cannot enter the data directory", l);
  }
  {
    layout l;
    fs::remove_all(l.root / "results");
    const process_result r = l.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("results directory"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(l.root / "results"));
  }
}

TEST(driver_end_to_end, a_working_directory_that_is_gone_is_reported)
{
  layout l;
  const std::string gone = (l.root / "executables" / "gone").string();
  const process_result r = run_process(
      {"/bin/sh", "-c", "mkdir \"$0\" && cd \"$0\" && rmdir \"$0\" && exec \"$1\"", gone, PROBE_PATH},
      l.root / "executables");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("cannot determine the working directory"), std::string::npos) << r.err;
  EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
  EXPECT_TRUE(l.results().empty());
}

TEST(driver_end_to_end, unusable_input_tables_are_named)
{
  const std::vector<std::pair<std::string, std::string>> cases{
      {"g_empirical.txt", ""},            // empty
      {"g_empirical.txt", "0.1\n1.5\n"},  // not a Gini coefficient
      {"s_empirical.txt", "2\n3\n4\n"},   // one column
      {"s_empirical.txt", "2 3.0\n3 -1.0\n"},
      {"s_empirical.txt", "level span\n2 3.0\n"},
  };
  for (const auto& [file, text] : cases) {
    layout l;
    write_file(l.root / "data" / file, text);
    expect_setup_error(l.run(), file, l);
  }
  layout l;
  fs::remove(l.root / "data" / "g_empirical.txt");
  expect_setup_error(l.run(), "g_empirical.txt", l);
}

// A table that is no regular file stops the run, or is only noted when
// unused; none blocks the program or fills its memory. An environment value
// the kernels ignore is named once at the start.
TEST(driver_end_to_end, special_files_as_tables_and_an_ignored_vector_limit_are_named)
{
  {
    layout l;
    fs::remove(l.root / "data" / "g_empirical.txt");
    fs::create_symlink("/dev/zero", l.root / "data" / "g_empirical.txt");
    expect_setup_error(l.run(), "g_empirical.txt: is a character device (it links to /dev/zero), not a regular file", l);
  }
  layout l;
  const fs::path unused = l.root / "data" / "power_to_pay_exponent.txt";
  fs::remove(unused);
  ASSERT_EQ(::mkfifo(unused.c_str(), 0600), 0);
  const std::string fifo_note = "power_to_pay_exponent.txt: is a FIFO (named pipe), not a regular file "
                                "(this table is not used)";
  process_result r = l.run({"-n", "2", "-s", "1", "--no-postprocess"}, {}, {"QUARNEL_VECTORS=bogus"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto notes = lines_of(r.err);
  ASSERT_EQ(notes.size(), 2u) << r.err;
  EXPECT_EQ(notes[0], "note: QUARNEL_VECTORS='bogus' is ignored (it takes baseline or avx2); the kernels "
                      "use the widest vectors the processor has");
  EXPECT_NE(notes[1].find(fifo_note), std::string::npos) << r.err;
  EXPECT_TRUE(l.metadata().at("input_tables").at("power_to_pay_exponent.txt").is_null());
  for (const char* taken : {"QUARNEL_VECTORS=avx2", "QUARNEL_VECTORS=baseline", "QUARNEL_VECTORS="}) {
    r = l.run({"-n", "2", "-s", "1", "--no-postprocess"}, {}, {taken});
    EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
  }
}

TEST(driver_end_to_end, a_missing_pay_exponent_table_or_Rscript_is_only_a_note)
{
  layout l;
  fs::remove(l.root / "data" / "power_to_pay_exponent.txt");
  process_result r = l.run({"-n", "2"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("power_to_pay_exponent.txt"), std::string::npos);

  r = l.run({"-n", "2"}, {}, {"PATH=/nonexistent"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Rscript was not found"), std::string::npos) << r.err;
}

TEST(driver_end_to_end, a_failed_repetition_keeps_the_finished_rows_in_the_journal)
{
  layout l;
  const std::string whole = l.whole_run(120);
  const process_result r = l.run({"-s", "3", "--no-postprocess"}, {},
                                 {"QUARNEL_PROBE_FAIL_AT=4", "OMP_NUM_THREADS=1"});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.err.find("repetition 4 failed: forced failure (rerun it with --seed 3 "
                       "--first-repetition 4 --repetitions 1)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("4 of 120 rows are saved in " + (fs::canonical(l.root / "results") / "inequality.csv.journal").string()),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(l.root / "results" / "inequality.csv"));
  const journal_contents journal = parse_journal(read_file(l.journal()));
  ASSERT_EQ(journal.rows.size(), 4u);
  EXPECT_EQ(journal.rows[3].first, 3u);
  EXPECT_EQ(journal.rows[3].second[1], 3.037);
  const auto meta = l.metadata();
  EXPECT_EQ(meta.at("status"), "failed");
  EXPECT_EQ(meta.at("repetitions_done"), 4);
  EXPECT_EQ(meta.at("failures"), nlohmann::json::parse(R"([{"repetition":4,"message":"forced failure"}])"));
  EXPECT_FALSE(fs::exists(l.root / "R" / "rscript.log"));

  // Once the cause is gone, resuming retries the failed repetition.
  EXPECT_EQ(l.resumed(), whole);
  EXPECT_EQ(l.metadata().at("resumed_rows"), 4);
}

// Started with its standard error closed, a run writes its messages to
// /dev/null, not into the journal that would otherwise take descriptor 2.
TEST(driver_end_to_end, a_closed_standard_error_keeps_messages_out_of_the_journal)
{
  layout l;
  const std::string whole = l.whole_run(120);
  const process_result r =
      wait_process(start_process({PROBE_PATH, "-s", "3", "--no-postprocess"}, l.root / "executables",
                                 {"QUARNEL_PROBE_FAIL_AT=4", "OMP_NUM_THREADS=1"}, 2));
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(l.resumed(), whole);
}

// Runs of 200 repetitions of 10 ms each on two threads, stopped at several
// points, resume to the file of the uninterrupted run.
TEST(driver_end_to_end, a_stopped_run_resumes_to_the_uninterrupted_file)
{
  layout l;
  const std::string whole = l.whole_run(200);
  const std::vector<std::string> args{"-n", "200", "-s", "3", "--no-postprocess"};
  const std::vector<std::string> slow{"QUARNEL_PROBE_MS=10"};
  // Clean stops: a resume command on stderr, 128 + the signal, a valid journal.
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    const started_process p = l.start(args, {}, slow);
    ASSERT_TRUE(wait_for_lines(l.journal(), 6));
    ::kill(p.pid, signal);
    const process_result r = wait_process(p);
    EXPECT_EQ(r.status, 128 + signal) << r.err;
    const journal_contents journal = parse_journal(read_file(l.journal()));
    EXPECT_FALSE(journal.torn);
    EXPECT_NE(r.err.find(std::to_string(journal.rows.size()) + " of 200 rows are saved in "), std::string::npos) << r.err;
    EXPECT_EQ(l.metadata().at("status"), "interrupted");
    EXPECT_EQ(l.metadata().at("repetitions_done"), journal.rows.size());
    const auto at = r.err.find("resume with: ");
    ASSERT_NE(at, std::string::npos) << r.err;
    const std::string command = lines_of(r.err.substr(at + 13))[0];
    EXPECT_EQ(l.resumed(run_process({"/bin/sh", "-c", command}, l.root, slow)), whole) << command;
  }
  // Killed outright (SIGKILL, or a second SIGINT) at several points; once with
  // a last line cut mid-write.
  for (int rows : {1, 15, 60, -1}) {
    const started_process p = l.start(args, {}, slow);
    ASSERT_TRUE(wait_for_lines(l.journal(), 1 + std::max(rows, 20)));
    ::kill(p.pid, rows < 0 ? SIGINT : SIGKILL);
    if (rows < 0) ::kill(p.pid, SIGINT);
    EXPECT_EQ(wait_process(p).status, rows < 0 ? 130 : 128 + SIGKILL);
    if (rows == 15) {
      std::ofstream(l.journal(), std::ios::app) << "199,0x1.8p+1,0x1.";
      EXPECT_TRUE(parse_journal(read_file(l.journal())).torn);
    }
    EXPECT_EQ(l.resumed(), whole) << rows;
  }
}

TEST(driver_end_to_end, a_journal_of_another_run_or_a_second_writer_is_refused)
{
  layout l;
  const std::vector<std::string> args{"-n", "200", "-s", "3", "--no-postprocess"};
  const started_process p = l.start(args, {}, {"QUARNEL_PROBE_MS=10"});
  ASSERT_TRUE(wait_for_lines(l.journal(), 3));
  process_result r = l.run(args);  // a second run on the same output
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("another run is writing this journal"), std::string::npos) << r.err;
  r = l.run({"--resume"});
  EXPECT_NE(r.err.find("another run is writing this journal"), std::string::npos) << r.err;
  ::kill(p.pid, SIGTERM);
  EXPECT_EQ(wait_process(p).status, 143);

  const std::string journal = read_file(l.journal());
  const auto refused = [&l, &journal](const std::string& text, const std::vector<std::string>& args,
                                      const std::string& why) {
    write_file(l.journal(), text);
    const process_result r = l.run(args);
    EXPECT_EQ(r.status, 1) << why;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    EXPECT_EQ(read_file(l.journal()), text) << why;
    write_file(l.journal(), journal);
  };
  refused(journal, {"-n", "200", "-s", "4", "--resume"}, "the seed differs: the journal has 3, this run 4");
  refused(journal, {"-n", "100", "--resume"}, "the repetition count differs");
  refused(journal, args, "holds the rows of an earlier run that did not finish");
  journal_header vesktor = parse_journal(journal).header;
  vesktor.program = "vesktor";
  const std::string rows = journal.substr(journal.find('\n') + 1);
  refused(format_journal_header(vesktor) + rows, {"--resume"}, "the program differs: the journal has vesktor, this run quarnel");
  // A damaged line is named by file and line, a row as well as the header.
  const std::string named = (fs::canonical(l.root / "results") / "inequality.csv.journal").string();
  std::string damaged = journal;
  damaged[journal.find('\n', journal.find('\n') + 1) - 12] ^= 1;  // the last value of line 2
  refused(damaged, {"--resume"}, named + ": line 2: the row '");
  damaged = journal;
  damaged.replace(damaged.find("\"seed\":\"3\""), 10, "\"seed\":\"4\"");
  refused(damaged, {"--resume"}, named + ": line 1: the header does not match its checksum");
  refused(journal + "x,1\n7,0x1p+0\n", {"--resume"}, "line " + std::to_string(lines_of(journal).size() + 1) + ": malformed row 'x,1'");
  refused("{\"format\":\"quarnel-journal\"\n", {"--resume"}, "line 1: unreadable header");
  write_file(l.root / "data" / "g_empirical.txt", "0.25\n");
  refused(journal, {"--resume"}, "the input table g_empirical.txt differs");
  fs::remove(l.journal());
  r = l.run({"--resume"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("there is no journal to resume"), std::string::npos) << r.err;
}

// A journal of the previous format (no checksums) keeps its rows and its
// format across resumes.
TEST(driver_end_to_end, a_version_1_journal_resumes_in_its_own_format)
{
  layout l;
  const std::string whole = l.whole_run(120);
  EXPECT_EQ(l.run({"-s", "3", "--no-postprocess"}, {}, {"QUARNEL_PROBE_FAIL_AT=4", "OMP_NUM_THREADS=1"}).status, 4);
  std::string old;  // the same journal without checksums, as version 1
  for (const std::string& line : lines_of(read_file(l.journal()))) {
    const auto sum = line.rfind(line[0] == '{' ? ",\"crc32c\"" : ",");
    old += line.substr(0, sum) + (line[0] == '{' ? "}\n" : "\n");
  }
  old.replace(old.find("\"format_version\":2"), 18, "\"format_version\":1");
  write_file(l.journal(), old);
  const process_result r = l.run({"--resume", "--no-postprocess"}, {}, {"QUARNEL_PROBE_FAIL_AT=8", "OMP_NUM_THREADS=1"});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_EQ(r.err.find("note: " + (fs::canonical(l.root / "results") / "inequality.csv.journal").string() +
                       " is a version 1 journal: its rows carry no checksums"), 0u) << r.err;
  const journal_contents c = parse_journal(read_file(l.journal()));
  EXPECT_EQ(c.format_version, 1);
  EXPECT_EQ(c.rows.size(), 8u);
  EXPECT_EQ(l.resumed(), whole);
}

// A closed standard output ends the progress display, not the run.
TEST(driver_end_to_end, a_closed_standard_output_does_not_stop_the_run)
{
  layout l;
  const process_result r = run_process(
      {"/bin/bash", "-c", "\"$0\" -n 40 -s 1 --no-postprocess | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}",
       PROBE_PATH},
      l.root / "executables", {"QUARNEL_PROBE_MS=10", "OMP_NUM_THREADS=2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines_of(read_file(l.root / "results" / "inequality.csv")).size(), 40u);
}

TEST(driver_end_to_end, a_failed_save_goes_to_a_fallback_file)
{
  layout l;
  // A directory appears where the results go while the run goes on: the
  // rename over it fails.
  const process_result r = l.run(
      {"-n", "5"}, {}, {"QUARNEL_PROBE_MKDIR=" + (l.root / "results" / "inequality.csv").string()});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("could not save the results"), std::string::npos) << r.err;
  const auto at = r.err.find("saved instead to ");
  ASSERT_NE(at, std::string::npos) << r.err;
  const std::string fallback = lines_of(r.err.substr(at + 17))[0];
  EXPECT_EQ(lines_of(read_file(fallback)).size(), 5u);
  fs::remove(fallback);
  EXPECT_FALSE(fs::exists(l.root / "R" / "rscript.log"));
}

// A journal that stops taking rows (a full disk; here a file size limit that
// the results file meets too) is never claimed to hold them.
TEST(driver_end_to_end, a_journal_that_fails_is_not_said_to_keep_the_rows)
{
  layout l;
  const std::string whole = l.whole_run(100);
  fs::create_directories(l.root / "tmp");
  const process_result r = run_process(
      {"/bin/bash", "-c",
       "trap '' XFSZ; { ulimit -f 2 && exec \"$0\" \"$@\"; } 2>&1 | cat; exit ${PIPESTATUS[0]}", PROBE_PATH,
       "-n", "100", "-s", "3", "--no-postprocess"},
      l.root / "executables", {"TMPDIR=" + (l.root / "tmp").string()});
  EXPECT_EQ(r.status, 3) << r.out;
  const std::string journal = (fs::canonical(l.root / "results") / "inequality.csv.journal").string();
  EXPECT_NE(r.out.find("could not write the journal " + journal + ": File too large"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("could not write a fallback file either"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("the rows also stay in"), std::string::npos) << r.out;
  const std::string last = lines_of(r.out).back();
  EXPECT_EQ(last.rfind("the journal " + journal + " misses rows (all are in the table above); cd ", 0), 0u) << last;
  const std::string tail = " --resume runs them again and writes the file";
  EXPECT_EQ(last.substr(last.size() - std::min(last.size(), tail.size())), tail);
  EXPECT_EQ(l.resumed(), whole);
}

TEST(driver_end_to_end, stray_bytes_and_shapes_in_a_table_stop_the_run_naming_line_and_column)
{
  const std::vector<std::tuple<std::string, std::string, std::string>> cases{
      {"g_empirical.txt", "0.0573\n0.0829\xC2\xA0\n", "g_empirical.txt line 2, column 7: unexpected bytes \\xc2\\xa0 (a no-break space)"},
      {"g_empirical.txt", std::string("0.0573\n\0\n", 9), "g_empirical.txt line 2, column 1: unexpected bytes \\x00 (a NUL byte)"},
      {"g_empirical.txt", "\xFF\xFE" "0\n", "line 1, column 1: unexpected bytes \\xff\\xfe (a UTF-16 byte-order mark"},
      {"s_empirical.txt", "2 3,037\n3 1,212\n", "s_empirical.txt line 1, column 1: commas and blanks both separate values"},
      {"s_empirical.txt", "\xEF\xBB\xBF" "2\xC2\xA0" "3.037\n", "s_empirical.txt line 1, column 2: unexpected bytes \\xc2\\xa0"},
      {"s_empirical.txt", "level span\n2 3.0\n", "s_empirical.txt line 1 is a header: 'level span'"},
  };
  for (const auto& [file, text, fragment] : cases) {
    layout l;
    write_file(l.root / "data" / file, text);
    const process_result r = l.run();
    expect_setup_error(r, fragment, l);
    EXPECT_EQ(r.out, "Quarnel Model\n");  // no repetition ran
  }
  for (const std::string what : {"missing", "directory"}) {
    layout l;
    fs::remove(l.root / "data" / "g_empirical.txt");
    if (what == "directory") fs::create_directories(l.root / "data" / "g_empirical.txt");
    expect_setup_error(l.run(), what == "missing" ? "g_empirical.txt: file not found"
                                                  : "g_empirical.txt: is a directory", l);
  }
}

TEST(driver_end_to_end, look_alike_directory_names_are_ordinary_directories)
{
  // Each parent misled the former rewrite of the first occurrence of a
  // word: into the decoy beside it (which exists here), or to a path that
  // does not exist.
  const std::vector<std::pair<std::string, std::string>> cases{
      {"data/u", "results"}, {"bigdata/run1", "bigresults"}, {"results_archive", "R"},
      {"executables_v2", "data"}};
  for (const auto& [parent, decoy] : cases) {
    scratch_dir tmp;
    const fs::path root = tmp.path / parent / "p";
    make_layout(root, DATA_DIR);
    fs::create_directories(tmp.path / decoy);
    const process_result r = run_process({PROBE_PATH, "-n", "2", "-s", "4"}, root / "executables",
                                         {"PATH=" + (root / "bin").string() + ":/usr/bin:/bin"});
    ASSERT_EQ(r.status, 0) << parent << ": " << r.err;
    EXPECT_EQ(lines_of(read_file(root / "results" / "inequality.csv")).size(), 2u) << parent;
    EXPECT_EQ(read_file(root / "R" / "rscript.log"),
              fs::canonical(root / "R").string() + " energy_estimator.R\n");
    EXPECT_TRUE(fs::is_empty(tmp.path / decoy)) << parent;
  }
}

TEST(driver_end_to_end, results_target_and_memory_are_checked_before_the_run)
{
  {
    layout l;  // legal for -o, too long once saving adds its suffixes
    const process_result r = l.run({"-o", std::string(246, 'x') + ".csv"});
    expect_setup_error(r, "the results file name is 250 bytes long", l);
    EXPECT_EQ(r.out, "Quarnel Model\n");
  }
  {
    layout l;
    fs::create_directories(l.root / "results" / "piece.csv");
    const process_result r = l.run({"-o", "piece.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("results/piece.csv is a directory"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "Quarnel Model\n");
  }
  {
    layout l;
    fs::remove_all(l.root / "results");
    write_file(l.root / "results", "");
    const process_result r = l.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("results is not a directory"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(l.root / "results"), "");
  }
  {
    layout l;  // the parser's bound, then the machine's memory
    EXPECT_EQ(l.run({"-n", "2147483647"}).status, 2);
    const process_result r = l.run({"-n", "1000000000"});
    const double memory = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGESIZE));
    if (memory < 1e9 * 211) {
      expect_setup_error(r, "the results of 1000000000 repetitions need 196.5 GiB of memory", l);
      EXPECT_EQ(r.out, "Quarnel Model\n");
    }
    // Resumed without -n, the journal's count is what must fit.
    EXPECT_EQ(l.run({"-s", "3"}, {}, {"QUARNEL_PROBE_FAIL_AT=0"}).status, 4);
    journal_header huge = parse_journal(read_file(l.journal())).header;
    huge.repetitions = 900000000;
    write_file(l.journal(), format_journal_header(huge));
    const process_result resumed = l.run({"--resume"});
    if (memory < 9e8 * 211) {
      EXPECT_EQ(resumed.status, 1) << resumed.err;
      EXPECT_EQ(resumed.err.find("the results of 900000000 repetitions need"), 0u) << resumed.err;
      EXPECT_EQ(read_file(l.journal()), format_journal_header(huge));
    }
  }
#if !defined(__SANITIZE_ADDRESS__)  // its shadow memory needs more address space
  {
    layout l;  // memory that runs out all the same is reported, and the fresh journal removed
    const process_result r = run_process(
        {"/bin/bash", "-c", "ulimit -v 300000 && exec \"$0\" \"$@\"", PROBE_PATH, "-n", "10000000", "-s", "3"},
        l.root / "executables", {"PATH=" + (l.root / "bin").string() + ":/usr/bin:/bin"});
    expect_setup_error(r, "quarnel: ran out of memory (std::bad_alloc) before the repetitions started", l);
  }
#endif
  {
    layout l;  // a missing post-processing script is only a note, given up front
    fs::remove(l.root / "R" / "energy_estimator.R");
    const process_result r = l.run({"-n", "2", "-s", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "note: " + (fs::canonical(l.root / "R") / "energy_estimator.R").string() +
                         " not found; the results will not be post-processed\n");
    EXPECT_FALSE(fs::exists(l.root / "R" / "rscript.log"));
  }
}

TEST(driver_end_to_end, a_named_output_is_post_processed_and_a_failing_script_noted)
{
  layout l;
  process_result r = l.run({"-n", "2", "-s", "1", "-o", "it's mine.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string r_dir = fs::canonical(l.root / "R").string();
  EXPECT_EQ(read_file(l.root / "R" / "rscript.log"), r_dir + " energy_estimator.R -- it's mine.csv\n");

  r = l.run({"-n", "2", "-s", "1", "-o", "inequality.csv"}, {}, {"RSCRIPT_STATUS=3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "note: the post-processing (Rscript energy_estimator.R in " + r_dir +
                       ") exited with status 3\n");
  EXPECT_EQ(lines_of(read_file(l.root / "R" / "rscript.log")).back(),
            r_dir + " energy_estimator.R");
}

// Any name reaches the script as a name, and the script's output stays off a
// standard output that is gone: closed, or a pipe without reader.
TEST(driver_end_to_end, the_post_processing_takes_any_name_and_avoids_a_gone_standard_output)
{
  layout l;
  const std::string r_dir = fs::canonical(l.root / "R").string();
  for (const auto& [option, name] : {std::pair<std::string, std::string>{"-o", "-x \xc3\xa9.csv"},
                                     {"--output=", "--help.csv"}}) {
    const std::vector<std::string> output =
        option == "-o" ? std::vector<std::string>{option, name} : std::vector<std::string>{option + name};
    std::vector<std::string> args{"-n", "1", "-s", "1"};
    args.insert(args.end(), output.begin(), output.end());
    const process_result r = l.run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lines_of(read_file(l.root / "R" / "rscript.log")).back(), r_dir + " energy_estimator.R -- " + name);
  }
  const std::vector<std::string> env{"PATH=" + (l.root / "bin").string() + ":/usr/bin:/bin",
                                     "OMP_NUM_THREADS=2", "RSCRIPT_SAY=said by the script"};
  for (const std::string redirect : {">&-", ">&4 4>&-"}) {
    const process_result r = run_process(
        {"/bin/bash", "-c",
         "mkfifo pipe && exec 3<>pipe 4>pipe 3<&- && rm pipe && \"$0\" -n 2 -s 1 " + redirect, PROBE_PATH},
        l.root / "executables", env);
    EXPECT_EQ(r.status, 0) << redirect << ": " << r.err;
    // A closed standard output is /dev/null from the start; a pipe without
    // reader is found gone, and the script speaks on stderr.
    if (redirect != ">&-") {
      EXPECT_NE(r.err.find("said by the script"), std::string::npos) << redirect << ": " << r.err;
    }
  }
}

TEST(driver_end_to_end, the_metadata_holds_64_bit_values_exactly_and_names_the_build)
{
  layout l;
  // 2^53 + 1 and + 2 are beyond what a reader holding doubles keeps; 2^53 is not.
  process_result r = l.run({"-n", "2", "-s", "1", "--first-repetition", "9007199254740993", "-o", "big.csv",
                            "--no-postprocess"},
                           {}, {"QUARNEL_PROBE_FAIL_AT=9007199254740994"});
  EXPECT_EQ(r.status, 4) << r.err;
  nlohmann::json meta = l.metadata("big");
  EXPECT_EQ(meta.at("first_repetition"), "9007199254740993");
  EXPECT_EQ(meta.at("failures").at(0).at("repetition"), "9007199254740994");
  r = l.run({"-n", "1", "-s", "1", "--first-repetition", "9007199254740992", "--no-postprocess"});
  EXPECT_EQ(r.status, 0) << r.err;
  meta = l.metadata();
  EXPECT_TRUE(meta.at("first_repetition").is_number());
  EXPECT_EQ(meta.at("first_repetition"), 9007199254740992u);
  EXPECT_EQ(meta.at("input_tables_sha256"), meta.at("input_tables"));
  EXPECT_EQ(meta.at("input_tables_sha256").size(), 3u);
  EXPECT_EQ(meta.at("standard_library").get<std::string>().rfind("libstdc++ ", 0), 0u);
  EXPECT_NE(meta.at("compiler").get<std::string>(), "");
}

// The two-point sweep of the sweep tests, with `extra` arguments.
std::vector<std::string> sweep_args(std::vector<std::string> extra = {})
{
  std::vector<std::string> args{"-n", "3", "-s", "3", "-o", "grid.csv", "--no-postprocess", "--sweep", "alpha=2,3"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(driver_end_to_end, a_resumed_sweep_keeps_only_points_made_with_todays_inputs)
{
  layout l;
  const fs::path results = l.root / "results";
  fs::create_directories(results / "grid.1.json");  // in the way of point 1's metadata
  process_result r = l.run(sweep_args());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("results/grid.1.json is a directory"), std::string::npos) << r.err;
  fs::remove(results / "grid.1.json");

  r = l.run(sweep_args());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines_of(r.out)[1], "sweep of 2 points (2 values of alpha): 5 files in results/, grid.<k>.csv "
                                "and grid.<k>.json for k = 0 to 1, and grid.sweep.csv");

  // A corrected table: no point made with the old one is kept.
  write_file(l.root / "data" / "g_empirical.txt", "0.25\n");
  r = l.run(sweep_args({"--resume"}));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* point : {"0 of 2: alpha=2", "1 of 2: alpha=3"}) {
    EXPECT_NE(r.out.find("sweep point " + std::string(point) +
                         " (made with other input tables: g_empirical.txt; run again)\n"),
              std::string::npos)
        << r.out;
  }
  EXPECT_EQ(lines_of(read_file(results / "grid.0.csv"))[0].substr(0, 43),
            "0,3.03700000000000e+00,2.50000000000000e-01");

  // Another program version: that point runs again, the other is kept.
  auto meta = l.metadata("grid.1");
  meta["version"] = "0.0.0";
  write_file(results / "grid.1.json", meta.dump());
  r = l.run(sweep_args({"--resume"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("sweep point 0 of 2: alpha=2 (complete, kept)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sweep point 1 of 2: alpha=3 (made with another version (0.0.0); run again)\n"),
            std::string::npos)
      << r.out;

  // A results file that is not what its metadata records is refused, and
  // nothing is written.
  write_file(results / "grid.1.csv", read_file(results / "grid.1.csv") + "1,2,3,4,5,6,7\n");
  const auto before = l.snapshot();
  r = l.run(sweep_args({"--resume"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("grid.1.csv does not hold what its metadata grid.1.json records (3 rows, SHA-256 " +
                       l.metadata("grid.1").at("results_file_sha256").get<std::string>() + "; the file has 4 rows"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("sweep point"), std::string::npos) << r.out;
  EXPECT_EQ(l.snapshot(), before);
}

// The second sweep comes while the first runs its last point, with every
// earlier point's files free.
TEST(driver_end_to_end, a_second_sweep_on_the_same_stem_is_refused_before_it_writes)
{
  layout l;
  const fs::path results = l.root / "results";
  const std::vector<std::string> args{"-n", "300", "-s", "3", "-o", "grid.csv", "--no-postprocess", "--sweep",
                                      "alpha=2,3"};
  const started_process first = l.start(args, {}, {"QUARNEL_PROBE_MS=10"});
  ASSERT_TRUE(wait_for_lines(results / "grid.1.csv.journal", 3));
  const std::string point0 = read_file(results / "grid.0.csv");
  const process_result r = l.run(sweep_args());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("another sweep on " + fs::canonical(results).string() + "/grid.* is running (it holds "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("sweep point"), std::string::npos) << r.out;
  EXPECT_EQ(read_file(results / "grid.0.csv"), point0);
  EXPECT_EQ(l.metadata("grid.0").at("repetitions_requested"), 300);
  ::kill(first.pid, SIGTERM);
  EXPECT_EQ(wait_process(first).status, 143);
  // The lock file stays, free for the next sweep.
  EXPECT_TRUE(fs::exists(results / "grid.sweep.lock"));
  std::vector<std::string> resume = args;
  resume.push_back("--resume");
  EXPECT_EQ(l.run(resume).status, 0);
}

// The probe's sixth column is -0.0: its interval is ±0 after any block.
TEST(driver_end_to_end, a_precision_run_stops_at_a_block_with_the_rows_of_a_plain_run)
{
  layout l;
  const std::vector<std::string> p{"-s", "3", "--no-postprocess", "--precision", "top1_share_pay=0.01",
                                   "--precision-block", "8"};
  const auto with = [&p](std::vector<std::string> args) {
    args.insert(args.end(), p.begin(), p.end());
    return args;
  };
  for (const auto& [args, error] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--precision", "gini=1"}, "quarnel: --precision gini is not a results column ("},
           {{"--precision", "gini_pay=0"}, "quarnel: --precision gini_pay takes a half-width that is a finite"},
           {{"--precision-block", "8"}, "quarnel: --precision-block needs --precision"},
           {{"--precision", "gini_pay=1", "--precision-block", "1"}, "quarnel: --precision-block takes a whole"}}) {
    const process_result r = l.run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind(error, 0), 0u) << r.err;
  }
  EXPECT_TRUE(l.results().empty());

  const std::string eight = l.whole_run(8);
  const auto plain = l.metadata("whole");
  EXPECT_TRUE(plain.at("precision").is_null());
  EXPECT_EQ(plain.at("repetitions_run"), 8);
  EXPECT_TRUE(plain.at("core_seconds_per_repetition").is_number());

  process_result r = l.run(with({"-n", "50"}), {}, {"OMP_NUM_THREADS=3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "precision after 8 rows: top1_share_pay ±0 (target 0.01); every target is met\n");
  EXPECT_EQ(read_file(l.root / "results" / "inequality.csv"), eight);
  auto meta = l.metadata();
  EXPECT_EQ(meta.at("precision").dump(), R"({"block":8,"half_widths":{"top1_share_pay":0.0},"met":true,)"
                                         R"("rows_left_out":{"top1_share_pay":0},"rows_run":8,"targets":{"top1_share_pay":0.01}})");
  EXPECT_EQ(meta.at("results_file_rows"), 8);
  EXPECT_EQ(meta.at("repetitions_requested"), 50);
  EXPECT_EQ(meta.at("repetitions_run"), 8);

  // A target never met runs all -n rows (the last block short) and says so.
  r = l.run({"-n", "20", "-s", "3", "--no-postprocess", "--precision", "top1_share_power=1", "--precision-block", "8"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "precision after 8 rows: top1_share_power ±inf (target 1) without 8 non-finite rows; rows needed "
                   "unknown\nprecision after 16 rows: top1_share_power ±inf (target 1) without 16 non-finite rows; "
                   "rows needed unknown\nprecision after 20 rows: top1_share_power ±inf (target 1) without 20 "
                   "non-finite rows; rows needed unknown\nnote: the precision targets were not met within the 20 rows "
                   "of -n; the results hold all of them\n");
  EXPECT_EQ(lines_of(read_file(l.root / "results" / "inequality.csv")).size(), 20u);
  EXPECT_FALSE(l.metadata().at("precision").at("met"));

  // A failed run resumes with its targets to the same rows.
  r = l.run(with({"-n", "50"}), {}, {"QUARNEL_PROBE_FAIL_AT=5", "OMP_NUM_THREADS=1"});
  ASSERT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.err.find(" --no-postprocess --precision top1_share_pay=0.01 --precision-block 8 --resume\n"), std::string::npos)
      << r.err;
  EXPECT_EQ(l.metadata().at("precision").at("rows_run"), 0);  // no block was checked
  EXPECT_EQ(l.resumed(l.run(with({"--resume"}))), eight);
  EXPECT_EQ(l.metadata().at("resumed_rows"), 5);

  // Each point of a sweep stops on its own and is kept by a resumed sweep
  // with the same targets.
  const std::vector<std::string> sweep = with({"-n", "50", "-o", "grid.csv", "--sweep", "alpha=2,3"});
  ASSERT_EQ(l.run(sweep).status, 0);
  EXPECT_EQ(lines_of(read_file(l.root / "results" / "grid.1.csv")).size(), 8u);
  std::vector<std::string> again = sweep;
  again.push_back("--resume");
  r = l.run(again);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("sweep point 1 of 2: alpha=3 (complete, kept)\n"), std::string::npos) << r.out;
  again = sweep;
  again.back() = "6";  // the block
  again.push_back("--resume");
  r = l.run(again);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("sweep point 1 of 2: alpha=3 (made with other precision targets; run again)\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(lines_of(read_file(l.root / "results" / "grid.1.csv")).size(), 6u);

  // On a terminal: the status line and the cost of the run.
  std::string command;
  for (const std::string& a : std::vector<std::string>{PROBE_PATH, "-n", "8", "-s", "3", "--no-postprocess", "-o", "tty.csv"})
    command += a + " ";
  const process_result tty =
      wait_process(start_process({"/usr/bin/script", "-qec", command, "/dev/null"}, l.root / "executables",
                                 {"PATH=/usr/bin:/bin", "QUARNEL_PROBE_MS=300", "OMP_NUM_THREADS=1"}));
  EXPECT_EQ(tty.status, 0) << tty.out;
  EXPECT_NE(tty.out.find("\rrows "), std::string::npos) << tty.out;
  EXPECT_NE(tty.out.find("run cost: 8 rows in "), std::string::npos) << tty.out;
}
