#include "records/journal.hpp"

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

// `text` as a row line with a valid checksum, whatever it holds.
std::string with_checksum(const std::string& text) { return text + "," + journal_checksum(text) + "\n"; }

void expect_refused(const std::string& text, const std::string& why)
{
  try {
    parse_journal(text);
    ADD_FAILURE() << "accepted: " << text;
  } catch (const run_error& e) {
    EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
  }
}

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
  const results_row plain{1, 2, 3, 4, 5, 6, 7};
  const std::vector<std::pair<std::string, std::string>> cases{
      {"", "line 1: the header is incomplete"},
      {"{}\n", "line 1: not a journal header"},
      {head + with_checksum("10,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0"), "line 2: malformed row"},
      {head + with_checksum("10,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0"), "line 2: malformed row"},
      {head + with_checksum("10,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,x"), "line 2: malformed row"},
      {head + with_checksum("010,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0"), "line 2: malformed row"},
      {head + "10,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0\n", "line 2: malformed row"},
      {head + format_journal_row(13, plain), "line 2: repetition 13 is outside the run"},
      {head + format_journal_row(9, plain), "line 2: repetition 9 is outside the run"},
      {head + format_journal_row(10, plain) + format_journal_row(10, {1, 2, 3, 4, 5, 6, 8}),
       "line 3: repetition 10 recorded twice, differently"},
  };
  for (const auto& [text, why] : cases) expect_refused(text, why);
}

// Every line carries a checksum, and a value must read back as written.
TEST(journal, damaged_or_edited_lines_and_inexact_values_are_refused)
{
  const std::string head = format_journal_header(header());
  const std::string row = format_journal_row(11, {0.5, 2, 3, 4, 5, 6, 7});
  const auto edited = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string ones = ",0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0";
  const std::vector<std::pair<std::string, std::string>> cases{
      {head + edited(row, "0x1p-1", "0x1p-2"), "line 2: the row '11,0x1p-2,"},  // one digit
      {head + edited(row, "11,", "12,"), "does not match its checksum"},        // another index
      {head + edited(row, "0x1p-1", "nan"), "does not match its checksum"},
      {head + row + row.substr(0, row.size() - 3) + "\n", "line 3: malformed row"},
      {head + with_checksum("11,0x1p+99999" + ones), "line 2: the value '0x1p+99999' does not read back exactly"},
      {head + with_checksum("11,0x1p-99999" + ones), "the value '0x1p-99999' does not read back"},
      {head + with_checksum("11,1.5" + ones), "the value '1.5' does not read back"},
      {edited(head, "18446744073709551615", "18446744073709551614") + row,
       "line 1: the header does not match its checksum"},
      {edited(head, "\"format_version\":2", "\"format_version\":1") + row, "line 1: the header does not match"},
      {edited(head, "\"crc32c\"", "\"crc32C\"") + row, "line 1: the header has no checksum"},
      {edited(head, "\"crc32c\":", "\"crc32c\": ") + row, "line 1: the header's checksum is not its last key"},
  };
  for (const auto& [text, why] : cases) expect_refused(text, why);

  journal_header h = header();  // a count whose last index passes 2^64 - 1
  h.first_repetition = 18446744073709551613ull;
  expect_refused(format_journal_header(h), "line 1: the first repetition 18446744073709551613 is not a "
                                           "whole number from 0 to 18446744073709551612");
  h.first_repetition = 0;
  h.repetitions = 0;
  expect_refused(format_journal_header(h), "line 1: the repetition count 0 is not a whole number from 1");
  // The program's own non-finite values are exact.
  const results_row odd{std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(),
                        std::numeric_limits<double>::infinity(), 0, 0, 0, 0};
  EXPECT_EQ(parse_journal(head + format_journal_row(10, odd)).rows.size(), 1u);
  EXPECT_EQ(journal_checksum("123456789"), "e3069283");  // the CRC-32C check value
}

// Journals written before rows had checksums are read with the other checks.
TEST(journal, a_version_1_journal_is_read_unchecked)
{
  std::string head = format_journal_header(header());
  head = head.substr(0, head.find(",\"crc32c\"")) + "}\n";
  head.replace(head.find("\"format_version\":2"), 18, "\"format_version\":1");
  const std::string ones = ",0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0,0x1p+0";
  const journal_contents c = parse_journal(head + "12,0x1.8p+1" + ones + "\n");
  EXPECT_EQ(c.format_version, 1);
  ASSERT_EQ(c.rows.size(), 1u);
  EXPECT_EQ(c.rows[0].second[0], 3.0);
  expect_refused(head + "12,0x1p+99999" + ones + "\n", "line 2: the value '0x1p+99999' does not read back");
  expect_refused(head + format_journal_row(12, {1, 2, 3, 4, 5, 6, 7}), "line 2: malformed row");
}
