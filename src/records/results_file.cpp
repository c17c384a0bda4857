#include "records/results_file.hpp"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

// Writes all of `text` to the open descriptor and forces it to disk.
std::string write_all(int fd, const std::string& text)
{
  if (const std::string problem = write_whole(fd, text); !problem.empty()) return problem;
  if (::fsync(fd) != 0) return std::strerror(errno);
  return "";
}

}  // namespace

std::string write_whole(int fd, const std::string& text)
{
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::strerror(errno);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return "";
}

std::string format_value(double value)
{
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0.0) return "0";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.14e", value);
  return buffer;
}

std::string format_table(const arma::Mat<double>& table)
{
  std::string text;
  text.reserve(table.n_rows * table.n_cols * 22);
  for (arma::uword r = 0; r < table.n_rows; ++r) {
    for (arma::uword c = 0; c < table.n_cols; ++c) {
      if (c > 0) text += ',';
      text += format_value(table(r, c));
    }
    text += '\n';
  }
  return text;
}

std::string format_indexed_rows(const arma::Mat<double>& table,
                                const std::vector<unsigned char>& finished,
                                std::uint64_t first_index)
{
  std::string text;
  for (arma::uword r = 0; r < table.n_rows && r < finished.size(); ++r) {
    if (!finished[r]) continue;
    text += std::to_string(first_index + r);
    for (arma::uword c = 0; c < table.n_cols; ++c) {
      text += ',';
      text += format_value(table(r, c));
    }
    text += '\n';
  }
  return text;
}

std::string write_file_atomically(const std::string& path, const std::string& text)
{
  static std::atomic<unsigned> counter{0};
  // The process id and a count make the number unique among concurrent writers.
  const std::string temporary =
      path + ".tmp_" + std::to_string(static_cast<unsigned long long>(::getpid()) * 1000 + counter++ % 1000);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return std::strerror(errno);
  std::string problem = write_all(fd, text);
  if (::close(fd) != 0 && problem.empty()) problem = std::strerror(errno);
  if (problem.empty() && std::rename(temporary.c_str(), path.c_str()) != 0) {
    problem = std::strerror(errno);
  }
  if (!problem.empty()) std::remove(temporary.c_str());
  return problem;
}

std::string write_fallback_file(const std::string& stem, const std::string& text)
{
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  std::string name = (dir / (stem + ".XXXXXX")).string();
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return "";
  std::string problem = write_all(fd, text);
  if (::close(fd) != 0 && problem.empty()) problem = std::strerror(errno);
  return problem.empty() ? name : "";
}
