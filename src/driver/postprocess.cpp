#include "driver/postprocess.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Whether the standard output can no longer take what is written to it:
// closed, a pipe whose reader has gone, or failed on an earlier write.
bool standard_output_gone()
{
  std::cout << std::flush;
  if (!std::cout || ::fcntl(STDOUT_FILENO, F_GETFD) == -1) return true;
  pollfd out{STDOUT_FILENO, 0, 0};
  return ::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

}  // namespace

std::string shell_quoted(const std::string& text)
{
  if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789_-+=./,:@") == std::string::npos) {
    return text;
  }
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string postprocess_command(const std::string& name, const program_settings& program)
{
  std::string command = "Rscript " + std::string(postprocess_script);
  if (name != program.results_file) command += " -- " + shell_quoted(name);
  return command;
}

void postprocess(const std::string& r_dir, const std::string& command)
{
  if (::chdir(r_dir.c_str()) != 0) {
    std::cerr << "note: cannot enter the R directory " << r_dir
              << "; the results were not post-processed" << std::endl;
    return;
  }
  if (standard_output_gone() && ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0 && null != STDOUT_FILENO) {
      ::dup2(null, STDOUT_FILENO);
      ::close(null);
    }
  }
  const int status = std::system(command.c_str());
  if (status == -1) {
    std::cerr << "note: the post-processing command could not be started" << std::endl;
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
    std::cerr << "note: Rscript was not found; the results were not post-processed"
              << std::endl;
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    std::cerr << "note: the post-processing (" << command << " in " << r_dir
              << ") exited with status " << WEXITSTATUS(status) << std::endl;
  } else if (WIFSIGNALED(status)) {
    std::cerr << "note: the post-processing (" << command << " in " << r_dir
              << ") was ended by signal " << WTERMSIG(status) << std::endl;
  }
}
