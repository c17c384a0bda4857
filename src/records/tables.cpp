#include "records/tables.hpp"

#include <cerrno>
#include <algorithm>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
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

// Whether `token` is written as a decimal number: an optional sign, digits
// with an optional decimal point, an optional exponent. When it is,
// *magnitude (if given) is the decimal exponent of its first nonzero digit
// (saturated; INT_MIN when every digit is zero).
bool decimal(const std::string& token, long* magnitude = nullptr)
{
  std::size_t i = 0;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
  std::size_t digits = 0;
  long first_nonzero = LONG_MIN;  // its position: 0 for the units digit, -1 for tenths, ...
  long place = 0;                 // position of the digit at i, counted before the point
  for (; i < token.size() && digit(token[i]); ++i, ++digits) {
    if (token[i] != '0' && first_nonzero == LONG_MIN) first_nonzero = place;
    ++place;
  }
  if (first_nonzero != LONG_MIN) first_nonzero = place - 1 - first_nonzero;
  if (i < token.size() && token[i] == '.') {
    ++i;
    for (long after = -1; i < token.size() && digit(token[i]); ++i, ++digits, --after) {
      if (token[i] != '0' && first_nonzero == LONG_MIN) first_nonzero = after;
    }
  }
  if (digits == 0) return false;
  long exponent = 0;
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    const bool negative = i < token.size() && token[i] == '-';
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    for (; i < token.size() && digit(token[i]); ++i, ++exponent_digits) {
      exponent = std::min(exponent * 10 + (token[i] - '0'), 100000000L);
    }
    if (exponent_digits == 0) return false;
    if (negative) exponent = -exponent;
  }
  if (i != token.size()) return false;
  if (magnitude != nullptr) {
    *magnitude = first_nonzero == LONG_MIN ? INT_MIN
                                           : std::clamp(first_nonzero, -100000000L, 100000000L) + exponent;
  }
  return true;
}

// Whether `token` spells a value that is not finite ("nan", "-inf", "Infinity").
bool not_finite_word(const std::string& token)
{
  std::string t = token;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) t.erase(0, 1);
  for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return t == "nan" || t == "inf" || t == "infinity";
}

// The value of a decimal number token, or nothing when it is not one or its
// value is not a normal double (or zero).
std::optional<double> number(const std::string& token)
{
  if (!decimal(token)) return std::nullopt;
  // from_chars takes no '+' and reads "-" itself; it is independent of the locale.
  const std::size_t from = token[0] == '+' ? 1 : 0;
  double value = 0.0;
  const auto [end, ec] = std::from_chars(token.data() + from, token.data() + token.size(), value);
  if (ec != std::errc() || end != token.data() + token.size() || !std::isfinite(value) ||
      (value != 0.0 && std::abs(value) < DBL_MIN)) {
    return std::nullopt;
  }
  return value;
}

// Why `token`, which is no number(), is not a value of a table.
std::string not_a_value(const std::string& token)
{
  const std::string quoted = "'" + echoed(token) + "'";
  long magnitude = 0;
  if (!decimal(token, &magnitude)) return quoted + " is not a finite decimal number";
  const std::size_t from = token[0] == '+' ? 1 : 0;
  double value = 0.0;
  const auto [end, ec] = std::from_chars(token.data() + from, token.data() + token.size(), value);
  if (ec == std::errc() && end == token.data() + token.size()) {
    return quoted + " lies below the smallest normal double (2.2e-308), where a double keeps "
                    "fewer significant digits";
  }
  // Out of range: too large, or too small to be anything but 0.
  return magnitude > 0 ? quoted + " is beyond the range of a double (largest about 1.8e308)"
                       : quoted + " is too small for a double: it would be read as 0";
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

// What the file of mode `mode` is, when it is no regular file or directory.
std::string kind_of(mode_t mode)
{
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  if (S_ISFIFO(mode)) return "FIFO (named pipe)";
  if (S_ISSOCK(mode)) return "socket";
  return "special file";
}

// Why a file of status `info` is not read, or "".
std::string unreadable(const std::string& path, const struct stat& info, const std::string& noun)
{
  if (S_ISDIR(info.st_mode)) return "is a directory, not a " + noun;
  if (!S_ISREG(info.st_mode)) {
    std::string target;
    struct stat link;
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
      if (resolved) target = " (it links to " + echoed(resolved.get(), 200) + ")";
    }
    return "is a " + kind_of(info.st_mode) + target + ", not a regular file";
  }
  if (static_cast<std::uint64_t>(info.st_size) > max_input_file_bytes) {
    return "is " + std::to_string(info.st_size) + " bytes, more than the " +
           std::to_string(max_input_file_bytes) + " bytes (64 MiB) an input file may hold";
  }
  return "";
}

}  // namespace

