#include "support/process.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

scratch_dir::scratch_dir()
{
  std::string pattern = (fs::temp_directory_path() / "quarnel-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

scratch_dir::~scratch_dir()
{
  std::error_code ec;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path, ec);
}

void make_layout(const fs::path& root, const fs::path& data_source)
{
  for (const char* d : {"executables", "data", "results", "R", "bin"}) fs::create_directories(root / d);
  for (const char* f : {"s_empirical.txt", "g_empirical.txt", "power_to_pay_exponent.txt"}) {
    fs::copy_file(data_source / f, root / "data" / f);
  }
  write_file(root / "R" / "energy_estimator.R", "# stand-in\n");
  const fs::path rscript = root / "bin" / "Rscript";
  write_file(rscript, "#!/bin/sh\necho \"$(pwd) $*\" >> \"" + (root / "R" / "rscript.log").string() +
                          "\"\n[ -z \"$RSCRIPT_SAY\" ] || echo \"$RSCRIPT_SAY\"\nexit ${RSCRIPT_STATUS:-0}\n");
  fs::permissions(rscript, fs::perms::owner_all);
}

started_process start_process(const std::vector<std::string>& argv, const fs::path& cwd,
                              const std::vector<std::string>& env, int closed_descriptor)
{
  std::string pattern = (fs::temp_directory_path() / "quarnel-capture-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  const std::string out_file = pattern + "/out";
  const std::string err_file = pattern + "/err";

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
    if (closed_descriptor >= 0) ::close(closed_descriptor);
    if (::chdir(cwd.c_str()) != 0) ::_exit(125);
    ::setenv("PWD", cwd.c_str(), 1);
    for (const std::string& e : env) {
      const auto eq = e.find('=');
      ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return {pid, pattern};
}

process_result wait_process(const started_process& process)
{
  int status = 0;
  while (::waitpid(process.pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  process_result r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_file(process.capture / "out");
  r.err = read_file(process.capture / "err");
  std::error_code ec;
  fs::remove_all(process.capture, ec);
  return r;
}

process_result run_process(const std::vector<std::string>& argv, const fs::path& cwd,
                           const std::vector<std::string>& env)
{
  return wait_process(start_process(argv, cwd, env));
}

bool wait_for_lines(const fs::path& file, std::size_t lines)
{
  for (int i = 0; i < 60000; ++i) {
    const std::string text = read_file(file);
    if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

std::string read_file(const fs::path& file)
{
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& file, const std::string& text)
{
  std::ofstream out(file, std::ios::binary);
  out << text;
}

process_result without_cost_line(process_result r)
{
  std::string kept;
  for (const std::string& line : lines_of(r.err)) {
    if (line.rfind("run cost: ", 0) != 0) kept += line + "\n";
  }
  r.err = kept;
  return r;
}

std::vector<std::string> lines_of(const std::string& text)
{
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}
