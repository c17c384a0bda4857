#include "driver/tables.hpp"

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <vector>

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }
bool separator(char c) { return blank(c) || c == ','; }
bool digit(char c) { return c >= '0' && c <= '9'; }
// Bytes that have no place in a table outside a comment: control characters
// (tab aside) and everything beyond ASCII.
bool foreign(unsigned char c) { return (c < 0x20 && c != '\t') || c >= 0x7f; }

std::string show(double value)
{
  std::ostringstream out;
  out << value;
  return out.str();
}

// The shortest text that reads back as `value` (show() rounds to 6 digits).
std::string exact(double value)
{
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, value);
  return std::string(text, written.ptr);
}

const std::string byte_order_mark = "\xEF\xBB\xBF";

// The offending bytes from line[at]: shown in hex, with a name when they are
// a well-known stray.
std::string show_foreign(const std::string& line, std::size_t at)
{
  std::size_t end = at;
  while (end < line.size() && end - at < 8 && foreign(static_cast<unsigned char>(line[end]))) ++end;
  const std::string bytes = line.substr(at, end - at);
  std::string shown;
  for (unsigned char c : bytes) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    shown += hex;
  }
  const auto starts = [&bytes](const std::string& s) { return bytes.compare(0, s.size(), s) == 0; };
  std::string name;
  if (starts(byte_order_mark)) name = "a byte-order mark not at the start of the file";
  else if (starts("\xC2\xA0")) name = "a no-break space";
  else if (starts("\xFF\xFE") || starts("\xFE\xFF")) name = "a UTF-16 byte-order mark: save the file as plain text";
  else if (bytes[0] == '\0') name = "a NUL byte";
  else if (bytes[0] == '\r') name = "a carriage return inside a line";
  return "unexpected bytes " + shown + (name.empty() ? "" : " (" + name + ")") +
         "; only numbers, spaces, tabs, commas and '#' comment lines are allowed";
}

// The value of a decimal number token, or nothing when it is not one.
std::optional<double> number(const std::string& token)
{
  std::size_t i = 0;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < token.size() && digit(token[i])) ++i, ++digits;
  if (i < token.size() && token[i] == '.') {
    ++i;
    while (i < token.size() && digit(token[i])) ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < token.size() && digit(token[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return std::nullopt;
  }
  if (i != token.size()) return std::nullopt;
  // from_chars takes no '+' and reads "-" itself; it is independent of the locale.
  const std::size_t from = token[0] == '+' ? 1 : 0;
  double value = 0.0;
  const auto [end, ec] = std::from_chars(token.data() + from, token.data() + token.size(), value);
  if (ec != std::errc() || end != token.data() + token.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// Why `level` is no level of the span table, or "".
std::string level_problem(double level)
{
  if (level >= 1 && level <= max_span_level && level == std::floor(level)) return "";
  return "a level that is not a whole number from 1 to " + show(max_span_level) + " (" +
         exact(level) + "; levels count from 1 at the bottom of a hierarchy)";
}

std::string file_problem(const std::string& path, const std::string& problem)
{
  return path + ": " + problem;
}

std::string line_problem(const std::string& path, std::size_t line, std::size_t column,
                         const std::string& problem)
{
  return path + " line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
         problem;
}

std::string read_bytes(const std::string& path)
{
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    throw table_error(file_problem(path, errno == ENOENT ? "file not found" : std::strerror(errno)));
  }
  if (S_ISDIR(info.st_mode)) throw table_error(file_problem(path, "is a directory, not a table file"));
  std::ifstream in(path, std::ios::binary);
  if (!in) throw table_error(file_problem(path, std::string("cannot be read: ") + std::strerror(errno)));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw table_error(file_problem(path, "cannot be read"));
  return text;
}

}  // namespace

arma::Mat<double> read_table(const std::string& path, arma::uword columns, row_check check,
                             bool wider)
{
  std::string text = read_bytes(path);
  if (text.compare(0, byte_order_mark.size(), byte_order_mark) == 0) text.erase(0, byte_order_mark.size());

  std::vector<double> values;  // row after row
  std::size_t rows = 0;
  std::size_t line_number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();

    std::size_t first = 0;
    while (first < line.size() && blank(line[first])) ++first;
    if (first == line.size() || line[first] == '#') continue;  // blank or comment

    std::vector<std::string> tokens;
    std::vector<std::size_t> columns_at;
    bool comma_gap = false;
    bool blank_gap = false;
    bool any_comma = false;
    int commas = 0;  // since the last value
    for (std::size_t i = 0; i < line.size();) {
      const char c = line[i];
      if (blank(c)) {
        ++i;
        continue;
      }
      if (c == ',') {
        any_comma = true;
        if (tokens.empty() || ++commas > 1) {
          throw table_error(line_problem(path, line_number, i + 1, "an empty cell before this comma"));
        }
        ++i;
        continue;
      }
      std::size_t j = i;
      for (; j < line.size() && !separator(line[j]); ++j) {
        if (foreign(static_cast<unsigned char>(line[j]))) {
          throw table_error(line_problem(path, line_number, j + 1, show_foreign(line, j)));
        }
      }
      if (!tokens.empty()) (commas > 0 ? comma_gap : blank_gap) = true;
      tokens.push_back(line.substr(i, j - i));
      columns_at.push_back(i + 1);
      commas = 0;
      i = j;
    }
    if (commas > 0) {
      throw table_error(line_problem(path, line_number, line.size(), "an empty cell after the last comma"));
    }

    // A first line of words, none of them a number, is a header.
    const bool words = std::none_of(tokens.begin(), tokens.end(),
                                    [](const std::string& t) { return number(t).has_value(); }) &&
                       std::any_of(line.begin(), line.end(), [](char ch) {
                         return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
                       });
    for (std::size_t t = 0; t < tokens.size(); ++t) {
      if (number(tokens[t])) continue;
      if (rows == 0 && words) {
        throw table_error(path + " line " + std::to_string(line_number) + " is a header: '" +
                          line.substr(first) +
                          "'; a table holds numbers only (start a comment line with '#')");
      }
      throw table_error(line_problem(path, line_number, columns_at[t],
                                     "'" + tokens[t] + "' is not a finite decimal number"));
    }
    const std::string decimal_comma = "; decimal commas are not accepted (write 3.037, not 3,037)";
    if (comma_gap && blank_gap) {
      throw table_error(line_problem(path, line_number, first + 1,
                                     "commas and blanks both separate values on this line" +
                                         decimal_comma));
    }
    // A wider table takes its width from its first row; every row then keeps it.
    if (wider && rows == 0 && tokens.size() > columns) columns = tokens.size();
    if (tokens.size() != columns) {
      throw table_error(line_problem(path, line_number, first + 1,
                                     std::to_string(tokens.size()) + " values, " +
                                         std::to_string(columns) + " expected on every line" +
                                         (any_comma ? decimal_comma : "")));
    }
    for (const std::string& token : tokens) values.push_back(*number(token));
    if (check != nullptr) {
      if (const std::string problem = check(values.data() + rows * columns); !problem.empty()) {
        throw table_error(path + " line " + std::to_string(line_number) + ": " + problem);
      }
    }
    ++rows;
  }
  if (rows == 0) throw table_error(file_problem(path, "no data rows"));

  arma::Mat<double> table(rows, columns);
  for (std::size_t r = 0; r < rows; ++r) {
    for (arma::uword c = 0; c < columns; ++c) table(r, c) = values[r * columns + c];
  }
  return table;
}

