#include "driver/journal.hpp"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>

namespace {

journal_header header()
{
  journal_header h;
  h.program = "quarnel";
  h.version = "1";
  h.seed = 18446744073709551615ull;  // beyond what a double holds exactly
  h.first_repetition = 10;
  h.repetitions = 3;
  h.settings = {{"top_fraction", "0.01"}};
  h.input_tables = {{"g_empirical.txt", "ab"}, {"power_to_pay_exponent.txt", std::nullopt}};
  return h;
}

bool same_bits(const results_row& a, const results_row& b) { return std::memcmp(a.data(), b.data(), sizeof a) == 0; }

}  // namespace

TEST(journal, rows_read_back_bit_for_bit_and_a_cut_last_line_is_ignored)
{
  const results_row odd{0.1, -0.0, std::numeric_limits<double>::denorm_min(),
                        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::max(),
                        std::nextafter(1.0, 2.0), 1.0 / 3.0};
  const results_row plain{1, 2, 3, 4, 5, 6, 7};
  const std::string whole = format_journal_header(header()) + format_journal_row(12, odd) +
                            format_journal_row(10, plain) + format_journal_row(12, odd);
  for (const std::string& tail : {std::string(), std::string("11,0x1.8p+1,0x1."), std::string(5, '\0')}) {
    const journal_contents c = parse_journal(whole + tail);
    EXPECT_EQ(c.torn, !tail.empty());
    EXPECT_EQ(c.valid_length, whole.size());
    EXPECT_EQ(header_mismatch(c.header, header()), "");
    ASSERT_EQ(c.rows.size(), 2u);  // the repeated row once
    EXPECT_EQ(c.rows[0].first, 12u);
    EXPECT_TRUE(same_bits(c.rows[0].second, odd));
    EXPECT_EQ(c.rows[1].first, 10u);
    EXPECT_TRUE(same_bits(c.rows[1].second, plain));
  }
  journal_header other = header();
  other.input_tables["power_to_pay_exponent.txt"] = "cd";
  EXPECT_EQ(header_mismatch(header(), other),
            "the input table power_to_pay_exponent.txt differs: the journal has none (missing), "
            "this run SHA-256 cd");
  other = header();
  other.version = "2";
  EXPECT_EQ(header_mismatch(header(), other), "the version differs: the journal has 1, this run 2");
}

TEST(journal, malformed_lines_are_named)
{
  const std::string head = format_journal_header(header());
  const std::vector<std::pair<std::string, std::string>> cases{
      {"", "line 1: the header is incomplete"},
      {"{}\n", "line 1: not a journal header"},
      {head + "10,1,2,3,4,5,6\n", "line 2: malformed row"},
      {head + "10,1,2,3,4,5,6,7,8\n", "line 2: malformed row"},
      {head + "10,1,2,3,4,5,6,x\n", "line 2: malformed row"},
      {head + "13,1,2,3,4,5,6,7\n", "line 2: repetition 13 is outside the run"},
      {head + "9,1,2,3,4,5,6,7\n", "line 2: repetition 9 is outside the run"},
      {head + "10,1,2,3,4,5,6,7\n10,1,2,3,4,5,6,8\n", "line 3: repetition 10 recorded twice, differently"},
  };
  for (const auto& [text, why] : cases) {
    try {
      parse_journal(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const journal_error& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  }
}
