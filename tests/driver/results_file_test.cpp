#include "records/results_file.hpp"

#include <gtest/gtest.h>
#include <limits>

#include "support/process.hpp"

namespace fs = std::filesystem;

TEST(results_file, number_format)
{
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(format_value(1.0), "1.00000000000000e+00");
  EXPECT_EQ(format_value(-0.25), "-2.50000000000000e-01");
  EXPECT_EQ(format_value(1.0 / 3.0), "3.33333333333333e-01");
  EXPECT_EQ(format_value(123456.789), "1.23456789000000e+05");
  EXPECT_EQ(format_value(1e-300), "1.00000000000000e-300");
  EXPECT_EQ(format_value(0.0), "0");
  EXPECT_EQ(format_value(-0.0), "0");
  EXPECT_EQ(format_value(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(format_value(inf), "inf");
  EXPECT_EQ(format_value(-inf), "-inf");
}

TEST(results_file, rows_are_lines_of_comma_separated_values)
{
  const arma::Mat<double> table{{1.0, 0.0, 2.5}, {-1.0, 1e10, 0.5}};
  EXPECT_EQ(format_table(table),
            "1.00000000000000e+00,0,2.50000000000000e+00\n"
            "-1.00000000000000e+00,1.00000000000000e+10,5.00000000000000e-01\n");
  EXPECT_EQ(format_table(arma::Mat<double>(0, 7)), "");

  // Only finished rows, each behind its global repetition index.
  const std::vector<unsigned char> finished{1, 0};
  EXPECT_EQ(format_indexed_rows(table, finished, 40), "40,1.00000000000000e+00,0,2.50000000000000e+00\n");
}

TEST(results_file, written_through_a_temporary_and_a_rename)
{
  scratch_dir tmp;
  const fs::path target = tmp.path / "inequality.csv";
  write_file(target, "old\n");
  EXPECT_EQ(write_file_atomically(target.string(), "new\n"), "");
  EXPECT_EQ(read_file(target), "new\n");
  int entries = 0;
  for (const auto& e : fs::directory_iterator(tmp.path)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1) << "the temporary file must not stay behind";

  // A directory that does not exist: a reason, and nothing written.
  const std::string problem = write_file_atomically((tmp.path / "missing" / "x.csv").string(), "x");
  EXPECT_NE(problem, "");
  EXPECT_FALSE(fs::exists(tmp.path / "missing"));

  const std::string fallback = write_fallback_file("quarnel-fallback-test", "rows\n");
  ASSERT_NE(fallback, "");
  EXPECT_EQ(read_file(fallback), "rows\n");
  fs::remove(fallback);
}
