#include "records/journal.hpp"

#include <boost/crc.hpp>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "records/results_file.hpp"

using json = nlohmann::json;

namespace {

constexpr const char* format_name = "quarnel-journal";
constexpr int format_version = 2;
constexpr int unchecked_format_version = 1;  // rows without checksums
// The header's checksum key as it ends the line: ,"crc32c":"<8 digits>"}
constexpr const char* checksum_key = ",\"crc32c\":\"";
constexpr std::size_t checksum_digits = 8;
constexpr auto sync_interval = std::chrono::seconds(2);

std::string error_text() { return std::strerror(errno); }

std::string read_fully(int fd)
{
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw run_error("cannot read: " + error_text());
    }
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// The whole number under `key`, from `least` to `most`.
std::uint64_t whole_number(const json& j, const char* key, const char* what, std::uint64_t least,
                           std::uint64_t most)
{
  const json& value = j.at(key);
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() < least ||
      value.get<std::uint64_t>() > most) {
    throw run_error("line 1: " + std::string(what) + " " + value.dump() +
                        " is not a whole number from " + std::to_string(least) + " to " +
                        std::to_string(most));
  }
  return value.get<std::uint64_t>();
}

journal_header header_from_json(const json& j)
{
  journal_header h;
  h.program = j.at("program").get<std::string>();
  h.version = j.at("version").get<std::string>();
  const std::string seed = j.at("seed").get<std::string>();
  char* end = nullptr;
  errno = 0;
  h.seed = std::strtoull(seed.c_str(), &end, 10);
  if (seed.empty() || seed[0] == '-' || *end != '\0' || errno != 0) {
    throw run_error("line 1: the seed '" + seed + "' is not a whole number");
  }
  h.repetitions = static_cast<int>(
      whole_number(j, "repetitions", "the repetition count", 1, static_cast<std::uint64_t>(max_repetitions)));
  const std::uint64_t max64 = std::numeric_limits<std::uint64_t>::max();
  h.first_repetition = whole_number(j, "first_repetition", "the first repetition", 0,
                                    max64 - static_cast<std::uint64_t>(h.repetitions));
  h.settings = j.at("settings").get<settings_map>();
  for (const auto& [name, sum] : j.at("input_tables").items()) {
    h.input_tables[name] = sum.is_null() ? std::nullopt : std::optional<std::string>(sum.get<std::string>());
  }
  return h;
}

// CRC-32C (Castagnoli) of `size` bytes at `data`, in 8 lowercase hexadecimal digits.
std::string checksum_of(const char* data, std::size_t size)
{
  boost::crc_optimal<32, 0x1EDC6F41, 0xFFFFFFFF, 0xFFFFFFFF, true, true> crc;
  crc.process_bytes(data, size);
  char digits[checksum_digits + 1];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(crc.checksum()));
  return digits;
}

bool is_checksum(const std::string& text)
{
  return text.size() == checksum_digits &&
         text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Reads the header line (without its line end); `version` receives its
// format version. Throws run_error.
journal_header parse_header(const std::string& line, int& version)
{
  try {
    const json whole = json::parse(line);
    if (!whole.is_object() || whole.value("format", "") != format_name) {
      throw run_error("line 1: not a journal header");
    }
    const json named = whole.value("format_version", json());
    version = !named.is_number_unsigned() ? 0
              : named == format_version   ? format_version
              : named == unchecked_format_version ? unchecked_format_version
                                                  : 0;
    if (version == 0) {
      throw run_error("line 1: journal format version " + named.dump() +
                          ", this program reads versions " + std::to_string(unchecked_format_version) +
                          " and " + std::to_string(format_version));
    }
    if (!whole.contains("crc32c")) {
      if (version != unchecked_format_version) throw run_error("line 1: the header has no checksum");
      return header_from_json(whole);
    }
    // A header with a checksum is checked whatever version it names.
    const std::string key = checksum_key;
    const std::size_t tail = key.size() + checksum_digits + 2;
    const std::string sum = line.size() > tail ? line.substr(line.size() - checksum_digits - 2, checksum_digits) : "";
    if (line.size() <= tail || line.compare(line.size() - tail, key.size(), key) != 0 ||
        line.compare(line.size() - 2, 2, "\"}") != 0 || !is_checksum(sum)) {
      throw run_error("line 1: the header's checksum is not its last key");
    }
    const std::string covered = line.substr(0, line.size() - tail) + "}";
    if (journal_checksum(covered) != sum) {
      throw run_error("line 1: the header does not match its checksum (the line is damaged or was edited)");
    }
    if (version != format_version) throw run_error("line 1: a version 1 header with a checksum");
    return header_from_json(json::parse(covered));
  } catch (const json::exception& e) {
    throw run_error(std::string("line 1: unreadable header (") + e.what() + ")");
  }
}

// Reads one row line (without its line end) of a journal of format
// `version`. Returns "" or the problem.
std::string parse_row(const std::string& line, int version, std::uint64_t& index, results_row& row)
{
  const auto malformed = [&line] { return "malformed row '" + line + "'"; };
  std::size_t length = line.size();  // of the text before the checksum
  if (version != unchecked_format_version) {
    const std::size_t comma = line.rfind(',');
    if (comma == std::string::npos || !is_checksum(line.substr(comma + 1))) return malformed();
    if (checksum_of(line.data(), comma) != line.substr(comma + 1)) {
      return "the row '" + line + "' does not match its checksum (the line is damaged or was edited)";
    }
    length = comma;
  }
  const char* const stop = line.c_str() + length;
  const char* p = line.c_str();
  if (*p < '0' || *p > '9') return malformed();
  char* end = nullptr;
  errno = 0;
  index = std::strtoull(p, &end, 10);
  if (errno != 0 || std::string_view(p, static_cast<std::size_t>(end - p)) != std::to_string(index)) {
    return malformed();
  }
  std::array<std::string_view, results_columns> shown;
  for (int c = 0; c < results_columns; ++c) {
    if (end >= stop || *end != ',') return malformed();
    p = end + 1;
    if (*p == '\0' || *p == ' ') return malformed();
    row[c] = std::strtod(p, &end);
    if (end == p || end > stop) return malformed();
    shown[c] = std::string_view(p, static_cast<std::size_t>(end - p));
  }
  if (end != stop) return malformed();
  // Only the text that "%a" writes for a number reads back as that number
  // (a value beyond a double's range reads as inf or 0, for one).
  for (int c = 0; c < results_columns; ++c) {
    char exact[40];
    std::snprintf(exact, sizeof exact, "%a", row[c]);
    if (shown[c] != exact) return "the value '" + std::string(shown[c]) + "' does not read back exactly";
  }
  return "";
}

std::string row_text(std::uint64_t index, const results_row& row)
{
  std::string line = std::to_string(index);
  char buffer[40];
  for (double value : row) {
    std::snprintf(buffer, sizeof buffer, ",%a", value);
    line += buffer;
  }
  return line;
}

std::string show_settings(const settings_map& s) { return json(s).dump(); }

}  // namespace

