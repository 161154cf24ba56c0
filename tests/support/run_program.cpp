#include "tests/support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <string_view>

namespace lumaflash::testing {

RunningProgram::RunningProgram(const std::vector<std::string>& argv,
                               const std::filesystem::path& directory, bool closedStdout) {
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
  // A program under test keeps no records unless the test names a store (--records wins over
  // the environment): never in the home of whoever runs the tests, never beside the files a
  // test counts. Made before fork(): the child of a threaded test may not allocate.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string_view(*entry).rfind("LUMAFLASH_RECORDS=", 0) != 0) {
      environment.emplace_back(*entry);
    }
  }
  environment.emplace_back("LUMAFLASH_RECORDS=off");
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  m_pid = ::fork();
  if (m_pid == 0) {
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    closedStdout ? ::close(1) : ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (::chdir(directory.c_str()) == 0) {
      ::execve(args[0], args.data(), envp.data());
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

bool RunningProgram::ReadSome(int& fd, std::string& into) {
  std::array<char, 4096> buffer{};
  const ssize_t got = fd < 0 ? 0 : ::read(fd, buffer.data(), buffer.size());
  if (got > 0) {
    into.append(buffer.data(), static_cast<std::size_t>(got));
    return true;
  }
  if (fd >= 0) {
    ::close(fd);
  }
  fd = -1;
  return false;
}

bool RunningProgram::WaitForOutput(const std::string& text) {
  while (m_result.out.find(text) == std::string::npos) {
    if (!ReadSome(m_out, m_result.out)) {
      return false;
    }
  }
  return true;
}

void RunningProgram::CloseOutput() {
  ::close(m_out);
  m_out = -1;
}

ProgramResult RunningProgram::Finish() {
  std::array<pollfd, 2> watch{pollfd{m_out, POLLIN, 0}, pollfd{m_err, POLLIN, 0}};
  while (watch[0].fd >= 0 || watch[1].fd >= 0) {
    if (::poll(watch.data(), watch.size(), -1) < 0) {
      break;
    }
    for (std::size_t i = 0; i < watch.size(); ++i) {
      if (watch[i].fd >= 0 && watch[i].revents != 0) {
        ReadSome(watch[i].fd, i == 0 ? m_result.out : m_result.err);
      }
    }
  }
  m_out = m_err = -1;
  ProgramResult result = m_result;
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

std::unique_ptr<RunningProgram> HoldPort(const std::filesystem::path& directory,
                                         const std::string& port) {
  std::filesystem::create_symlink("/bin/sh", directory / "holder");
  auto holder = std::make_unique<RunningProgram>(
      std::vector<std::string>{(directory / "holder").string(), "-c",
                               "exec 3<>\"$0\" && echo open && kill -STOP $$", port},
      directory);
  return holder->WaitForOutput("open") ? std::move(holder) : nullptr;
}

std::string HolderName(const RunningProgram& holder) {
  return "holder (pid " + std::to_string(holder.Pid()) + ")";
}

}  // namespace lumaflash::testing
