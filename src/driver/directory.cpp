#include "driver/directory.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <unistd.h>

std::optional<project_layout> find_layout(const std::string& path)
{
  // Scan the components from the end; `end` is one past the current one.
  std::size_t end = path.size();
  while (end > 0) {
    while (end > 0 && path[end - 1] == '/') --end;
    const std::size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    if (end > start && path.compare(start, end - start, "executables") == 0) {
      std::string root = path.substr(0, start);
      while (root.size() > 1 && root.back() == '/') root.pop_back();
      const std::string prefix = root.empty() || root.back() == '/' ? root : root + "/";
      return project_layout{root.empty() ? "." : root, prefix + "data", prefix + "results",
                            prefix + "R"};
    }
    if (slash == std::string::npos) break;
    end = slash;
  }
  return std::nullopt;
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
