#include "driver/journal.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/results_file.hpp"

using json = nlohmann::json;

namespace {

constexpr const char* format_name = "quarnel-journal";
constexpr int format_version = 1;
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
      throw journal_error("cannot read: " + error_text());
    }
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

journal_header header_from_json(const json& j)
{
  if (!j.is_object() || j.value("format", "") != format_name) {
    throw journal_error("line 1: not a journal header");
  }
  if (j.value("format_version", 0) != format_version) {
    throw journal_error("line 1: journal format version " + j.value("format_version", json()).dump() +
                        ", this program reads version " + std::to_string(format_version));
  }
  journal_header h;
  h.program = j.at("program").get<std::string>();
  h.version = j.at("version").get<std::string>();
  const std::string seed = j.at("seed").get<std::string>();
  char* end = nullptr;
  errno = 0;
  h.seed = std::strtoull(seed.c_str(), &end, 10);
  if (seed.empty() || seed[0] == '-' || *end != '\0' || errno != 0) {
    throw journal_error("line 1: the seed '" + seed + "' is not a whole number");
  }
  h.first_repetition = j.at("first_repetition").get<std::uint64_t>();
  h.repetitions = j.at("repetitions").get<int>();
  if (h.repetitions <= 0) throw journal_error("line 1: the repetition count is not positive");
  h.settings = j.at("settings").get<settings_map>();
  for (const auto& [name, sum] : j.at("input_tables").items()) {
    h.input_tables[name] = sum.is_null() ? std::nullopt : std::optional<std::string>(sum.get<std::string>());
  }
  return h;
}

// One row line without its line end; false when malformed.
bool parse_row(const std::string& line, std::uint64_t& index, results_row& row)
{
  const char* p = line.c_str();
  if (*p < '0' || *p > '9') return false;
  char* end = nullptr;
  errno = 0;
  index = std::strtoull(p, &end, 10);
  if (errno != 0) return false;
  for (double& value : row) {
    if (*end != ',') return false;
    p = end + 1;
    if (*p == '\0' || *p == ' ') return false;
    value = std::strtod(p, &end);
    if (end == p) return false;
  }
  return *end == '\0';
}

std::string show_settings(const settings_map& s) { return json(s).dump(); }

}  // namespace

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
  return j.dump() + "\n";
}

std::string format_journal_row(std::uint64_t index, const results_row& row)
{
  std::string line = std::to_string(index);
  char buffer[40];
  for (double value : row) {
    std::snprintf(buffer, sizeof buffer, ",%a", value);
    line += buffer;
  }
  return line + "\n";
}

journal_contents parse_journal(const std::string& text)
{
  journal_contents c;
  const std::size_t header_end = text.find('\n');
  if (header_end == std::string::npos) throw journal_error("line 1: the header is incomplete");
  try {
    c.header = header_from_json(json::parse(text.substr(0, header_end)));
  } catch (const json::exception& e) {
    throw journal_error(std::string("line 1: unreadable header (") + e.what() + ")");
  }
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
    if (!parse_row(line, index, row)) throw journal_error(where + "malformed row '" + line + "'");
    const std::uint64_t first = c.header.first_repetition;
    if (index < first || index - first >= static_cast<std::uint64_t>(c.header.repetitions)) {
      throw journal_error(where + "repetition " + std::to_string(index) + " is outside the run");
    }
    const auto [it, added] = seen.emplace(index, row);
    if (!added) {
      if (std::memcmp(it->second.data(), row.data(), sizeof row) != 0) {
        throw journal_error(where + "repetition " + std::to_string(index) + " recorded twice, differently");
      }
    } else {
      c.rows.emplace_back(index, row);
    }
    at = end + 1;
    c.valid_length = at;
  }
  return c;
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
    throw journal_error(path_ + ": " + why);
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
  } catch (const journal_error& e) {
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
  if (const std::string p = write_whole(fd_, format_journal_row(index, row)); !p.empty()) return p;
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
