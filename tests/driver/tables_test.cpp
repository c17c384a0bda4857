#include "driver/tables.hpp"

#include <gtest/gtest.h>
#include <limits>

#include "support/process.hpp"

namespace fs = std::filesystem;

TEST(tables, missing_files_leave_empty_tables_of_the_right_shape)
{
  const fs::path saved = fs::current_path();
  scratch_dir tmp;
  write_file(tmp.path / span_file, "2,3.0\n3,1.5\n4,2.25\n");  // comma-separated is fine too
  fs::current_path(tmp.path);
  const input_tables t = load_tables();
  fs::current_path(saved);

  EXPECT_EQ(t.span.n_rows, 3u);
  EXPECT_EQ(t.span.n_cols, 2u);
  EXPECT_DOUBLE_EQ(t.span(2, 1), 2.25);
  EXPECT_EQ(t.g.n_rows, 0u);
  EXPECT_EQ(t.g.n_cols, 1u);
  EXPECT_EQ(t.pay_exponent.n_elem, 0u);
}

TEST(tables, span_table_checks)
{
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(span_table_problem(arma::Mat<double>{{2, 3.0}, {3, 1.2}}), "");
  EXPECT_NE(span_table_problem(arma::Mat<double>()), "");
  EXPECT_NE(span_table_problem(arma::Mat<double>(4, 1, arma::fill::ones)).find("two columns"),
            std::string::npos);
  EXPECT_NE(span_table_problem(arma::Mat<double>{{2, 3.0}, {3, nan}}).find("line 2"),
            std::string::npos);
  EXPECT_NE(span_table_problem(arma::Mat<double>{{2, 0.0}}).find("not positive"), std::string::npos);
  EXPECT_NE(span_table_problem(arma::Mat<double>{{2, -1.0}}), "");
}

TEST(tables, g_table_checks)
{
  EXPECT_EQ(g_table_problem(arma::Col<double>{0.0, 0.1, 0.999}), "");
  EXPECT_NE(g_table_problem(arma::Col<double>()), "");
  EXPECT_NE(g_table_problem(arma::Col<double>{0.1, 1.0}).find("outside [0, 1)"), std::string::npos);
  EXPECT_NE(g_table_problem(arma::Col<double>{-0.1}), "");
  EXPECT_NE(g_table_problem(arma::Col<double>{std::numeric_limits<double>::infinity()}), "");
}
