#include "driver/options.hpp"

#include <gtest/gtest.h>
#include <vector>

namespace {

const program_settings program{"quarnel", 100000, "inequality.csv", "test program"};

parse_result parse(std::vector<const char*> args)
{
  args.insert(args.begin(), "quarnel");
  return parse_options(static_cast<int>(args.size()), args.data(), program);
}

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
  expect_usage_error({"-o", "../elsewhere.csv"}, "--output");
  expect_usage_error({"-o", "a/b"}, "--output");
  expect_usage_error({"-o", ""}, "--output");
  expect_usage_error({"-o", ".."}, "--output");
}