std::string journal_checksum(const std::string& text) { return checksum_of(text.data(), text.size()); }

std::string format_journal_header(const journal_header& h)
{
  json tables = json::object();
  for (const auto& [name, sum] : h.input_tables) tables[name] = sum ? json(*sum) : json(nullptr);
  const json j = {{"format", format_name},
                  {"format_version", format_version},
                  {"program", h.program},
                  {"version", h.version},
                  {"seed", std::to_string(h.seed)},
                  {"first_repetition", h.first_repetition},
                  {"repetitions", h.repetitions},
                  {"settings", h.settings},
                  {"input_tables", tables}};
  const std::string covered = j.dump();
  return covered.substr(0, covered.size() - 1) + checksum_key + journal_checksum(covered) + "\"}\n";
}

std::string format_journal_row(std::uint64_t index, const results_row& row)
{
  const std::string text = row_text(index, row);
  return text + "," + journal_checksum(text) + "\n";
}

journal_contents parse_journal(const std::string& text)
{
  journal_contents c;
  const std::size_t header_end = text.find('\n');
  if (header_end == std::string::npos) throw run_error("line 1: the header is incomplete");
  c.header = parse_header(text.substr(0, header_end), c.format_version);
  std::map<std::uint64_t, results_row> seen;
  std::size_t at = header_end + 1;
  c.valid_length = at;
  for (std::size_t line_number = 2; at < text.size(); ++line_number) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) {  // cut mid-write
      c.torn = true;
      break;
    }
    const std::string line = text.substr(at, end - at);
    std::uint64_t index = 0;
    results_row row{};
    const std::string where = "line " + std::to_string(line_number) + ": ";
    if (const std::string p = parse_row(line, c.format_version, index, row); !p.empty()) {
      throw run_error(where + p);
    }
    const std::uint64_t first = c.header.first_repetition;
    if (index < first || index - first >= static_cast<std::uint64_t>(c.header.repetitions)) {
      throw run_error(where + "repetition " + std::to_string(index) + " is outside the run");
    }
    const auto [it, added] = seen.emplace(index, row);
    if (!added) {
      if (std::memcmp(it->second.data(), row.data(), sizeof row) != 0) {
        throw run_error(where + "repetition " + std::to_string(index) + " recorded twice, differently");
      }
    } else {
      c.rows.emplace_back(index, row);
    }
    at = end + 1;
    c.valid_length = at;
  }
  return c;
}

journal_header read_journal_header(const std::string& path)
{
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw run_error(path + ": " + (errno == ENOENT ? std::string("there is no journal to resume")
                                                       : "cannot open: " + error_text()));
  }
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while (text.find('\n') == std::string::npos && (n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (errno != EINTR) {
      const std::string why = error_text();
      ::close(fd);
      throw run_error(path + ": cannot read: " + why);
    }
  }
  ::close(fd);
  const std::size_t end = text.find('\n');
  if (end == std::string::npos) throw run_error(path + ": line 1: the header is incomplete");
  int version = 0;
  try {
    return parse_header(text.substr(0, end), version);
  } catch (const run_error& e) {
    throw run_error(path + ": " + e.what());
  }
}

