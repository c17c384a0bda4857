#include "driver/directory.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <unistd.h>

std::optional<std::string> rewrite_path(const std::string& path, const std::string& from,
                                        const std::string& to)
{
  const auto at = path.find(from);
  if (at == std::string::npos) return std::nullopt;
  return path.substr(0, at) + to;
}

std::string current_directory()
{
  std::unique_ptr<char, decltype(&std::free)> name(get_current_dir_name(), &std::free);
  if (!name) {
    throw std::runtime_error(std::string("cannot determine the working directory: ") +
                             std::strerror(errno));
  }
  return std::string(name.get());
}

bool change_directory(std::string from, std::string to)
{
  const std::string here = current_directory();
  const auto there = rewrite_path(here, from, to);
  if (!there) {
    throw std::out_of_range("the working directory " + here + " does not contain \"" + from +
                            "\"");
  }
  return chdir(there->c_str()) == 0;
}
