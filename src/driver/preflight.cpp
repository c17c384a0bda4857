#include "driver/preflight.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "records/metadata.hpp"

namespace {

std::string gib(double bytes)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024.0 * 1024.0));
  return text;
}

}  // namespace

void check_results_targets(const std::string& dir, const std::vector<std::string>& names)
{
  const std::string where = "the results directory " + dir;
  struct stat info;
  if (::stat(dir.c_str(), &info) != 0) throw run_error(where + " does not exist");
  if (!S_ISDIR(info.st_mode)) throw run_error(where + " is not a directory");

  const long name_max = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  const std::size_t longest = name_max > 0 ? static_cast<std::size_t>(name_max) : 255;
  for (const std::string& name : names) {
    if (name.size() + saving_suffix_length > longest) {
      throw run_error("the results file name is " + std::to_string(name.size()) +
                      " bytes long; names in " + dir + " may have " + std::to_string(longest) +
                      " and saving adds up to " + std::to_string(saving_suffix_length) +
                      " (\".journal\", \".tmp_\" and a number): use at most " +
                      std::to_string(longest > saving_suffix_length ? longest - saving_suffix_length : 0));
    }
  }
  // The directories in `dir`, listed once, so that a name is checked
  // without a system call; where `dir` cannot be listed, each name is looked up.
  std::unordered_set<std::string> directories;
  DIR* listing = ::opendir(dir.c_str());
  const bool listed = listing != nullptr;
  if (listed) {
    while (const dirent* e = ::readdir(listing)) {
      const std::string entry = e->d_name;
      if (e->d_type == DT_DIR ||
          (e->d_type == DT_UNKNOWN && ::lstat((dir + "/" + entry).c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
        directories.insert(entry);
      }
    }
    ::closedir(listing);
  }
  const auto is_directory = [&](const std::string& file) {
    if (listed) return directories.count(file) != 0;
    return ::lstat((dir + "/" + file).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  };
  for (const std::string& name : names) {
    for (const std::string& file : {name, name + ".journal", metadata_file_name(name)}) {
      if (is_directory(file)) {
        throw run_error(dir + "/" + file +
                        " is a directory, where the results file, its journal or its metadata would be saved");
      }
    }
  }

  const std::string probe = dir + "/" + names.front() + ".tmp_" + std::to_string(::getpid());
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) throw run_error(where + " is not writable: " + std::strerror(errno));
  ::close(fd);
  if (::unlink(probe.c_str()) != 0) {
    throw run_error("cannot remove the probe file " + probe + ": " + std::strerror(errno));
  }
}

void check_memory(int repetitions)
{
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return;  // unknown: nothing to compare with
  const double physical = static_cast<double>(pages) * static_cast<double>(page_size);
  const double needed = static_cast<double>(repetitions) * static_cast<double>(bytes_per_row);
  if (needed <= physical) return;
  throw run_error("the results of " + std::to_string(repetitions) + " repetitions need " + gib(needed) +
                  " of memory (" + std::to_string(bytes_per_row) +
                  " bytes each: the table and its text), more than this machine's " + gib(physical) +
                  "; run fewer repetitions per piece (see --first-repetition)");
}