input_tables load_tables(const std::string& dir, std::vector<std::string>* notes)
{
  const auto path = [&dir](const char* file) { return dir + "/" + file; };
  input_tables t;
  t.span = read_table(path(span_file), 2, [](const double* row) {
    if (const std::string p = level_problem(row[0]); !p.empty()) return p;
    return row[1] > 0.0 ? std::string() : "a span that is not positive (" + show(row[1]) + ")";
  }, true);
  if (t.span.n_cols > 2 && notes != nullptr) {
    notes->push_back(path(span_file) + " has " + std::to_string(t.span.n_cols) +
                     " values on every line; only the first two (level, span) are used");
  }
  t.g = read_table(path(g_file), 1, [](const double* row) {
    return row[0] >= 0.0 && row[0] < 1.0 ? std::string()
                                         : "a value outside [0, 1) (" + show(row[0]) + ")";
  });
  try {
    t.pay_exponent = read_table(path(pay_exponent_file), 1);
  } catch (const table_error& e) {
    t.pay_exponent.set_size(0, 1);
    if (notes != nullptr) notes->push_back(std::string(e.what()) + " (this table is not used)");
  }
  return t;
}

namespace {

std::string describe(const char* what, arma::uword row, double value)
{
  std::ostringstream out;
  out << what << " in row " << row + 1 << " (" << value << ")";
  return out.str();
}

}  // namespace

std::string span_table_problem(const arma::Mat<double>& span)
{
  if (span.n_rows < 1) return "no rows (a level and a span on every line are expected)";
  if (span.n_cols < 2) return "fewer than two columns (a level and a span on every line are expected)";
  for (arma::uword r = 0; r < span.n_rows; ++r) {
    for (arma::uword c = 0; c < span.n_cols; ++c) {
      if (!std::isfinite(span(r, c))) return describe("a value that is not finite", r, span(r, c));
    }
    if (!level_problem(span(r, 0)).empty()) {
      return "a level that is not a whole number from 1 to " + show(max_span_level) + " in row " +
             std::to_string(r + 1) + " (" + exact(span(r, 0)) + ")";
    }
    if (!(span(r, 1) > 0.0)) return describe("a span that is not positive", r, span(r, 1));
  }
  return "";
}

std::string g_table_problem(const arma::Col<double>& g)
{
  if (g.n_elem < 1) return "no values";
  for (arma::uword i = 0; i < g.n_elem; ++i) {
    if (!std::isfinite(g[i])) return describe("a value that is not finite", i, g[i]);
    if (!(g[i] >= 0.0 && g[i] < 1.0)) return describe("a value outside [0, 1)", i, g[i]);
  }
  return "";
}
