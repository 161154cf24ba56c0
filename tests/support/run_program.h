#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace lumaflash::testing {

struct ProgramResult {
  int exitCode = -1;  // 128 + signal when it was killed
  std::string out;
  std::string err;
};

// Runs a program to its end in `directory` with no standard input and returns what it printed.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::filesystem::path& directory);

// Starts a program in the background; Finish() waits for it. With `closedStdout` the program
// starts without descriptor 1.
class RunningProgram {
 public:
  RunningProgram(const std::vector<std::string>& argv, const std::filesystem::path& directory,
                 bool closedStdout = false);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  int Pid() const { return m_pid; }
  void Signal(int signal) const;
  // Reads standard output until `text` has come; false when it ended first.
  bool WaitForOutput(const std::string& text);
  // Stops reading standard output, as `| head -1` does after its line.
  void CloseOutput();
  ProgramResult Finish();

 private:
  bool ReadSome(int& fd, std::string& into);

  int m_pid = -1;
  int m_out = -1;
  int m_err = -1;
  ProgramResult m_result;
};

// Another program that has `port` open without locking it, as ModemManager has a port it probes:
// a shell named "holder" (a link in `directory`), stopped once the port is open. Its name as the
// program shows it is "holder (pid N)".
std::unique_ptr<RunningProgram> HoldPort(const std::filesystem::path& directory,
                                         const std::string& port);
std::string HolderName(const RunningProgram& holder);

}  // namespace lumaflash::testing