namespace {

// read_input_file's reading: "" with `bytes` filled, or the problem.
std::string read_problem(const std::string& path, const std::string& noun, std::string& bytes)
{
  bytes.clear();
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return errno == ENOENT ? "file not found" : std::strerror(errno);
  if (std::string problem = unreadable(path, info, noun); !problem.empty()) return problem;
  // O_NONBLOCK: should a FIFO take the file's place after the check, the
  // open does not wait for a writer; the check below then refuses it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::string("cannot be read: ") + std::strerror(errno);
  struct closing {
    int fd;
    ~closing() { ::close(fd); }
  } const close_at_return{fd};
  if (::fstat(fd, &info) != 0) return std::string("cannot be read: ") + std::strerror(errno);
  if (std::string problem = unreadable(path, info, noun); !problem.empty()) return problem;
  // The file may still grow while it is read: never more than the limit.
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      bytes.clear();
      return std::string("cannot be read: ") + std::strerror(errno);
    }
    if (n == 0) return "";
    if (bytes.size() + static_cast<std::size_t>(n) > max_input_file_bytes) {
      bytes.clear();
      return "grew beyond the " + std::to_string(max_input_file_bytes) +
             " bytes (64 MiB) an input file may hold while it was read";
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

std::string read_input_file(const std::string& path, const std::string& noun)
{
  std::string bytes;
  if (std::string problem = read_problem(path, noun, bytes); !problem.empty()) throw run_error(problem);
  return bytes;
}

std::string echoed(const std::string& text, std::size_t most)
{
  if (text.size() <= most) return text;
  std::size_t keep = most;
  // Not inside a UTF-8 character: back off over continuation bytes.
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  return text.substr(0, keep) + "[... cut: " + std::to_string(text.size()) + " bytes in all]";
}

namespace {

// The values of one table line as written, and what separated them.
struct table_line {
  std::vector<std::string> tokens;
  std::vector<std::size_t> columns_at;  // each token's column, from 1
  bool comma_gap = false;  // two values separated by a comma
  bool blank_gap = false;  // two values separated by blanks only
  bool any_comma = false;
};

// Splits a line of the table file `path` into its values. Throws run_error
// for an empty cell or a byte no table holds.
table_line split_line(const std::string& path, std::size_t line_number, const std::string& line)
{
  table_line cells;
  std::vector<std::string>& tokens = cells.tokens;
  int commas = 0;  // since the last value
  for (std::size_t i = 0; i < line.size();) {
    const char c = line[i];
    if (blank(c)) {
      ++i;
      continue;
    }
    if (c == ',') {
      cells.any_comma = true;
      if (tokens.empty() || ++commas > 1) {
        throw run_error(line_problem(path, line_number, i + 1, "an empty cell before this comma"));
      }
      ++i;
      continue;
    }
    std::size_t j = i;
    for (; j < line.size() && !separator(line[j]); ++j) {
      if (foreign(static_cast<unsigned char>(line[j]))) {
        throw run_error(line_problem(path, line_number, j + 1, show_foreign(line, j)));
      }
    }
    if (!tokens.empty()) (commas > 0 ? cells.comma_gap : cells.blank_gap) = true;
    tokens.push_back(line.substr(i, j - i));
    cells.columns_at.push_back(i + 1);
    commas = 0;
    i = j;
  }
  if (commas > 0) {
    throw run_error(line_problem(path, line_number, line.size(), "an empty cell after the last comma"));
  }
  return cells;
}

// Throws run_error unless every value of the line is a number: a first line
// of words is named a header. `text` is the line from its first value on.
void check_values(const std::string& path, std::size_t line_number, const std::string& text,
                  const table_line& cells, bool first_row)
{
  // A first line of words is a header. A token written as a number, or
  // as a value that is not finite ("nan", "inf"), is no word.
  const std::vector<std::string>& tokens = cells.tokens;
  const bool words = std::none_of(tokens.begin(), tokens.end(),
                                  [](const std::string& t) {
                                    return decimal(t) || not_finite_word(t);
                                  }) &&
                     std::any_of(text.begin(), text.end(), [](char ch) {
                       return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
                     });
  for (std::size_t t = 0; t < tokens.size(); ++t) {
    if (number(tokens[t])) continue;
    if (first_row && words) {
      throw run_error(path + " line " + std::to_string(line_number) + " is a header: '" + echoed(text) +
                      "'; a table holds numbers only (start a comment line with '#')");
    }
    throw run_error(line_problem(path, line_number, cells.columns_at[t], not_a_value(tokens[t])));
  }
}

}  // namespace

arma::Mat<double> read_table(const std::string& path, arma::uword columns, row_check check,
                             bool wider)
{
  std::string text;
  try {
    text = read_input_file(path, "table file");
  } catch (const run_error& e) {
    throw run_error(file_problem(path, e.what()));
  }
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

    const table_line cells = split_line(path, line_number, line);
    const std::vector<std::string>& tokens = cells.tokens;
    check_values(path, line_number, line.substr(first), cells, rows == 0);
    const std::string decimal_comma = "; decimal commas are not accepted (write 3.037, not 3,037)";
    if (cells.comma_gap && cells.blank_gap) {
      throw run_error(line_problem(path, line_number, first + 1,
                                     "commas and blanks both separate values on this line" +
                                         decimal_comma));
    }
    // A wider table takes its width from its first row; every row then keeps it.
    if (wider && rows == 0 && tokens.size() > columns) columns = tokens.size();
    if (tokens.size() != columns) {
      throw run_error(line_problem(path, line_number, first + 1,
                                     std::to_string(tokens.size()) + " values, " +
                                         std::to_string(columns) + " expected on every line" +
                                         (cells.any_comma ? decimal_comma : "")));
    }
    for (const std::string& token : tokens) values.push_back(*number(token));
    if (check != nullptr) {
      try {
        check(values.data() + rows * columns);
      } catch (const run_error& e) {
        throw run_error(path + " line " + std::to_string(line_number) + ": " + e.what());
      }
    }
    ++rows;
  }
  if (rows == 0) throw run_error(file_problem(path, "no data rows"));

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
    if (const std::string p = level_problem(row[0]); !p.empty()) throw run_error(p);
    if (!(row[1] > 0.0)) throw run_error("a span that is not positive (" + show(row[1]) + ")");
  }, true);
  if (t.span.n_cols > 2 && notes != nullptr) {
    notes->push_back(path(span_file) + " has " + std::to_string(t.span.n_cols) +
                     " values on every line; only the first two (level, span) are used");
  }
  t.g = read_table(path(g_file), 1, [](const double* row) {
    if (!(row[0] >= 0.0 && row[0] < 1.0)) throw run_error("a value outside [0, 1) (" + show(row[0]) + ")");
  });
  try {
    t.pay_exponent = read_table(path(pay_exponent_file), 1);
  } catch (const run_error& e) {
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

}  // namespace

void check_span_table(const arma::Mat<double>& span, const std::string& path)
{
  if (const std::string why = span_table_problem(span); !why.empty()) throw run_error("span table " + path + ": " + why);
}

void check_g_table(const arma::Col<double>& g, const std::string& path)
{
  if (const std::string why = g_table_problem(g); !why.empty()) throw run_error("g table " + path + ": " + why);
}