std::vector<header_difference> header_differences(const journal_header& had, const journal_header& now)
{
  std::vector<header_difference> found;
  const auto compare = [&found](const char* field, const std::string& a, const std::string& b) {
    if (a != b) found.push_back({field, "", a, b});
  };
  compare("the program", had.program, now.program);
  compare("the version", had.version, now.version);
  compare("the seed", std::to_string(had.seed), std::to_string(now.seed));
  compare("the first repetition", std::to_string(had.first_repetition), std::to_string(now.first_repetition));
  compare("the repetition count", std::to_string(had.repetitions), std::to_string(now.repetitions));
  if (had.settings != now.settings) {
    found.push_back({"the settings", "", show_settings(had.settings), show_settings(now.settings)});
  }
  const auto shown = [](const std::optional<std::string>& s) {
    return s ? "SHA-256 " + *s : std::string("none (missing)");
  };
  for (const auto& [name, sum] : now.input_tables) {
    const auto it = had.input_tables.find(name);
    if (it == had.input_tables.end() || it->second != sum) {
      found.push_back({"the input table " + name, name,
                       it == had.input_tables.end() ? "no entry" : shown(it->second), shown(sum)});
    }
  }
  return found;
}

std::string header_mismatch(const journal_header& journal, const journal_header& run)
{
  const std::vector<header_difference> found = header_differences(journal, run);
  if (found.empty()) return "";
  const header_difference& d = found.front();
  return d.field + " differs: the journal has " + d.had + ", this run " + d.now;
}

journal_file::journal_file(const std::string& path, open_mode mode, const journal_header& header)
    : path_(path), last_sync_(std::chrono::steady_clock::now())
{
  const auto fail = [this](const std::string& why) {
    if (fd_ >= 0) {
      if (created_) ::unlink(path_.c_str());
      ::close(fd_);
      fd_ = -1;
    }
    throw run_error(path_ + ": " + why);
  };
  for (;;) {
    const int flags = O_RDWR | O_CLOEXEC | (mode == open_mode::fresh ? O_CREAT | O_EXCL : 0);
    fd_ = ::open(path.c_str(), flags, 0644);
    if (fd_ >= 0) {
      created_ = mode == open_mode::fresh;
    } else if (mode == open_mode::fresh && errno == EEXIST) {
      fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    if (fd_ < 0) {
      if (mode == open_mode::resume && errno == ENOENT) fail("there is no journal to resume");
      fail("cannot open: " + error_text());
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) {
        created_ = false;
        fail("another run is writing this journal; two runs cannot share one output");
      }
      fail("cannot lock: " + error_text());
    }
    // The file may have been removed by a run that finished while this one
    // waited between open and lock: then open it again.
    struct stat held, named;
    if (::fstat(fd_, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev) {
      break;
    }
    ::close(fd_);
    fd_ = -1;
  }

  if (mode == open_mode::fresh) {
    struct stat info;
    if (::fstat(fd_, &info) != 0) fail("cannot examine: " + error_text());
    if (info.st_size > 0) {
      fail("it holds the rows of an earlier run that did not finish; continue that run with "
           "--resume, or remove the journal to start afresh");
    }
    created_ = true;  // empty: ours to fill, and to remove on failure
    contents_.header = header;
    contents_.valid_length = 0;
    if (const std::string p = write_whole(fd_, format_journal_header(header)); !p.empty()) {
      fail("cannot write: " + p);
    }
    if (const std::string p = sync(); !p.empty()) fail("cannot write: " + p);
    return;
  }

  try {
    contents_ = parse_journal(read_fully(fd_));
  } catch (const run_error& e) {
    fail(e.what());
  }
  if (::ftruncate(fd_, static_cast<off_t>(contents_.valid_length)) != 0 ||
      ::lseek(fd_, 0, SEEK_END) < 0) {
    fail("cannot cut off the incomplete last line: " + error_text());
  }
}

journal_file::~journal_file()
{
  if (fd_ >= 0) {
    sync();
    ::close(fd_);
  }
}

std::string journal_file::append(std::uint64_t index, const results_row& row)
{
  try {
    const std::string line = contents_.format_version == unchecked_format_version
                                 ? row_text(index, row) + "\n"
                                 : format_journal_row(index, row);
    if (const std::string p = write_whole(fd_, line); !p.empty()) return p;
  } catch (const std::bad_alloc&) {
    return "out of memory";
  }
  if (std::chrono::steady_clock::now() - last_sync_ >= sync_interval) return sync();
  return "";
}

std::string journal_file::sync()
{
  last_sync_ = std::chrono::steady_clock::now();
  return ::fdatasync(fd_) == 0 ? "" : error_text();
}

void journal_file::remove()
{
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
}
