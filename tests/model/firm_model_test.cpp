#include "model/base_fit.hpp"
#include "model/firm_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

using arma::Col;
using arma::Mat;
using arma::uword;

namespace {

const double nan_value = std::numeric_limits<double>::quiet_NaN();
// Spans 3.9, 30.42, 474.6, ...: a bottom of 100 carries 25 and then 3 members.
const double a = 0.975;
const double b = std::log(2.0);

void expect_column(const Mat<double>& t, uword col, uword from, uword to, double value)
{
  for (uword r = from; r < to; ++r) EXPECT_DOUBLE_EQ(t(r, col), value) << "row " << r;
}

void expect_message(const Col<double>& base, const Col<uword>& size, const std::string& head)
{
  try {
    model(a, b, base, size, true, true, true);
    FAIL() << head;
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()).rfind(head, 0), 0u) << e.what();
  }
}

}  // namespace

TEST(model, one_firm_of_130)
{
  const Mat<double> t = model(a, b, Col<double>{100.7}, Col<uword>{130}, true, true, true);
  ASSERT_EQ(t.n_rows, 130u);
  ASSERT_EQ(t.n_cols, 3u);
  expect_column(t, 0, 0, 130, 130.0);
  expect_column(t, 1, 0, 102, 1.0);
  expect_column(t, 1, 102, 127, 2.0);
  expect_column(t, 1, 127, 130, 3.0);
  expect_column(t, 2, 0, 102, 1.0);
  expect_column(t, 2, 102, 127, 5.08);
  expect_column(t, 2, 127, 130, 130.0 / 3.0);
}

TEST(model, switches_choose_the_columns)
{
  const Col<double> base{100.7};
  const Col<uword> size{130};
  Mat<double> t = model(a, b, base, size, false, false, true);
  ASSERT_EQ(t.n_cols, 1u);
  expect_column(t, 0, 102, 127, 5.08);
  t = model(a, b, base, size, false, true, true);
  ASSERT_EQ(t.n_cols, 2u);
  expect_column(t, 0, 127, 130, 3.0);
  expect_column(t, 1, 127, 130, 130.0 / 3.0);
  t = model(a, b, base, size, true, false, true);
  ASSERT_EQ(t.n_cols, 2u);
  expect_column(t, 0, 0, 130, 130.0);
  expect_column(t, 1, 0, 102, 1.0);
  t = model(a, b, base, size, false, true, false);
  ASSERT_EQ(t.n_cols, 1u);
  expect_column(t, 0, 102, 127, 2.0);
  t = model(a, b, base, size, false, false, false);
  EXPECT_EQ(t.n_rows, 130u);
  EXPECT_EQ(t.n_cols, 0u);
}

TEST(model, firms_follow_one_another)
{
  // Second firm: bottom 4 carries 1 above it, cut to 2 + 1 for its 3 members.
  const Mat<double> t =
      model(a, b, Col<double>{100.7, 4.0}, Col<uword>{130, 3}, true, true, true);
  ASSERT_EQ(t.n_rows, 133u);
  expect_column(t, 0, 130, 133, 3.0);
  expect_column(t, 1, 127, 130, 3.0);
  expect_column(t, 1, 130, 132, 1.0);
  expect_column(t, 1, 132, 133, 2.0);
  expect_column(t, 2, 130, 132, 1.0);
  expect_column(t, 2, 132, 133, 3.0);

  // Empty firm: no rows. NaN base: everybody on the bottom level.
  const Mat<double> u = model(a, b, Col<double>{5.0, nan_value, 0.5, nan_value}, Col<uword>{2, 0, 1, 4},
                              false, true, true);
  ASSERT_EQ(u.n_rows, 7u);
  EXPECT_TRUE(arma::approx_equal(u.col(0), Col<double>{1, 2, 1, 1, 1, 1, 1}, "absdiff", 0));
  EXPECT_TRUE(arma::approx_equal(u.col(1), Col<double>{1, 2, 1, 1, 1, 1, 1}, "absdiff", 0));
}

TEST(model, sizes_without_a_base_get_nan_rows)
{
  const Mat<double> t = model(a, b, Col<double>{nan_value}, Col<uword>{2, 3}, true, true, true);
  ASSERT_EQ(t.n_rows, 5u);
  expect_column(t, 0, 0, 2, 2.0);
  expect_column(t, 2, 0, 2, 1.0);
  EXPECT_TRUE(arma::all(arma::vectorise(t.rows(2, 4)) != arma::vectorise(t.rows(2, 4))));
}

TEST(model, rejects_what_would_overrun_the_table)
{
  expect_message(Col<double>{1.0, 2.0}, Col<uword>{5}, "model(): size has 1");
  expect_message(Col<double>{}, Col<uword>{uword(1) << 31}, "model(): size[0]");
  expect_message(Col<double>{1.0}, Col<uword>{uword(1) << 30, uword(1) << 30},
                 "model(): the sum");
}

TEST(model, table_agrees_with_its_own_levels)
{
  // Fitted bases for many sizes: per firm, sizes, levels rising from 1, and
  // power = 1 + (rows on lower levels) / (rows on the same level).
  Col<uword> size = arma::regspace<Col<uword>>(1, 400);
  size = arma::join_cols(size, Col<uword>{4321, 77777, 0, 250000});
  const Col<double> base = base_fit(3, 0.1, size);
  const Mat<double> t = model(3, 0.1, base, size, true, true, true);
  ASSERT_EQ(t.n_rows, arma::accu(size));
  uword row = 0;
  for (uword k = 0; k < size.n_elem; ++k) {
    const uword n = size[k], end = row + n;
    double level = 1.0;
    for (uword r = row; r < end; level += 1.0) {
      ASSERT_EQ(t(r, 1), level);
      uword e = r;
      while (e < end && t(e, 1) == level) ++e;
      for (uword q = r; q < e; ++q) {
        ASSERT_EQ(t(q, 0), double(n));
        ASSERT_DOUBLE_EQ(t(q, 2), 1.0 + double(r - row) / double(e - r));
      }
      r = e;
    }
    row = end;
  }
}
