#include "records/tables.hpp"

#include <gtest/gtest.h>
#include <limits>
#include <sys/stat.h>

#include "support/process.hpp"

namespace fs = std::filesystem;

namespace {

// The message read_table gives for `text`, or "" when it reads it.
std::string refusal(const std::string& text, arma::uword columns)
{
  scratch_dir tmp;
  write_file(tmp.path / "t.txt", text);
  try {
    read_table((tmp.path / "t.txt").string(), columns);
  } catch (const run_error& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(tables, every_accepted_spelling_gives_the_same_table)
{
  scratch_dir tmp;
  const std::vector<std::string> spellings{
      "2 3.037\n3 1.212\n4 1.5e0\n",
      "2\t3.037\n3 \t 1.212\n4\t1.5e0",            // tabs, no final line end
      "2,3.037\n3, 1.212\n4 ,1.5e0\n",             // commas, with or without blanks
      "2 3.037\r\n3 1.212\r\n4 1.5e0\r\n\r\n\n",   // CRLF, trailing blank lines
      "\xEF\xBB\xBF" "2 3.037\n3 1.212\n4 1.5e0\n",  // UTF-8 byte-order mark
      "# level span\n  2 3.037\n\n3 +1.212\n#\xC2\xA0note\n4 1.50\n",  // comments, blanks
  };
  for (const std::string& text : spellings) {
    write_file(tmp.path / "s.txt", text);
    const arma::Mat<double> t = read_table((tmp.path / "s.txt").string(), 2);
    ASSERT_EQ(t.n_rows, 3u) << text;
    ASSERT_EQ(t.n_cols, 2u);
    EXPECT_EQ(t(0, 1), 3.037) << text;
    EXPECT_EQ(t(1, 1), 1.212) << text;
    EXPECT_EQ(t(2, 0), 4.0) << text;
    EXPECT_EQ(t(2, 1), 1.5) << text;
  }
  // The project's own tables read as Armadillo reads them, bit for bit.
  for (const auto& [file, columns] : {std::pair{span_file, 2u}, {g_file, 1u}, {pay_exponent_file, 1u}}) {
    arma::Mat<double> expected;
    ASSERT_TRUE(expected.load(std::string(DATA_DIR "/") + file, arma::raw_ascii));
    const arma::Mat<double> t = read_table(std::string(DATA_DIR "/") + file, columns);
    ASSERT_EQ(arma::size(t), arma::size(expected)) << file;
    EXPECT_TRUE(arma::all(arma::vectorise(t == expected))) << file;
  }
}

TEST(tables, stray_bytes_and_wrong_shapes_are_refused_with_line_and_column)
{
  const std::vector<std::tuple<std::string, arma::uword, std::string>> cases{
      {"0.1\n0.2\xC2\xA0\n", 1, "line 2, column 4: unexpected bytes \\xc2\\xa0 (a no-break space)"},
      {std::string("\xFF\xFE" "0\0.\0" "1\0\n\0", 10), 1, "line 1, column 1: unexpected bytes \\xff\\xfe (a UTF-16 byte-order mark"},
      {"0.1\n0.2\n\xFF\xFE\n", 1, "line 3, column 1: unexpected bytes \\xff\\xfe (a UTF-16 byte-order mark"},
      {std::string("0.1\n0.\0002\n", 9), 1, "line 2, column 3: unexpected bytes \\x00 (a NUL byte)"},
      {"0.1\n\xEF\xBB\xBF" "0.2\n", 1, "line 2, column 1: unexpected bytes \\xef\\xbb\\xbf (a byte-order mark not at"},
      {"0.1\r0.2\n", 1, "line 1, column 4: unexpected bytes \\x0d (a carriage return"},
      {"2 3,037\n3 1,212\n", 2, "line 1, column 1: commas and blanks both separate values on this line; decimal commas"},
      {"0,104\n", 1, "line 1, column 1: 2 values, 1 expected on every line; decimal commas"},
      {"2 3.0\n3\n", 2, "line 2, column 1: 1 values, 2 expected on every line"},
      {"2 3.0 7\n", 2, "line 1, column 1: 3 values, 2 expected"},
      {"2,,3.0\n", 2, "line 1, column 3: an empty cell before this comma"},
      {"2,3.0,\n", 2, "line 1, column 6: an empty cell after the last comma"},
      {"level span\n2 3.0\n", 2, "line 1 is a header: 'level span'"},
      {"# levels\nlevel,span\n2 3.0\n", 2, "line 2 is a header: 'level,span'"},
      {"2 3.0\n3 abc\n", 2, "line 2, column 3: 'abc' is not a finite decimal number"},
      {"2 3.0\n3 nan\n", 2, "'nan' is not a finite decimal number"},
      {"2 1e999\n", 2, "line 1, column 3: '1e999' is beyond the range of a double"},
      // A first line that is no header: values that are not finite or not normal doubles.
      {"nan\n0.1\n", 1, "line 1, column 1: 'nan' is not a finite decimal number"},
      {"-Inf\n", 1, "line 1, column 1: '-Inf' is not a finite decimal number"},
      {"1e400\n", 1, "line 1, column 1: '1e400' is beyond the range of a double"},
      {"0.1\n-0.00001e400\n", 1, "line 2, column 1: '-0.00001e400' is beyond the range"},
      {"1e-400\n", 1, "line 1, column 1: '1e-400' is too small for a double: it would be read as 0"},
      {"1e-310\n", 1, "line 1, column 1: '1e-310' lies below the smallest normal double"},
      {"0.1\n100000e-330\n", 1, "line 2, column 1: '100000e-330' is too small for a double"},
      {"2 " + std::string(100000, 'x') + "\n", 2, "[... cut: 100000 bytes in all]' is not a finite"},
      {"w" + std::string(100000, 'x') + "\n", 1, "is a header: 'wxx"},
      {"2 0x10\n", 2, "'0x10' is not"},
      {"", 1, ": no data rows"},
      {"# only a comment\n\n  \n", 1, ": no data rows"},
  };
  for (const auto& [text, columns, fragment] : cases) {
    const std::string message = refusal(text, columns);
    EXPECT_NE(message.find(fragment), std::string::npos) << message.substr(0, 300) << "\nexpected: " << fragment;
    EXPECT_NE(message.find("t.txt"), std::string::npos) << message.substr(0, 300);
    EXPECT_LT(message.size(), 400u);  // a long token is cut
  }
  EXPECT_EQ(refusal("0.0e-99999\n-0\n1e-307\n1.7976931348623157e308\n", 1), "");  // zero and normal
  // A cut never splits a UTF-8 character.
  EXPECT_EQ(echoed(std::string(3, 'a') + "\xC3\xA9" + "bc", 4), "aaa[... cut: 7 bytes in all]");
  EXPECT_EQ(echoed("aaa\xC3\xA9", 5), "aaa\xC3\xA9");
  scratch_dir tmp;
  for (const auto& [path, fragment] : {std::pair{tmp.path / "absent.txt", ": file not found"},
                                       {tmp.path, ": is a directory"}}) {
    try {
      read_table(path.string(), 1);
      ADD_FAILURE() << path;
    } catch (const run_error& e) {
      EXPECT_EQ(std::string(e.what()), path.string() + fragment + (path == tmp.path ? ", not a table file" : ""));
    }
  }
}

// Only regular files of at most max_input_file_bytes are read: nothing else
// can block the program (a FIFO without a writer) or fill its memory.
TEST(tables, only_regular_files_of_a_bounded_size_are_read)
{
  scratch_dir tmp;
  const auto message = [](const fs::path& path) {
    try {
      read_table(path.string(), 1);
    } catch (const run_error& e) {
      return std::string(e.what());
    }
    return std::string("read");
  };
  fs::create_symlink("/dev/zero", tmp.path / "zero.txt");
  ASSERT_EQ(::mkfifo((tmp.path / "fifo.txt").c_str(), 0600), 0);
  write_file(tmp.path / "large.txt", "0.1\n");
  fs::resize_file(tmp.path / "large.txt", max_input_file_bytes + 1);  // sparse: no disk used
  const std::vector<std::pair<fs::path, std::string>> cases{
      {"/dev/null", "/dev/null: is a character device, not a regular file"},
      {tmp.path / "zero.txt", "zero.txt: is a character device (it links to /dev/zero), not a regular file"},
      {tmp.path / "fifo.txt", "fifo.txt: is a FIFO (named pipe), not a regular file"},
      {tmp.path / "large.txt", "large.txt: is 67108865 bytes, more than the 67108864 bytes (64 MiB)"},
  };
  for (const auto& [path, fragment] : cases) {
    const std::string m = message(path);
    EXPECT_NE(m.find(fragment), std::string::npos) << m;
  }
  fs::resize_file(tmp.path / "large.txt", 4);
  EXPECT_EQ(message(tmp.path / "large.txt"), "read");
}

TEST(tables, load_checks_values_and_only_notes_the_unused_table)
{
  scratch_dir tmp;
  write_file(tmp.path / span_file, "2 3.0\n# c\n3 -1.5\n");
  write_file(tmp.path / g_file, "0.1\n");
  try {
    load_tables(tmp.path.string());
    ADD_FAILURE() << "no error";
  } catch (const run_error& e) {
    EXPECT_EQ(std::string(e.what()),
              (tmp.path / span_file).string() + " line 3: a span that is not positive (-1.5)");
  }
  write_file(tmp.path / span_file, "2 3.0\n3 1.5\n");
  write_file(tmp.path / g_file, "0.1\n1.0\n");
  EXPECT_THROW(load_tables(tmp.path.string()), run_error);
  write_file(tmp.path / g_file, "0.1\n");
  std::vector<std::string> notes;
  const input_tables t = load_tables(tmp.path.string(), &notes);
  EXPECT_EQ(t.span.n_rows, 2u);
  EXPECT_EQ(t.g.n_elem, 1u);
  EXPECT_EQ(t.pay_exponent.n_rows, 0u);
  EXPECT_EQ(t.pay_exponent.n_cols, 1u);
  EXPECT_EQ(notes, std::vector<std::string>{(tmp.path / pay_exponent_file).string() +
                                            ": file not found (this table is not used)"});

  // A wider span table keeps its width on every line; the extra column is only noted.
  write_file(tmp.path / span_file, "2 3.0 7\n3 1.5 8\n");
  write_file(tmp.path / pay_exponent_file, "0.3\n");
  notes.clear();
  const input_tables wide = load_tables(tmp.path.string(), &notes);
  EXPECT_EQ(wide.span.n_cols, 3u);
  EXPECT_EQ(wide.span(1, 1), 1.5);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("has 3 values on every line; only the first two"), std::string::npos);
  write_file(tmp.path / span_file, "2 3.0 7\n3 1.5\n");
  EXPECT_THROW(load_tables(tmp.path.string()), run_error);

  // Levels are whole numbers from 1 to 1000: a fit over a level such as
  // 1e300 means nothing.
  for (const char* level : {"0", "2.5", "1001", "1e300", "-3"}) {
    write_file(tmp.path / span_file, std::string("2 3.0\n") + level + " 1.5\n1000 2\n");
    try {
      load_tables(tmp.path.string());
      ADD_FAILURE() << level;
    } catch (const run_error& e) {
      EXPECT_EQ(std::string(e.what()), (tmp.path / span_file).string() +
                                           " line 2: a level that is not a whole number from 1 to 1000 (" +
                                           (level == std::string("1e300") ? "1e+300" : level) +
                                           "; levels count from 1 at the bottom of a hierarchy)");
    }
  }
}

// What check_span_table or check_g_table says of a table, without the
// "span table t: " or "g table t: " before it; "" when it passes.
template <class Table>
std::string reason(void (*check)(const Table&, const std::string&), const Table& table, const std::string& noun)
{
  try {
    check(table, "t");
    return "";
  } catch (const run_error& e) {
    const std::string prefix = noun + " t: ";
    const std::string what = e.what();
    EXPECT_EQ(what.rfind(prefix, 0), 0u) << what;
    return what.substr(prefix.size());
  }
}
std::string span_reason(const arma::Mat<double>& span) { return reason(check_span_table, span, "span table"); }
std::string g_reason(const arma::Col<double>& g) { return reason(check_g_table, g, "g table"); }

TEST(tables, span_table_checks)
{
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(span_reason(arma::Mat<double>{{2, 3.0}, {3, 1.2}}), "");
  EXPECT_NE(span_reason(arma::Mat<double>()), "");
  EXPECT_NE(span_reason(arma::Mat<double>(4, 1, arma::fill::ones)).find("two columns"),
            std::string::npos);
  EXPECT_NE(span_reason(arma::Mat<double>{{2, 3.0}, {3, nan}}).find("row 2"),
            std::string::npos);
  EXPECT_NE(span_reason(arma::Mat<double>{{2, 0.0}}).find("not positive"), std::string::npos);
  EXPECT_NE(span_reason(arma::Mat<double>{{2, -1.0}}), "");
  EXPECT_EQ(span_reason(arma::Mat<double>{{2, 3.0}, {2.0000001, 1.2}}),
            "a level that is not a whole number from 1 to 1000 in row 2 (2.0000001)");
}

TEST(tables, g_table_checks)
{
  EXPECT_EQ(g_reason(arma::Col<double>{0.0, 0.1, 0.999}), "");
  EXPECT_NE(g_reason(arma::Col<double>()), "");
  EXPECT_NE(g_reason(arma::Col<double>{0.1, 1.0}).find("outside [0, 1)"), std::string::npos);
  EXPECT_NE(g_reason(arma::Col<double>{-0.1}), "");
  EXPECT_NE(g_reason(arma::Col<double>{std::numeric_limits<double>::infinity()}), "");
}
