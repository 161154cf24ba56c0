#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

namespace lumaflash::testing {

RunningProgram::RunningProgram(const std::vector<std::string>& argv,
                               const std::filesystem::path& directory) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    return;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  m_pid = ::fork();
  if (m_pid == 0) {
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (::chdir(directory.c_str()) == 0) {
      ::execv(args[0], args.data());
    }
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  m_out = out[0];
  m_err = err[0];
}

RunningProgram::~RunningProgram() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    Finish();
  }
}

void RunningProgram::Signal(int signal) const {
  if (m_pid > 0) {
    ::kill(m_pid, signal);
  }
}

ProgramResult RunningProgram::Finish() {
  ProgramResult result;
  std::array<char, 4096> buffer{};
  std::array<pollfd, 2> watch{pollfd{m_out, POLLIN, 0}, pollfd{m_err, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (::poll(watch.data(), watch.size(), -1) < 0) {
      break;
    }
    for (std::size_t i = 0; i < watch.size(); ++i) {
      if (watch[i].fd < 0 || watch[i].revents == 0) {
        continue;
      }
      ssize_t got = ::read(watch[i].fd, buffer.data(), buffer.size());
      if (got > 0) {
        (i == 0 ? result.out : result.err).append(buffer.data(), static_cast<std::size_t>(got));
      } else {
        ::close(watch[i].fd);
        watch[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  if (m_pid > 0 && ::waitpid(m_pid, &status, 0) == m_pid) {
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  m_pid = -1;
  return result;
}

ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::filesystem::path& directory) {
  RunningProgram program(argv, directory);
  return program.Finish();
}

}  // namespace lumaflash::testing
